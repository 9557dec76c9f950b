#pragma once

// Internal to the X11 backend. A window redirected off-screen gets a pixmap of its own, but the
// parts the screen did not show (covered by other windows, or past the screen's edge) hold
// nothing until its client answers the exposure and draws them again. RedrawWatch waits for that.

#include <chrono>

#include "platform/x11/x11_display.h"

namespace pelorin::platform::x11 {

class RedrawWatch {
 public:
  // Made before `frame` (a child of the root, at `bounds` in root coordinates) is redirected.
  // Watches the drawing of `client` (the frame itself or a window inside it) only when part of
  // the frame is hidden, the client redraws on exposure and the server reports damage.
  RedrawWatch(XConnection& connection, Window frame, const PixelRect& bounds, Window client);
  ~RedrawWatch();
  RedrawWatch(const RedrawWatch&) = delete;
  RedrawWatch& operator=(const RedrawWatch&) = delete;

  // After the redirection: waits at most `limit` for the client's redraw, that is until drawing
  // has begun and paused for a moment. Returns at once when nothing was hidden.
  void await(std::chrono::milliseconds limit);

 private:
  unsigned long rearm();
  bool takeDrawing(unsigned long since);

  XConnection& connection_;
  Damage damage_ = 0;
};

// Whether part of `frame` (a child of the root, at `bounds`) is not on screen: outside the root
// or under a window stacked above it.
bool partlyHidden(XConnection& connection, Window frame, const PixelRect& bounds);

// Whether some client listens for exposures of `window` or of a window inside it: only then does
// anyone redraw it. Windows that only show their background are repainted by the server at once.
bool redrawsOnExposure(Display* display, Window window);

}  // namespace pelorin::platform::x11
