#include "portion/portion_capture.h"

#include "base/fd_output.h"
#include "base/serial_queue.h"
#include "capture/capture_configuration.h"
#include "capture/control_channel.h"
#include "capture/stream_attachment.h"
#include "capture/window_capture.h"
#include "media/capture_lines.h"
#include "media/capture_run.h"
#include "media/clock.h"
#include "media/screen_output.h"

namespace pelorin::portion {
namespace {

Result<platform::ShareableDisplay> findDisplay(platform::ScreenCaptureService& capture, std::uint32_t id) {
  Result<platform::ShareableContent> content = capture.shareableContent(false, true);
  if (!content) return content.error();
  for (const auto& display : content->displays) {
    if (display.displayID == id) return display;
  }
  return capture::captureError("display not found (" + std::to_string(id) + ")");
}

}  // namespace

Result<void> runPortion(const capture::CaptureRequest& request, media::HardwareEncoder& encoder,
                        const capture::CaptureEnvironment& env, const PortionFrameHost& frameHost) {
  if (!env.access->preflight()) {
    return capture::captureError("screen capture permission missing executable=" + env.programPath);
  }
  if (!request.displayID || !request.portion) return Error{"Arguments", -1, "invalid arguments"};
  if (!env.capture) return capture::captureError("screen capture unavailable");
  Result<platform::ShareableDisplay> display = findDisplay(*env.capture, *request.displayID);
  if (!display) return display.error();
  platform::StreamConfiguration configuration =
      capture::makeCaptureConfiguration(request.width, request.height, *request.portion);
  configuration.minimumFrameInterval = {1, request.fps};
  const platform::ContentFilter filter = env.capture->displayFilter(*display);

  const media::ClockMeasurement start = media::measureClockAnchor();
  auto output = std::make_shared<media::ScreenOutput>(encoder, start.anchor, env.errorFd);
  auto stop = std::make_shared<media::RunStop>();
  capture::WindowStreamDelegate delegate(stop);
  Result<capture::AttachedStream> attached = capture::attachStream(*env.capture, filter, configuration, &delegate, output);
  if (!attached) return attached.error();
  // Named references rather than a structured binding: the release lambda captures them.
  std::shared_ptr<platform::CaptureStream>& stream = attached->stream;
  std::shared_ptr<SerialQueue>& queue = attached->queue;
  // Read once the stream can be asked for frames, so that no early KEYFRAME goes unanswered.
  const auto reader = capture::readControl(env.inputFd, env.errorFd, encoder, output.get(), nullptr,
                                           [&encoder] { encoder.endProcessBetweenRecords(0); });

  auto live = std::make_shared<LivePortionStream>(stream, output, queue);
  if (!frameHost) return capture::captureError("display not found (" + std::to_string(*request.displayID) + ")");
  if (Result<void> shown = frameHost({*display, *request.portion, request.width, request.height, request.fps, live,
                                      [stop](const Error& error) { stop->fail(error); }});
      !shown) {
    return shown.error();
  }
  writeLine(env.errorFd, media::clockAnchorLine("start", start));
  writeLine(env.errorFd, media::captureStartLine(env.backendName, request.width, request.height, request.fps));

  // Nothing reconfigures a stream being stopped.
  media::StreamSource source(*stream, [&] { live->close(); });
  media::RunPlan plan;
  plan.source = &source;
  plan.durationSeconds = static_cast<double>(request.durationSeconds);
  plan.afterStop = [&] { writeLine(env.errorFd, media::clockAnchorLine("end", media::measureClockAnchor())); };
  plan.captureStats = [&] { return output->stats(); };
  plan.release = [&] {
    live->close();
    reader->close();
    stream.reset();
    queue.reset();
  };
  return media::runCapture(encoder, stop, plan, env.errorFd);
}

}  // namespace pelorin::portion
