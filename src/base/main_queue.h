#pragma once

#include <deque>
#include <functional>
#include <optional>

#include "base/thread_annotations.h"

namespace pelorin {

// The main thread's task loop: the main thread runs queued tasks until some thread asks it to
// end with an exit status. Work that must happen on the main thread is posted here.
class MainQueue {
 public:
  void post(std::function<void()> task);
  void exit(int status);
  // Runs tasks on the calling thread until exit() is called; returns its status.
  int run();

 private:
  Mutex mutex_;
  CondVar wake_;
  std::deque<std::function<void()>> tasks_ GUARDED_BY(mutex_);
  std::optional<int> status_ GUARDED_BY(mutex_);
};

}  // namespace pelorin
