#include "base/h264_nal.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(SplitAnnexB, SplitsOnBothStartCodesDroppingGarbageTrailingZerosAndEmptyUnits) {
  const std::pair<Bytes, std::vector<Bytes>> cases[] = {
      {{0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4}, {{0x67, 1, 2}, {0x68, 3}, {0x65, 4}}},
      {{9, 9, 0, 0, 1, 0x41, 7, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0x41, 8, 0, 0}, {{0x41, 7}, {0x41, 8}}},
      {{0, 0, 1, 0x65, 0, 0, 3, 1, 5}, {{0x65, 0, 0, 3, 1, 5}}},  // emulation prevention bytes stay
      {{}, {}},
      {{0x41, 1, 2}, {}},
      {{0, 0, 1}, {}},
  };
  for (const auto& [stream, expected] : cases) {
    std::vector<Bytes> units;
    for (ByteSpan u : splitAnnexB(stream)) units.emplace_back(u.begin(), u.end());
    EXPECT_EQ(units, expected) << stream.size();
  }
  EXPECT_TRUE(nalType(Bytes{0x65}) == nal::sliceIdr && nalType(Bytes{0x67}) == nal::sps && nalType(Bytes{}) == -1);
}

}  // namespace
}  // namespace pelorin
