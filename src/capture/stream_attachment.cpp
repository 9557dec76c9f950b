#include "capture/stream_attachment.h"

namespace pelorin::capture {

Result<AttachedStream> attachStream(platform::ScreenCaptureService& capture, const platform::ContentFilter& filter,
                                    const platform::StreamConfiguration& configuration,
                                    platform::StreamDelegate* delegate,
                                    const std::shared_ptr<media::ScreenOutput>& output,
                                    const std::string& queueLabel) {
  Result<std::unique_ptr<platform::CaptureStream>> made = capture.makeStream(filter, configuration, delegate);
  if (!made) return made.error();
  AttachedStream attached{std::move(*made), std::make_shared<SerialQueue>(queueLabel)};
  if (Result<void> added = attached.stream->addStreamOutput(output, platform::StreamOutputType::Screen,
                                                            attached.queue);
      !added) {
    return added.error();
  }
  // Weak: a request that comes after the run has let the stream go finds nothing.
  output->setFrameRequester([weak = std::weak_ptr(attached.stream)] {
    if (auto stream = weak.lock()) stream->requestFrame();
  });
  return attached;
}

}  // namespace pelorin::capture
