#pragma once

#include "base/geometry.h"

namespace pelorin::capture {

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

inline Size sizeOf(const Rect& r) { return {r.width, r.height}; }

// The content area of size `content` inside a window frame of size `frame`: centred
// horizontally, with a bottom margin equal to the side margin and the rest of the slack on top.
Rect contentCrop(Size frame, Size content);

// Where content of size `content` lands inside an output of size `output`: aspect ratio kept,
// centred, whole pixels.
Rect letterboxRect(Size content, Size output);

}  // namespace pelorin::capture
