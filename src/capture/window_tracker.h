#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <utility>

#include "base/thread_annotations.h"
#include "capture/control_channel.h"
#include "capture/crop_geometry.h"
#include "media/screen_output.h"
#include "platform/screen_capture.h"

namespace pelorin::capture {

// The crop that keeps a window captured by identifier whole: its bounds in pixels, or nothing when
// it is not captured by identifier or its size has not changed since the last crop.
std::optional<std::pair<std::int64_t, std::int64_t>> wholeWindowCrop(bool byID, std::optional<Size> applied,
                                                                     Size bounds, double scale);

// What the tracker follows and changes; everything outlives it.
struct TrackedWindow {
  platform::ShareableWindow window;  // as found at the start
  bool byID = false;
  int outputWidth = 0;
  int outputHeight = 0;
  double scale = 1;
  PendingCrop* crops = nullptr;
  std::atomic<bool>* fullscreen = nullptr;  // the tracker is its only writer once started
  media::ScreenOutput* output = nullptr;
  platform::CaptureStream* stream = nullptr;
  platform::StreamConfiguration configuration;  // as the stream was started; the tracker's from then on
  platform::ScreenCaptureService* capture = nullptr;
  platform::WindowServer* windowServer = nullptr;
  int errorFd = 2;
};

// Looks at the captured window every 20 ms on a thread of its own: queues a crop when a window
// captured by identifier changes size, applies queued crops (from that or from CROP lines) to the
// stream, and switches the capture between the window alone and the display it fills in full
// screen, holding the picture meanwhile and releasing it with a key frame once the crop for the new
// mode is applied. Nothing here ends the capture: failures are ignored until the next tick.
class WindowTracker {
 public:
  static constexpr std::chrono::milliseconds tickInterval{20};
  static constexpr double modeSwitchHoldSeconds = 1.5;

  explicit WindowTracker(TrackedWindow tracked);
  ~WindowTracker();
  WindowTracker(const WindowTracker&) = delete;
  WindowTracker& operator=(const WindowTracker&) = delete;

  // Ticks every 20 ms, counted from the end of one tick to the start of the next.
  void start();
  // Ends the thread after the tick in progress, if any, and waits for it.
  void stop();

  // One look at the window; the thread's work, callable directly when no thread runs.
  void tick();

 private:
  void modeCheck(Size newApplied, const platform::WindowBounds& bounds);
  void apply(std::pair<std::int64_t, std::int64_t> crop, Size newApplied, const platform::WindowBounds& bounds);
  void run();

  TrackedWindow t_;
  std::optional<Size> appliedSize_;
  bool awaitingCrop_ = false;
  bool releaseOnApply_ = false;

  Mutex mutex_;
  CondVar wake_;
  bool cancelled_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace pelorin::capture
