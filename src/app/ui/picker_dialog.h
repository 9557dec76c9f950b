#pragma once

#include <QDialog>
#include <functional>
#include <vector>

#include "base/error.h"
#include "base/serial_queue.h"
#include "platform/screen_capture.h"

class QListWidget;

namespace pelorin::app::ui {

// The content-sharing picker: displays, applications and windows with their thumbnails. It opens
// at once; the list and the thumbnails are taken on a queue of its own and filled in as they come.
class PickerDialog : public QDialog {
 public:
  struct Choice {
    platform::ContentFilter filter;
    bool followsWindow = false;
  };

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
  SerialQueue queue_{"pelorin.app.picker"};  // last: joins before the widgets go
};

// The picker's entries, in order: every display, then every application with windows, then every
// window (layer 0 only), leaving out the windows of `ownProcess` (the app and this picker). An application is shown alone on the display holding most of its largest
// window.
struct PickerEntry {
  enum class Kind { display, application, window } kind;
  std::string label;
  PickerDialog::Choice choice;
};
std::vector<PickerEntry> pickerEntries(const platform::ShareableContent& content,
                                       platform::ScreenCaptureService& capture, std::int32_t ownProcess);

}  // namespace pelorin::app::ui
