#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelorin {

using ByteSpan = std::span<const std::uint8_t>;

// H.264 NAL unit types used across the code.
namespace nal {
constexpr int sliceNonIdr = 1;
constexpr int sliceIdr = 5;
constexpr int sei = 6;
constexpr int sps = 7;
constexpr int pps = 8;
constexpr int accessUnitDelimiter = 9;
}  // namespace nal

inline int nalType(ByteSpan unit) { return unit.empty() ? -1 : unit[0] & 0x1F; }

// The NAL units of an Annex-B byte stream (3- or 4-byte start codes), without start codes and
// without the zero bytes that pad between units. Bytes before the first start code are skipped.
std::vector<ByteSpan> splitAnnexB(ByteSpan stream);

}  // namespace pelorin
