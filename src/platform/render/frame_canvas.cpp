#include "platform/render/frame_canvas.h"

#include <algorithm>
#include <cstring>

#include "platform/render/damage_region.h"

namespace pelorin::platform::render {
namespace {

// Frames remembered: more than any pool holds buffers.
constexpr std::size_t rememberedFrames = 16;
// A buffer is brought up to date in at most this many copies.
constexpr std::size_t copiedBoxes = 8;

std::size_t chromaStride(const FrameLayout& layout) { return static_cast<std::size_t>(layout.frameWidth + 1) / 2 * 2; }
std::size_t chromaRows(const FrameLayout& layout) { return static_cast<std::size_t>(layout.frameHeight + 1) / 2; }

}  // namespace

void FrameCanvas::reset(const FrameLayout& layout) {
  layout_ = layout;
  history_.clear();
  holders_.clear();
  drawn_ = {PixelRect{0, 0, layout.frameWidth, layout.frameHeight}};
  luma_.resize(static_cast<std::size_t>(layout.frameWidth) * layout.frameHeight);
  chroma_.resize(chromaStride(layout) * chromaRows(layout));
  paintBars(layout_, planes());
}

Nv12Planes FrameCanvas::planes() {
  return {luma_.data(), static_cast<std::size_t>(layout_.frameWidth), chroma_.data(), chromaStride(layout_)};
}

bool FrameCanvas::drawWhole(const BgrxView& source) { return drawPart(source, layout_.placement); }

bool FrameCanvas::drawPart(const BgrxView& source, const PixelRect& area) {
  drawn_.push_back(area);
  return drawArea(source, layout_, area, planes(), scratch_);
}

bool FrameCanvas::copyTo(PixelBuffer& buffer) {
  if (buffer.planeCount() != 2 || buffer.width() != layout_.frameWidth || buffer.height() != layout_.frameHeight ||
      !buffer.lock(false)) {
    return false;
  }
  history_.push_back(std::exchange(drawn_, {}));
  if (history_.size() > rememberedFrames) history_.pop_front();
  ++frames_;
  auto holder = std::ranges::find(holders_, &buffer, &std::pair<const PixelBuffer*, std::uint64_t>::first);
  const std::optional<std::vector<PixelRect>> changed =
      holder == holders_.end() ? std::nullopt : changedSince(holder->second);
  if (changed) {
    // Each frame since then drew its parts, often the same ones again: each pixel is copied once.
    for (const PixelRect& area : mergeBoxes(*changed, copiedBoxes)) copyArea(area, buffer);
  } else {
    copyArea({0, 0, layout_.frameWidth, layout_.frameHeight}, buffer);
  }
  if (holder == holders_.end()) holder = holders_.insert(holders_.end(), {&buffer, 0});
  holder->second = frames_;
  buffer.unlock(false);
  return true;
}

std::optional<std::vector<PixelRect>> FrameCanvas::changedSince(std::uint64_t since) const {
  if (frames_ - since > history_.size()) return std::nullopt;
  std::vector<PixelRect> changed;
  for (auto frame = history_.end() - static_cast<std::ptrdiff_t>(frames_ - since); frame != history_.end(); ++frame) {
    changed.insert(changed.end(), frame->begin(), frame->end());
  }
  return changed;
}

// Copies the frame pixels of `area` (on even offsets, or reaching the frame's edge) with their
// chroma samples.
void FrameCanvas::copyArea(const PixelRect& area, PixelBuffer& buffer) const {
  const auto width = static_cast<std::size_t>(layout_.frameWidth);
  for (int row = area.y; row < area.y + area.height; ++row) {
    std::memcpy(buffer.planeBase(0) + static_cast<std::size_t>(row) * buffer.bytesPerRow(0) + area.x,
                luma_.data() + static_cast<std::size_t>(row) * width + area.x, static_cast<std::size_t>(area.width));
  }
  const int x0 = area.x & ~1;
  const auto bytes = std::min<std::size_t>((area.x + area.width + 1) & ~1, chromaStride(layout_)) - x0;
  for (int row = area.y / 2; row < (area.y + area.height + 1) / 2; ++row) {
    std::memcpy(buffer.planeBase(1) + static_cast<std::size_t>(row) * buffer.bytesPerRow(1) + x0,
                chroma_.data() + static_cast<std::size_t>(row) * chromaStride(layout_) + x0, bytes);
  }
}

}  // namespace pelorin::platform::render
