#pragma once

#include <cstdint>

#include "base/error.h"
#include "media/hardware_encoder.h"

namespace pelorin::media {

// Feeds the encoder a cycle of six flat grey frames (luma 48, 72, ... 168) at `fps` for
// `duration` seconds, paced on absolute monotonic deadlines, then finishes the encoder.
// Fails only when its buffers cannot be made, or when the output stops taking records.
Result<void> runSynthetic(std::int64_t fps, std::int64_t duration, HardwareEncoder& encoder);

// Luma of frame buffer k of the cycle.
constexpr std::uint8_t syntheticLuma(int k) { return static_cast<std::uint8_t>(48 + 24 * k); }

}  // namespace pelorin::media
