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

// The run's standard output checked and decoded, expected to hold whole records and no fault.
std::vector<DecodedRecord> expectDecodes(const ProcessResult& run);

// Expects the picture to show `rgb` (BT.601 video range) at (x, y), within the encoder's error.
void expectColour(const platform::ffmpeg::DecodedPicture& picture, int x, int y, unsigned long rgb,
                  const std::string& where);

}  // namespace pelorin::test
