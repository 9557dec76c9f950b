#include "portion/ui/portion_window_controller.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QWidget>
#include <cmath>

#include "portion/ui/screen_mapping.h"
#include "portion/ui/window_shape.h"

namespace pelorin::portion {
namespace {

const QColor systemBlue(0, 122, 255);
constexpr double translucentAlpha = 0.18;
constexpr int buttonSpacing = 12;
// Without a compositing manager the window keeps only this much of its edge, in points.
constexpr int visibleEdge = 4;

}  // namespace

// The window itself: translucent blue when a compositing manager can show that; otherwise cut
// down to a blue edge and its buttons, so that the area to share is seen through it.
class SelectionWindow : public QWidget {
 public:
  SelectionWindow()
      : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint),
        translucent_(translucencyAvailable()) {
    if (translucent_) setAttribute(Qt::WA_TranslucentBackground);
    // A tiling Wayland compositor would stretch a plain window over the whole output; a dialog
    // floats at the size asked for.
    if (onXWayland()) setWindowFlag(Qt::Dialog);
  }

  QWidget* buttonBar = nullptr;
  std::function<void()> onClose;

 protected:
  void paintEvent(QPaintEvent*) override {
    QColor blue = systemBlue;
    if (translucent_) blue.setAlphaF(translucentAlpha);
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), blue);
  }

  // Window managers offer a close box whatever the window asks for: it cancels, as Escape does.
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    if (event->spontaneous() && onClose) onClose();
  }

  // Nor do all of them leave out minimising (openbox offers it to every window), and a minimised
  // selection would leave the host waiting: the window comes back at once.
  void changeEvent(QEvent* event) override {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized()) {
      QMetaObject::invokeMethod(this, [this] {
        showNormal();
        raise();
        activateWindow();
      }, Qt::QueuedConnection);
    }
  }

  void resizeEvent(QResizeEvent* event) override {
    QWidget::resizeEvent(event);
    if (translucent_ || !buttonBar) return;
    const int edge = std::max(1, static_cast<int>(std::lround(visibleEdge / devicePixelRatioF())));
    QRegion shape = QRegion(rect()).subtracted(QRegion(rect().adjusted(edge, edge, -edge, -edge)));
    shapeWindow(this, shape.united(buttonBar->geometry()));
  }

 private:
  const bool translucent_;
};

PortionWindowController::PortionWindowController(QScreen* screen, Completion completion,
                                                 std::function<void()> cancelAction)
    : completion_(std::move(completion)), cancelAction_(std::move(cancelAction)), window_(new SelectionWindow) {
  SelectionWindow& w = *window_;
  w.setWindowTitle(QStringLiteral("Ajustez la portion à partager"));
  w.setAccessibleName(w.windowTitle());
  w.setScreen(screen);
  const ScreenMapping mapping(screen);
  const Rect frame = mapping.screenSpaceFrame();
  const Rect content{frame.x + frame.width / 2 - initialWidth / 2.0, frame.y + frame.height / 2 - initialHeight / 2.0,
                     initialWidth, initialHeight};
  w.setGeometry(mapping.toLogical(content));
  const double ratio = mapping.pixelRatio();
  w.setMinimumSize(static_cast<int>(std::ceil(160 / ratio)), static_cast<int>(std::ceil(120 / ratio)));

  auto* bar = new QWidget(&w);
  auto* row = new QHBoxLayout(bar);
  row->setSpacing(buttonSpacing);
  auto* confirmButton = new QPushButton(QStringLiteral("Partager cette portion"), bar);
  confirmButton->setAccessibleName(confirmButton->text());
  confirmButton->setDefault(true);
  row->addWidget(confirmButton);
  connect(confirmButton, &QPushButton::clicked, this, &PortionWindowController::confirm);
  if (cancelAction_) {
    auto* cancelButton = new QPushButton(QStringLiteral("Annuler"), bar);
    cancelButton->setAccessibleName(cancelButton->text());
    row->addWidget(cancelButton);
    connect(cancelButton, &QPushButton::clicked, this, &PortionWindowController::cancelSelection);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), &w);
    connect(escape, &QShortcut::activated, this, &PortionWindowController::cancelSelection);
    w.onClose = [this] { cancelSelection(); };
  }
  for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* enter = new QShortcut(QKeySequence(key), &w);
    connect(enter, &QShortcut::activated, this, &PortionWindowController::confirm);
  }
  auto* centred = new QVBoxLayout(&w);
  centred->addStretch();
  centred->addWidget(bar, 0, Qt::AlignHCenter);
  centred->addStretch();
  w.buttonBar = bar;

  w.show();
  w.raise();
  w.activateWindow();
  confirmButton->setFocus();
}

PortionWindowController::~PortionWindowController() = default;

QWidget* PortionWindowController::window() const { return window_.get(); }

void PortionWindowController::confirm() {
  QScreen* screen = screenHoldingMost(window_->geometry());
  if (!screen || !completion_) return;
  const Rect content = ScreenMapping(screen).toScreenSpace(window_->geometry());
  window_->hide();
  auto done = std::move(completion_);
  completion_ = nullptr;
  done(content, screen);
}

void PortionWindowController::cancelSelection() {
  window_->hide();
  if (cancelAction_) cancelAction_();
}

}  // namespace pelorin::portion
