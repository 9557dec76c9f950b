#include "capture/window_capture.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <thread>

#include "base/canonical_text.h"
#include "base/fd_output.h"
#include "capture/capture_configuration.h"
#include "capture/stream_run.h"
#include "capture/window_tracker.h"

namespace pelorin::capture {
namespace {

constexpr auto lookupPatience = std::chrono::seconds(5);
constexpr auto lookupRetry = std::chrono::milliseconds(100);

Result<platform::ShareableWindow> windowByID(platform::ScreenCaptureService& capture, platform::WindowID id) {
  Result<platform::ShareableContent> content = capture.shareableContent(true, false);
  if (!content) return content.error();
  if (const platform::ShareableWindow* window = windowWithID(*content, id)) return *window;
  return captureError("window not found (id)");
}

}  // namespace

const platform::ShareableWindow* windowWithID(const platform::ShareableContent& content, platform::WindowID id) {
  for (const auto& window : content.windows) {
    if (window.windowID == id) return &window;
  }
  return nullptr;
}

std::string scaleText(double scale) {
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, scale);
  std::string text = ec == std::errc() ? std::string(buffer, end) : std::string("nan");
  if (text.find_first_of(".en") == std::string::npos) text += ".0";
  return text;
}

Rect contentSource(const platform::WindowBounds& bounds, bool byID, Size content) {
  const Rect area = byID ? bounds.frame : bounds.client.value_or(bounds.frame);
  Rect crop = contentCrop(sizeOf(area), content);
  crop.x += area.x - bounds.frame.x;
  crop.y += area.y - bounds.frame.y;
  return crop;
}

std::string cropLine(std::int64_t cropWidth, std::int64_t cropHeight, Size frame, double scale, bool fullscreen) {
  return "capture_window crop=" + std::to_string(cropWidth) + "x" + std::to_string(cropHeight) +
         " frame=" + std::to_string(static_cast<std::int64_t>(frame.width)) + "x" +
         std::to_string(static_cast<std::int64_t>(frame.height)) + " scale=" + scaleText(scale) +
         " fullscreen=" + (fullscreen ? "true" : "false");
}

std::pair<platform::ContentFilter, bool> captureFilter(platform::ScreenCaptureService& capture,
                                                       const platform::ShareableWindow& window,
                                                       const std::vector<platform::ShareableDisplay>& displays) {
  for (const auto& display : displays) {
    if (display.frame == window.frame) return {capture.displayFilterIncluding(display, {window.windowID}), true};
  }
  return {capture.windowFilter(window), false};
}

Result<platform::ShareableWindow> findWindow(platform::ScreenCaptureService& capture, const std::string& marker,
                                             int errorFd, const LookupClock& clock) {
  const auto deadline = clock.now() + lookupPatience;
  for (;;) {
    Result<platform::ShareableContent> content = capture.shareableContent(true, false);
    if (!content) return content.error();
    for (const auto& window : content->windows) {
      if (window.title && containsCanonically(*window.title, marker)) {
        writeLine(errorFd, "capture_window found=true title_match=marker");
        return window;
      }
    }
    if (clock.now() >= deadline) return captureError("shared tab window not found (title marker)");
    if (clock.sleep) {
      clock.sleep(lookupRetry);
    } else {
      std::this_thread::sleep_for(lookupRetry);
    }
  }
}

Result<void> runWindow(const CaptureRequest& request, media::HardwareEncoder& encoder, const CaptureEnvironment& env) {
  if (Result<void> allowed = checkPermission(env, true); !allowed) return allowed;
  if (!env.capture || !env.windowServer) return captureError("screen capture unavailable");
  const bool byID = request.windowID.has_value();
  Result<platform::ShareableWindow> found = byID ? windowByID(*env.capture, *request.windowID)
                                                 : findWindow(*env.capture, request.windowTitle.value_or(""), env.errorFd);
  if (!found) return found.error();
  const platform::ShareableWindow window = *found;
  Result<platform::ShareableContent> content = env.capture->shareableContent(true, false);
  if (!content) return content.error();
  const auto [filter, startsFullscreen] = captureFilter(*env.capture, window, content->displays);
  std::atomic<bool> fullscreen{startsFullscreen};
  const double scale = filter.pointPixelScale;
  const Size frame{static_cast<double>(request.stream.width), static_cast<double>(request.stream.height)};
  StreamRun run{.filter = filter, .configuration = makeCaptureConfiguration(request.stream),
                .captureName = env.backendName + "_window", .stopReason = "window_capture_stopped_"};

  const std::int64_t cw = byID ? std::llround(window.frame.width * scale) : request.contentWidth;
  const std::int64_t ch = byID ? std::llround(window.frame.height * scale) : request.contentHeight;
  const Rect source = contentSource({window.frame, window.client}, byID,
                                    {static_cast<double>(cw) / scale, static_cast<double>(ch) / scale});
  run.configuration.sourceRect = source;
  run.configuration.destinationRect = letterboxRect(sizeOf(source), frame);
  writeLine(env.errorFd, cropLine(cw, ch, sizeOf(window.frame), scale, startsFullscreen));

  PendingCrop crops;
  std::optional<WindowTracker> tracker;
  run.crop = [&crops](std::int64_t w, std::int64_t h) { crops.set(w, h); };
  run.started = [&](const RunningStream& s) -> Result<void> {
    tracker.emplace(TrackedWindow{window, byID, request.stream.width, request.stream.height, scale, &crops,
                                  &fullscreen, s.output.get(), s.stream.get(), run.configuration, env.capture,
                                  env.windowServer, env.errorFd});
    tracker->start();
    return {};
  };
  // Stops the tracker before the stream, so that nothing reconfigures a stream being stopped.
  run.stopChanges = [&] {
    if (tracker) tracker->stop();
  };
  return runStream(request, encoder, env, run);
}

}  // namespace pelorin::capture
