#pragma once

// A scripted screen capture service: fixed shareable content and streams that deliver flat frames
// on their own thread until stopped.

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/capture_access.h"
#include "platform/screen_capture.h"

namespace pelorin::test {

class FakeAccess final : public platform::CaptureAccess {
 public:
  bool allowed = true;
  bool preflight() override { return allowed; }
  bool request() override { return allowed; }
};

struct FakeStreamScript {
  int framesBeforeError = -1;  // >= 0: after this many frames the stream stops with an error
};

class FakeStream final : public platform::CaptureStream {
 public:
  FakeStream(platform::StreamConfiguration configuration, FakeStreamScript script, platform::StreamDelegate* delegate)
      : script_(script), delegate_(delegate),
        pool_(platform::NV12BufferPool::create(configuration.width, configuration.height)) {}
  ~FakeStream() override { (void)stopCapture(); }

  Result<void> addStreamOutput(std::shared_ptr<platform::StreamOutput> output, platform::StreamOutputType,
                               std::shared_ptr<SerialQueue> queue) override {
    output_ = std::move(output);
    queue_ = std::move(queue);
    return {};
  }
  Result<void> startCapture() override {
    if (!output_) return Error{"Fake", -1, "no output"};
    thread_ = std::thread([this] { deliver(); });
    return {};
  }
  Result<void> stopCapture() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return {};
  }
  Result<void> updateConfiguration(const platform::StreamConfiguration& configuration) override {
    configurationUpdates.push_back(configuration);
    return {};
  }
  Result<void> updateContentFilter(const platform::ContentFilter& filter) override {
    filterUpdates.push_back(filter);
    return {};
  }
  void requestFrame() override { ++*framesRequested; }

  std::atomic<int> delivered{0};
  std::vector<platform::StreamConfiguration> configurationUpdates;  // in order, asked from one thread
  std::vector<platform::ContentFilter> filterUpdates;
  std::shared_ptr<std::atomic<int>> framesRequested = std::make_shared<std::atomic<int>>(0);

 private:
  void deliver();

  FakeStreamScript script_;
  platform::StreamDelegate* delegate_;
  std::shared_ptr<platform::StreamOutput> output_;
  std::shared_ptr<SerialQueue> queue_;
  std::shared_ptr<platform::NV12BufferPool> pool_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class FakeCapture final : public platform::ScreenCaptureService {
 public:
  Result<platform::ShareableContent> contentResult = platform::ShareableContent{};
  std::vector<std::pair<bool, bool>> queries;
  FakeStreamScript streamScript;
  // What makeStream was asked for, and the stream it made (owned by the caller).
  std::vector<std::pair<platform::ContentFilter, platform::StreamConfiguration>> streams;
  FakeStream* lastStream = nullptr;
  std::function<void(FakeStream&)> onStreamMade;
  double pointPixelScale = 1.0;  // of every filter made

  Result<platform::ShareableContent> shareableContent(bool excludingDesktop, bool onScreenOnly) override {
    queries.emplace_back(excludingDesktop, onScreenOnly);
    return contentResult;
  }
  platform::ContentFilter displayFilter(const platform::ShareableDisplay& display,
                                        std::vector<platform::WindowID> excluding) override {
    return {.displayID = display.displayID, .windows = std::move(excluding), .pointPixelScale = pointPixelScale,
            .contentRect = display.frame};
  }
  platform::ContentFilter displayFilterIncluding(const platform::ShareableDisplay& display,
                                                 std::vector<platform::WindowID> including) override {
    platform::ContentFilter f = displayFilter(display, std::move(including));
    f.kind = platform::ContentFilter::Kind::DisplayIncludingWindows;
    return f;
  }
  platform::ContentFilter windowFilter(const platform::ShareableWindow& window) override {
    return {.kind = platform::ContentFilter::Kind::Window, .windowID = window.windowID,
            .pointPixelScale = pointPixelScale, .contentRect = window.frame};
  }
  Result<std::unique_ptr<platform::CaptureStream>> makeStream(const platform::ContentFilter& filter,
                                                              const platform::StreamConfiguration& configuration,
                                                              platform::StreamDelegate* delegate) override;
  Result<platform::Image> captureImage(const platform::ContentFilter&, const platform::ScreenshotConfiguration&) override {
    return Error{"FakeCapture", -1, "no screenshots"};
  }
};

}  // namespace pelorin::test
