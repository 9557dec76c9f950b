#include "platform/ffmpeg/h264_units.h"

#include <gtest/gtest.h>

namespace pelorin::platform::ffmpeg {
namespace {

using B = UnitBytes;

TEST(SplitEncodedPacket, TakesParameterSetsOutOfAnnexBOrLengthPrefixedPacketsAndDropsDelimiters) {
  auto split = splitEncodedPacket(B{0, 0, 0, 1, 0x09, 0xF0,             // AUD
                                    0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E,  // SPS
                                    0, 0, 1, 0x68, 0xCE, 0x3C,          // PPS
                                    0, 0, 1, 0x06, 0x05, 0x01,          // SEI
                                    0, 0, 0, 1, 0x65, 0x88, 0x84});     // IDR slice
  ASSERT_TRUE(split);
  EXPECT_EQ(split->sps, (B{0x67, 0x42, 0xC0, 0x1E}));
  EXPECT_EQ(split->pps, (B{0x68, 0xCE, 0x3C}));
  EXPECT_EQ(split->dataBlock, (B{0, 0, 0, 3, 0x06, 0x05, 0x01, 0, 0, 0, 3, 0x65, 0x88, 0x84}));

  split = splitEncodedPacket(B{0, 0, 0, 2, 0x68, 0xCE, 0, 0, 0, 3, 0x41, 0x9A, 0x02});
  ASSERT_TRUE(split);
  EXPECT_FALSE(split->sps);
  EXPECT_EQ(split->pps, (B{0x68, 0xCE}));
  EXPECT_EQ(split->dataBlock, (B{0, 0, 0, 3, 0x41, 0x9A, 0x02}));

  for (const B& bad : {B{0, 0, 0, 9, 0x41, 0x9A}, B{0, 0, 0, 2, 0x41, 0, 0, 0, 4, 0x41}, B{}}) {
    EXPECT_FALSE(splitEncodedPacket(bad)) << bad.size();  // lengths past the end, or nothing
  }
}

TEST(ParameterSetsFromExtradata, ReadsAvccAnnexBAndEmpty) {
  auto sets = parameterSetsFromExtradata(B{1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 3, 0x67, 0x64, 0x00, 1, 0, 2, 0x68, 0xEB});
  ASSERT_TRUE(sets);
  EXPECT_EQ(sets->sps, (B{0x67, 0x64, 0x00}));
  EXPECT_EQ(sets->pps, (B{0x68, 0xEB}));
  EXPECT_FALSE(parameterSetsFromExtradata(B{1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 9, 0x67}));
  sets = parameterSetsFromExtradata(B{0, 0, 0, 1, 0x67, 0x4D, 0, 0, 1, 0x68, 0xEE});
  ASSERT_TRUE(sets);
  EXPECT_EQ(sets->sps, (B{0x67, 0x4D}));
  EXPECT_EQ(sets->pps, (B{0x68, 0xEE}));
  sets = parameterSetsFromExtradata(B{});
  ASSERT_TRUE(sets);
  EXPECT_FALSE(sets->sps || sets->pps);
}

}  // namespace
}  // namespace pelorin::platform::ffmpeg
