#include "platform/x11/capture_access_x11.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "platform/x11/x_error_trap.h"

namespace pelorin::platform::x11 {

bool X11CaptureAccess::preflight() {
  installErrorHandler();
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  bool readable = false;
  {
    XErrorTrap trap(display);
    XImage* pixel = XGetImage(display, DefaultRootWindow(display), 0, 0, 1, 1, AllPlanes, ZPixmap);
    readable = pixel != nullptr && trap.sync() == 0;
    if (pixel) XDestroyImage(pixel);
  }
  XCloseDisplay(display);
  return readable;
}

}  // namespace pelorin::platform::x11
