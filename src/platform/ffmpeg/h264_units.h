#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/error.h"
#include "base/h264_nal.h"

namespace pelorin::platform::ffmpeg {

using UnitBytes = std::vector<std::uint8_t>;

// An encoder packet taken apart: the parameter sets it carried and everything else as a
// length-prefixed data block.
struct SplitPacket {
  std::optional<UnitBytes> sps;
  std::optional<UnitBytes> pps;
  // Remaining NAL units (access unit delimiters dropped), each behind a 4-byte big-endian length.
  UnitBytes dataBlock;
};

// Encoders hand out either Annex-B or 4-byte length-prefixed packets; both are accepted.
Result<SplitPacket> splitEncodedPacket(ByteSpan packet);

// Parameter sets from codec extradata in Annex-B or avcC form (either may be absent).
struct ParameterSets {
  std::optional<UnitBytes> sps;
  std::optional<UnitBytes> pps;
};
Result<ParameterSets> parameterSetsFromExtradata(ByteSpan extradata);

}  // namespace pelorin::platform::ffmpeg
