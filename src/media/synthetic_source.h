#pragma once

#include <cstdint>

#include "base/error.h"
#include "media/hardware_encoder.h"

namespace pelorin::media {

// Feeds the encoder a cycle of six flat grey frames (luma 48, 72, ... 168) at `rate`, duration x rate
// frames paced on absolute monotonic deadlines, then finishes the encoder. A termination signal
// ends it early like a completed run; a failed output ends it with that failure. Fails before
// anything is encoded when its buffers cannot be made.
Result<void> runSynthetic(platform::FrameRate rate, std::int64_t duration, HardwareEncoder& encoder,
                          int errorFd = 2);

// Luma of frame buffer k of the cycle.
constexpr std::uint8_t syntheticLuma(int k) { return static_cast<std::uint8_t>(48 + 24 * k); }

}  // namespace pelorin::media
