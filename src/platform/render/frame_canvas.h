#pragma once

// A stream's own copy of its last frame in NV12. A tick redraws it whole or only where the
// picture changed, then copies it into a pooled buffer for delivery: the pooled buffers may still
// be with the encoder, so the copy that is drawn into must be the stream's own, and one copy of a
// 720p frame (1.4 MB) costs less than drawing any sizeable part of it again.

#include <cstdint>
#include <vector>

#include "platform/render/frame_render.h"

namespace pelorin::platform::render {

class FrameCanvas {
 public:
  // Lays the canvas out for `layout` and paints its bars; the picture is then to be drawn whole.
  void reset(const FrameLayout& layout);
  const FrameLayout& layout() const { return layout_; }
  // Draws `source` (the layout's whole source) into the placement.
  bool drawWhole(const BgrxView& source);
  // Draws the frame pixels of `area` from `source` (the layout's whole source); see drawArea.
  bool drawPart(const BgrxView& source, const PixelRect& area);
  // Copies the frame into `buffer`, which has the layout's frame size.
  bool copyTo(PixelBuffer& buffer) const;

 private:
  Nv12Planes planes();

  FrameLayout layout_;
  std::vector<std::uint8_t> luma_;
  std::vector<std::uint8_t> chroma_;
  std::vector<std::uint8_t> scratch_;
};

}  // namespace pelorin::platform::render
