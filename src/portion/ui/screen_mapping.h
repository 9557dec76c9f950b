#pragma once

#include <QPointF>
#include <QRect>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/geometry.h"
#include "platform/screen_capture.h"
#include "portion/portion_geometry.h"

class QScreen;

namespace pelorin::portion {

// The seam between Qt's coordinates (device-independent pixels, y downwards) and the portion
// geometry's screen space, in X pixels. With Qt's high-DPI scaling a screen keeps its native
// top-left corner and scales what lies inside it by its device pixel ratio.
class ScreenMapping {
 public:
  explicit ScreenMapping(const QScreen* screen);

  // The screen's frame in X pixels of the root window, and in screen space.
  Rect windowSystemFrame() const;
  Rect screenSpaceFrame() const;

  Rect toScreenSpace(const QRect& logical) const;
  QRect toLogical(const Rect& screenSpace) const;
  Point toScreenSpace(const QPointF& globalLogical) const;
  double pixelRatio() const { return ratio_; }

 private:
  QPointF origin_;  // the screen's top-left corner, the same in both coordinates
  double ratio_ = 1;
  Rect frame_;  // the screen's frame in X pixels
  Rect main_;   // the main screen's frame in X pixels
};

// The identifier of the display (as the source list prints it) whose frame is the screen's.
std::optional<std::uint32_t> displayNumber(const QScreen* screen, const std::vector<platform::ShareableDisplay>& displays);

// The screen of the window system that shows the display, if any.
QScreen* screenOfDisplay(const platform::ShareableDisplay& display);

// The first screen, in the window system's order, under the mouse; else the main screen.
QScreen* screenUnderMouse();

// The screen holding the larger part of a window (Qt's coordinates), the first of equal ones; the
// main screen when none holds any of it.
QScreen* screenHoldingMost(const QRect& window);

}  // namespace pelorin::portion
