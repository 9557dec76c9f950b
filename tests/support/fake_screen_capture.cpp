#include "support/fake_screen_capture.h"

#include <chrono>
#include <cstring>

#include "base/serial_queue.h"

namespace pelorin::test {

FakeStream::FakeStream(platform::StreamConfiguration configuration, FakeStreamScript script,
                       platform::StreamDelegate* delegate)
    : configuration_(configuration), script_(script), delegate_(delegate),
      pool_(platform::NV12BufferPool::create(configuration.width, configuration.height)) {}

FakeStream::~FakeStream() { (void)stopCapture(); }

Result<void> FakeStream::addStreamOutput(std::shared_ptr<platform::StreamOutput> output, platform::StreamOutputType,
                                         std::shared_ptr<SerialQueue> queue) {
  output_ = std::move(output);
  queue_ = std::move(queue);
  return {};
}

Result<void> FakeStream::startCapture() {
  if (!output_) return Error{"Fake", -1, "no output"};
  thread_ = std::thread([this] { deliver(); });
  return {};
}

Result<void> FakeStream::stopCapture() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return {};
}

Result<void> FakeStream::updateConfiguration(const platform::StreamConfiguration& configuration) {
  configuration_ = configuration;
  configurationUpdates.push_back(configuration);
  return {};
}

Result<void> FakeStream::updateContentFilter(const platform::ContentFilter& filter) {
  filterUpdates.push_back(filter);
  return {};
}

void FakeStream::deliver() {
  for (int frame = 0; !stop_; ++frame) {
    if (frame == script_.framesBeforeError) {
      if (delegate_) delegate_->didStopWithError(Error{"FakeCapture", 7, "the display went away"});
      return;
    }
    platform::SampleBuffer sample;
    sample.imageBuffer = pool_->makeBuffer();
    if (sample.imageBuffer && sample.imageBuffer->lock(false)) {
      std::memset(sample.imageBuffer->planeBase(0), 120,
                  sample.imageBuffer->bytesPerRow(0) * static_cast<std::size_t>(sample.imageBuffer->planeHeight(0)));
      sample.imageBuffer->unlock(false);
    }
    sample.presentationSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    sample.attachments = platform::SampleAttachments{0, std::nullopt, std::nullopt, std::nullopt};
    queue_->post([output = output_, sample] { output->didOutputSample(sample, platform::StreamOutputType::Screen); });
    ++delivered;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

Result<platform::ShareableContent> FakeCapture::shareableContent(bool excludingDesktop, bool onScreenOnly) {
  queries.emplace_back(excludingDesktop, onScreenOnly);
  return contentResult;
}

platform::ContentFilter FakeCapture::displayFilter(const platform::ShareableDisplay& display,
                                                   std::vector<platform::WindowID> excluding) {
  platform::ContentFilter f;
  f.displayID = display.displayID;
  f.windows = std::move(excluding);
  f.contentRect = display.frame;
  f.pointPixelScale = pointPixelScale;
  return f;
}

platform::ContentFilter FakeCapture::displayFilterIncluding(const platform::ShareableDisplay& display,
                                                            std::vector<platform::WindowID> including) {
  platform::ContentFilter f = displayFilter(display, {});
  f.kind = platform::ContentFilter::Kind::DisplayIncludingWindows;
  f.windows = std::move(including);
  return f;
}

platform::ContentFilter FakeCapture::windowFilter(const platform::ShareableWindow& window) {
  platform::ContentFilter f;
  f.kind = platform::ContentFilter::Kind::Window;
  f.windowID = window.windowID;
  f.contentRect = window.frame;
  f.pointPixelScale = pointPixelScale;
  return f;
}

Result<std::unique_ptr<platform::CaptureStream>> FakeCapture::makeStream(
    const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration,
    platform::StreamDelegate* delegate) {
  streams.emplace_back(filter, configuration);
  auto stream = std::make_unique<FakeStream>(configuration, streamScript, delegate);
  lastStream = stream.get();
  if (onStreamMade) onStreamMade(*stream);
  return std::unique_ptr<platform::CaptureStream>(std::move(stream));
}

Result<platform::Image> FakeCapture::captureImage(const platform::ContentFilter& filter,
                                                  const platform::ScreenshotConfiguration& c) {
  screenshots.emplace_back(filter, c);
  for (auto id : failingWindows) {
    if (filter.kind == platform::ContentFilter::Kind::Window && filter.windowID == id) {
      return Error{"Fake", 1, "gone"};
    }
  }
  platform::Image image;
  image.width = c.width;
  image.height = c.height;
  image.bytesPerRow = static_cast<std::size_t>(c.width) * 4;
  image.pixels.assign(image.bytesPerRow * static_cast<std::size_t>(c.height), 0);
  return image;
}

}  // namespace pelorin::test
