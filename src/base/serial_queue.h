#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "base/thread_annotations.h"

namespace pelorin {

// One named thread running tasks in the order they were posted. The destructor runs what is
// still queued, drops delayed tasks that are not yet due, then joins the thread.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void post(std::function<void()> task);
  // Queues the task once the delay has passed (after the tasks posted before that moment).
  void postAfter(std::chrono::steady_clock::duration delay, std::function<void()> task);
  // Runs the task on the queue and waits for it.
  void sync(const std::function<void()>& task);
  const std::string& label() const { return label_; }
  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  void run();
  void moveDueTasks(std::chrono::steady_clock::time_point now) REQUIRES(mutex_);

  std::string label_;
  Mutex mutex_;
  CondVar wake_;
  std::deque<std::function<void()>> tasks_ GUARDED_BY(mutex_);
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> delayed_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace pelorin
