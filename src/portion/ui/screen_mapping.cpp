#include "portion/ui/screen_mapping.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <cmath>

namespace pelorin::portion {
namespace {

Rect nativeFrame(const QScreen* screen) {
  const QRect g = screen->geometry();
  const double ratio = screen->devicePixelRatio();
  return {static_cast<double>(g.x()), static_cast<double>(g.y()), std::round(g.width() * ratio),
          std::round(g.height() * ratio)};
}

}  // namespace

ScreenMapping::ScreenMapping(const QScreen* screen)
    : origin_(screen->geometry().topLeft()),
      ratio_(screen->devicePixelRatio()),
      frame_(nativeFrame(screen)),
      main_(QGuiApplication::primaryScreen() ? nativeFrame(QGuiApplication::primaryScreen()) : frame_) {}

Rect ScreenMapping::windowSystemFrame() const { return frame_; }

Rect ScreenMapping::screenSpaceFrame() const { return portion::toScreenSpace(frame_, main_); }

Rect ScreenMapping::toScreenSpace(const QRect& logical) const {
  const Rect native{origin_.x() + (logical.x() - origin_.x()) * ratio_, origin_.y() + (logical.y() - origin_.y()) * ratio_,
                    logical.width() * ratio_, logical.height() * ratio_};
  return portion::toScreenSpace(native, main_);
}

QRect ScreenMapping::toLogical(const Rect& screenSpace) const {
  const Rect native = fromScreenSpace(screenSpace, main_);
  const double x0 = origin_.x() + (native.x - origin_.x()) / ratio_;
  const double y0 = origin_.y() + (native.y - origin_.y()) / ratio_;
  return {static_cast<int>(std::lround(x0)), static_cast<int>(std::lround(y0)),
          static_cast<int>(std::lround(native.width / ratio_)), static_cast<int>(std::lround(native.height / ratio_))};
}

Point ScreenMapping::toScreenSpace(const QPointF& p) const {
  const double x = origin_.x() + (p.x() - origin_.x()) * ratio_;
  const double y = origin_.y() + (p.y() - origin_.y()) * ratio_;
  return {x - main_.x, maxY(main_) - y};
}

std::optional<std::uint32_t> displayNumber(const QScreen* screen,
                                           const std::vector<platform::ShareableDisplay>& displays) {
  if (!screen) return std::nullopt;
  const Rect frame = nativeFrame(screen);
  for (const auto& display : displays) {
    if (display.frame == frame) return display.displayID;
  }
  return std::nullopt;
}

QScreen* screenOfDisplay(const platform::ShareableDisplay& display) {
  for (QScreen* screen : QGuiApplication::screens()) {
    if (nativeFrame(screen) == display.frame) return screen;
  }
  return nullptr;
}

QScreen* screenUnderMouse() {
  const QPoint mouse = QCursor::pos();
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen->geometry().contains(mouse)) return screen;
  }
  return QGuiApplication::primaryScreen();
}

QScreen* screenHoldingMost(const QRect& window) {
  QScreen* most = QGuiApplication::primaryScreen();
  long long mostArea = 0;
  for (QScreen* screen : QGuiApplication::screens()) {
    const QRect part = screen->geometry().intersected(window);
    const long long area = part.isEmpty() ? 0 : static_cast<long long>(part.width()) * part.height();
    if (area > mostArea) {
      most = screen;
      mostArea = area;
    }
  }
  return most;
}

}  // namespace pelorin::portion
