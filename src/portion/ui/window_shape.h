#pragma once

#include <QRegion>

class QWidget;

namespace pelorin::portion {

// Makes `region` (the window's own device-independent pixels) the window's whole drawn and
// clickable area.
void shapeWindow(QWidget* window, const QRegion& region);

// Returns once the window system has carried out every request made so far.
void syncWindowSystem();

// Whether the windows are XWayland's on a Wayland session: the compositor ignores their shape and
// may place managed windows where it likes.
bool onXWayland();

// Whether translucent windows are seen through (a compositing manager runs).
bool translucencyAvailable();

}  // namespace pelorin::portion
