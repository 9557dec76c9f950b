#pragma once

#include <optional>

#include "base/geometry.h"
#include "capture/crop_geometry.h"
#include "media/stream_settings.h"
#include "platform/screen_capture.h"

namespace pelorin::capture {

// A scaled, aspect-keeping NV12 configuration of the stream's size and rate, optionally of a source
// rectangle.
platform::StreamConfiguration makeCaptureConfiguration(const media::StreamSettings& stream,
                                                       std::optional<Rect> sourceRect = std::nullopt);

// An even-sided size of at least 2 x 2 that fits `source` into `maximum` without enlarging it;
// 0 x 0 when either size is not positive.
Size streamSize(Size source, Size maximum);

}  // namespace pelorin::capture
