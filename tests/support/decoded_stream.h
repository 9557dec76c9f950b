#pragma once

#include <optional>
#include <string>
#include <vector>

#include "media/frame_stream_reader.h"
#include "platform/ffmpeg/h264_decoder.h"
#include "support/process.h"

namespace pelorin::test {

using platform::ffmpeg::DecodedPicture;

struct DecodedRecord {
  media::FrameRecord record;
  std::optional<DecodedPicture> picture;
};

// Every picture of a stream of Annex-B access units, the decoder's held ones included.
std::vector<DecodedPicture> decodeAll(const std::vector<media::ByteBuffer>& units);

// The run's standard output checked and decoded, expected to hold whole records and no fault.
std::vector<DecodedRecord> expectDecodes(const ProcessResult& run);

// Whether the picture shows `rgb` (BT.601 video range) at (x, y), within the encoder's error.
bool shows(const DecodedPicture& picture, int x, int y, unsigned long rgb);
void expectColour(const DecodedPicture& picture, int x, int y, unsigned long rgb, const std::string& where);

}  // namespace pelorin::test
