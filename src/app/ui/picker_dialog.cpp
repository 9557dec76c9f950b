#include "app/ui/picker_dialog.h"

#include "app/picker_entries.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QImage>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

namespace pelorin::app::ui {
namespace {

constexpr int thumbnailWidth = 240;
constexpr int thumbnailHeight = 135;

}  // namespace

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
    auto* item = new QListWidgetItem(QString::fromStdString(entry.choice.label), list_);
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
  // The selected entry, not the current one: assistive technology selects an entry (AT-SPI) without
  // moving the keyboard's current item; arrows, clicks and Return select what they make current.
  const QList<QListWidgetItem*> selected = list_->selectedItems();
  if (selected.isEmpty() || answered_) return;
  answered_ = true;
  const Choice choice = choices_.at(selected.front()->data(Qt::UserRole).toInt());
  hide();
  if (onChoice) onChoice(choice);
  deleteLater();
}

}  // namespace pelorin::app::ui
