#include "base/main_queue.h"

namespace pelorin {

void MainQueue::post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void MainQueue::exit(int status) {
  {
    std::lock_guard lock(mutex_);
    if (!status_) status_ = status;
  }
  wake_.notify_one();
}

int MainQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return status_.has_value() || !tasks_.empty(); });
    if (status_) return *status_;
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

}  // namespace pelorin
