#include "media/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace pelorin::media {
namespace {

constexpr std::uint64_t maxU64 = std::numeric_limits<std::uint64_t>::max();

TEST(CaptureUnixNanoseconds, ConvertsAroundTheAnchor) {
  const ClockAnchor anchor{1000.0, 1'700'000'000'000'000'000ull};
  EXPECT_EQ(captureUnixNanoseconds(1000.0, anchor), anchor.unixNanoseconds);
  EXPECT_EQ(captureUnixNanoseconds(1000.25, anchor), anchor.unixNanoseconds + 250'000'000ull);
  EXPECT_EQ(captureUnixNanoseconds(999.75, anchor), anchor.unixNanoseconds - 250'000'000ull);
}

TEST(CaptureUnixNanoseconds, SaturatesInsteadOfWrapping) {
  const ClockAnchor small{1000.0, 5'000'000'000ull};
  EXPECT_EQ(captureUnixNanoseconds(0.0, small), 0u);            // 1000 s before, only 5 s of room
  EXPECT_EQ(captureUnixNanoseconds(995.0, small), 0u);          // exactly to zero
  EXPECT_EQ(captureUnixNanoseconds(-1e300, small), 0u);
  const ClockAnchor large{0.0, maxU64 - 10};
  EXPECT_EQ(captureUnixNanoseconds(1.0, large), maxU64);
  EXPECT_EQ(captureUnixNanoseconds(1e300, large), maxU64);
  EXPECT_EQ(captureUnixNanoseconds(10e-9, large), maxU64);      // fits exactly
}

TEST(CaptureUnixNanoseconds, RoundsHalvesAwayFromZero) {
  const ClockAnchor anchor{0.0, 1'000'000};
  EXPECT_EQ(captureUnixNanoseconds(1.5e-9, anchor), 1'000'002u);
  EXPECT_EQ(captureUnixNanoseconds(-1.5e-9, anchor), 999'998u);
  EXPECT_EQ(captureUnixNanoseconds(1.4e-9, anchor), 1'000'001u);
}

TEST(ClockOffsetNanoseconds, IsWallMinusMonotonic) {
  EXPECT_EQ(clockOffsetNanoseconds({2.5, 10'000'000'000ull}), 7'500'000'000);
  EXPECT_EQ(clockOffsetNanoseconds({20.0, 10'000'000'000ull}), -10'000'000'000);
  EXPECT_EQ(clockOffsetNanoseconds({0.0, 0}), 0);
}

TEST(ClockAnchorLine, HasTheExactForm) {
  const ClockMeasurement m{{20.0, 10'000'000'000ull}, 42};
  EXPECT_EQ(clockAnchorLine("start", m),
            "capture_clock_anchor phase=start offset_ns=-10000000000 uncertainty_ns=42 "
            "source=host_monotonic_to_unix");
}

// Scripted clocks for measureClockAnchor.
std::vector<std::uint64_t> wallReadings;
std::size_t wallIndex = 0;
std::uint64_t scriptedWall() { return wallReadings.at(wallIndex++); }
double scriptedMonotonic() { return 77.5; }

TEST(MeasureClockAnchor, TakesTheMidpointOfTheBracket) {
  wallReadings = {1000, 1011};
  wallIndex = 0;
  const ClockMeasurement m = measureClockAnchor({scriptedWall, scriptedMonotonic});
  EXPECT_EQ(m.anchor.monotonicSeconds, 77.5);
  EXPECT_EQ(m.anchor.unixNanoseconds, 1005u);  // 1000 + 11 / 2
  EXPECT_EQ(m.uncertaintyNanoseconds, 5u);
}

TEST(MeasureClockAnchor, SamplesAgainWhenTheWallClockStepsBack) {
  wallReadings = {5000, 4000, 6000, 6004};
  wallIndex = 0;
  const ClockMeasurement m = measureClockAnchor({scriptedWall, scriptedMonotonic});
  EXPECT_EQ(wallIndex, 4u);
  EXPECT_EQ(m.anchor.unixNanoseconds, 6002u);
  EXPECT_EQ(m.uncertaintyNanoseconds, 2u);
}

TEST(SystemClocks, AgreeWithOneAnother) {
  const ClockMeasurement m = measureClockAnchor();
  EXPECT_LT(m.uncertaintyNanoseconds, 1'000'000'000u);
  // Year 2020 or later.
  EXPECT_GT(m.anchor.unixNanoseconds, 1'577'836'800'000'000'000ull);
  const double later = monotonicSecondsNow();
  EXPECT_GE(later, m.anchor.monotonicSeconds);
  const std::uint64_t converted = captureUnixNanoseconds(later, m.anchor);
  const std::uint64_t wall = unixNanosecondsNow();
  EXPECT_LT(converted > wall ? converted - wall : wall - converted, 50'000'000u);
}

}  // namespace
}  // namespace pelorin::media
