#pragma once

#include "platform/image_encoding.h"

namespace pelorin::platform::image {

// JPEG by libturbojpeg, Base64 by libavutil.
class ImageEncodingBackend final : public ImageEncoding {
 public:
  std::optional<std::vector<std::uint8_t>> jpeg(const Image& image, double quality) override;
  std::string base64(std::span<const std::uint8_t> bytes) override;
};

}  // namespace pelorin::platform::image
