#include "app/ui/status_view.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>
#include <QVBoxLayout>

#include "app/status_text.h"

namespace pelorin::app::ui {

// The status text: its accessible role says whether it shows a failure.
class StatusLabel : public QLabel {
 public:
  using QLabel::QLabel;
  bool failing = false;
};

namespace {

constexpr int maxStatusLines = 3;
constexpr int iconSize = 16;
constexpr int iconSpacing = 6;

class StatusAccessible : public QAccessibleWidget {
 public:
  explicit StatusAccessible(StatusLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}
  QAccessible::Role role() const override {
    return static_cast<const StatusLabel*>(widget())->failing ? QAccessible::AlertMessage : QAccessible::StaticText;
  }
};

QAccessibleInterface* statusAccessible(const QString&, QObject* object) {
  auto* label = dynamic_cast<StatusLabel*>(object);
  return label ? new StatusAccessible(label) : nullptr;
}

// Red that reads on the window's background: Qt's palette has no colour for errors.
QColor errorColour(const QPalette& palette) {
  return palette.color(QPalette::Window).lightness() < 128 ? QColor(0xff, 0x8a, 0x80) : QColor(0xb0, 0x00, 0x20);
}

void announce(QWidget* widget, QAccessible::Event event) {
  QAccessibleEvent changed(widget, event);
  QAccessible::updateAccessibility(&changed);
}

}  // namespace

StatusView::StatusView(int width, QWidget* parent) : QWidget(parent), width_(width) {
  static const bool installed = (QAccessible::installFactory(statusAccessible), true);
  (void)installed;
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  auto* row = new QHBoxLayout;
  row->setSpacing(iconSpacing);
  icon_ = new QLabel(this);
  icon_->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(iconSize, iconSize));
  icon_->setAlignment(Qt::AlignTop);
  icon_->hide();
  status_ = new StatusLabel(this);
  row->addWidget(icon_);
  row->addWidget(status_, 1);
  column->addLayout(row);
  shared_ = new QLabel(this);
  shared_->hide();
  column->addWidget(shared_);
}

void StatusView::showStatus(const QString& text, bool failure) {
  if (status_->accessibleName() == text && status_->failing == failure) return;
  const QFontMetrics metrics = status_->fontMetrics();
  const WrappedStatus wrapped = wrappedStatus(
      text.toStdString(), width_ - (failure ? iconSize + iconSpacing : 0), maxStatusLines,
      [&metrics](std::string_view line) {
        return metrics.horizontalAdvance(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
      });
  status_->setText(QString::fromStdString(wrapped.text));
  status_->setToolTip(wrapped.cut ? text : QString());
  status_->setAccessibleName(text);
  status_->setAccessibleDescription(wrapped.cut ? text : QString());
  status_->failing = failure;
  QPalette colours = palette();
  if (failure) colours.setColor(QPalette::WindowText, errorColour(colours));
  status_->setPalette(colours);
  icon_->setVisible(failure);
  announce(status_, QAccessible::NameChanged);
  announce(status_, QAccessible::Alert);
}

void StatusView::showShared(const QString& text) {
  shared_->setText(text);
  shared_->setAccessibleName(text);
  shared_->setVisible(!text.isEmpty());
}

}  // namespace pelorin::app::ui
