#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "media/stream_settings.h"

namespace pelorin::media {

// Frames the capture side may hold at once: its stream's queue depth, reported in the log lines.
constexpr int captureQueueCapacity = 3;

// The "capture_start" line (without the line feed) of a capture named `capture`.
std::string captureStartLine(std::string_view capture, const StreamSettings& stream);

}  // namespace pelorin::media
