#include "capture/capture_configuration.h"

#include <algorithm>
#include <cmath>

#include "media/capture_lines.h"

namespace pelorin::capture {

platform::StreamConfiguration makeCaptureConfiguration(const media::StreamSettings& stream,
                                                       std::optional<Rect> sourceRect) {
  return {.width = stream.width, .height = stream.height, .minimumFrameInterval = stream.frameRate.interval(),
          .pixelFormat = platform::pixelFormat420v, .queueDepth = media::captureQueueCapacity, .showsCursor = true,
          .scalesToFit = true, .preservesAspectRatio = true, .sourceRect = sourceRect};
}

Size streamSize(Size source, Size maximum) {
  if (!(source.width > 0 && source.height > 0 && maximum.width > 0 && maximum.height > 0)) return {0, 0};
  const double scale = std::min({maximum.width / source.width, maximum.height / source.height, 1.0});
  auto side = [scale](double length) {
    const double scaled = std::max(std::floor(length * scale), 2.0);
    return scaled - std::fmod(scaled, 2.0);
  };
  return {side(source.width), side(source.height)};
}

}  // namespace pelorin::capture
