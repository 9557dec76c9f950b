#include "capture/display_capture.h"

#include "capture/capture_configuration.h"
#include "capture/stream_run.h"
#include "sources/display_choice.h"

namespace pelorin::capture {

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

Error captureError(std::string message) { return Error{"ScreenCaptureKit", -1, std::move(message)}; }

Result<void> runScreen(const CaptureRequest& request, media::HardwareEncoder& encoder, const CaptureEnvironment& env) {
  if (Result<void> allowed = checkPermission(env); !allowed) return allowed;
  if (!env.capture) return captureError("screen capture unavailable");
  Result<platform::ShareableDisplay> display = chooseDisplay(request, *env.capture);
  if (!display) return display.error();
  StreamRun run{.filter = env.capture->displayFilter(*display),
                .configuration = makeCaptureConfiguration(request.stream),
                .captureName = env.backendName,
                .clockLines = StreamRun::ClockLines::beforeStream};
  return runStream(request, encoder, env, run);
}

}  // namespace pelorin::capture
