#pragma once

#include <QDialog>
#include <functional>
#include <vector>

#include "app/picker_entries.h"
#include "base/error.h"
#include "base/serial_queue.h"
#include "platform/screen_capture.h"

class QListWidget;

namespace pelorin::app::ui {

// The content-sharing picker: displays, applications and windows with their thumbnails. It opens
// at once; the list and the thumbnails are taken on a queue of its own and filled in as they come.
class PickerDialog : public QDialog {
 public:
  using Choice = PickerChoice;

  PickerDialog(platform::ScreenCaptureService& capture, QWidget* parent);
  ~PickerDialog() override;

  std::function<void(const Choice&)> onChoice;
  std::function<void()> onCancel;
  std::function<void(const Error&)> onStartFailure;

  void present();

 private:
  void listed(const platform::ShareableContent& content);
  void choose();

  platform::ScreenCaptureService& capture_;
  QListWidget* list_ = nullptr;
  std::vector<Choice> choices_;
  bool answered_ = false;
  SerialQueue queue_{"pelorin.picker"};  // last: joins before the widgets go
};

}  // namespace pelorin::app::ui
