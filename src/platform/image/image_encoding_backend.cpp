#include "platform/image/image_encoding_backend.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

extern "C" {
#include <libavutil/base64.h>
}

namespace pelorin::platform::image {
namespace {

struct CompressorDeleter {
  void operator()(void* handle) const { tjDestroy(handle); }
};

bool describesItsPixels(const Image& image) {
  if (image.width <= 0 || image.height <= 0) return false;
  const auto rowBytes = static_cast<std::size_t>(image.width) * 4;
  return image.bytesPerRow >= rowBytes && image.bytesPerRow <= static_cast<std::size_t>(std::numeric_limits<int>::max()) &&
         image.pixels.size() >= image.bytesPerRow * static_cast<std::size_t>(image.height - 1) + rowBytes;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ImageEncodingBackend::jpeg(const Image& image, double quality) {
  if (!describesItsPixels(image)) return std::nullopt;
  std::unique_ptr<void, CompressorDeleter> compressor(tjInitCompress());
  if (!compressor) return std::nullopt;
  const int jpegQuality = static_cast<int>(std::lround(std::clamp(quality, 0.0, 1.0) * 100));
  unsigned char* data = nullptr;
  unsigned long size = 0;
  // BGRA words in little-endian memory are the bytes B, G, R, A.
  const int status = tjCompress2(compressor.get(), image.pixels.data(), image.width,
                                 static_cast<int>(image.bytesPerRow), image.height, TJPF_BGRX, &data, &size,
                                 TJSAMP_420, std::max(1, jpegQuality), TJFLAG_ACCURATEDCT);
  std::optional<std::vector<std::uint8_t>> out;
  if (status == 0 && data) out.emplace(data, data + size);
  tjFree(data);
  return out;
}

std::string ImageEncodingBackend::base64(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max() / 4 * 3 - 3)) return {};
  std::string text(AV_BASE64_SIZE(bytes.size()), '\0');
  if (!av_base64_encode(text.data(), static_cast<int>(text.size()), bytes.data(), static_cast<int>(bytes.size()))) {
    return {};
  }
  text.resize(text.find('\0'));
  return text;
}

}  // namespace pelorin::platform::image
