#include "media/capture_lines.h"

namespace pelorin::media {

std::string captureStartLine(std::string_view capture, std::int64_t width, std::int64_t height, std::int64_t fps) {
  return "capture_start capture=" + std::string(capture) + " width=" + std::to_string(width) +
         " height=" + std::to_string(height) + " fps=" + std::to_string(fps) +
         " abs_capture_time_source=capture queue_capacity=" + std::to_string(captureQueueCapacity);
}

}  // namespace pelorin::media
