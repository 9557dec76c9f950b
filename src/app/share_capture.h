#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/share_rate.h"
#include "base/error.h"
#include "base/geometry.h"
#include "base/serial_queue.h"
#include "capture/crop_geometry.h"
#include "media/hardware_encoder.h"
#include "media/screen_output.h"
#include "platform/compression_session.h"
#include "platform/screen_capture.h"

namespace pelorin::app {

// The app's fixed capture values.
inline constexpr capture::Size maximumShareSize{3840, 2160};
inline constexpr std::int32_t shareBitrate = 12000000;

// A share's stream at the size and profile the sender asked for; a profile word it does not know
// stands for baseline.
media::StreamSettings shareStream(std::int32_t width, std::int32_t height, std::string_view profile);

// Tells the share, on a stream thread, that its stream stopped with an error.
class StreamStopRelay final : public platform::StreamDelegate {
 public:
  explicit StreamStopRelay(std::function<void(const Error&)> stopped) : stopped_(std::move(stopped)) {}
  void didStopWithError(const Error& error) override { stopped_(error); }

 private:
  std::function<void(const Error&)> stopped_;
};

// The capture objects of one running share. Declared so that the stream goes before what it feeds.
struct ShareCapture {
  std::shared_ptr<media::HardwareEncoder> encoder;
  std::shared_ptr<media::ScreenOutput> output;
  std::shared_ptr<SerialQueue> queue;
  std::shared_ptr<StreamStopRelay> relay;  // outlives the stream
  std::shared_ptr<platform::CaptureStream> stream;
};

struct ShareCaptureRequest {
  platform::ContentFilter filter;
  std::optional<Rect> sourceRect;
  media::StreamSettings stream;
  int outputFd = -1;  // the sender's standard input
  int errorFd = 2;
};

// Encoder first, then the stream on "pelorin.share"; the stream is started before returning.
// A failure after the encoder exists is returned with what was built, to be stopped the usual way.
struct ShareCaptureStart {
  ShareCapture capture;
  std::optional<Error> failure;
};
ShareCaptureStart startShareCapture(platform::CompressionSessionFactory& factory,
                                    platform::ScreenCaptureService& service, const ShareCaptureRequest& request,
                                    std::function<void(const Error&)> streamStopped);

// The end of a share, in its fixed order: the stream stopped, then the encoder finished, then the
// sender stopped. Blocks; runs off the main thread.
void finishShare(ShareCapture capture, const std::function<void()>& stopSender);

}  // namespace pelorin::app
