#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "media/stream_settings.h"
#include "portion/portion_geometry.h"
#include "portion/ui/screen_mapping.h"

namespace pelorin::capture {
class PortionStreamController;
class PortionStreamUpdating;
}  // namespace pelorin::capture

namespace pelorin::portion {

// The live red frame around a shared portion: only its band is drawn and takes the mouse, the
// interior is seen and clicked through. Its edges move the frame, its corners resize it: the
// owner hears where the user drags it through onChange and places it with setFrame, so that it can
// follow the capture in step. Unmanaged, so that it stays above every window, full-screen ones
// included. Frames are in screen space; main thread only.
class PortionBorderWindow : public QWidget {
 public:
  static constexpr double thickness = 6;
  static constexpr Size minimumCapture{160, 120};
  static constexpr double cornerZone = 24;

  // Shows the window at `frame` (normally portionBorderFrame of the portion) on `screen`, whose
  // frame bounds every drag, above other windows and without taking the focus.
  PortionBorderWindow(const Rect& frame, QScreen* screen);

  // Called with the captured area the user drags the frame to, on every move of the mouse and,
  // with `ended`, on its release.
  std::function<void(const Rect& captured, bool ended)> onChange;

  // Moves the frame; returns once the window system shows it there.
  void setFrame(const Rect& frame);
  Rect screenFrame() const { return screenFrame_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QRegion band(const QSize& size) const;  // the drawn and clickable band, in the widget's own coordinates
  BorderDrag modeAt(const QPointF& position) const;
  void showCursorFor(const QPointF& position);
  void dragTo(const QPointF& globalPosition, bool ended);

  const ScreenMapping mapping_;
  const Rect screenFrame_;
  Rect frame_;  // exact, while the widget's geometry is rounded to whole device-independent pixels
  bool dragging_ = false;
  BorderDrag mode_ = BorderDrag::move();
  Rect startFrame_;
  Point startMouse_;
};

// Lets the frame follow a live capture of `stream`, which started on `portion`: its drags go to
// the controller returned (the caller keeps it), which places the frame in step with the capture.
std::shared_ptr<capture::PortionStreamController> followCapture(PortionBorderWindow& window,
                                                       std::shared_ptr<capture::PortionStreamUpdating> stream,
                                                       const Rect& portion, const media::StreamSettings& settings);

}  // namespace pelorin::portion
