#include "platform/render/frame_canvas.h"

#include <cstring>

namespace pelorin::platform::render {
namespace {

std::size_t chromaStride(const FrameLayout& layout) { return static_cast<std::size_t>(layout.frameWidth + 1) / 2 * 2; }
std::size_t chromaRows(const FrameLayout& layout) { return static_cast<std::size_t>(layout.frameHeight + 1) / 2; }

void copyPlane(const std::uint8_t* from, std::size_t fromStride, std::uint8_t* to, std::size_t toStride,
               std::size_t rowBytes, std::size_t rows) {
  if (fromStride == toStride) {
    std::memcpy(to, from, fromStride * rows);
    return;
  }
  for (std::size_t row = 0; row < rows; ++row) std::memcpy(to + row * toStride, from + row * fromStride, rowBytes);
}

}  // namespace

void FrameCanvas::reset(const FrameLayout& layout) {
  layout_ = layout;
  luma_.resize(static_cast<std::size_t>(layout.frameWidth) * layout.frameHeight);
  chroma_.resize(chromaStride(layout) * chromaRows(layout));
  paintBars(layout_, planes());
}

Nv12Planes FrameCanvas::planes() {
  return {luma_.data(), static_cast<std::size_t>(layout_.frameWidth), chroma_.data(), chromaStride(layout_)};
}

bool FrameCanvas::drawWhole(const BgrxView& source) { return drawPart(source, layout_.placement); }

bool FrameCanvas::drawPart(const BgrxView& source, const PixelRect& area) {
  return drawArea(source, layout_, area, planes(), scratch_);
}

bool FrameCanvas::copyTo(PixelBuffer& buffer) const {
  if (buffer.planeCount() != 2 || buffer.width() != layout_.frameWidth || buffer.height() != layout_.frameHeight ||
      !buffer.lock(false)) {
    return false;
  }
  const auto width = static_cast<std::size_t>(layout_.frameWidth);
  copyPlane(luma_.data(), width, buffer.planeBase(0), buffer.bytesPerRow(0), width,
            static_cast<std::size_t>(layout_.frameHeight));
  copyPlane(chroma_.data(), chromaStride(layout_), buffer.planeBase(1), buffer.bytesPerRow(1), chromaStride(layout_),
            chromaRows(layout_));
  buffer.unlock(false);
  return true;
}

}  // namespace pelorin::platform::render
