#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "base/geometry.h"

class QScreen;
class QWidget;

namespace pelorin::portion {

class SelectionWindow;

// The selection window: the user moves and resizes it over the area to share, then confirms
// (its content rectangle, screen space, and its screen go to `completion`) or, when a cancel
// action is given, cancels. Main thread only; the caller keeps the controller until a callback ran.
class PortionWindowController : public QObject {
 public:
  using Completion = std::function<void(const Rect& content, QScreen* screen)>;

  static constexpr int initialWidth = 640;
  static constexpr int initialHeight = 360;

  PortionWindowController(QScreen* screen, Completion completion, std::function<void()> cancelAction = nullptr);
  ~PortionWindowController() override;

  QWidget* window() const;
  void confirm();
  void cancelSelection();

 private:
  Completion completion_;
  std::function<void()> cancelAction_;
  std::unique_ptr<SelectionWindow> window_;
};

}  // namespace pelorin::portion
