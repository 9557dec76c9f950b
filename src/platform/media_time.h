#pragma once

#include <time.h>

#include <cstdint>

namespace pelorin::platform {

// A media time: value / timescale seconds.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 1;

  double seconds() const { return timescale == 0 ? 0.0 : static_cast<double>(value) / timescale; }
};

// Frames per second as a fraction, num frames every den seconds; each backend converts it at its
// own edge (a frame interval, a codec time base).
struct FrameRate {
  std::int32_t num = 0;
  std::int32_t den = 1;

  // The time of one frame.
  constexpr MediaTime interval() const { return {den, num}; }
  constexpr double perSecond() const { return den == 0 ? 0.0 : static_cast<double>(num) / den; }
  friend bool operator==(const FrameRate&, const FrameRate&) = default;
};

// The rate of a stream that names none: pelorin-encoder without --fps, a session never told one.
inline constexpr FrameRate defaultFrameRate{30, 1};

// The host monotonic clock (CLOCK_MONOTONIC) in seconds: the clock of presentation times.
inline double monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace pelorin::platform
