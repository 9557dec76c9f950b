#pragma once

// One opened libavcodec encoder with the device it runs on and the filter that fixes its
// stream's colour signalling. Internal to the libavcodec backends.
#include <memory>
#include <string>

#include "base/error.h"
#include "base/h264_nal.h"
#include "platform/ffmpeg/codec_table.h"
#include "platform/ffmpeg/colour_fix.h"

extern "C" {
struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
}

namespace pelorin::platform::ffmpeg {

// A libav hardware device (VA-API display, Quick Sync session); null for encoders without one.
using DeviceRef = std::shared_ptr<AVBufferRef>;

// Opens what `backend` needs before any codec: the VA-API render node `vaapiNode` (VA-API, and
// Quick Sync derived from it), the NVIDIA driver libraries (NVENC). The error says what is missing.
Result<DeviceRef> acquireDevice(Backend backend, const std::string& vaapiNode);

// Sets `options` on the codec context and its private options, as opening would. A key that no
// option takes (an option renamed in another FFmpeg) or a refused value is an error naming it.
Result<void> applyOptions(AVCodecContext* context, const OptionList& options);

class OpenedEncoder {
 public:
  static Result<std::unique_ptr<OpenedEncoder>> open(const OpenAttempt& attempt, const CodecSettings& settings,
                                                     const DeviceRef& device);
  ~OpenedEncoder();
  OpenedEncoder(const OpenedEncoder&) = delete;
  OpenedEncoder& operator=(const OpenedEncoder&) = delete;

  // Sends one NV12 frame (uploaded to a surface first where the encoder needs one); null drains.
  int send(AVFrame* frame);
  // The next packet, through the colour fix where there is one; EAGAIN or EOF when none is ready.
  int receive(AVPacket* packet);
  // Parameter sets of the codec's extradata (after the fix), possibly empty.
  ByteSpan extradata() const;

 private:
  OpenedEncoder() = default;
  int upload(AVFrame* frame, AVFrame*& surface);

  AVCodecContext* codec_ = nullptr;
  std::unique_ptr<ColourFix> colourFix_;
  bool uploads_ = false;
  bool codecDrained_ = false;
};

}  // namespace pelorin::platform::ffmpeg
