#include "app/share_capture.h"

#include "capture/capture_configuration.h"
#include "capture/stream_attachment.h"
#include "media/clock.h"

namespace pelorin::app {

media::StreamSettings shareStream(std::int32_t width, std::int32_t height, std::string_view profile) {
  return {width, height, shareFrameRate, shareBitrate, media::parseProfile(profile).value_or(media::Profile::baseline)};
}

ShareCaptureStart startShareCapture(platform::CompressionSessionFactory& factory,
                                    platform::ScreenCaptureService& service, const ShareCaptureRequest& request,
                                    std::function<void(const Error&)> streamStopped) {
  ShareCaptureStart start;
  Result<std::unique_ptr<media::HardwareEncoder>> encoder =
      media::HardwareEncoder::create(factory, {request.stream, request.outputFd, request.errorFd});
  if (!encoder) return {{}, encoder.error()};
  ShareCapture& capture = start.capture;
  capture.encoder = std::move(*encoder);

  const platform::StreamConfiguration configuration =
      capture::makeCaptureConfiguration(request.stream, request.sourceRect);
  capture.output = std::make_shared<media::ScreenOutput>(*capture.encoder, media::measureClockAnchor().anchor,
                                                         request.errorFd);
  capture.relay = std::make_shared<StreamStopRelay>(std::move(streamStopped));
  Result<capture::AttachedStream> attached = capture::attachStream(
      service, request.filter, configuration, capture.relay.get(), capture.output, "pelorin.share");
  if (!attached) return {std::move(start.capture), attached.error()};
  capture.stream = std::move(attached->stream);
  capture.queue = std::move(attached->queue);
  if (Result<void> started = capture.stream->startCapture(); !started) start.failure = started.error();
  return start;
}

void finishShare(ShareCapture capture, const std::function<void()>& stopSender) {
  if (capture.stream) (void)capture.stream->stopCapture();
  capture.stream.reset();
  if (capture.output && capture.encoder) {
    const auto [drops, depth] = capture.output->stats();
    (void)capture.encoder->finish(drops, depth);
  }
  if (stopSender) stopSender();
}

}  // namespace pelorin::app
