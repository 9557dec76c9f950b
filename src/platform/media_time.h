#pragma once

#include <cstdint>

namespace pelorin::platform {

// A media time: value / timescale seconds.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 1;

  double seconds() const { return timescale == 0 ? 0.0 : static_cast<double>(value) / timescale; }
};

}  // namespace pelorin::platform
