#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/screen_capture.h"

namespace pelorin::platform {

// Still-image encodings for thumbnails.
class ImageEncoding {
 public:
  virtual ~ImageEncoding() = default;
  // A complete JPEG file of the image at `quality` (0 to 1), or nothing when encoding fails.
  virtual std::optional<std::vector<std::uint8_t>> jpeg(const Image& image, double quality) = 0;
  // Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
  virtual std::string base64(std::span<const std::uint8_t> bytes) = 0;
};

}  // namespace pelorin::platform
