#include "portion/ui/x11_window_shape.h"

#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

#include <string>

namespace pelorin::portion::x11 {

void setWindowShape(void* display, unsigned long window, const std::vector<ShapeRect>& rects) {
  auto* dpy = static_cast<Display*>(display);
  std::vector<XRectangle> xrects;
  for (const ShapeRect& r : rects) {
    if (r.width <= 0 || r.height <= 0) continue;
    xrects.push_back({static_cast<short>(r.x), static_cast<short>(r.y), static_cast<unsigned short>(r.width),
                      static_cast<unsigned short>(r.height)});
  }
  for (int kind : {ShapeBounding, ShapeInput}) {
    XShapeCombineRectangles(dpy, window, kind, 0, 0, xrects.data(), static_cast<int>(xrects.size()), ShapeSet,
                            Unsorted);
  }
  XFlush(dpy);
}

void sync(void* display) { XSync(static_cast<Display*>(display), False); }

bool isXWayland(void* display) {
  int opcode = 0, event = 0, error = 0;
  return XQueryExtension(static_cast<Display*>(display), "XWAYLAND", &opcode, &event, &error);
}

bool compositingManagerRunning(void* display) {
  auto* dpy = static_cast<Display*>(display);
  const std::string name = "_NET_WM_CM_S" + std::to_string(DefaultScreen(dpy));
  return XGetSelectionOwner(dpy, XInternAtom(dpy, name.c_str(), False)) != None;
}

}  // namespace pelorin::portion::x11
