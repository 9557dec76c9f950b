#pragma once

// X11 details of the portion windows, kept apart: Xlib's macros break Qt's headers. Every
// function takes Qt's own Xlib display, so that its requests stay ordered with Qt's.

#include <vector>

namespace pelorin::portion::x11 {

struct ShapeRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// Makes `rects` (window pixels) the window's whole bounding and input region: outside them the
// window is neither drawn nor clicked, with or without a compositing manager.
void setWindowShape(void* display, unsigned long window, const std::vector<ShapeRect>& rects);

// Waits until the X server has carried out every request made so far.
void sync(void* display);

// Whether the X server is XWayland, whose windows a Wayland compositor draws without their shape.
bool isXWayland(void* display);

// Whether a compositing manager draws the screen, so that translucent windows can be seen through.
bool compositingManagerRunning(void* display);

}  // namespace pelorin::portion::x11
