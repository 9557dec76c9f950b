#include "base/h264_nal.h"

namespace pelorin {
namespace {

// Index just past the next 00 00 01 at or after `from`, or size when there is none.
std::size_t nextUnitStart(ByteSpan s, std::size_t from) {
  for (std::size_t i = from; i + 2 < s.size(); ++i) {
    if (s[i + 2] > 1) {
      i += 2;  // none of the three bytes can start a start code ending before i + 3
      continue;
    }
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) return i + 3;
  }
  return s.size();
}

}  // namespace

std::vector<ByteSpan> splitAnnexB(ByteSpan stream) {
  std::vector<ByteSpan> units;
  std::size_t start = nextUnitStart(stream, 0);
  while (start < stream.size()) {
    const std::size_t next = nextUnitStart(stream, start);
    std::size_t end = next == stream.size() ? stream.size() : next - 3;
    while (end > start && stream[end - 1] == 0) --end;  // trailing zeros and a 4-byte code's 00
    if (end > start) units.push_back(stream.subspan(start, end - start));
    start = next;
  }
  return units;
}

}  // namespace pelorin
