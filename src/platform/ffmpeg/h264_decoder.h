#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/h264_nal.h"

namespace pelorin::platform::ffmpeg {

// One decoded picture, copied out of the decoder as tightly packed 4:2:0 planes.
struct DecodedPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> luma;     // width x height
  std::vector<std::uint8_t> chromaU;  // ((width + 1) / 2) x ((height + 1) / 2)
  std::vector<std::uint8_t> chromaV;
  bool keyFrame = false;
  bool fullRange = false;
  // Colour matrix signalled by the stream: "smpte170m", "bt709", "unspecified", ...
  std::string colorMatrix;
  std::string colorPrimaries;  // the same names, for primaries and transfer
  std::string colorTransfer;

  double meanLuma() const;
};

// H.264 decoder on libavcodec. Feed Annex-B access units in order; pictures come out in order.
class H264Decoder {
 public:
  static Result<std::unique_ptr<H264Decoder>> create();
  ~H264Decoder();

  // Decodes one access unit; returns the pictures it completed (none or more), or an error when
  // the decoder rejects the data.
  Result<std::vector<DecodedPicture>> decode(ByteSpan accessUnit);
  // Returns the pictures still held by the decoder at the end of the stream.
  Result<std::vector<DecodedPicture>> flush();

 private:
  struct State;
  explicit H264Decoder(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace pelorin::platform::ffmpeg
