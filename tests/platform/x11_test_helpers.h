#pragma once

// Shared by the X11 backend tests: collecting a stream's samples and errors, reading NV12 values,
// a connected capture service next to the test display.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/screen_capture.h"
#include "platform/x11/screen_capture_x11.h"
#include "support/nv12_colour.h"
#include "support/x11_windows.h"

namespace pelorin::platform::x11::test {

using pelorin::test::expectColour;
using pelorin::test::haveDisplay;
using pelorin::test::Painter;
using pelorin::test::yuvAt;

// 0xRRGGBB at (x, y) of a BGRA image.
inline unsigned long pixelAt(const Image& image, int x, int y) {
  const std::uint8_t* p = image.pixels.data() + static_cast<std::size_t>(y) * image.bytesPerRow + x * 4;
  return (static_cast<unsigned long>(p[2]) << 16) | (p[1] << 8) | p[0];
}

inline std::optional<ShareableDisplay> displayNamed(X11ScreenCaptureService& service, const std::string& name) {
  Result<ShareableContent> content = service.shareableContent(false, true);
  for (const auto& d : content.ok() ? content->displays : std::vector<ShareableDisplay>{}) {
    if (d.name == name) return d;
  }
  return std::nullopt;
}

struct SampleRecord {
  std::optional<FrameStatus> status;
  bool hasImage = false;
  double presentationSeconds = 0;
  std::optional<Rect> contentRect;
};

// Keeps a record of every sample, the newest picture and every error the stream stops with; with
// holdAll it keeps every picture, so the stream's buffers stay in use.
class Collector final : public StreamOutput, public StreamDelegate {
 public:
  explicit Collector(bool holdAll = false) : holdAll_(holdAll) {}

  void didOutputSample(const SampleBuffer& sample, StreamOutputType) override {
    std::lock_guard lock(mutex_);
    SampleRecord record{.hasImage = sample.imageBuffer != nullptr, .presentationSeconds = sample.presentationSeconds};
    if (sample.attachments) {
      record.status = sample.attachments->status;
      record.contentRect = sample.attachments->contentRect;
    }
    records_.push_back(record);
    if (sample.imageBuffer) latest_ = sample.imageBuffer;
    if (sample.imageBuffer && holdAll_) held_.emplace_back(sample.presentationSeconds, sample.imageBuffer);
    changed_.notify_all();
  }

  void didStopWithError(const Error& error) override {
    std::lock_guard lock(mutex_);
    errors_.push_back(error);
    changed_.notify_all();
  }

  // Waits, within the suite's hang guard, until `done` holds for the records.
  bool waitFor(const std::function<bool(const std::vector<SampleRecord>&)>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, pelorin::test::waitBound, [&] { return done(records_); });
  }

  // Waits for n more samples, idle ones included: a stream owing a frame has had that many chances.
  bool waitForTicks(std::size_t n) {
    const std::size_t seen = records().size();
    return waitFor([&](const std::vector<SampleRecord>& r) { return r.size() >= seen + n; });
  }

  // Waits for a picture delivered after `since` (the samples' monotonic seconds).
  PixelBufferRef waitForPictureAfter(double since) {
    std::unique_lock lock(mutex_);
    const auto fresh = [&] {
      const auto it = std::find_if(records_.rbegin(), records_.rend(), [](const SampleRecord& r) { return r.hasImage; });
      return latest_ && it != records_.rend() && it->presentationSeconds > since;
    };
    return changed_.wait_for(lock, pelorin::test::waitBound, fresh) ? latest_ : nullptr;
  }

  // With holdAll: the first picture delivered after `since` (the samples' monotonic seconds).
  PixelBufferRef waitForFirstPictureAfter(double since) {
    std::unique_lock lock(mutex_);
    const auto first = [&] { return std::ranges::find_if(held_, [&](const auto& h) { return h.first > since; }); };
    return changed_.wait_for(lock, pelorin::test::waitBound, [&] { return first() != held_.end(); }) ? first()->second
                                                                                                    : nullptr;
  }

  bool waitForError() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, pelorin::test::waitBound, [&] { return !errors_.empty(); });
  }

  std::vector<SampleRecord> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  std::vector<Error> errors() {
    std::lock_guard lock(mutex_);
    return errors_;
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
  std::vector<std::pair<double, PixelBufferRef>> held_;
  PixelBufferRef latest_;
  std::vector<Error> errors_;
};

inline int countStatus(const std::vector<SampleRecord>& records, FrameStatus status) {
  return static_cast<int>(std::ranges::count(records, std::optional(status), &SampleRecord::status));
}

inline StreamConfiguration sized(int width, int height) {
  return {.width = width, .height = height, .showsCursor = false};
}

// A started stream of `filter` whose samples and stop errors go to `collector`, or a failure.
inline std::unique_ptr<CaptureStream> startStream(X11ScreenCaptureService& service, const ContentFilter& filter,
                                                  const StreamConfiguration& c, const std::shared_ptr<Collector>& collector,
                                                  const std::shared_ptr<SerialQueue>& queue) {
  Result<std::unique_ptr<CaptureStream>> stream = service.makeStream(filter, c, collector.get());
  EXPECT_TRUE(stream.ok()) << (stream.ok() ? "" : stream.error().message);
  if (!stream.ok()) return nullptr;
  EXPECT_TRUE((*stream)->addStreamOutput(collector, StreamOutputType::Screen, queue).ok());
  Result<void> started = (*stream)->startCapture();
  EXPECT_TRUE(started.ok()) << (started.ok() ? "" : started.error().message);
  return std::move(*stream);
}

// Tests of the capture service on the test display: a painter and a connected service.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveDisplay()) GTEST_SKIP() << "no DISPLAY";
    ASSERT_TRUE(painter_.ok());
    Result<std::unique_ptr<X11ScreenCaptureService>> service = X11ScreenCaptureService::create();
    ASSERT_TRUE(service.ok()) << service.error().message;
    service_ = std::move(*service);
    // The pointer stays away from what the tests look at unless a test moves it.
    painter_.warpPointer(5, 1195);
  }

  std::unique_ptr<CaptureStream> startStream(const ContentFilter& filter, const StreamConfiguration& c,
                                             const std::shared_ptr<Collector>& collector) {
    return test::startStream(*service_, filter, c, collector, queue_);
  }

  // The listed window `window`, or a failure.
  ShareableWindow listed(unsigned long window) {
    Result<ShareableContent> content = service_->shareableContent(false, true);
    for (const auto& w : content.ok() ? content->windows : std::vector<ShareableWindow>{}) {
      if (w.windowID == window) return w;
    }
    ADD_FAILURE() << "window " << window << " not listed";
    return {};
  }

  ShareableDisplay display(const std::string& name) {
    const std::optional<ShareableDisplay> found = displayNamed(*service_, name);
    EXPECT_TRUE(found) << "no display " << name;
    return found.value_or(ShareableDisplay{});
  }

  Painter painter_;
  std::unique_ptr<X11ScreenCaptureService> service_;
  std::shared_ptr<SerialQueue> queue_ = std::make_shared<SerialQueue>("x11-test-output");
};

}  // namespace pelorin::platform::x11::test
