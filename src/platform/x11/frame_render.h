#pragma once

// Pixel work of the X11 capture path beyond the shared rendering: the cursor, which X11 never
// puts into screen reads, and monitor names from EDID.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/render/frame_render.h"

namespace pelorin::platform::x11 {

using render::BgrxView;
using render::computeLayout;
using render::FrameLayout;
using render::intersect;
using render::intersects;
using render::PixelRect;
using render::renderFrame;
using render::scaleBgrx;
using render::sparseHash;

// A cursor picture: premultiplied ARGB words, placed with its top-left at (x, y) in root
// coordinates (the pointer position minus the hot spot).
struct CursorPicture {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int hotX = 0;  // the pointer's place in the picture
  int hotY = 0;
  unsigned long serial = 0;
  std::vector<std::uint32_t> argb;

  PixelRect bounds() const { return {x, y, width, height}; }
};

// Blends the cursor over a BGRX picture whose top-left is at (originX, originY) in root
// coordinates; the parts outside the picture are left out.
void compositeCursor(std::uint8_t* bgrx, std::size_t bytesPerRow, int width, int height, int originX, int originY,
                     const CursorPicture& cursor);

// Draws the cursor into a picture and puts back what it covered afterwards, so that a picture
// kept between ticks stays the screen's own and a moved cursor leaves nothing behind.
class CursorPatch {
 public:
  CursorPatch() = default;
  CursorPatch(const CursorPatch&) = delete;
  CursorPatch& operator=(const CursorPatch&) = delete;
  ~CursorPatch() { restore(); }

  // As compositeCursor, keeping the pixels it covers.
  void draw(std::uint8_t* bgrx, std::size_t bytesPerRow, int width, int height, int originX, int originY,
            const CursorPicture& cursor);
  void restore();

 private:
  std::uint8_t* at(int row) const;  // the first covered pixel of a covered row

  std::uint8_t* picture_ = nullptr;
  std::size_t bytesPerRow_ = 0;
  PixelRect covered_;  // picture pixels
  std::vector<std::uint8_t> saved_;
};

// The monitor name in an EDID block (descriptor 0xFC), trimmed, if there is one.
std::optional<std::string> edidMonitorName(const std::uint8_t* edid, std::size_t size);

}  // namespace pelorin::platform::x11
