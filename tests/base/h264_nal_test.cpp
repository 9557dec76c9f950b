#include "base/h264_nal.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> units(const Bytes& stream) {
  std::vector<Bytes> out;
  for (ByteSpan u : splitAnnexB(stream)) out.emplace_back(u.begin(), u.end());
  return out;
}

TEST(SplitAnnexB, SplitsOnThreeAndFourByteStartCodes) {
  EXPECT_EQ(units({0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4}),
            (std::vector<Bytes>{{0x67, 1, 2}, {0x68, 3}, {0x65, 4}}));
}

TEST(SplitAnnexB, DropsLeadingGarbageTrailingZerosAndEmptyUnits) {
  EXPECT_EQ(units({9, 9, 0, 0, 1, 0x41, 7, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0x41, 8, 0, 0}),
            (std::vector<Bytes>{{0x41, 7}, {0x41, 8}}));
  EXPECT_TRUE(units({}).empty());
  EXPECT_TRUE(units({0x41, 1, 2}).empty());
  EXPECT_TRUE(units({0, 0, 1}).empty());
}

TEST(SplitAnnexB, KeepsEmulationPreventionBytes) {
  EXPECT_EQ(units({0, 0, 1, 0x65, 0, 0, 3, 1, 5}), (std::vector<Bytes>{{0x65, 0, 0, 3, 1, 5}}));
}

TEST(NalType, ReadsTheLowFiveBits) {
  const Bytes idr{0x65}, sps{0x67}, pps{0x68}, empty{};
  EXPECT_EQ(nalType(idr), nal::sliceIdr);
  EXPECT_EQ(nalType(sps), nal::sps);
  EXPECT_EQ(nalType(pps), nal::pps);
  EXPECT_EQ(nalType(empty), -1);
}

}  // namespace
}  // namespace pelorin
