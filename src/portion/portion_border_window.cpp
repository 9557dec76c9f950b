#include "portion/portion_border_window.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <cmath>

#include "portion/window_shape.h"

namespace pelorin::portion {
namespace {

const QColor systemRed(255, 59, 48);

QCursor cursorFor(BorderDrag mode) {
  if (mode.kind == BorderDrag::Kind::move) return Qt::OpenHandCursor;
  // Bottom-left and top-right share one diagonal, top-left and bottom-right the other.
  return mode.left == mode.bottom ? Qt::SizeBDiagCursor : Qt::SizeFDiagCursor;
}

}  // namespace

PortionBorderWindow::PortionBorderWindow(const Rect& frame, QScreen* screen)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint),
      mapping_(screen),
      screenFrame_(mapping_.screenSpaceFrame()) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  if (onXWayland()) {
    // A Wayland compositor would centre a managed window and draw its shaped-out interior, black,
    // over the portion: unmanaged and transparent, the band alone shows, where it belongs.
    setWindowFlag(Qt::BypassWindowManagerHint);
    setAttribute(Qt::WA_TranslucentBackground);
  }
  setFocusPolicy(Qt::NoFocus);
  setMouseTracking(true);
  setWindowTitle(QStringLiteral("Pelorin"));
  setScreen(screen);
  setFrame(frame);
  winId();
  markAsOverlay(this);
  show();
  raise();
}

void PortionBorderWindow::setFrame(const Rect& frame) {
  frame_ = frame;
  setGeometry(mapping_.toLogical(frame));
  update();
}

Rect PortionBorderWindow::capturedFrame() const { return insetBy(frame_, thickness, thickness); }

QRegion PortionBorderWindow::band() const {
  const int width = std::max(1, static_cast<int>(std::lround(thickness / mapping_.pixelRatio())));
  return QRegion(rect()).subtracted(QRegion(rect().adjusted(width, width, -width, -width)));
}

void PortionBorderWindow::paintEvent(QPaintEvent*) {
  // The band alone: where the shape is not honoured the interior stays transparent.
  QPainter painter(this);
  painter.setClipRegion(band());
  painter.fillRect(rect(), systemRed);
}

void PortionBorderWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  shapeWindow(this, band());
}

BorderDrag PortionBorderWindow::modeAt(const QPointF& position) const {
  // View coordinates of the geometry: points of the frame, origin bottom-left.
  const double ratio = mapping_.pixelRatio();
  const Point point{position.x() * ratio, frame_.height - position.y() * ratio};
  return borderDragMode(point, {frame_.width, frame_.height}, cornerZone);
}

void PortionBorderWindow::showCursorFor(const QPointF& position) { setCursor(cursorFor(modeAt(position))); }

void PortionBorderWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  dragging_ = true;
  mode_ = modeAt(event->position());
  startFrame_ = frame_;
  startMouse_ = mapping_.toScreenSpace(event->globalPosition());
  if (mode_.kind == BorderDrag::Kind::move) setCursor(Qt::ClosedHandCursor);
}

void PortionBorderWindow::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) {
    showCursorFor(event->position());
    return;
  }
  const Point mouse = mapping_.toScreenSpace(event->globalPosition());
  const Size minimum{minimumCapture.width + 2 * thickness, minimumCapture.height + 2 * thickness};
  const Rect dragged =
      draggedBorderFrame(startFrame_, mode_, {mouse.x - startMouse_.x, mouse.y - startMouse_.y}, minimum);
  setFrame(clampedBorderFrame(dragged, screenFrame_, thickness));
  repaint();
  const auto now = std::chrono::steady_clock::now();
  if (now - lastNotified_ > changeInterval) {
    lastNotified_ = now;
    if (onChange) onChange(capturedFrame());
  }
}

void PortionBorderWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !dragging_) return;
  dragging_ = false;
  showCursorFor(event->position());
  if (onChange) onChange(capturedFrame());
}

void PortionBorderWindow::enterEvent(QEnterEvent* event) {
  if (!dragging_) showCursorFor(event->position());
}

void PortionBorderWindow::leaveEvent(QEvent*) {
  if (!dragging_) unsetCursor();
}

}  // namespace pelorin::portion
