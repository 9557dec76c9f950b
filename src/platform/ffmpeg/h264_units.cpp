#include "platform/ffmpeg/h264_units.h"

#include <array>

namespace pelorin::platform::ffmpeg {
namespace {

constexpr const char* domain = "H264";

Error malformed(const char* what) { return Error{domain, -1, what}; }

bool looksAnnexB(ByteSpan data) {
  if (data.size() >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) return true;
  return data.size() >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1;
}

std::uint32_t bigEndian(ByteSpan data, std::size_t at, std::size_t width) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = (v << 8) | data[at + i];
  return v;
}

Result<std::vector<ByteSpan>> lengthPrefixedUnits(ByteSpan data, std::size_t width) {
  std::vector<ByteSpan> units;
  std::size_t p = 0;
  while (p < data.size()) {
    if (p + width > data.size()) return malformed("truncated NAL length");
    const std::size_t length = bigEndian(data, p, width);
    p += width;
    if (length == 0 || length > data.size() - p) return malformed("NAL length past the packet");
    units.push_back(data.subspan(p, length));
    p += length;
  }
  return units;
}

void appendLengthPrefixed(ByteSpan unit, UnitBytes& out) {
  const auto n = static_cast<std::uint32_t>(unit.size());
  const std::array<std::uint8_t, 4> length{static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                                           static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  out.insert(out.end(), length.begin(), length.end());
  out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace

Result<SplitPacket> splitEncodedPacket(ByteSpan packet) {
  std::vector<ByteSpan> units;
  if (looksAnnexB(packet)) {
    units = splitAnnexB(packet);
  } else {
    auto prefixed = lengthPrefixedUnits(packet, 4);
    if (!prefixed) return prefixed.error();
    units = std::move(prefixed.value());
  }
  if (units.empty()) return malformed("packet without NAL units");
  SplitPacket split;
  for (ByteSpan unit : units) {
    switch (nalType(unit)) {
      case nal::sps: split.sps = UnitBytes(unit.begin(), unit.end()); break;
      case nal::pps: split.pps = UnitBytes(unit.begin(), unit.end()); break;
      case nal::accessUnitDelimiter: break;
      default: appendLengthPrefixed(unit, split.dataBlock);
    }
  }
  return split;
}

Result<ParameterSets> parameterSetsFromExtradata(ByteSpan extradata) {
  ParameterSets sets;
  if (extradata.empty()) return sets;
  std::vector<ByteSpan> units;
  if (looksAnnexB(extradata)) {
    units = splitAnnexB(extradata);
  } else {
    // avcC: version, profile, compat, level, length size, then counted 16-bit-length sets.
    if (extradata.size() < 7 || extradata[0] != 1) return malformed("unknown extradata layout");
    std::size_t p = 5;
    for (int group = 0; group < 2; ++group) {
      if (p >= extradata.size()) return malformed("truncated avcC");
      const int count = group == 0 ? (extradata[p] & 0x1F) : extradata[p];
      ++p;
      for (int i = 0; i < count; ++i) {
        if (p + 2 > extradata.size()) return malformed("truncated avcC");
        const std::size_t length = bigEndian(extradata, p, 2);
        p += 2;
        if (length == 0 || length > extradata.size() - p) return malformed("avcC set past the end");
        units.push_back(extradata.subspan(p, length));
        p += length;
      }
    }
  }
  for (ByteSpan unit : units) {
    if (nalType(unit) == nal::sps && !sets.sps) sets.sps = UnitBytes(unit.begin(), unit.end());
    if (nalType(unit) == nal::pps && !sets.pps) sets.pps = UnitBytes(unit.begin(), unit.end());
  }
  return sets;
}

}  // namespace pelorin::platform::ffmpeg
