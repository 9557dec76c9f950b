#include "capture/window_tracker.h"

#include <cmath>

#include "base/fd_output.h"
#include "base/thread_name.h"
#include "capture/window_capture.h"

namespace pelorin::capture {
namespace {

std::int64_t roundedPixels(double points, double scale) { return std::llround(points * scale); }

}  // namespace

std::optional<std::pair<std::int64_t, std::int64_t>> wholeWindowCrop(bool byID, std::optional<Size> applied,
                                                                     Size bounds, double scale) {
  if (!byID) return std::nullopt;
  if (applied && *applied == bounds) return std::nullopt;
  return std::pair{roundedPixels(bounds.width, scale), roundedPixels(bounds.height, scale)};
}

WindowTracker::WindowTracker(TrackedWindow tracked) : t_(std::move(tracked)), appliedSize_(sizeOf(t_.window.frame)) {}

WindowTracker::~WindowTracker() { stop(); }

void WindowTracker::start() {
  thread_ = std::thread([this] {
    nameThisThread("pelorin.track");
    run();
  });
}

void WindowTracker::stop() {
  {
    MutexLock lock(mutex_);
    cancelled_ = true;
  }
  wake_.notifyAll();
  if (thread_.joinable()) thread_.join();
}

void WindowTracker::run() {
  MutexLock lock(mutex_);
  while (!cancelled_) {
    // A wait cut short by the stop still lets the next tick run; the thread ends at its end.
    wake_.waitFor(lock, tickInterval, [&]() REQUIRES(mutex_) { return cancelled_; });
    lock.unlock();
    tick();
    lock.lock();
  }
}

void WindowTracker::tick() {
  const std::optional<platform::WindowBounds> bounds = t_.windowServer->windowBounds(t_.window.windowID);
  if (!bounds) return;
  const Size size = sizeOf(bounds->frame);
  Size newApplied = appliedSize_.value_or(size);
  if (const auto crop = wholeWindowCrop(t_.byID, appliedSize_, size, t_.scale)) {
    t_.crops->set(crop->first, crop->second);
    newApplied = size;
  }
  bool fullscreenNow = false;
  for (const Rect& display : t_.windowServer->displayFrames()) fullscreenNow = fullscreenNow || display == bounds->frame;
  if (fullscreenNow != t_.fullscreen->load()) {
    t_.output->hold(modeSwitchHoldSeconds);
    modeCheck(newApplied, *bounds);
  } else if (awaitingCrop_) {
    modeCheck(newApplied, *bounds);
  } else {
    releaseOnApply_ = false;
    if (const auto crop = t_.crops->take()) {
      apply(*crop, newApplied, *bounds);
    } else {
      appliedSize_ = newApplied;
      awaitingCrop_ = false;
    }
  }
}

void WindowTracker::modeCheck(Size newApplied, const platform::WindowBounds& bounds) {
  if (Result<platform::ShareableContent> content = t_.capture->shareableContent(true, false)) {
    if (const platform::ShareableWindow* window = windowWithID(*content, t_.window.windowID)) {
      const auto [filter, mode] = captureFilter(*t_.capture, *window, content->displays);
      if (mode != t_.fullscreen->load()) {
        t_.fullscreen->store(mode);
        (void)t_.stream->updateContentFilter(filter);
        writeLine(t_.errorFd, std::string("capture_window mode fullscreen=") + (mode ? "true" : "false") + " held=true");
      }
    }
  }
  releaseOnApply_ = true;
  if (const auto crop = t_.crops->take()) {
    apply(*crop, newApplied, bounds);
  } else {
    appliedSize_ = newApplied;
    awaitingCrop_ = true;
  }
}

void WindowTracker::apply(std::pair<std::int64_t, std::int64_t> crop, Size newApplied,
                          const platform::WindowBounds& bounds) {
  const platform::WindowBounds fresh = t_.windowServer->windowBounds(t_.window.windowID).value_or(bounds);
  const Size frame = sizeOf(fresh.frame);
  const auto [cw, ch] = crop;
  const Rect source =
      contentSource(fresh, t_.byID, {static_cast<double>(cw) / t_.scale, static_cast<double>(ch) / t_.scale});
  t_.configuration.sourceRect = source;
  t_.configuration.destinationRect =
      letterboxRect(sizeOf(source), {static_cast<double>(t_.outputWidth), static_cast<double>(t_.outputHeight)});
  writeLine(t_.errorFd, cropLine(cw, ch, frame, t_.scale, t_.fullscreen->load()));
  (void)t_.stream->updateConfiguration(t_.configuration);
  if (releaseOnApply_) t_.output->release();
  appliedSize_ = newApplied;
  awaitingCrop_ = false;
}

}  // namespace pelorin::capture
