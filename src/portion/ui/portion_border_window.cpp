#include "portion/ui/portion_border_window.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <cmath>

#include "capture/portion_stream_controller.h"
#include "portion/ui/app_loop.h"
#include "portion/ui/window_shape.h"

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
  // A window manager stacks even a "stay on top" window below a focused full-screen one, and a
  // Wayland compositor would centre a managed window: unmanaged, the frame stays above every
  // window, where it belongs. On XWayland the compositor draws the shaped-out interior, black,
  // unless it is transparent.
  setWindowFlag(Qt::BypassWindowManagerHint);
  if (onXWayland()) setAttribute(Qt::WA_TranslucentBackground);
  setFocusPolicy(Qt::NoFocus);
  setMouseTracking(true);
  setWindowTitle(QStringLiteral("Pelorin"));
  setScreen(screen);
  setFrame(frame);
  show();
  raise();
}

void PortionBorderWindow::setFrame(const Rect& frame) {
  frame_ = frame;
  const QRect geometry = mapping_.toLogical(frame);
  setGeometry(geometry);
  // Shaped at once, not when the window system tells of the new size: the band must never lie
  // in the captured area.
  if (internalWinId()) shapeWindow(this, band(geometry.size()));
  update();
  syncWindowSystem();
}

QRegion PortionBorderWindow::band(const QSize& size) const {
  const int width = std::max(1, static_cast<int>(std::lround(thickness / mapping_.pixelRatio())));
  const QRect all(QPoint(0, 0), size);
  return QRegion(all).subtracted(QRegion(all.adjusted(width, width, -width, -width)));
}

void PortionBorderWindow::paintEvent(QPaintEvent*) {
  // The band alone: where the shape is not honoured the interior stays transparent.
  QPainter painter(this);
  painter.setClipRegion(band(size()));
  painter.fillRect(rect(), systemRed);
}

void PortionBorderWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  shapeWindow(this, band(size()));
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
  if (!dragging_) return showCursorFor(event->position());
  dragTo(event->globalPosition(), false);
}

void PortionBorderWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !dragging_) return;
  dragging_ = false;
  showCursorFor(event->position());
  dragTo(event->globalPosition(), true);
}

// Always from the frame and the mouse at the drag's start: fast moves lose nothing.
void PortionBorderWindow::dragTo(const QPointF& globalPosition, bool ended) {
  const Point mouse = mapping_.toScreenSpace(globalPosition);
  const Size minimum{minimumCapture.width + 2 * thickness, minimumCapture.height + 2 * thickness};
  const Rect dragged =
      draggedBorderFrame(startFrame_, mode_, {mouse.x - startMouse_.x, mouse.y - startMouse_.y}, minimum);
  const Rect frame = clampedBorderFrame(dragged, screenFrame_, thickness);
  if (onChange) onChange(insetBy(frame, thickness, thickness), ended);
}

void PortionBorderWindow::enterEvent(QEnterEvent* event) {
  if (!dragging_) showCursorFor(event->position());
}

void PortionBorderWindow::leaveEvent(QEvent*) {
  if (!dragging_) unsetCursor();
}

std::shared_ptr<capture::PortionStreamController> followCapture(PortionBorderWindow& window,
                                                       std::shared_ptr<capture::PortionStreamUpdating> stream,
                                                       const Rect& portion, const media::StreamSettings& settings) {
  const Rect display = window.screenFrame();
  auto controller = capture::PortionStreamController::create(
      std::move(stream), {display, portion, settings},
      [frame = QPointer(&window), display](const Rect& p) {
        if (frame) frame->setFrame(portionBorderFrame(p, display, PortionBorderWindow::thickness));
      },
      qtMainThreadPost());
  window.onChange = [weak = std::weak_ptr(controller), display](const Rect& captured, bool ended) {
    if (auto c = weak.lock()) c->move(portionRect(captured, display), ended);
  };
  return controller;
}

}  // namespace pelorin::portion
