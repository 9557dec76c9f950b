#include "platform/x11/frame_render.h"

#include <algorithm>
#include <cstring>

namespace pelorin::platform::x11 {

void compositeCursor(std::uint8_t* bgrx, std::size_t bytesPerRow, int width, int height, int originX, int originY,
                     const CursorPicture& cursor) {
  const PixelRect visible = intersect(cursor.bounds(), PixelRect{originX, originY, width, height});
  if (visible.empty() || cursor.argb.size() < static_cast<std::size_t>(cursor.width) * cursor.height) return;
  for (int row = visible.y; row < visible.y + visible.height; ++row) {
    const std::uint32_t* from = cursor.argb.data() + static_cast<std::size_t>(row - cursor.y) * cursor.width;
    std::uint8_t* to = bgrx + static_cast<std::size_t>(row - originY) * bytesPerRow;
    for (int column = visible.x; column < visible.x + visible.width; ++column) {
      const std::uint32_t s = from[column - cursor.x];
      const std::uint32_t alpha = s >> 24;
      if (alpha == 0) continue;
      std::uint8_t* d = to + static_cast<std::size_t>(column - originX) * 4;
      const std::uint32_t keep = 255 - alpha;
      // Premultiplied "over": source + destination * (1 - alpha).
      for (int channel = 0; channel < 3; ++channel) {
        const std::uint32_t sc = (s >> (8 * channel)) & 0xff;
        d[channel] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, sc + (d[channel] * keep + 127) / 255));
      }
      d[3] = 0xff;
    }
  }
}

void CursorPatch::draw(std::uint8_t* bgrx, std::size_t bytesPerRow, int width, int height, int originX, int originY,
                       const CursorPicture& cursor) {
  restore();
  const PixelRect visible = intersect(cursor.bounds(), PixelRect{originX, originY, width, height});
  if (visible.empty()) return;
  picture_ = bgrx;
  bytesPerRow_ = bytesPerRow;
  covered_ = {visible.x - originX, visible.y - originY, visible.width, visible.height};
  const auto rowBytes = static_cast<std::size_t>(covered_.width) * 4;
  saved_.resize(rowBytes * static_cast<std::size_t>(covered_.height));
  for (int row = 0; row < covered_.height; ++row) {
    std::memcpy(saved_.data() + row * rowBytes, at(row), rowBytes);
  }
  compositeCursor(bgrx, bytesPerRow, width, height, originX, originY, cursor);
}

void CursorPatch::restore() {
  if (!picture_) return;
  const auto rowBytes = static_cast<std::size_t>(covered_.width) * 4;
  for (int row = 0; row < covered_.height; ++row) {
    std::memcpy(at(row), saved_.data() + row * rowBytes, rowBytes);
  }
  picture_ = nullptr;
}

std::uint8_t* CursorPatch::at(int row) const {
  return picture_ + static_cast<std::size_t>(covered_.y + row) * bytesPerRow_ + static_cast<std::size_t>(covered_.x) * 4;
}

std::optional<std::string> edidMonitorName(const std::uint8_t* edid, std::size_t size) {
  static constexpr std::uint8_t header[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
  if (!edid || size < 128 || std::memcmp(edid, header, sizeof header) != 0) return std::nullopt;
  for (std::size_t offset = 54; offset + 18 <= 126; offset += 18) {
    const std::uint8_t* d = edid + offset;
    if (d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != 0xfc) continue;
    std::string name;
    for (std::size_t i = 5; i < 18 && d[i] != 0x0a && d[i] != 0; ++i) name.push_back(static_cast<char>(d[i]));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (!name.empty()) return name;
  }
  return std::nullopt;
}

}  // namespace pelorin::platform::x11
