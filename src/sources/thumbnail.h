#pragma once

#include <optional>
#include <string>

#include "platform/image_encoding.h"
#include "platform/screen_capture.h"

namespace pelorin::sources {

constexpr int thumbnailWidth = 320;
constexpr double thumbnailQuality = 0.7;

// Height of a thumbnail 320 pixels wide for a source of the given size in points: the source
// height scaled by 320 / width (a width of at most 1 counts as 1), truncated, at least 1.
int thumbnailHeight(double sourceWidth, double sourceHeight);

// One still picture of the filter's content as a "data:image/jpeg;base64," URL, or nothing when
// any step fails.
std::optional<std::string> captureThumbnail(platform::ScreenCaptureService& capture, platform::ImageEncoding& encoding,
                                            const platform::ContentFilter& filter, double sourceWidth,
                                            double sourceHeight);

}  // namespace pelorin::sources
