#include "app/ui/picker_dialog.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QImage>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>
#include <map>

namespace pelorin::app::ui {
namespace {

constexpr int thumbnailWidth = 240;
constexpr int thumbnailHeight = 135;

double overlap(const Rect& a, const Rect& b) {
  const double w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
  const double h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  return w > 0 && h > 0 ? w * h : 0;
}

const platform::ShareableDisplay* displayHolding(const Rect& frame, const platform::ShareableContent& content) {
  const platform::ShareableDisplay* best = nullptr;
  double bestArea = -1;
  for (const auto& display : content.displays) {
    if (const double area = overlap(frame, display.frame); area > bestArea) best = &display, bestArea = area;
  }
  return best;
}

std::string windowLabel(const platform::ShareableWindow& window) {
  std::string label = window.title.value_or("");
  if (window.owningApplication) label += (label.empty() ? "" : " — ") + window.owningApplication->applicationName;
  return "Fenêtre : " + (label.empty() ? std::to_string(window.windowID) : label);
}

}  // namespace

std::vector<PickerEntry> pickerEntries(const platform::ShareableContent& content,
                                       platform::ScreenCaptureService& capture, std::int32_t ownProcess) {
  std::vector<PickerEntry> entries;
  for (const auto& display : content.displays) {
    const std::string name = display.name.empty() ? std::to_string(display.displayID) : display.name;
    entries.push_back({PickerEntry::Kind::display, "Écran : " + name, {capture.displayFilter(display), false}});
  }
  std::vector<const platform::ShareableWindow*> windows;
  for (const auto& window : content.windows) {
    const bool own = window.owningApplication && window.owningApplication->processID == ownProcess;
    if (window.windowLayer == 0 && window.onScreen && !own) windows.push_back(&window);
  }
  // Applications in the order of their front-most window.
  std::vector<std::int32_t> order;
  std::map<std::int32_t, std::vector<const platform::ShareableWindow*>> byApplication;
  for (const auto* window : windows) {
    if (!window->owningApplication) continue;
    auto& owned = byApplication[window->owningApplication->processID];
    if (owned.empty()) order.push_back(window->owningApplication->processID);
    owned.push_back(window);
  }
  for (const auto pid : order) {
    const auto& owned = byApplication[pid];
    const auto* largest = owned.front();
    std::vector<platform::WindowID> ids;
    for (const auto* window : owned) {
      ids.push_back(window->windowID);
      if (window->frame.width * window->frame.height > largest->frame.width * largest->frame.height) largest = window;
    }
    const auto* display = displayHolding(largest->frame, content);
    if (!display) continue;
    entries.push_back({PickerEntry::Kind::application, "Application : " + owned.front()->owningApplication->applicationName,
                       {capture.displayFilterIncluding(*display, ids), true}});
  }
  for (const auto* window : windows) {
    entries.push_back({PickerEntry::Kind::window, windowLabel(*window), {capture.windowFilter(*window), true}});
  }
  return entries;
}

PickerDialog::PickerDialog(platform::ScreenCaptureService& capture, QWidget* parent)
    : QDialog(parent), capture_(capture) {
  setWindowTitle(QStringLiteral("Choisir le contenu à partager"));
  setAccessibleName(windowTitle());
  auto* layout = new QVBoxLayout(this);
  list_ = new QListWidget(this);
  list_->setAccessibleName(QStringLiteral("Contenus partageables"));
  list_->setViewMode(QListView::IconMode);
  list_->setIconSize(QSize(thumbnailWidth, thumbnailHeight));
  list_->setResizeMode(QListView::Adjust);
  list_->setWordWrap(true);
  list_->setMovement(QListView::Static);
  layout->addWidget(list_);
  auto* buttons = new QDialogButtonBox(this);
  auto* share = buttons->addButton(QStringLiteral("Partager"), QDialogButtonBox::AcceptRole);
  auto* cancel = buttons->addButton(QStringLiteral("Annuler"), QDialogButtonBox::RejectRole);
  share->setAccessibleName(share->text());
  cancel->setAccessibleName(cancel->text());
  share->setDefault(true);
  layout->addWidget(buttons);
  resize(820, 560);
  connect(buttons, &QDialogButtonBox::accepted, this, &PickerDialog::choose);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(list_, &QListWidget::itemDoubleClicked, this, &PickerDialog::choose);
  connect(list_, &QListWidget::activated, this, &PickerDialog::choose);
  connect(this, &QDialog::rejected, this, [this] {
    if (!answered_ && onCancel) answered_ = true, onCancel();
    deleteLater();
  });
}

PickerDialog::~PickerDialog() = default;

void PickerDialog::present() {
  show();
  raise();
  activateWindow();
  queue_.post([this] {
    Result<platform::ShareableContent> content = capture_.shareableContent(false, true);
    QMetaObject::invokeMethod(
        this,
        [this, content] {
          if (content) return listed(*content);
          answered_ = true;
          if (onStartFailure) onStartFailure(content.error());
          hide();
          deleteLater();
        },
        Qt::QueuedConnection);
  });
}

void PickerDialog::listed(const platform::ShareableContent& content) {
  for (auto& entry : pickerEntries(content, capture_, static_cast<std::int32_t>(QCoreApplication::applicationPid()))) {
    auto* item = new QListWidgetItem(QString::fromStdString(entry.label), list_);
    item->setData(Qt::UserRole, static_cast<int>(choices_.size()));
    QPixmap blank(thumbnailWidth, thumbnailHeight);
    blank.fill(Qt::darkGray);
    item->setIcon(blank);
    choices_.push_back(entry.choice);
    const int row = list_->count() - 1;
    queue_.post([this, row, filter = entry.choice.filter] {
      Result<platform::Image> image = capture_.captureImage(filter, {thumbnailWidth, thumbnailHeight, false});
      if (!image) return;
      QImage picture(image->pixels.data(), image->width, image->height, static_cast<qsizetype>(image->bytesPerRow),
                     QImage::Format_RGB32);
      QMetaObject::invokeMethod(
          this, [this, row, picture = picture.copy()] {
            if (auto* item = list_->item(row)) item->setIcon(QPixmap::fromImage(picture));
          },
          Qt::QueuedConnection);
    });
  }
  if (list_->count() > 0) list_->setCurrentRow(0);
  list_->setFocus();
}

void PickerDialog::choose() {
  auto* item = list_->currentItem();
  if (!item || answered_) return;
  answered_ = true;
  const Choice choice = choices_.at(item->data(Qt::UserRole).toInt());
  hide();
  if (onChoice) onChoice(choice);
  deleteLater();
}

}  // namespace pelorin::app::ui
