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

// The host monotonic clock (CLOCK_MONOTONIC) in seconds: the clock of presentation times.
inline double monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace pelorin::platform
