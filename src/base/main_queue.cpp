#include "base/main_queue.h"

namespace pelorin {

void MainQueue::post(std::function<void()> task) {
  {
    MutexLock lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notifyOne();
}

void MainQueue::exit(int status) {
  {
    MutexLock lock(mutex_);
    if (!status_) status_ = status;
  }
  wake_.notifyOne();
}

int MainQueue::run() {
  MutexLock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this]() REQUIRES(mutex_) { return status_.has_value() || !tasks_.empty(); });
    if (status_) return *status_;
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

}  // namespace pelorin
