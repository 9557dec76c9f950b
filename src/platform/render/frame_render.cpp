#include "platform/render/frame_render.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

namespace pelorin::platform::render {
namespace {

constexpr std::uint8_t blackLuma = 16;
constexpr std::uint8_t neutralChroma = 128;
// Rows of scaled content converted at a time: a band of a 1280-pixel row stays in the cache.
constexpr int bandRows = 32;

Error layoutError(std::string message) { return Error{"Capture", -1, std::move(message)}; }

// The whole pixels a rectangle in content pixels touches.
PixelRect coveringPixels(const Rect& r) {
  const double x0 = std::floor(r.x);
  const double y0 = std::floor(r.y);
  const double x1 = std::ceil(r.x + r.width);
  const double y1 = std::ceil(r.y + r.height);
  return {static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)};
}

int evenFloor(int v) { return v & ~1; }
int evenRound(double v) { return std::max(2, static_cast<int>(std::lround(v / 2.0)) * 2); }

void fillRows(std::uint8_t* base, std::size_t stride, int row0, int row1, int byte0, int byte1, std::uint8_t value) {
  if (byte1 <= byte0) return;
  for (int row = row0; row < row1; ++row) {
    std::memset(base + static_cast<std::size_t>(row) * stride + byte0, value, static_cast<std::size_t>(byte1 - byte0));
  }
}

// Paints everything of one plane outside the rectangle [x0,x1)x[y0,y1) (in bytes and rows).
void fillOutside(std::uint8_t* base, std::size_t stride, int rowBytes, int rows, int x0, int y0, int x1, int y1,
                 std::uint8_t value) {
  fillRows(base, stride, 0, y0, 0, rowBytes, value);
  fillRows(base, stride, y1, rows, 0, rowBytes, value);
  fillRows(base, stride, y0, y1, 0, x0, value);
  fillRows(base, stride, y0, y1, x1, rowBytes, value);
}

}  // namespace

PixelRect intersect(const PixelRect& a, const PixelRect& b) {
  const int x0 = std::max(a.x, b.x);
  const int y0 = std::max(a.y, b.y);
  const int x1 = std::min(a.x + a.width, b.x + b.width);
  const int y1 = std::min(a.y + a.height, b.y + b.height);
  if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
  return {x0, y0, x1 - x0, y1 - y0};
}

bool intersects(const PixelRect& a, const PixelRect& b) { return !intersect(a, b).empty(); }

Result<FrameLayout> computeLayout(int contentWidth, int contentHeight, const StreamConfiguration& c) {
  if (contentWidth <= 0 || contentHeight <= 0) return layoutError("the display has no area");
  const PixelRect content{0, 0, contentWidth, contentHeight};
  PixelRect source = content;
  if (c.sourceRect) {
    source = intersect(coveringPixels(*c.sourceRect), content);
    if (source.empty()) return layoutError("the source rectangle lies outside the display");
  }
  FrameLayout layout;
  // No size asked for: frames as large as what is captured.
  layout.frameWidth = c.width > 0 ? c.width : source.width;
  layout.frameHeight = c.height > 0 ? c.height : source.height;
  if (c.width < 0 || c.height < 0) return layoutError("the frame size is negative");
  const PixelRect frame{0, 0, layout.frameWidth, layout.frameHeight};
  PixelRect destination = frame;
  if (c.destinationRect) {
    destination = intersect(coveringPixels(*c.destinationRect), frame);
    if (destination.empty()) return layoutError("the destination rectangle lies outside the frame");
  }

  PixelRect placement;
  if (!c.scalesToFit) {
    // Drawn pixel for pixel from the destination's corner; what does not fit is cut off.
    placement = {destination.x, destination.y, std::min(source.width, destination.width),
                 std::min(source.height, destination.height)};
    source.width = placement.width;
    source.height = placement.height;
  } else if (c.preservesAspectRatio) {
    const double scale = std::min(static_cast<double>(destination.width) / source.width,
                                  static_cast<double>(destination.height) / source.height);
    // Even sizes and offsets keep the 2x2 chroma samples of content and bars apart.
    const int w = std::min(evenRound(source.width * scale), destination.width);
    const int h = std::min(evenRound(source.height * scale), destination.height);
    placement = {destination.x + (destination.width - w) / 2, destination.y + (destination.height - h) / 2, w, h};
  } else {
    placement = destination;
  }
  if (placement.x % 2 != 0 && placement.x > destination.x) placement.x -= 1;
  if (placement.y % 2 != 0 && placement.y > destination.y) placement.y -= 1;
  placement = intersect(placement, frame);
  if (placement.empty()) return layoutError("the content has no room in the frame");
  layout.source = source;
  layout.placement = placement;
  layout.contentScale = static_cast<double>(placement.width) / source.width;
  return layout;
}

SampleAttachments completeAttachments(const FrameLayout& layout, double scaleFactor) {
  SampleAttachments attachments;
  attachments.status = FrameStatus::Complete;
  const PixelRect& p = layout.placement;
  attachments.contentRect = Rect{static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.width),
                                 static_cast<double>(p.height)};
  attachments.scaleFactor = scaleFactor;
  attachments.contentScale = layout.contentScale;
  return attachments;
}

void paintBars(const FrameLayout& layout, const Nv12Planes& frame) {
  const PixelRect& p = layout.placement;
  fillOutside(frame.y, frame.yStride, layout.frameWidth, layout.frameHeight, p.x, p.y, p.x + p.width, p.y + p.height,
              blackLuma);
  const int uvRowBytes = (layout.frameWidth + 1) / 2 * 2;
  const int uvX0 = evenFloor(p.x);
  const int uvX1 = std::min(uvRowBytes, uvX0 + (p.width + 1) / 2 * 2);
  fillOutside(frame.uv, frame.uvStride, uvRowBytes, (layout.frameHeight + 1) / 2, uvX0, p.y / 2, uvX1,
              (p.y + p.height + 1) / 2, neutralChroma);
}

bool drawArea(const BgrxView& source, const FrameLayout& layout, const PixelRect& area, const Nv12Planes& frame,
              std::vector<std::uint8_t>& scratch) {
  const PixelRect& p = layout.placement;
  // Offsets from the placement's corner: a chroma sample covers two pixels each way from there.
  const int dx = area.x - p.x;
  const int dy = area.y - p.y;
  if (area.empty() || dx < 0 || dy < 0 || dx % 2 != 0 || dy % 2 != 0 || area.x + area.width > p.x + p.width ||
      area.y + area.height > p.y + p.height) {
    return false;
  }
  const auto yAt = [&](int row) { return frame.y + static_cast<std::size_t>(row) * frame.yStride + area.x; };
  const auto uvAt = [&](int row) {
    return frame.uv + static_cast<std::size_t>(p.y / 2 + (row - p.y) / 2) * frame.uvStride + evenFloor(p.x) + dx;
  };
  if (source.width == p.width && source.height == p.height) {
    const std::uint8_t* from = source.pixels + static_cast<std::size_t>(dy) * source.bytesPerRow + dx * 4;
    return libyuv::ARGBToNV12(from, static_cast<int>(source.bytesPerRow), yAt(area.y), static_cast<int>(frame.yStride),
                              uvAt(area.y), static_cast<int>(frame.uvStride), area.width, area.height) == 0;
  }
  // Box filtering averages every source pixel when shrinking; bilinear is enough to enlarge.
  const bool shrinking = p.width < source.width || p.height < source.height;
  const auto filter = shrinking ? libyuv::kFilterBox : libyuv::kFilterBilinear;
  const int bandStride = area.width * 4;
  scratch.resize(static_cast<std::size_t>(bandStride) * bandRows);
  for (int row = 0; row < area.height; row += bandRows) {
    const int rows = std::min(bandRows, area.height - row);
    // The scaler writes its clip at the clip's offset from the destination it is given: that
    // destination is placed so the clip lands at the start of the band.
    const auto destination = reinterpret_cast<std::uint8_t*>(
        reinterpret_cast<std::uintptr_t>(scratch.data()) -
        (static_cast<std::uintptr_t>(dy + row) * static_cast<std::uintptr_t>(bandStride) + dx * 4u));
    if (libyuv::ARGBScaleClip(source.pixels, static_cast<int>(source.bytesPerRow), source.width, source.height,
                              destination, bandStride, p.width, p.height, dx, dy + row, area.width, rows, filter) != 0 ||
        libyuv::ARGBToNV12(scratch.data(), bandStride, yAt(area.y + row), static_cast<int>(frame.yStride),
                           uvAt(area.y + row), static_cast<int>(frame.uvStride), area.width, rows) != 0) {
      return false;
    }
  }
  return true;
}

bool renderFrame(const BgrxView& source, const FrameLayout& layout, PixelBuffer& frame,
                 std::vector<std::uint8_t>& scratch) {
  if (frame.planeCount() != 2 || frame.width() != layout.frameWidth || frame.height() != layout.frameHeight) {
    return false;
  }
  if (!frame.lock(false)) return false;
  const Nv12Planes planes{frame.planeBase(0), frame.bytesPerRow(0), frame.planeBase(1), frame.bytesPerRow(1)};
  paintBars(layout, planes);
  const bool drawn = drawArea(source, layout, layout.placement, planes, scratch);
  frame.unlock(false);
  return drawn;
}

void scaleBgrx(const BgrxView& source, int width, int height, std::uint8_t* destination, std::size_t bytesPerRow) {
  const bool shrinking = width < source.width || height < source.height;
  libyuv::ARGBScale(source.pixels, static_cast<int>(source.bytesPerRow), source.width, source.height, destination,
                    static_cast<int>(bytesPerRow), width, height,
                    shrinking ? libyuv::kFilterBox : libyuv::kFilterBilinear);
}

std::uint64_t sparseHash(const BgrxView& picture) {
  std::uint64_t hash = 0x9e3779b97f4a7c15ull ^ (static_cast<std::uint64_t>(picture.width) << 32) ^
                       static_cast<std::uint64_t>(picture.height);
  const std::size_t rowBytes = static_cast<std::size_t>(picture.width) * 4;
  for (int row = 0; row < picture.height; row += 4) {
    const std::uint8_t* p = picture.pixels + static_cast<std::size_t>(row) * picture.bytesPerRow;
    std::size_t i = 0;
    for (; i + 8 <= rowBytes; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      hash = (hash ^ word) * 0x100000001b3ull;
      hash ^= hash >> 29;
    }
    for (; i < rowBytes; ++i) hash = (hash ^ p[i]) * 0x100000001b3ull;
  }
  return hash;
}

}  // namespace pelorin::platform::render
