#include "app/ui/native_app.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "app/error_texts.h"
#include "app/picker_entries.h"
#include "app/ui/main_window.h"
#include "app/ui/picker_dialog.h"
#include "base/sanitize.h"
#include "capture/capture_configuration.h"
#include "capture/portion_stream_controller.h"
#include "portion/portion_geometry.h"
#include "portion/ui/portion_border_window.h"
#include "portion/ui/portion_window_controller.h"
#include "portion/ui/screen_mapping.h"

namespace pelorin::app::ui {
namespace {

QString text(const std::string& utf8) { return QString::fromStdString(utf8); }

std::vector<capture::Size> screenPixelSizes() {
  std::vector<capture::Size> sizes;
  for (const QScreen* screen : QGuiApplication::screens()) {
    const Rect frame = portion::ScreenMapping(screen).windowSystemFrame();
    sizes.push_back({frame.width, frame.height});
  }
  return sizes;
}

// A share's end, off the main thread: its capture and encoder, then its sender.
void endShare(ShareCapture capture, std::shared_ptr<SenderProcess> sender,
              std::shared_ptr<capture::LivePortionStream> live, AppLog& log, long generation) {
  const auto finish = [&] {
    if (live) live->close();  // no reconfiguration of a stream being stopped
    finishShare(std::move(capture), nullptr);
    log.write("share_stop capture=ended generation=" + std::to_string(generation));
  };
  if (!sender) return finish();
  finishThenStop(*sender, finish);
}

}  // namespace

NativeApp::NativeApp(AppServices services, AppLog& log, MainPoster toMain)
    : services_(std::move(services)), log_(log), toMain_(std::move(toMain)) {
  SenderEvents events;
  events.ready = [this](const ReadyLine& ready) { startCapture(ready); };
  events.keyframe = [this] {
    if (capture_.output) capture_.output->requestKeyframe();
  };
  events.progress = [this](const std::string& status) { setAutomaticStatus(status); };
  events.failed = [this](const std::string& failure) { failShare(failure); };
  senderHost_ = std::make_unique<SenderHost>(toMain_, log_, std::move(events));
}

NativeApp::~NativeApp() {
  if (services_.chooser) services_.chooser->abandon();  // so that its queue can be joined
  if (window_) window_->hide();  // while stops_ waits for senders slow to leave
  stopSharing();
}

void NativeApp::launch() {
  window_ = std::make_unique<MainWindow>();
  window_->onClose = [this] { toMain_([this] { requestQuit(); }); };
  window_->onQuit = [this] { requestQuit(); };
  window_->onCodeReturn = [this] { codeReturned(); };
  connect(window_->shareButton, &QPushButton::clicked, this, &NativeApp::showPicker);
  connect(window_->portionButton, &QPushButton::clicked, this, &NativeApp::showPortion);
  connect(window_->stopButton, &QPushButton::clicked, this, &NativeApp::stopPressed);
  if (services_.portionUnavailable) window_->portionButton->setToolTip(text(*services_.portionUnavailable));
  updateAvailability();

  ReceiverDiscovery& discovery = *services_.discovery;
  QPointer<NativeApp> self(this);
  discovery.onChange = [self](const std::vector<ReceiverAddress>& receivers) {
    if (!self) return;
    self->receivers_ = receivers;
    self->updateAvailability();
  };
  discovery.onLocalNetworkDenied = [self, toMain = toMain_] {
    toMain([self] {
      if (self) self->setFailureStatus(localNetworkFailure);
    });
  };
  discovery.start();

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    window_->move(screen->availableGeometry().center() - window_->rect().center());
  }
  window_->show();
  window_->raise();
  window_->activateWindow();
  window_->codeField->setFocus();
}

void NativeApp::requestQuit() {
  if (quitting_) return;
  if (!senderRuns()) {
    quitting_ = true;
    return QCoreApplication::exit(0);
  }
  setUserStatus(quittingStatus);
  stopSharing([] { QCoreApplication::exit(0); });
  quitting_ = true;
}

void NativeApp::setUserStatus(const std::string& status) {
  if (quitting_) return;
  log_.write("status: " + status);
  statusState_.userAction(status);
  showStatus();
}

void NativeApp::setFailureStatus(const std::string& status) {
  if (quitting_) return;
  log_.write("status failure: " + status);
  statusState_.failed(status);
  showStatus();
}

void NativeApp::setAutomaticStatus(const std::string& status) {
  if (quitting_) return;
  statusState_.automatic(status);
  showStatus();
}

void NativeApp::showStatus() {
  window_->status->showStatus(text(statusState_.message), statusState_.failure.has_value());
}

void NativeApp::updateAvailability() {
  updateButtons();
  if (senderRuns()) return;
  setAutomaticStatus(availabilityStatus(receivers_.size()));
}

void NativeApp::updateButtons() {
  if (quitting_) return;
  const bool canShare = !receivers_.empty() && !senderRuns() && !choosing();
  window_->shareButton->setEnabled(canShare);
  window_->portionButton->setEnabled(canShare && !services_.portionUnavailable);
}

std::optional<std::string> NativeApp::validatedCode() {
  CodeCheck check = app::validatedCode(window_->codeField->text().toStdString(), receivers_.size());
  if (check.code) return check.code;
  setFailureStatus(check.failure);
  window_->focusCode();
  return std::nullopt;
}

bool NativeApp::choosing() const { return picker_ || portionController_ || desktopChoosing_; }

void NativeApp::codeReturned() {
  // Return acts as the share button, and tells why when no share can start; an open chooser
  // comes to the front instead.
  QWidget* open = picker_ ? picker_.data() : portionController_ ? portionController_->window() : nullptr;
  if (open) {
    open->raise();
    open->activateWindow();
  } else if (!senderRuns()) {
    showPicker();
  }
}

void NativeApp::showPicker() {
  if (choosing() || !validatedCode()) return;
  setUserStatus(pickerPromptStatus);
  if (services_.chooser) return chooseOnDesktop(false);
  picker_ = new PickerDialog(*services_.capture, window_.get());
  picker_->onChoice = [this](const PickerDialog::Choice& choice) {
    picker_ = nullptr;
    pickerChose(choice);
    updateButtons();
  };
  picker_->onCancel = [this] {
    picker_ = nullptr;
    setUserStatus(cancelledStatus);
    updateButtons();
  };
  picker_->onStartFailure = [this](const Error& error) {
    picker_ = nullptr;
    setFailureStatus(errorStatus(userDescription(error)));
    updateButtons();
  };
  picker_->present();
  updateButtons();
}

bool NativeApp::pickerChose(const PickerChoice& choice) {
  const platform::ContentFilter& filter = choice.filter;
  const capture::Size content{filter.contentRect.width * filter.pointPixelScale,
                              filter.contentRect.height * filter.pointPixelScale};
  return beginSharing(filter, std::nullopt,
                      portion::pickerSourceSize(content, choice.followsWindow, screenPixelSizes()), choice.label);
}

void NativeApp::chooseOnDesktop(bool forPortion) {
  desktopChoosing_ = true;
  updateButtons();
  chooserQueue_.post([chooser = services_.chooser.get(), self = QPointer<NativeApp>(this), toMain = toMain_,
                      forPortion] {
    auto answer = std::make_shared<Result<std::optional<platform::ChosenContent>>>(chooser->choose(!forPortion));
    toMain([self, answer, forPortion] {
      if (self) self->desktopChose(*answer, forPortion);
    });
  });
}

void NativeApp::desktopChose(const Result<std::optional<platform::ChosenContent>>& answer, bool forPortion) {
  desktopChoosing_ = false;
  if (!answer) {
    setFailureStatus(errorStatus(userDescription(answer.error())));
  } else if (!*answer) {
    setUserStatus(cancelledStatus);
  } else if (const platform::ChosenContent& chosen = **answer; forPortion) {
    // The selection window opens on the monitor chosen, and the portion is a crop of its stream.
    chosenCapture_ = chosen.capture;
    QScreen* screen = portion::screenOfDisplay(chosen.display);
    if (screen) openSelection(screen);
    else setFailureStatus(errorStatus("écran introuvable"));
  } else {
    chosenCapture_ = chosen.capture;
    pickerChose({chosen.filter, chosen.isWindow, chosen.isWindow ? "Fenêtre" : displayLabel(chosen.display)});
  }
  if (!portionController_ && !senderRuns()) chosenCapture_.reset();  // the session closes with it
  updateButtons();
}

platform::ScreenCaptureService& NativeApp::captureService() {
  return chosenCapture_ ? *chosenCapture_ : *services_.capture;
}

void NativeApp::showPortion() {
  if (choosing() || !validatedCode()) return;
  if (services_.chooser) {
    setUserStatus(pickerPromptStatus);
    return chooseOnDesktop(true);
  }
  if (QScreen* screen = QGuiApplication::primaryScreen()) openSelection(screen);
}

void NativeApp::openSelection(QScreen* screen) {
  setUserStatus(portionPromptStatus);
  // Escape cancels: the selection window has no close box.
  portionController_ = std::make_unique<portion::PortionWindowController>(
      screen,
      [this](const Rect& selection, QScreen* chosen) {
        toMain_([this, selection, chosen = QPointer<QScreen>(chosen)] {
          portionController_.reset();
          if (chosen) preparePortion(selection, chosen);
          if (!senderRuns()) chosenCapture_.reset();
          updateButtons();
        });
      },
      [this] {
        toMain_([this] {
          portionController_.reset();
          chosenCapture_.reset();
          updateButtons();
        });
        setUserStatus(cancelledStatus);
      });
  updateButtons();
}

void NativeApp::preparePortion(const Rect& selection, QScreen* screen) {
  Result<platform::ShareableContent> content = captureService().shareableContent(false, true);
  if (!content) return setFailureStatus(errorStatus(userDescription(content.error())));
  const std::optional<std::uint32_t> number = portion::displayNumber(screen, content->displays);
  const platform::ShareableDisplay* display = nullptr;
  for (const auto& candidate : content->displays) {
    if (number && candidate.displayID == *number) display = &candidate;
  }
  if (!display) return setFailureStatus(errorStatus("écran introuvable"));
  const portion::ScreenMapping mapping(screen);
  const Rect screenFrame = mapping.screenSpaceFrame();
  const Rect portionRect = portion::portionRect(selection, screenFrame);
  if (portionRect == Rect{}) return setFailureStatus(errorStatus("portion trop petite"));

  // The frame says "this is shared": it appears only once the share has begun.
  const Rect pixels = mapping.windowSystemFrame();
  if (beginSharing(captureService().displayFilter(*display), portionRect, {pixels.width, pixels.height},
                   portionLabel(*display))) {
    showBorder(portionRect, screenFrame, screen);
  }
}

void NativeApp::showBorder(const Rect& portion, const Rect& screenFrame, QScreen* screen) {
  portionBorder_ = std::make_unique<portion::PortionBorderWindow>(
      portion::portionBorderFrame(portion, screenFrame, portion::PortionBorderWindow::thickness), screen);
  portionBorder_->onChange = [self = QPointer<NativeApp>(this)](const Rect& area, bool) {
    if (self) self->portionFrameChanged(area);
  };
  portionScreen_ = screen;
  portionScreenFrame_ = screenFrame;
  portionUpdates_.emplace(portion);
}

bool NativeApp::beginSharing(const platform::ContentFilter& filter, std::optional<Rect> sourceRect,
                             capture::Size sourceSize, const std::string& shared) {
  const std::optional<std::string> code = validatedCode();
  if (!code || senderRuns()) return false;
  const capture::Size size = capture::streamSize(sourceSize, maximumShareSize);
  pendingFilter_ = filter;
  pendingSourceRect_ = sourceRect;
  setUserStatus(pairingStatus);
  window_->shareButton->setEnabled(false);
  window_->portionButton->setEnabled(false);
  Result<void> launched = senderHost_->launchSender(*code, static_cast<int>(size.width),
                                                    static_cast<int>(size.height), receivers_);
  if (!launched) {
    stopSharing();
    setFailureStatus(errorStatus(userDescription(launched.error())));
    updateAvailability();
    return false;
  }
  window_->stopButton->setEnabled(true);
  window_->status->showShared(text(shared));
  return true;
}

void NativeApp::startCapture(const ReadyLine& ready) {
  const auto& process = senderHost_->process();
  if (!pendingFilter_ || !process || process->inputFd() < 0) return;
  if (capture_.stream || capture_.encoder) {
    log_.write("sender_ready ignored=true reason=capture_running");
    return;
  }
  ShareCaptureRequest request;
  request.filter = *pendingFilter_;
  request.sourceRect = pendingSourceRect_;
  request.stream = shareStream(ready.width, ready.height, ready.profile);
  request.outputFd = process->inputFd();
  const long generation = shareGeneration_;
  QPointer<NativeApp> self(this);
  ShareCaptureStart start = startShareCapture(
      *services_.compression, captureService(), request, [self, generation, toMain = toMain_](const Error& error) {
        toMain([self, generation, error] {
          if (!self) return;
          // A stopped share's stream may still end with an error before its stop reaches it.
          const bool current = self->shareGeneration_ == generation;
          self->log_.write(std::string("share_stream_stopped current=") + (current ? "true" : "false") +
                           " reason=" + sanitized(error.description()));
          if (current) self->failShare(errorStatus(userDescription(error)));
        });
      });
  capture_ = std::move(start.capture);
  shareStream_ = request.stream;
  if (start.failure) return failShare(errorStatus(userDescription(*start.failure)));
  if (portionUpdates_) startFollowingPortion();
}

void NativeApp::startFollowingPortion() {
  livePortion_ = std::make_shared<capture::LivePortionStream>(capture_.stream, capture_.output, capture_.queue);
  portionStream_ = portion::followCapture(*portionBorder_, livePortion_, portionUpdates_->applied, shareStream_);
}

// Until the capture runs, the frame goes where it is dragged, and the capture will start there.
void NativeApp::portionFrameChanged(const Rect& area) {
  if (!portionScreen_ || !portionUpdates_) return;
  const Rect r = portion::portionRect(area, portionScreenFrame_);
  if (r == Rect{}) return;
  portionBorder_->setFrame(
      portion::portionBorderFrame(r, portionScreenFrame_, portion::PortionBorderWindow::thickness));
  pendingSourceRect_ = r;
  portionUpdates_.emplace(r);
}

void NativeApp::stopPressed() {
  stopSharing();
  setUserStatus(stoppedStatus);
  updateAvailability();
}

void NativeApp::failShare(const std::string& failure) {
  stopSharing();
  setFailureStatus(failure);
  updateAvailability();
}

void NativeApp::stopSharing(std::function<void()> completion) {
  ShareCapture capture = std::exchange(capture_, {});
  std::shared_ptr<SenderProcess> sender = senderHost_->release();
  std::shared_ptr<capture::LivePortionStream> live = std::move(livePortion_);

  pendingFilter_.reset();
  pendingSourceRect_.reset();
  chosenCapture_.reset();  // the stream keeps its session until it is stopped
  if (window_ && !quitting_) {
    window_->stopButton->setEnabled(false);
    window_->status->showShared({});
  }
  portionBorder_.reset();
  portionStream_.reset();
  portionScreen_ = nullptr;
  portionUpdates_.reset();
  const long generation = shareGeneration_++;
  shareStream_ = {};
  if (!sender && !capture.encoder && !completion) return;

  // This share's stream and encoder end now, whatever other stops still wait for their senders.
  stops_.run(
      [capture = std::move(capture), sender = std::move(sender), live = std::move(live), &log = log_,
       generation]() mutable { endShare(std::move(capture), std::move(sender), std::move(live), log, generation); },
      std::move(completion));
}

}  // namespace pelorin::app::ui
