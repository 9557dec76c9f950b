#pragma once

#include <time.h>

#include <cstdint>
#include <string>

namespace pelorin::media {

// A host monotonic reading in seconds paired with the Unix time taken to correspond to it.
struct ClockAnchor {
  double monotonicSeconds = 0;
  std::uint64_t unixNanoseconds = 0;
};

struct ClockMeasurement {
  ClockAnchor anchor;
  // Half the width of the wall-clock interval that bracketed the monotonic reading.
  std::uint64_t uncertaintyNanoseconds = 0;
};

// The clocks a measurement reads; replaceable so that tests can step them.
struct ClockSources {
  std::uint64_t (*unixNanoseconds)();
  double (*monotonicSeconds)();
};

// Wall-clock time in Unix nanoseconds.
std::uint64_t unixNanosecondsNow();
// The clock's reading in whole nanoseconds.
std::uint64_t clockNanoseconds(clockid_t clock);
// The host monotonic clock in whole nanoseconds.
inline std::uint64_t monotonicNanosecondsNow() { return clockNanoseconds(CLOCK_MONOTONIC); }

ClockSources systemClocks();

// One bracketed sample of both clocks. A sample across a backwards wall-clock step is taken
// again, so the bracket is always a real interval.
ClockMeasurement measureClockAnchor(const ClockSources& clocks = systemClocks());

// Unix nanoseconds of a host monotonic time, saturating at 0 and 2^64 - 1.
std::uint64_t captureUnixNanoseconds(double monotonicSeconds, const ClockAnchor& anchor);

// Wall clock minus monotonic clock at the anchor, in nanoseconds.
std::int64_t clockOffsetNanoseconds(const ClockAnchor& anchor);

// The "capture_clock_anchor" log line (without the line feed) for phase "start" or "end".
std::string clockAnchorLine(const std::string& phase, const ClockMeasurement& measurement);

}  // namespace pelorin::media
