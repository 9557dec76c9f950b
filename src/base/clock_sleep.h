#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace pelorin {

// The clock's reading in nanoseconds.
std::uint64_t clockNanoseconds(clockid_t clock);

// Sleeps until the clock reaches the deadline, through signal interruptions.
void sleepUntil(clockid_t clock, std::uint64_t deadlineNanoseconds);

// Sleeps `seconds` on the clock, waking early once `stop` is set; returns false if it was.
bool sleepUnlessStopped(clockid_t clock, double seconds, const std::atomic<bool>& stop);

}  // namespace pelorin
