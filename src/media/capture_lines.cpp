#include "media/capture_lines.h"

namespace pelorin::media {

std::string captureStartLine(std::string_view capture, const StreamSettings& stream) {
  const std::int32_t fps = stream.frameRate.num / stream.frameRate.den;  // whole frames per second, as given
  return "capture_start capture=" + std::string(capture) + " width=" + std::to_string(stream.width) +
         " height=" + std::to_string(stream.height) + " fps=" + std::to_string(fps) +
         " abs_capture_time_source=capture queue_capacity=" + std::to_string(captureQueueCapacity);
}

}  // namespace pelorin::media
