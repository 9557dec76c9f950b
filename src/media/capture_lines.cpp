#include "media/capture_lines.h"

namespace pelorin::media {

std::string captureStartLine(std::string_view capture, const StreamSettings& stream) {
  return "capture_start capture=" + std::string(capture) + " width=" + std::to_string(stream.width) +
         " height=" + std::to_string(stream.height) + " fps=" + std::to_string(stream.frameRate.num / stream.frameRate.den) +
         " abs_capture_time_source=capture queue_capacity=" + std::to_string(captureQueueCapacity);
}

}  // namespace pelorin::media
