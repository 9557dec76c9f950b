#include "portion/selection_watch.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace pelorin::portion {
namespace {

// Shared by the two watchers of one selection; only the first to fire speaks.
struct PortionSelectionWatch {
  std::mutex lock;
  bool ended = false;  // guarded by lock
  std::function<void(const std::string&)> onEnd;

  void end(const std::string& word) {
    {
      std::lock_guard guard(lock);
      if (ended) return;
      ended = true;
    }
    onEnd(word);
  }
};

void readToEnd(int fd) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    return;
  }
}

}  // namespace

void watchPortionSelection(int input, double timeout, std::function<void(const std::string&)> onEnd) {
  auto watch = std::make_shared<PortionSelectionWatch>();
  watch->onEnd = std::move(onEnd);
  std::thread([watch, input] {
    readToEnd(input);
    watch->end("portion_parent_gone");
  }).detach();
  std::thread([watch, timeout] {
    std::this_thread::sleep_for(std::chrono::duration<double>(timeout));
    watch->end("portion_timeout");
  }).detach();
}

}  // namespace pelorin::portion
