#include "support/fake_screen_capture.h"

#include <chrono>
#include <cstring>

#include "base/serial_queue.h"

namespace pelorin::test {

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
    sample.attachments = platform::SampleAttachments{platform::FrameStatus::Complete, std::nullopt, std::nullopt, std::nullopt};
    queue_->post([output = output_, sample] { output->didOutputSample(sample, platform::StreamOutputType::Screen); });
    ++delivered;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
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

}  // namespace pelorin::test
