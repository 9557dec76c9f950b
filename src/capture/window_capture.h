#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "base/error.h"
#include "capture/capture_environment.h"
#include "capture/capture_request.h"
#include "capture/crop_geometry.h"
#include "media/hardware_encoder.h"
#include "platform/screen_capture.h"

namespace pelorin::capture {

// Captures one window, found by identifier or by a marker in its title, into the fixed output
// frame: its content area, letterboxed, followed through resizes, CROP lines and full-screen
// switches until the duration ends. Needs the environment's window server. A stream that stops with
// an error (the window was destroyed, the display went away) ends the run with
// "window_capture_stopped_" and the reason.
Result<void> runWindow(const CaptureRequest& request, media::HardwareEncoder& encoder,
                       const CaptureEnvironment& environment);

// How findWindow waits: the time now and a pause between tries.
struct LookupClock {
  std::function<std::chrono::steady_clock::time_point()> now = [] { return std::chrono::steady_clock::now(); };
  std::function<void(std::chrono::milliseconds)> sleep;  // default: the thread sleeps
};

// The first window whose title contains the marker (canonically, case-sensitively), tried every
// 100 ms for 5 seconds.
Result<platform::ShareableWindow> findWindow(platform::ScreenCaptureService& capture, const std::string& marker,
                                             int errorFd, const LookupClock& clock = {});

// The window alone, or, when its frame is exactly a display's, that display showing only the
// window (the full-screen kind, second of the pair).
std::pair<platform::ContentFilter, bool> captureFilter(platform::ScreenCaptureService& capture,
                                                       const platform::ShareableWindow& window,
                                                       const std::vector<platform::ShareableDisplay>& displays);

// The window of `content` with identifier `id`, or null.
const platform::ShareableWindow* windowWithID(const platform::ShareableContent& content, platform::WindowID id);

// The source rectangle, in the window's frame, of a content area of `content` points: by marker
// placed inside the area within the decorations, by identifier in the whole frame.
Rect contentSource(const platform::WindowBounds& bounds, bool byID, Size content);

// The "capture_window crop=" line, without the line feed.
std::string cropLine(std::int64_t cropWidth, std::int64_t cropHeight, Size frame, double scale, bool fullscreen);

// The shortest text that reads back as the same double, always with a fractional part ("2.0").
std::string scaleText(double scale);

}  // namespace pelorin::capture
