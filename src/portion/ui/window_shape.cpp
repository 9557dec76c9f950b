#include "portion/ui/window_shape.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>
#include <algorithm>
#include <cmath>

#include "portion/ui/x11_window_shape.h"

namespace pelorin::portion {
namespace {

void* x11Display() {
  auto* native = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return native ? native->display() : nullptr;
}

}  // namespace

void shapeWindow(QWidget* window, const QRegion& region) {
  void* display = x11Display();
  if (!display) {
    window->setMask(region);
    return;
  }
  const double ratio = window->devicePixelRatioF();
  std::vector<x11::ShapeRect> rects;
  for (const QRect& r : region) {
    const int x0 = static_cast<int>(std::lround(r.x() * ratio)), y0 = static_cast<int>(std::lround(r.y() * ratio));
    const int x1 = static_cast<int>(std::lround((r.x() + r.width()) * ratio));
    const int y1 = static_cast<int>(std::lround((r.y() + r.height()) * ratio));
    rects.push_back({x0, y0, x1 - x0, y1 - y0});
  }
  x11::setWindowShape(display, static_cast<unsigned long>(window->winId()), rects);
}

void syncWindowSystem() {
  if (void* display = x11Display()) x11::sync(display);
}

bool onXWayland() {
  void* display = x11Display();
  if (!display) return false;
  // Before its XWAYLAND extension (23.1) XWayland told itself apart only by its outputs' names.
  const auto screens = QGuiApplication::screens();
  return x11::isXWayland(display) || std::ranges::any_of(screens, [](const QScreen* screen) {
           return screen->name().startsWith(QStringLiteral("XWAYLAND"));
         });
}

bool translucencyAvailable() {
  void* display = x11Display();
  return display && x11::compositingManagerRunning(display);
}

}  // namespace pelorin::portion
