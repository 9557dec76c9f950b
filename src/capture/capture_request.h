#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/geometry.h"
#include "media/stream_settings.h"

namespace pelorin::capture {

// What one capture run is asked for: the stream it makes, its length, and the source.
struct CaptureRequest {
  media::StreamSettings stream;
  std::int64_t durationSeconds = 60;
  std::optional<std::uint32_t> displayID;
  std::optional<std::uint32_t> windowID;
  std::optional<std::string> windowTitle;
  std::int64_t contentWidth = 0;
  std::int64_t contentHeight = 0;
  std::optional<Rect> portion;  // display space
};

}  // namespace pelorin::capture
