#pragma once

// Shared by the X11 backend tests: painting known colours on the test display, collecting a
// stream's samples, reading NV12 values.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/screen_capture.h"
#include "platform/x11/screen_capture_x11.h"
#include "support/yuv.h"

namespace pelorin::platform::x11::test {

inline bool haveDisplay() {
  const char* name = std::getenv("DISPLAY");
  return name && *name;
}

// Override-redirect windows of one colour each, above everything else on the display.
class Painter {
 public:
  Painter() : display_(XOpenDisplay(nullptr)) {}
  ~Painter() {
    if (!display_) return;
    for (Window window : windows_) XDestroyWindow(display_, window);
    XCloseDisplay(display_);
  }
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

  bool ok() const { return display_ != nullptr; }
  Display* display() const { return display_; }

  Window fill(int x, int y, int width, int height, unsigned long rgb) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = rgb;
    const Window window = XCreateWindow(display_, DefaultRootWindow(display_), x, y, static_cast<unsigned>(width),
                                        static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                        CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(display_, window);
    XSync(display_, False);
    windows_.push_back(window);
    return window;
  }

  void recolour(Window window, unsigned long rgb) {
    XSetWindowBackground(display_, window, rgb);
    XClearWindow(display_, window);
    XSync(display_, False);
  }

  void warpPointer(int x, int y) {
    XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
    XSync(display_, False);
  }

 private:
  Display* display_;
  std::vector<Window> windows_;
};

using pelorin::test::Yuv;

inline Yuv yuvAt(PixelBuffer& frame, int x, int y) {
  frame.lock(true);
  const std::uint8_t* luma = frame.planeBase(0);
  const std::uint8_t* chroma = frame.planeBase(1);
  Yuv value;
  value.y = luma[static_cast<std::size_t>(y) * frame.bytesPerRow(0) + x];
  const std::size_t c = static_cast<std::size_t>(y / 2) * frame.bytesPerRow(1) + static_cast<std::size_t>(x / 2) * 2;
  value.u = chroma[c];
  value.v = chroma[c + 1];
  frame.unlock(true);
  return value;
}

// Expects the frame to show `rgb` (BT.601 video range) at (x, y).
inline void expectColour(PixelBuffer& frame, int x, int y, unsigned long rgb, const std::string& where) {
  const Yuv actual = yuvAt(frame, x, y), expected = pelorin::test::bt601(rgb);
  EXPECT_NEAR(actual.y, expected.y, 3) << where << " at " << x << "," << y;
  EXPECT_NEAR(actual.u, expected.u, 3) << where << " at " << x << "," << y;
  EXPECT_NEAR(actual.v, expected.v, 3) << where << " at " << x << "," << y;
}

struct SampleRecord {
  int status = -1;
  bool hasImage = false;
  double presentationSeconds = 0;
  std::optional<Rect> contentRect;
  std::optional<double> contentScale;
  std::optional<double> scaleFactor;
};

// Keeps a record of every sample and the newest picture; with holdAll it keeps every picture,
// so the stream's buffers stay in use.
class Collector final : public StreamOutput {
 public:
  explicit Collector(bool holdAll = false) : holdAll_(holdAll) {}

  void didOutputSample(const SampleBuffer& sample, StreamOutputType type) override {
    std::lock_guard lock(mutex_);
    ++calls_;
    if (type != StreamOutputType::Screen) ++wrongType_;
    SampleRecord record;
    if (sample.attachments) {
      record.status = sample.attachments->status.value_or(-1);
      record.contentRect = sample.attachments->contentRect;
      record.contentScale = sample.attachments->contentScale;
      record.scaleFactor = sample.attachments->scaleFactor;
    }
    record.hasImage = sample.imageBuffer != nullptr;
    record.presentationSeconds = sample.presentationSeconds;
    records_.push_back(record);
    if (sample.imageBuffer) {
      latest_ = sample.imageBuffer;
      if (holdAll_) held_.push_back(sample.imageBuffer);
    }
    changed_.notify_all();
  }

  // Waits until `done` holds for the records; false on timeout.
  bool waitFor(const std::function<bool(const std::vector<SampleRecord>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(records_); });
  }

  // Waits for a picture delivered after `since` (CLOCK_MONOTONIC seconds).
  PixelBufferRef waitForPictureAfter(double since, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    std::unique_lock lock(mutex_);
    PixelBufferRef found;
    changed_.wait_for(lock, timeout, [&] {
      if (latest_ && !records_.empty()) {
        for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
          if (!it->hasImage) continue;
          if (it->presentationSeconds > since) found = latest_;
          break;
        }
      }
      return found != nullptr;
    });
    return found;
  }

  std::vector<SampleRecord> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  int wrongType() {
    std::lock_guard lock(mutex_);
    return wrongType_;
  }
  void releaseHeld() {
    std::lock_guard lock(mutex_);
    held_.clear();
    latest_.reset();
  }

 private:
  const bool holdAll_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SampleRecord> records_;
  std::vector<PixelBufferRef> held_;
  PixelBufferRef latest_;
  int calls_ = 0;
  int wrongType_ = 0;
};

inline int countStatus(const std::vector<SampleRecord>& records, FrameStatus status) {
  int n = 0;
  for (const auto& r : records) n += r.status == static_cast<int>(status);
  return n;
}

inline double monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Keeps every error the stream stops with.
class RecordingDelegate final : public StreamDelegate {
 public:
  void didStopWithError(const Error& error) override {
    std::lock_guard lock(mutex_);
    errors_.push_back(error);
    changed_.notify_all();
  }
  bool waitForError(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !errors_.empty(); });
  }
  std::vector<Error> errors() {
    std::lock_guard lock(mutex_);
    return errors_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Error> errors_;
};

// Tests of the capture service on the test display: a painter and a connected service.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveDisplay()) GTEST_SKIP() << "no DISPLAY";
    ASSERT_TRUE(painter_.ok());
    Result<std::unique_ptr<X11ScreenCaptureService>> service = X11ScreenCaptureService::create();
    ASSERT_TRUE(service.ok()) << service.error().message;
    service_ = std::move(*service);
  }

  static StreamConfiguration configuration(int width, int height) {
    StreamConfiguration c;
    c.width = width;
    c.height = height;
    c.showsCursor = false;
    return c;
  }

  // A started stream of `filter` (made by `service`, ours when null) whose samples go to `collector`.
  std::unique_ptr<CaptureStream> startStream(const ContentFilter& filter, const StreamConfiguration& c,
                                             std::shared_ptr<Collector> collector, StreamDelegate* delegate = nullptr,
                                             X11ScreenCaptureService* service = nullptr) {
    if (!service) service = service_.get();
    Result<std::unique_ptr<CaptureStream>> stream = service->makeStream(filter, c, delegate);
    EXPECT_TRUE(stream.ok()) << (stream.ok() ? "" : stream.error().message);
    if (!stream.ok()) return nullptr;
    EXPECT_TRUE((*stream)->addStreamOutput(collector, StreamOutputType::Screen, queue_).ok());
    Result<void> started = (*stream)->startCapture();
    EXPECT_TRUE(started.ok()) << (started.ok() ? "" : started.error().message);
    return std::move(*stream);
  }

  Painter painter_;
  std::unique_ptr<X11ScreenCaptureService> service_;
  std::shared_ptr<SerialQueue> queue_ = std::make_shared<SerialQueue>("x11-test-output");
};

}  // namespace pelorin::platform::x11::test
