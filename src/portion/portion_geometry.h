#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/geometry.h"
#include "capture/crop_geometry.h"

namespace pelorin::portion {

// Two spaces meet here. Screen space: origin at the bottom-left corner of the main display, y
// upwards (window frames, mouse positions). Display space: origin at the top-left corner of one
// display, y downwards (a portion, the capture's source rectangle). Both in points.

using capture::Size;

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Vector {
  double dx = 0;
  double dy = 0;
};

// What a mouse drag on the border frame does: move the whole frame, or drag one corner while the
// opposite corner stays (left: the minimum-x corner; bottom: the minimum-y corner, screen space).
struct BorderDrag {
  enum class Kind { move, resize };
  Kind kind = Kind::move;
  bool left = false;
  bool bottom = false;

  static BorderDrag move() { return {}; }
  static BorderDrag resize(bool left, bool bottom) { return {Kind::resize, left, bottom}; }
  friend bool operator==(const BorderDrag& a, const BorderDrag& b) {
    return a.kind == b.kind && (a.kind == Kind::move || (a.left == b.left && a.bottom == b.bottom));
  }
};

// Rectangle helpers in the spirit of the window system's own.
Rect standardized(const Rect& r);
Rect insetBy(const Rect& r, double dx, double dy);
bool isNull(const Rect& r);
Rect intersection(const Rect& a, const Rect& b);  // null (infinite origin) when they do not meet
inline double maxX(const Rect& r) { return r.x + r.width; }
inline double maxY(const Rect& r) { return r.y + r.height; }

// The portion (display space) that a selection (screen space) leaves on a display whose frame
// is in screen space: integer origin, even sides of at least 2; the zero rectangle when less than
// 2 x 2 points overlap.
Rect portionRect(const Rect& selection, const Rect& display);

// The border window's frame (screen space) whose inner area, inset by `thickness`, is the portion.
Rect portionBorderFrame(const Rect& portion, const Rect& display, double thickness);

// Only the four `cornerZone`-sided corner squares of the view resize; the rest of it moves.
// `point` is in view coordinates, origin bottom-left.
BorderDrag borderDragMode(Point point, Size size, double cornerZone);

// The frame after a drag, always computed from the frame and mouse position at its start.
Rect draggedBorderFrame(const Rect& start, BorderDrag mode, Vector delta, Size minimum);

// The frame moved and shrunk so that its inner area lies on the screen; the band may overhang.
Rect clampedBorderFrame(const Rect& frame, const Rect& screen, double thickness);

// {"display_id":1,"x":100,"y":50,"width":640,"height":360}, without a line feed.
std::string portionSelectionJSON(std::uint32_t displayID, const Rect& portion);

// The capture size for a picker choice: the content's own, or for content that follows a window
// or application the largest screen (the first of equal ones), so it fits wherever it goes.
Size pickerSourceSize(Size content, bool followsWindow, const std::vector<Size>& screens);

// A rectangle of the window system (origin top-left of the whole desktop, y downwards, points)
// in screen space and back, given the main display's frame in window-system coordinates.
Rect toScreenSpace(const Rect& r, const Rect& mainDisplay);
Rect fromScreenSpace(const Rect& r, const Rect& mainDisplay);

}  // namespace pelorin::portion
