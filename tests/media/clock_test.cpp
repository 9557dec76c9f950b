#include "media/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

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

// Scripted clocks for measureClockAnchor.
std::vector<std::uint64_t> wallReadings;
std::size_t wallIndex = 0;
std::uint64_t scriptedWall() { return wallReadings.at(wallIndex++); }

TEST(MeasureClockAnchor, TakesTheMidpointOfTheBracketSamplingAgainWhenTheWallClockStepsBack) {
  using Case = std::tuple<std::vector<std::uint64_t>, std::uint64_t, std::uint64_t>;  // readings, unix, uncertainty
  for (const auto& [readings, unix, uncertainty] : {Case{{1000, 1011}, 1005, 5}, Case{{5000, 4000, 6000, 6004}, 6002, 2}}) {
    wallReadings = readings;
    wallIndex = 0;
    const ClockMeasurement m = measureClockAnchor({scriptedWall, [] { return 77.5; }});
    EXPECT_EQ(wallIndex, readings.size());
    EXPECT_EQ(std::tie(m.anchor.monotonicSeconds, m.anchor.unixNanoseconds, m.uncertaintyNanoseconds),
              std::make_tuple(77.5, unix, uncertainty));
  }
}

}  // namespace
}  // namespace pelorin::media
