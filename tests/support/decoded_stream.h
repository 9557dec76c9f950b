#pragma once

#include <optional>
#include <string>
#include <vector>

#include "media/frame_stream_reader.h"
#include "platform/ffmpeg/h264_decoder.h"
#include "support/process.h"

namespace pelorin::test {

struct DecodedRecord {
  media::FrameRecord record;
  std::optional<platform::ffmpeg::DecodedPicture> picture;
};

struct DecodedStream {
  std::vector<DecodedRecord> records;
  std::optional<std::string> fault;  // the first invalid record or decoder failure
};

// Checks and decodes a whole frame stream held in memory.
DecodedStream decodeStream(const std::string& stream);

// The run's standard output decoded, expected to hold records and no fault.
DecodedStream expectDecodes(const ProcessResult& run);

// The first key frame captured after `unixNanoseconds`, if any.
const DecodedRecord* keyFrameAfter(const DecodedStream& stream, std::uint64_t unixNanoseconds);

// Expects the picture to show `rgb` (BT.601 video range) at (x, y), within the encoder's error.
void expectColour(const platform::ffmpeg::DecodedPicture& picture, int x, int y, unsigned long rgb,
                  const std::string& where);

}  // namespace pelorin::test
