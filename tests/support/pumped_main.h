#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace pelorin::test {

// Stands for the app's main thread: any thread posts; the test's thread runs the tasks while it
// waits for something to happen.
class PumpedMain {
 public:
  std::function<void(std::function<void()>)> poster() {
    return [this](std::function<void()> task) {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
      wake_.notify_one();
    };
  }

  // Runs posted tasks until `done` holds or the time is up; returns `done`.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(mutex_);
    while (!done()) {
      if (!wake_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) return done();
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
    return true;
  }
  void runFor(std::chrono::milliseconds period) {
    runUntil([] { return false; }, period);
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace pelorin::test
