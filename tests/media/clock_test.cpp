#include "media/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace pelorin::media {
namespace {

TEST(CaptureUnixNanoseconds, ConvertsAroundTheAnchorRoundingHalvesAwayAndSaturating) {
  constexpr std::uint64_t maxU64 = std::numeric_limits<std::uint64_t>::max();
  const ClockAnchor anchor{1000.0, 1'700'000'000'000'000'000ull}, nearZero{1000.0, 5'000'000'000ull},
      nearMax{0.0, maxU64 - 10}, small{0.0, 1'000'000};
  const std::tuple<double, ClockAnchor, std::uint64_t> cases[] = {
      {1000.25, anchor, anchor.unixNanoseconds + 250'000'000ull},
      {999.75, anchor, anchor.unixNanoseconds - 250'000'000ull},
      {1.5e-9, small, 1'000'002u},
      {-1.5e-9, small, 999'998u},
      {0.0, nearZero, 0u},  // 1000 s before, only 5 s of room
      {1e300, nearMax, maxU64},
      {10e-9, nearMax, maxU64},  // fits exactly
  };
  for (const auto& [seconds, anchor, expected] : cases) EXPECT_EQ(captureUnixNanoseconds(seconds, anchor), expected) << seconds;
  EXPECT_EQ(clockOffsetNanoseconds({2.5, 10'000'000'000ull}), 7'500'000'000);
  EXPECT_EQ(clockAnchorLine("start", {{20.0, 10'000'000'000ull}, 42}),
            "capture_clock_anchor phase=start offset_ns=-10000000000 uncertainty_ns=42 source=host_monotonic_to_unix");
}

}  // namespace
}  // namespace pelorin::media
