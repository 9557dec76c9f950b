#include "app/ui/main_window.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_status.h"

namespace pelorin::app::ui {
namespace {

constexpr int contentWidth = 520;
constexpr int contentHeight = 300;

QLabel* label(const QString& text, QWidget* parent) {
  auto* made = new QLabel(text, parent);
  made->setAccessibleName(text);
  return made;
}

QPushButton* button(const QString& text, QWidget* parent) {
  auto* made = new QPushButton(text, parent);
  made->setAccessibleName(text);
  made->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  return made;
}

}  // namespace

MainWindow::MainWindow() {
  setWindowTitle(QStringLiteral("Pelorin"));
  setAccessibleName(QStringLiteral("Pelorin"));
  setFixedSize(contentWidth, contentHeight);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);

  auto* stack = new QVBoxLayout(this);
  stack->setSpacing(12);
  stack->setContentsMargins(28, 24, 28, 24);

  auto* title = label(QStringLiteral("Pelorin"), this);
  QFont titleFont = title->font();
  titleFont.setPointSize(24);
  titleFont.setWeight(QFont::DemiBold);
  title->setFont(titleFont);
  stack->addWidget(title, 0, Qt::AlignLeft);
  stack->addWidget(label(QStringLiteral("Code à 6 chiffres"), this), 0, Qt::AlignLeft);

  codeField = new QLineEdit(this);
  codeField->setAccessibleName(QStringLiteral("Code à 6 chiffres"));
  codeField->setPlaceholderText(QStringLiteral("123456"));
  codeField->setAlignment(Qt::AlignCenter);
  QFont codeFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  codeFont.setPointSize(22);
  codeFont.setWeight(QFont::Medium);
  codeField->setFont(codeFont);
  stack->addWidget(codeField);

  auto* buttons = new QVBoxLayout;
  buttons->setSpacing(8);
  shareButton = button(QStringLiteral("Partager l’écran ou une fenêtre"), this);
  portionButton = button(QStringLiteral("Partager une portion"), this);
  stopButton = button(QStringLiteral("Arrêter"), this);
  stopButton->setEnabled(false);
  for (auto* b : {shareButton, portionButton, stopButton}) buttons->addWidget(b);
  stack->addLayout(buttons);

  statusLabel = label(QString::fromUtf8(searchingStatus), this);
  statusLabel->setWordWrap(true);
  statusLabel->setMaximumHeight(statusLabel->fontMetrics().lineSpacing() * 3);
  stack->addWidget(statusLabel);
  stack->addStretch();

  setTabOrder(codeField, shareButton);
  setTabOrder(shareButton, portionButton);
  setTabOrder(portionButton, stopButton);
  // Return in the code field acts as the share button.
  connect(codeField, &QLineEdit::returnPressed, shareButton, &QPushButton::click);
}

void MainWindow::showStatus(const QString& text) {
  if (statusLabel->text() == text) return;
  statusLabel->setText(text);
  statusLabel->setAccessibleName(text);
  QAccessibleEvent changed(statusLabel, QAccessible::NameChanged);
  QAccessible::updateAccessibility(&changed);
  QAccessibleEvent alert(statusLabel, QAccessible::Alert);
  QAccessible::updateAccessibility(&alert);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The app ends through its termination rule, which may wait for a stop.
  event->ignore();
  if (onClose) onClose();
}

}  // namespace pelorin::app::ui
