#pragma once

// Locks clang's thread-safety analysis understands (-Wthread-safety): a shared field names the
// mutex that guards it, a function names the mutex it must be called with, and the compiler
// rejects an access without it. libstdc++'s std::mutex carries no such attributes, hence these
// wrappers. GCC knows none of the attributes: there the macros expand to nothing.

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define PELORIN_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define PELORIN_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(name) PELORIN_THREAD_ATTRIBUTE(capability(name))
#define SCOPED_CAPABILITY PELORIN_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(mutex) PELORIN_THREAD_ATTRIBUTE(guarded_by(mutex))
#define PT_GUARDED_BY(mutex) PELORIN_THREAD_ATTRIBUTE(pt_guarded_by(mutex))
#define REQUIRES(...) PELORIN_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) PELORIN_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PELORIN_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS PELORIN_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace pelorin {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex for its scope; a CondVar waits with it.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() { lock_.unlock(); }
  void lock() ACQUIRE() { lock_.lock(); }

 private:
  friend class CondVar;
  std::unique_lock<std::mutex> lock_;
};

// A condition variable over a MutexLock. The analysis cannot see that a predicate runs with the
// lock held: a predicate that reads guarded fields says so with REQUIRES(mutex).
class CondVar {
 public:
  void notifyOne() { cv_.notify_one(); }
  void notifyAll() { cv_.notify_all(); }

  void wait(MutexLock& lock) { cv_.wait(lock.lock_); }
  template <class Predicate>
  void wait(MutexLock& lock, Predicate ready) NO_THREAD_SAFETY_ANALYSIS {
    cv_.wait(lock.lock_, ready);
  }
  // Whether it was woken before the deadline.
  template <class Clock, class Duration>
  bool waitUntil(MutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline) {
    return cv_.wait_until(lock.lock_, deadline) == std::cv_status::no_timeout;
  }
  // Whether the predicate holds; false once the deadline passed without it.
  template <class Clock, class Duration, class Predicate>
  bool waitUntil(MutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline,
                 Predicate ready) NO_THREAD_SAFETY_ANALYSIS {
    return cv_.wait_until(lock.lock_, deadline, ready);
  }
  template <class Rep, class Period, class Predicate>
  bool waitFor(MutexLock& lock, const std::chrono::duration<Rep, Period>& timeout,
               Predicate ready) NO_THREAD_SAFETY_ANALYSIS {
    return cv_.wait_for(lock.lock_, timeout, ready);
  }

 private:
  std::condition_variable cv_;
};

}  // namespace pelorin
