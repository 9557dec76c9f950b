#include "sources/thumbnail.h"

#include <cmath>
#include <limits>

namespace pelorin::sources {

int thumbnailHeight(double sourceWidth, double sourceHeight) {
  const double scale = thumbnailWidth / (sourceWidth <= 1 ? 1.0 : sourceWidth);
  const double height = std::trunc(sourceHeight * scale);
  if (!(height >= 1)) return 1;  // also catches NaN
  return height >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(height);
}

std::optional<std::string> captureThumbnail(platform::ScreenCaptureService& capture, platform::ImageEncoding& encoding,
                                            const platform::ContentFilter& filter, double sourceWidth,
                                            double sourceHeight) {
  platform::ScreenshotConfiguration configuration;
  configuration.width = thumbnailWidth;
  configuration.height = thumbnailHeight(sourceWidth, sourceHeight);
  configuration.showsCursor = false;
  Result<platform::Image> image = capture.captureImage(filter, configuration);
  if (!image) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> jpeg = encoding.jpeg(*image, thumbnailQuality);
  if (!jpeg) return std::nullopt;
  return "data:image/jpeg;base64," + encoding.base64(*jpeg);
}

}  // namespace pelorin::sources
