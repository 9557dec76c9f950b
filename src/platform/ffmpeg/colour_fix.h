#pragma once

// libavcodec's h264_metadata filter set to video-range BT.601 (SMPTE 170M primaries, transfer
// and matrix), so every SPS says what the pixels are whatever the encoder or its driver wrote.
#include <memory>

#include "base/error.h"
#include "base/h264_nal.h"

extern "C" {
struct AVBSFContext;
struct AVCodecContext;
struct AVPacket;
}

namespace pelorin::platform::ffmpeg {

class ColourFix {
 public:
  // For the stream of the opened `codec` (its extradata and time base).
  static Result<std::unique_ptr<ColourFix>> create(const AVCodecContext* codec);
  ~ColourFix();
  ColourFix(const ColourFix&) = delete;
  ColourFix& operator=(const ColourFix&) = delete;

  // Takes the packet's data (it is left blank); null marks the end of the stream.
  int send(AVPacket* packet);
  // One fixed packet; EAGAIN when it needs more, EOF after the end.
  int receive(AVPacket* packet);
  // The codec's extradata with its SPS fixed the same way.
  ByteSpan extradata() const;

 private:
  explicit ColourFix(AVBSFContext* filter) : filter_(filter) {}
  AVBSFContext* filter_;
};

}  // namespace pelorin::platform::ffmpeg
