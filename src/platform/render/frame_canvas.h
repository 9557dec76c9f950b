#pragma once

// A stream's own copy of its last frame in NV12. A tick redraws it whole or only where the
// picture changed, then copies it into a pooled buffer for delivery: the pooled buffers may still
// be with the encoder, so the copy that is drawn into must be the stream's own. A buffer that
// comes back from the pool still holds the frame it was last given, so only what was drawn since
// is copied into it: a moving cursor costs two small rectangles, not a 1.4 MB copy of 720p.

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
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
  // Copies the frame into `buffer`, which has the layout's frame size and comes from one pool
  // whose buffers nobody else writes: only what changed since the buffer last had the frame.
  bool copyTo(PixelBuffer& buffer);

 private:
  Nv12Planes planes();
  // What changed since frame `since` was copied out; nothing when that is not remembered.
  std::optional<std::vector<PixelRect>> changedSince(std::uint64_t since) const;
  void copyArea(const PixelRect& area, PixelBuffer& buffer) const;

  FrameLayout layout_;
  std::uint64_t frames_ = 0;  // copied out so far
  std::vector<PixelRect> drawn_;  // frame pixels drawn since the last copy out
  std::deque<std::vector<PixelRect>> history_;  // what each of the last frames copied out changed
  std::vector<std::pair<const PixelBuffer*, std::uint64_t>> holders_;  // the frame each buffer holds
  std::vector<std::uint8_t> luma_;
  std::vector<std::uint8_t> chroma_;
  std::vector<std::uint8_t> scratch_;
};

}  // namespace pelorin::platform::render
