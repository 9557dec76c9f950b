#include "capture/display_capture.h"

#include <atomic>
#include <mutex>

#include "base/clock_sleep.h"
#include "base/fd_output.h"
#include "base/serial_queue.h"
#include "capture/control_channel.h"
#include "media/clock.h"
#include "media/screen_output.h"
#include "sources/display_choice.h"

namespace pelorin::capture {
namespace {

// Ends the run early when the stream stops on its own (its display went away, the display
// server connection broke) instead of letting it idle until the duration is over.
class StopWatcher final : public platform::StreamDelegate {
 public:
  void didStopWithError(const Error& error) override {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = error;
    stopped_ = true;
  }
  std::optional<Error> error() {
    std::lock_guard lock(mutex_);
    return error_;
  }
  const std::atomic<bool>& stopped() const { return stopped_; }

 private:
  std::mutex mutex_;
  std::optional<Error> error_;
  std::atomic<bool> stopped_{false};
};

Result<platform::ShareableDisplay> chooseDisplay(const encoder::Arguments& arguments,
                                                 platform::ScreenCaptureService& capture) {
  Result<platform::ShareableContent> content = capture.shareableContent(false, true);
  if (!content) return content.error();
  std::vector<std::uint32_t> ids;
  for (const auto& display : content->displays) ids.push_back(display.displayID);
  const auto index = sources::resolveDisplayIndex(arguments.displayID, ids);
  if (!index) {
    if (!arguments.displayID) return captureError("no display available");
    return captureError("display not found (" + std::to_string(*arguments.displayID) + ")");
  }
  return content->displays[*index];
}

platform::StreamConfiguration displayConfiguration(const encoder::Arguments& a) {
  platform::StreamConfiguration c;
  c.width = static_cast<int>(a.width);
  c.height = static_cast<int>(a.height);
  c.minimumFrameInterval = {1, static_cast<std::int32_t>(a.fps)};
  c.pixelFormat = platform::pixelFormat420v;
  c.queueDepth = 3;
  c.showsCursor = true;
  c.capturesAudio = false;
  return c;
}

}  // namespace

Error captureError(std::string message) { return Error{"ScreenCaptureKit", -1, std::move(message)}; }

Result<void> runScreen(const encoder::Arguments& arguments, media::HardwareEncoder& encoder,
                       const CaptureEnvironment& env) {
  if (!env.access->preflight()) {
    return captureError("screen capture permission missing executable=" + env.programPath);
  }
  if (!env.capture) return captureError("screen capture unavailable");
  Result<platform::ShareableDisplay> display = chooseDisplay(arguments, *env.capture);
  if (!display) return display.error();
  const platform::ContentFilter filter = env.capture->displayFilter(*display);
  const platform::StreamConfiguration configuration = displayConfiguration(arguments);

  const media::ClockMeasurement start = media::measureClockAnchor();
  writeLine(env.errorFd, media::clockAnchorLine("start", start));
  auto output = std::make_shared<media::ScreenOutput>(encoder, start.anchor, env.errorFd);
  const auto reader = readControl(env.inputFd, env.errorFd, encoder, output.get());

  StopWatcher watcher;
  Result<std::unique_ptr<platform::CaptureStream>> stream =
      env.capture->makeStream(filter, configuration, &watcher);
  if (!stream) return stream.error();
  auto queue = std::make_shared<SerialQueue>("pelorin.capture");
  if (Result<void> added = (*stream)->addStreamOutput(output, platform::StreamOutputType::Screen, queue); !added) {
    return added.error();
  }
  writeLine(env.errorFd, "capture_start capture=" + env.backendName + " width=" + std::to_string(arguments.width) +
                             " height=" + std::to_string(arguments.height) + " fps=" + std::to_string(arguments.fps) +
                             " abs_capture_time_source=capture queue_capacity=3");
  if (Result<void> started = (*stream)->startCapture(); !started) return started.error();
  sleepUnlessStopped(CLOCK_BOOTTIME, static_cast<double>(arguments.duration), watcher.stopped());
  if (std::optional<Error> failure = watcher.error()) return *failure;
  if (Result<void> stopped = (*stream)->stopCapture(); !stopped) return stopped.error();

  writeLine(env.errorFd, media::clockAnchorLine("end", media::measureClockAnchor()));
  const auto [drops, depth] = output->stats();
  encoder.finish(drops, depth);
  return {};
}

}  // namespace pelorin::capture
