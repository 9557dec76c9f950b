#pragma once

// Geometry and pixel work shared by the capture backends: where the content goes in the frame,
// BGRX to NV12 with scaling and black bars, and a cheap change check. Needs no window system,
// so it can be tested without a display.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/error.h"
#include "platform/pixel_buffer.h"
#include "platform/screen_capture.h"

namespace pelorin::platform::render {

struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  bool empty() const { return width <= 0 || height <= 0; }
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

PixelRect intersect(const PixelRect& a, const PixelRect& b);
bool intersects(const PixelRect& a, const PixelRect& b);

struct FrameLayout {
  int frameWidth = 0;
  int frameHeight = 0;
  PixelRect source;     // content pixels read, relative to the content's origin
  PixelRect placement;  // frame pixels the source is drawn into
  double contentScale = 1;  // frame pixels per content pixel
};

// Where `configuration` puts content of the given size. Fails when the configuration cannot
// be honoured (no frame size, a crop outside the content, an empty destination).
Result<FrameLayout> computeLayout(int contentWidth, int contentHeight, const StreamConfiguration& configuration);

// The attachments of a complete frame drawn with `layout`; `scaleFactor` is pixels per point of
// the content.
SampleAttachments completeAttachments(const FrameLayout& layout, double scaleFactor);

// A BGRX (libyuv "ARGB") picture in memory owned elsewhere.
struct BgrxView {
  const std::uint8_t* pixels = nullptr;
  std::size_t bytesPerRow = 0;
  int width = 0;
  int height = 0;
};

// The two planes of an NV12 frame laid out as `FrameLayout::frameWidth` x `frameHeight`.
struct Nv12Planes {
  std::uint8_t* y = nullptr;
  std::size_t yStride = 0;
  std::uint8_t* uv = nullptr;
  std::size_t uvStride = 0;
};

// Scales `source` into the layout's placement of `frame` (NV12, BT.601 video range) and paints
// the rest of the frame black. `scratch` is reused between calls to avoid allocations.
bool renderFrame(const BgrxView& source, const FrameLayout& layout, PixelBuffer& frame,
                 std::vector<std::uint8_t>& scratch);

// Paints the frame outside the placement black.
void paintBars(const FrameLayout& layout, const Nv12Planes& frame);

// Draws the frame pixels of `area` (within the placement, on even offsets from its corner but
// where it ends) from the whole `source`, exactly as a whole drawing gives them. Scaled content is
// worked through in bands of rows that stay in the cache.
bool drawArea(const BgrxView& source, const FrameLayout& layout, const PixelRect& area, const Nv12Planes& frame,
              std::vector<std::uint8_t>& scratch);

// Scales `source` to width x height BGRA (aspect not preserved, as a screenshot is asked).
void scaleBgrx(const BgrxView& source, int width, int height, std::uint8_t* destination, std::size_t bytesPerRow);

// A hash of every fourth row: the change check used when the server reports no damage.
std::uint64_t sparseHash(const BgrxView& picture);

}  // namespace pelorin::platform::render
