#include "base/clock_sleep.h"

#include <cerrno>
#include <limits>

namespace pelorin {

std::uint64_t clockNanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

void sleepUntil(clockid_t clock, std::uint64_t deadlineNanoseconds) {
  timespec deadline{};
  deadline.tv_sec = static_cast<time_t>(deadlineNanoseconds / 1000000000u);
  deadline.tv_nsec = static_cast<long>(deadlineNanoseconds % 1000000000u);
  while (clock_nanosleep(clock, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

bool sleepUnlessStopped(clockid_t clock, double seconds, const std::atomic<bool>& stop) {
  constexpr std::uint64_t slice = 50000000;  // how late a stop may be noticed
  const double span = seconds * 1e9;
  const std::uint64_t start = clockNanoseconds(clock);
  const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - start;
  const std::uint64_t deadline =
      span >= static_cast<double>(room) ? std::numeric_limits<std::uint64_t>::max()
                                        : start + static_cast<std::uint64_t>(span > 0 ? span : 0);
  for (;;) {
    if (stop.load()) return false;
    const std::uint64_t now = clockNanoseconds(clock);
    if (now >= deadline) return true;
    sleepUntil(clock, deadline - now > slice ? now + slice : deadline);
  }
}

}  // namespace pelorin
