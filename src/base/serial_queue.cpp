#include "base/serial_queue.h"

#include <future>

#include "base/thread_name.h"

namespace pelorin {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), thread_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.notifyOne();
  thread_.join();
}

void SerialQueue::post(std::function<void()> task) {
  {
    MutexLock lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notifyOne();
}

void SerialQueue::postAfter(std::chrono::steady_clock::duration delay, std::function<void()> task) {
  {
    MutexLock lock(mutex_);
    delayed_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
  }
  wake_.notifyOne();
}

void SerialQueue::moveDueTasks(std::chrono::steady_clock::time_point now) {
  while (!delayed_.empty() && delayed_.begin()->first <= now) {
    tasks_.push_back(std::move(delayed_.begin()->second));
    delayed_.erase(delayed_.begin());
  }
}

void SerialQueue::sync(const std::function<void()>& task) {
  if (isCurrent()) {
    task();
    return;
  }
  std::promise<void> done;
  post([&] {
    task();
    done.set_value();
  });
  done.get_future().wait();
}

void SerialQueue::run() {
  // Thread names are limited to 15 characters.
  nameThisThread(label_);
  MutexLock lock(mutex_);
  for (;;) {
    moveDueTasks(std::chrono::steady_clock::now());
    if (tasks_.empty()) {
      if (stopping_) return;
      // No predicate: any post, including an earlier delayed one, must re-evaluate the deadline.
      if (delayed_.empty()) {
        wake_.wait(lock);
      } else {
        wake_.waitUntil(lock, delayed_.begin()->first);
      }
      continue;
    }
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

}  // namespace pelorin
