#pragma once

#include <QWidget>
#include <chrono>
#include <functional>

#include "portion/portion_geometry.h"
#include "portion/screen_mapping.h"

namespace pelorin::portion {

// The live red frame around a shared portion: only its band is drawn and takes the mouse, the
// interior is seen and clicked through. Its edges move the frame, its corners resize it; the owner
// hears of each change through onChange. Frames are in screen space; main thread only.
class PortionBorderWindow : public QWidget {
 public:
  static constexpr double thickness = 6;
  static constexpr Size minimumCapture{160, 120};
  static constexpr double cornerZone = 24;
  static constexpr std::chrono::milliseconds changeInterval{50};

  // Shows the window at `frame` (normally portionBorderFrame of the portion) on `screen`, whose
  // frame bounds every drag, above other windows and without taking the focus.
  PortionBorderWindow(const Rect& frame, QScreen* screen);

  // Called with capturedFrame while the user drags (at most every changeInterval) and once when
  // the drag ends.
  std::function<void(const Rect&)> onChange;

  Rect frame() const { return frame_; }
  void setFrame(const Rect& frame);
  // The frame inset by the band: the captured area.
  Rect capturedFrame() const;
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
  QRegion band() const;  // the drawn and clickable band, in the widget's own coordinates
  BorderDrag modeAt(const QPointF& position) const;
  void showCursorFor(const QPointF& position);

  const ScreenMapping mapping_;
  const Rect screenFrame_;
  Rect frame_;  // exact, while the widget's geometry is rounded to whole device-independent pixels
  bool dragging_ = false;
  BorderDrag mode_ = BorderDrag::move();
  Rect startFrame_;
  Point startMouse_;
  std::chrono::steady_clock::time_point lastNotified_{};
};

}  // namespace pelorin::portion
