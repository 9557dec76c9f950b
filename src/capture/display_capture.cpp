#include "capture/display_capture.h"

#include "base/fd_output.h"
#include "base/serial_queue.h"
#include "capture/capture_configuration.h"
#include "capture/control_channel.h"
#include "capture/stream_attachment.h"
#include "media/capture_lines.h"
#include "media/capture_run.h"
#include "media/clock.h"
#include "media/screen_output.h"
#include "sources/display_choice.h"

namespace pelorin::capture {
namespace {

Result<platform::ShareableDisplay> chooseDisplay(const CaptureRequest& request,
                                                 platform::ScreenCaptureService& capture) {
  Result<platform::ShareableContent> content = capture.shareableContent(false, true);
  if (!content) return content.error();
  std::vector<std::uint32_t> ids;
  for (const auto& display : content->displays) ids.push_back(display.displayID);
  const auto index = sources::resolveDisplayIndex(request.displayID, ids);
  if (!index) {
    if (!request.displayID) return captureError("no display available");
    return captureError("display not found (" + std::to_string(*request.displayID) + ")");
  }
  return content->displays[*index];
}


}  // namespace

Error captureError(std::string message) { return Error{"ScreenCaptureKit", -1, std::move(message)}; }

Result<void> runScreen(const CaptureRequest& request, media::HardwareEncoder& encoder, const CaptureEnvironment& env) {
  if (!env.access->preflight()) {
    return captureError("screen capture permission missing executable=" + env.programPath);
  }
  if (!env.capture) return captureError("screen capture unavailable");
  Result<platform::ShareableDisplay> display = chooseDisplay(request, *env.capture);
  if (!display) return display.error();
  const platform::ContentFilter filter = env.capture->displayFilter(*display);

  const media::ClockMeasurement start = media::measureClockAnchor();
  writeLine(env.errorFd, media::clockAnchorLine("start", start));
  auto output = std::make_shared<media::ScreenOutput>(encoder, start.anchor, env.errorFd);
  auto stop = std::make_shared<media::RunStop>();
  media::StreamStopWatcher watcher(stop);
  Result<AttachedStream> attached = attachStream(
      *env.capture, filter, makeCaptureConfiguration(request.width, request.height, request.fps), &watcher, output);
  if (!attached) return attached.error();
  // Named references rather than a structured binding: the release lambda captures them.
  std::shared_ptr<platform::CaptureStream>& stream = attached->stream;
  std::shared_ptr<SerialQueue>& queue = attached->queue;
  // Once the stream can be asked for frames, so that an early KEYFRAME still brings a fresh one.
  const auto reader = readControl(env.inputFd, env.errorFd, encoder, output.get());
  writeLine(env.errorFd, media::captureStartLine(env.backendName, request.width, request.height, request.fps));

  media::StreamSource source(*stream);
  media::RunPlan plan;
  plan.source = &source;
  plan.durationSeconds = static_cast<double>(request.durationSeconds);
  plan.afterStop = [&] { writeLine(env.errorFd, media::clockAnchorLine("end", media::measureClockAnchor())); };
  plan.captureStats = [&] { return output->stats(); };
  plan.release = [&] {
    reader->close();
    stream.reset();
    queue.reset();
  };
  return media::runCapture(encoder, stop, plan, env.errorFd);
}

}  // namespace pelorin::capture
