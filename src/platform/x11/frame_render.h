#pragma once

// Geometry and pixel work of the X11 capture path that needs no X connection: where the
// content goes in the frame, BGRX to NV12 with scaling and black bars, cursor blending and a
// cheap change check. Kept apart so it can be tested without a display.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "platform/pixel_buffer.h"
#include "platform/screen_capture.h"

namespace pelorin::platform::x11 {

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

// A BGRX (libyuv "ARGB") picture in memory owned elsewhere.
struct BgrxView {
  const std::uint8_t* pixels = nullptr;
  std::size_t bytesPerRow = 0;
  int width = 0;
  int height = 0;
};

// Scales `source` into the layout's placement of `frame` (NV12, BT.601 video range) and paints
// the rest of the frame black. `scratch` is reused between calls to avoid allocations.
bool renderFrame(const BgrxView& source, const FrameLayout& layout, PixelBuffer& frame,
                 std::vector<std::uint8_t>& scratch);

// Scales `source` to width x height BGRA (aspect not preserved, as a screenshot is asked).
void scaleBgrx(const BgrxView& source, int width, int height, std::uint8_t* destination, std::size_t bytesPerRow);

// A cursor picture: premultiplied ARGB words, placed with its top-left at (x, y) in root
// coordinates (the pointer position minus the hot spot).
struct CursorPicture {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  unsigned long serial = 0;
  std::vector<std::uint32_t> argb;

  PixelRect bounds() const { return {x, y, width, height}; }
};

// Blends the cursor over a BGRX picture whose top-left is at (originX, originY) in root
// coordinates; the parts outside the picture are left out.
void compositeCursor(std::uint8_t* bgrx, std::size_t bytesPerRow, int width, int height, int originX, int originY,
                     const CursorPicture& cursor);

// A hash of every fourth row: the change check used when the server reports no damage.
std::uint64_t sparseHash(const BgrxView& picture);

// The monitor name in an EDID block (descriptor 0xFC), trimmed, if there is one.
std::optional<std::string> edidMonitorName(const std::uint8_t* edid, std::size_t size);

}  // namespace pelorin::platform::x11
