#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/geometry.h"

namespace pelorin::capture {

// What one capture run is asked for: the output frame, its pacing and length, and the source.
struct CaptureRequest {
  int width = 1920;
  int height = 1080;
  int fps = 30;
  std::int64_t durationSeconds = 60;
  std::optional<std::uint32_t> displayID;
  std::optional<std::uint32_t> windowID;
  std::optional<std::string> windowTitle;
  std::int64_t contentWidth = 0;
  std::int64_t contentHeight = 0;
  std::optional<Rect> portion;  // display space
};

}  // namespace pelorin::capture
