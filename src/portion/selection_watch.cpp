#include "portion/selection_watch.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/thread_name.h"

namespace pelorin::portion {
namespace {

using Clock = std::chrono::steady_clock;

// The reason the watch ends with, or none when it was stopped.
std::string watch(int input, Clock::time_point deadline, const Wakeup& stop) {
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return "portion_timeout";
    switch (stop.waitForInput(input, static_cast<int>(std::min<long long>(left, 60'000)))) {
      case Wakeup::Waited::woken: return {};
      case Wakeup::Waited::timedOut: continue;
      case Wakeup::Waited::input: break;
    }
    const ssize_t n = ::read(input, buffer, sizeof buffer);
    if (n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN))) return "portion_parent_gone";
  }
}

}  // namespace

PortionSelectionWatch::PortionSelectionWatch(int input, double timeout,
                                             std::function<void(const std::string&)> onEnd) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
  thread_ = std::thread([this, input, deadline, onEnd = std::move(onEnd)] {
    nameThisThread("pelorin.select");
    if (const std::string reason = watch(input, deadline, stop_); !reason.empty()) onEnd(reason);
  });
}

PortionSelectionWatch::~PortionSelectionWatch() {
  stop_.wake();
  thread_.join();
}

}  // namespace pelorin::portion
