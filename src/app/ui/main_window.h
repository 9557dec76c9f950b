#pragma once

#include <QWidget>
#include <functional>

#include "app/ui/status_view.h"

class QMenuBar;
class QLineEdit;
class QPushButton;

namespace pelorin::app::ui {

// The app's one window: title, code field, the three buttons and the status line. A close request
// goes to onClose, which decides when the app ends.
class MainWindow : public QWidget {
 public:
  MainWindow();

  QLineEdit* codeField = nullptr;
  QPushButton* shareButton = nullptr;
  QPushButton* portionButton = nullptr;
  QPushButton* stopButton = nullptr;
  StatusView* status = nullptr;
  std::function<void()> onClose;
  std::function<void()> onQuit;        // "Quitter Pelorin", Ctrl+Q
  std::function<void()> onCodeReturn;  // Return in the code field

  // The focus in the code field, its text selected to be typed over.
  void focusCode();

 protected:
  QMenuBar* buildMenus();
  void closeEvent(QCloseEvent* event) override;
};

}  // namespace pelorin::app::ui
