#include "app/ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QVBoxLayout>

#include "app/app_status.h"

namespace pelorin::app::ui {
namespace {

constexpr int contentWidth = 520;
constexpr int contentHeight = 300;
constexpr int sideMargin = 28;

// Qt hides the placeholder of a centred field while it has the focus, which the code field has
// from the start: it is drawn here too, until the user types.
class CodeField : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;

 protected:
  void paintEvent(QPaintEvent* event) override {
    QLineEdit::paintEvent(event);
    if (!text().isEmpty() || !hasFocus() || !(alignment() & Qt::AlignHCenter)) return;
    QStyleOptionFrame option;
    initStyleOption(&option);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::PlaceholderText));
    painter.drawText(style()->subElementRect(QStyle::SE_LineEditContents, &option, this), Qt::AlignCenter,
                     placeholderText());
  }
};

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
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);

  auto* stack = new QVBoxLayout(this);
  stack->setSpacing(12);
  stack->setContentsMargins(sideMargin, 24, sideMargin, 24);

  auto* title = label(QStringLiteral("Pelorin"), this);
  QFont titleFont = title->font();
  titleFont.setPointSize(24);
  titleFont.setWeight(QFont::DemiBold);
  title->setFont(titleFont);
  stack->addWidget(title, 0, Qt::AlignLeft);
  stack->addWidget(label(QStringLiteral("Code à 6 chiffres"), this), 0, Qt::AlignLeft);

  codeField = new CodeField(this);
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

  status = new StatusView(contentWidth - 2 * sideMargin, this);
  status->showStatus(QString::fromUtf8(searchingStatus), false);
  stack->addWidget(status);
  stack->addStretch();

  stack->setMenuBar(buildMenus());
  setFixedSize(contentWidth, contentHeight + stack->menuBar()->sizeHint().height());

  setTabOrder(codeField, shareButton);
  setTabOrder(shareButton, portionButton);
  setTabOrder(portionButton, stopButton);
  connect(codeField, &QLineEdit::returnPressed, this, [this] {
    if (onCodeReturn) onCodeReturn();
  });
}

void MainWindow::focusCode() {
  codeField->setFocus();
  codeField->selectAll();
}

QMenuBar* MainWindow::buildMenus() {
  auto* bar = new QMenuBar(this);
  bar->setAccessibleName(QStringLiteral("Menus"));
  QMenu* application = bar->addMenu(QStringLiteral("Pelorin"));
  QAction* quit = application->addAction(QStringLiteral("Quitter Pelorin"));
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  quit->setShortcutContext(Qt::ApplicationShortcut);
  connect(quit, &QAction::triggered, this, [this] {
    if (onQuit) onQuit();
  });
  // The edit commands act on the field that has the focus.
  QMenu* edit = bar->addMenu(QStringLiteral("Édition"));
  const std::pair<const char*, QKeySequence::StandardKey> commands[] = {
      {"Couper", QKeySequence::Cut}, {"Copier", QKeySequence::Copy},
      {"Coller", QKeySequence::Paste}, {"Tout sélectionner", QKeySequence::SelectAll}};
  for (const auto& [title, key] : commands) {
    QAction* action = edit->addAction(QString::fromUtf8(title));
    action->setShortcut(key);
    // Copied: clang 14 cannot capture a structured binding.
    connect(action, &QAction::triggered, this, [key = key] {
      auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
      if (!field) return;
      if (key == QKeySequence::Cut) field->cut();
      if (key == QKeySequence::Copy) field->copy();
      if (key == QKeySequence::Paste) field->paste();
      if (key == QKeySequence::SelectAll) field->selectAll();
    });
  }
  return bar;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The app ends through its termination rule, which may wait for a stop; it leaves the event loop
  // with exit(), which closes no window, so this is asked only by the user.
  event->ignore();
  if (onClose) onClose();
}

}  // namespace pelorin::app::ui
