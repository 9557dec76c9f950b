#pragma once

#include <optional>
#include <string>

#include "platform/screen_capture.h"
#include "platform/x11/capture_stream_x11.h"

namespace pelorin::bench {

// The monitor the capture benchmarks measure: RIGHT of the test display (1920 x 1080). Without
// it, `exitStatus` is what the benchmark ends with: 0 when there is no display at all (nothing
// to measure), 1 when the display lacks the monitor.
std::optional<platform::ShareableDisplay> benchmarkDisplay(const char* benchmark, int& exitStatus);

struct CaptureCost {
  double cpuSeconds = 0;   // this process, user + system, from start to stop of the stream
  double wallSeconds = 0;
  double captureThreadSeconds = 0;  // run time of the stream's own thread, just before the stop
  std::uint64_t frames = 0;      // Complete samples received
  std::uint64_t idleFrames = 0;  // Idle samples received
  platform::x11::X11StreamStats stats;
};

// Runs our X11 display stream of `display` into frames of width x height for `seconds`, the
// samples counted on a serial queue and dropped.
std::optional<CaptureCost> measureCapture(const platform::ShareableDisplay& display, int width, int height,
                                          double seconds);
// The same for any filter (a window, a display showing only some windows).
std::optional<CaptureCost> measureStream(const platform::ContentFilter& filter, int width, int height,
                                         double seconds);
// The same with any capture backend.
std::optional<CaptureCost> measureStream(platform::ScreenCaptureService& service, const platform::ContentFilter& filter,
                                         int width, int height, double seconds);

struct GrabCost {
  int exitStatus = -1;
  double cpuSeconds = 0;
  double wallSeconds = 0;
  long frames = 0;  // as ffmpeg reports them
};

// ffmpeg grabbing the display's area with x11grab at `fps`, scaling to width x height NV12, to
// the null muxer: the same work as our capture, done the usual way. With `frameLimit` it stops
// after that many frames instead (a one-frame run prices ffmpeg's start-up).
GrabCost measureFfmpegGrab(const platform::ShareableDisplay& display, int width, int height, int fps, int seconds,
                           int frameLimit = 0);

double cpuSecondsOfSelf();

}  // namespace pelorin::bench
