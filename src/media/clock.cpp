#include "media/clock.h"

#include <cmath>
#include <limits>

#include "platform/media_time.h"

namespace pelorin::media {
namespace {

// Seconds to nanoseconds, rounded half away from zero, clamped to the signed 64-bit range
// (non-finite inputs do not come from real clocks; NaN maps to 0).
std::int64_t roundedNanoseconds(double seconds) {
  const double ns = std::round(seconds * 1e9);
  if (std::isnan(ns)) return 0;
  if (ns >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (ns <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ns);
}

}  // namespace

std::uint64_t unixNanosecondsNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const double seconds = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  const double ns = seconds * 1e9;
  return ns <= 0 ? 0 : static_cast<std::uint64_t>(ns);
}

std::uint64_t clockNanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

ClockSources systemClocks() { return {unixNanosecondsNow, platform::monotonicSeconds}; }

ClockMeasurement measureClockAnchor(const ClockSources& clocks) {
  for (;;) {
    const std::uint64_t before = clocks.unixNanoseconds();
    const double mono = clocks.monotonicSeconds();
    const std::uint64_t after = clocks.unixNanoseconds();
    if (after < before) continue;  // the wall clock stepped back mid-sample
    const std::uint64_t half = (after - before) / 2;
    return {{mono, before + half}, half};
  }
}

std::uint64_t captureUnixNanoseconds(double monotonicSeconds, const ClockAnchor& anchor) {
  const std::int64_t delta = roundedNanoseconds(monotonicSeconds - anchor.monotonicSeconds);
  if (delta < 0) {
    // Magnitude as unsigned, safe for INT64_MIN.
    const std::uint64_t magnitude = static_cast<std::uint64_t>(-(delta + 1)) + 1;
    return magnitude > anchor.unixNanoseconds ? 0 : anchor.unixNanoseconds - magnitude;
  }
  const auto forward = static_cast<std::uint64_t>(delta);
  const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - anchor.unixNanoseconds;
  return forward > room ? std::numeric_limits<std::uint64_t>::max() : anchor.unixNanoseconds + forward;
}

std::int64_t clockOffsetNanoseconds(const ClockAnchor& anchor) {
  const auto unix = static_cast<std::int64_t>(anchor.unixNanoseconds);
  const std::int64_t mono = roundedNanoseconds(anchor.monotonicSeconds);
  std::int64_t offset = 0;
  if (__builtin_sub_overflow(unix, mono, &offset)) {
    return mono > 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  }
  return offset;
}

std::string clockAnchorLine(const std::string& phase, const ClockMeasurement& measurement) {
  return "capture_clock_anchor phase=" + phase +
         " offset_ns=" + std::to_string(clockOffsetNanoseconds(measurement.anchor)) +
         " uncertainty_ns=" + std::to_string(measurement.uncertaintyNanoseconds) +
         " source=host_monotonic_to_unix";
}

}  // namespace pelorin::media
