#include "capture/portion_capture.h"

#include "capture/capture_configuration.h"
#include "capture/display_capture.h"
#include "capture/stream_run.h"

namespace pelorin::capture {

Result<void> runPortion(const CaptureRequest& request, media::HardwareEncoder& encoder,
                        const CaptureEnvironment& env, const PortionFrameHost& frameHost) {
  if (Result<void> allowed = checkPermission(env); !allowed) return allowed;
  if (!request.displayID || !request.portion) return Error{"Arguments", -1, "invalid arguments"};
  if (!env.capture) return captureError("screen capture unavailable");
  Result<platform::ShareableDisplay> display = chooseDisplay(request, *env.capture);
  if (!display) return display.error();

  std::shared_ptr<LivePortionStream> live;
  StreamRun run{.filter = env.capture->displayFilter(*display),
                .configuration = makeCaptureConfiguration(request.stream, *request.portion),
                .captureName = env.backendName,
                .stopReason = "window_capture_stopped_",
                .clockLines = StreamRun::ClockLines::atStart};
  run.endOfInput = [&encoder] { encoder.endProcessBetweenRecords(0); };
  run.started = [&](const RunningStream& s) -> Result<void> {
    live = std::make_shared<LivePortionStream>(s.stream, s.output, s.queue);
    if (!frameHost) return captureError("display not found (" + std::to_string(*request.displayID) + ")");
    return frameHost({*display, *request.portion, request.stream, live,
                      [stop = s.stop](const Error& error) { stop->fail(error); }});
  };
  // Nothing reconfigures a stream being stopped.
  run.stopChanges = [&] {
    if (live) live->close();
  };
  return runStream(request, encoder, env, run);
}

}  // namespace pelorin::capture
