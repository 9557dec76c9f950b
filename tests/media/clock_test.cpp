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
  struct Case {
    double seconds;
    ClockAnchor anchor;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {1000.0, anchor, anchor.unixNanoseconds},
      {1000.25, anchor, anchor.unixNanoseconds + 250'000'000ull},
      {999.75, anchor, anchor.unixNanoseconds - 250'000'000ull},
      {1.5e-9, small, 1'000'002u},
      {-1.5e-9, small, 999'998u},
      {1.4e-9, small, 1'000'001u},
      {0.0, nearZero, 0u},  // 1000 s before, only 5 s of room
      {995.0, nearZero, 0u},
      {-1e300, nearZero, 0u},
      {1.0, nearMax, maxU64},
      {1e300, nearMax, maxU64},
      {10e-9, nearMax, maxU64},  // fits exactly
  };
  for (const Case& c : cases) EXPECT_EQ(captureUnixNanoseconds(c.seconds, c.anchor), c.expected) << c.seconds;
}

TEST(ClockAnchorLine, GivesWallMinusMonotonicInTheExactForm) {
  EXPECT_EQ(clockOffsetNanoseconds({2.5, 10'000'000'000ull}), 7'500'000'000);
  EXPECT_EQ(clockAnchorLine("start", {{20.0, 10'000'000'000ull}, 42}),
            "capture_clock_anchor phase=start offset_ns=-10000000000 uncertainty_ns=42 "
            "source=host_monotonic_to_unix");
}

// Scripted clocks for measureClockAnchor.
std::vector<std::uint64_t> wallReadings;
std::size_t wallIndex = 0;
std::uint64_t scriptedWall() { return wallReadings.at(wallIndex++); }
double scriptedMonotonic() { return 77.5; }

TEST(MeasureClockAnchor, TakesTheMidpointOfTheBracketSamplingAgainWhenTheWallClockStepsBack) {
  struct Case {
    std::vector<std::uint64_t> readings;
    std::uint64_t unix, uncertainty;
  };
  for (const Case& c : {Case{{1000, 1011}, 1005, 5}, Case{{5000, 4000, 6000, 6004}, 6002, 2}}) {
    wallReadings = c.readings;
    wallIndex = 0;
    const ClockMeasurement m = measureClockAnchor({scriptedWall, scriptedMonotonic});
    EXPECT_EQ(wallIndex, c.readings.size());
    EXPECT_EQ(m.anchor.monotonicSeconds, 77.5);
    EXPECT_EQ(m.anchor.unixNanoseconds, c.unix);
    EXPECT_EQ(m.uncertaintyNanoseconds, c.uncertainty);
  }
}

TEST(SystemClocks, AgreeWithOneAnother) {
  const ClockMeasurement m = measureClockAnchor();
  EXPECT_LT(m.uncertaintyNanoseconds, 1'000'000'000u);
  EXPECT_GT(m.anchor.unixNanoseconds, 1'577'836'800'000'000'000ull);  // 2020 or later
  const double later = monotonicSecondsNow();
  EXPECT_GE(later, m.anchor.monotonicSeconds);
  const std::uint64_t converted = captureUnixNanoseconds(later, m.anchor), wall = unixNanosecondsNow();
  EXPECT_LT(converted > wall ? converted - wall : wall - converted, 50'000'000u);
}

}  // namespace
}  // namespace pelorin::media
