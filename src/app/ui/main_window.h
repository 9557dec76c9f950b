#pragma once

#include <QWidget>
#include <functional>

class QLabel;
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
  QLabel* statusLabel = nullptr;
  std::function<void()> onClose;
  std::function<void()> onQuit;  // "Quitter Pelorin", Ctrl+Q

  // Shows the status text and has screen readers announce it.
  void showStatus(const QString& text);

 protected:
  QMenuBar* buildMenus();
  void closeEvent(QCloseEvent* event) override;
};

}  // namespace pelorin::app::ui
