#pragma once

#include <QObject>
#include <QPointer>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_log.h"
#include "app/app_status.h"
#include "app/main_poster.h"
#include "app/picker_entries.h"
#include "app/receiver_directory.h"
#include "app/receiver_discovery.h"
#include "app/sender_host.h"
#include "app/share_capture.h"
#include "app/share_stops.h"
#include "capture/portion_updates.h"
#include "base/serial_queue.h"
#include "platform/compression_session.h"
#include "platform/content_chooser.h"
#include "platform/screen_capture.h"

class QScreen;

namespace pelorin::capture {
class PortionStreamController;
class LivePortionStream;
}  // namespace pelorin::capture

namespace pelorin::portion {
class PortionBorderWindow;
class PortionWindowController;
}  // namespace pelorin::portion

namespace pelorin::app::ui {

class MainWindow;
class PickerDialog;

// What the app is given: the platform services it captures and encodes with, and discovery.
struct AppServices {
  // With the app's own picker; null where the desktop's chooser hands out what to capture.
  std::unique_ptr<platform::ScreenCaptureService> capture;
  std::unique_ptr<platform::ContentChooser> chooser;  // the desktop's chooser, in place of the picker
  std::optional<std::string> portionUnavailable;      // why no portion can be shared here
  std::unique_ptr<platform::CompressionSessionFactory> compression;
  std::unique_ptr<ReceiverDiscovery> discovery;
};

// The app: its window and status, the receivers, and at most one share at a time. Main thread only.
class NativeApp : public QObject {
 public:
  NativeApp(AppServices services, AppLog& log, MainPoster toMain);
  ~NativeApp() override;

  void launch();
  // Quits at once when idle, else after the share's stop sequence.
  void requestQuit();

 private:
  void setUserStatus(const std::string& text);
  void setFailureStatus(const std::string& text);
  void setAutomaticStatus(const std::string& text);
  void showStatus();
  void updateAvailability();
  // The share buttons: a code can start a share when a receiver is known, no sender runs and
  // neither the picker nor the selection window is open.
  void updateButtons();
  std::optional<std::string> validatedCode();
  bool senderRuns() const { return senderHost_->process() != nullptr; }
  bool choosing() const;

  void codeReturned();
  void showPicker();
  // Whether the sender was launched.
  bool pickerChose(const PickerChoice& choice);
  // The desktop's chooser, off the main thread; its answer comes back to desktopChose.
  void chooseOnDesktop(bool forPortion);
  void desktopChose(const Result<std::optional<platform::ChosenContent>>& answer, bool forPortion);
  void showPortion();
  void openSelection(QScreen* screen);
  // What captures the share: the desktop's choice, else the app's own service.
  platform::ScreenCaptureService& captureService();
  void preparePortion(const Rect& selection, QScreen* screen);
  // Whether the sender was launched.
  bool beginSharing(const platform::ContentFilter& filter, std::optional<Rect> sourceRect, capture::Size sourceSize,
                    const std::string& shared);
  void showBorder(const Rect& portion, const Rect& screenFrame, QScreen* screen);
  void startCapture(const ReadyLine& ready);
  void portionFrameChanged(const Rect& area);
  void startFollowingPortion();
  void stopPressed();
  void failShare(const std::string& failure);
  void stopSharing(std::function<void()> completion = nullptr);

  AppServices services_;
  SerialQueue chooserQueue_{"pelorin.picker"};  // joined before the chooser goes
  AppLog& log_;
  MainPoster toMain_;
  std::unique_ptr<MainWindow> window_;
  AppStatusState statusState_{searchingStatus};
  std::vector<ReceiverAddress> receivers_;
  std::unique_ptr<SenderHost> senderHost_;

  // The share: chosen source, then capture once the sender is ready.
  std::optional<platform::ContentFilter> pendingFilter_;
  std::optional<Rect> pendingSourceRect_;
  std::shared_ptr<platform::ScreenCaptureService> chosenCapture_;  // the desktop's choice, until the stop
  bool desktopChoosing_ = false;
  media::StreamSettings shareStream_;
  ShareCapture capture_;
  std::unique_ptr<portion::PortionWindowController> portionController_;
  std::unique_ptr<portion::PortionBorderWindow> portionBorder_;
  QPointer<QScreen> portionScreen_;
  Rect portionScreenFrame_{};
  std::optional<capture::PortionUpdates> portionUpdates_;
  std::shared_ptr<capture::LivePortionStream> livePortion_;
  std::shared_ptr<capture::PortionStreamController> portionStream_;
  QPointer<PickerDialog> picker_;
  long shareGeneration_ = 0;
  bool quitting_ = false;  // from then on nothing changes the window

  // The stops of ended shares, each on its own thread; joined before the rest goes.
  ShareStops stops_{toMain_};
};

}  // namespace pelorin::app::ui
