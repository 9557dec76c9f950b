#pragma once

#include <QRegion>

class QWidget;

namespace pelorin::portion {

// Makes `region` (the window's own device-independent pixels) the window's whole drawn and
// clickable area.
void shapeWindow(QWidget* window, const QRegion& region);

// Keeps a window out of task lists and window cycling and on every desktop; call before showing.
void markAsOverlay(QWidget* window);

// Whether the windows are XWayland's on a Wayland session: the compositor ignores their shape and
// may place managed windows where it likes.
bool onXWayland();

// Whether translucent windows are seen through (a compositing manager runs).
bool translucencyAvailable();

}  // namespace pelorin::portion
