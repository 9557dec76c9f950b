#pragma once

#include <QWidget>

class QLabel;

namespace pelorin::app::ui {

class StatusLabel;

// The status line and, under it while sharing, what is shared. A failure shows in red with an
// icon, and screen readers get it as an alert.
class StatusView : public QWidget {
 public:
  // `width`: the width the view is laid out in.
  StatusView(int width, QWidget* parent);

  // Shows the status in three lines at most; when cut, the whole text is the tooltip and the
  // accessible description. Screen readers announce the change.
  void showStatus(const QString& text, bool failure);
  // What is being shared; empty hides the line.
  void showShared(const QString& text);

 private:
  int width_;
  QLabel* icon_ = nullptr;
  StatusLabel* status_ = nullptr;
  QLabel* shared_ = nullptr;
};

}  // namespace pelorin::app::ui
