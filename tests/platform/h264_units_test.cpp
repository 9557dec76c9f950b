#include "platform/ffmpeg/h264_units.h"

#include <gtest/gtest.h>

#include "platform/ffmpeg/sample_assembler.h"

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
  EXPECT_TRUE(!split->sps && split->pps == (B{0x68, 0xCE}));
  EXPECT_EQ(split->dataBlock, (B{0, 0, 0, 3, 0x41, 0x9A, 0x02}));
  for (const B& bad : {B{0, 0, 0, 9, 0x41, 0x9A}, B{0, 0, 0, 2, 0x41, 0, 0, 0, 4, 0x41}, B{}}) {
    EXPECT_FALSE(splitEncodedPacket(bad)) << bad.size();  // lengths past the end, or nothing
  }
}

TEST(ParameterSetsFromExtradata, ReadsAvccAnnexBAndEmpty) {
  auto sets = parameterSetsFromExtradata(B{1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 3, 0x67, 0x64, 0x00, 1, 0, 2, 0x68, 0xEB});
  ASSERT_TRUE(sets);
  EXPECT_TRUE(sets->sps == (B{0x67, 0x64, 0x00}) && sets->pps == (B{0x68, 0xEB}));
  EXPECT_FALSE(parameterSetsFromExtradata(B{1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 9, 0x67}));
  sets = parameterSetsFromExtradata(B{});  // Annex-B extradata: see the sample assembler
  ASSERT_TRUE(sets);
  EXPECT_FALSE(sets->sps || sets->pps);
}

const B plainBaselineSps{0x67, 0x42, 0x00, 0x1F, 0xDA};  // profile 66, no constraint flags, level 3.1
const B markedSps{0x67, 0x42, 0x40, 0x1F, 0xDA};
const B pps{0x68, 0xCE, 0x3C};
const B idr{0x65, 0x88, 0x84};

B annexB(std::initializer_list<const B*> units) {
  B out;
  for (const B* unit : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), unit->begin(), unit->end());
  }
  return out;
}

TEST(SampleAssembler, KeyFramesCarryTheLatestSetsAndNeverGoOutWithout) {
  SampleAssembler assembler(true);
  for (const B& orphan : {annexB({&idr}), annexB({&plainBaselineSps, &idr})}) {
    auto refused = assembler.assemble(orphan, true);
    ASSERT_FALSE(refused) << "a key frame without SPS and PPS is an error of that frame";
    EXPECT_EQ(refused.error().message, "key frame without SPS and PPS");
  }
  auto setsOnly = assembler.assemble(annexB({&plainBaselineSps, &pps}), true);
  ASSERT_TRUE(setsOnly);
  EXPECT_FALSE(*setsOnly) << "parameter sets alone are kept, not delivered";
  auto key = assembler.assemble(annexB({&idr}), true);
  ASSERT_TRUE(key && *key);
  EXPECT_FALSE((*key)->notSync);
  EXPECT_EQ((*key)->parameterSets, (std::vector<std::optional<B>>{markedSps, pps})) << "constraint_set1 set as claimed";
  EXPECT_EQ((*key)->dataBlock, (B{0, 0, 0, 3, 0x65, 0x88, 0x84}));
  const B nonIdr{0x41, 0x9A, 0x02};
  auto delta = assembler.assemble(annexB({&nonIdr}), false);
  ASSERT_TRUE(delta && *delta);
  EXPECT_TRUE((*delta)->notSync);

  SampleAssembler unclaimed(false);  // sets from extradata serve encoders without in-band ones
  unclaimed.takeExtradata(annexB({&plainBaselineSps, &pps}));
  key = unclaimed.assemble(annexB({&idr}), true);
  ASSERT_TRUE(key && *key) << (key ? "" : key.error().message);
  EXPECT_EQ((*key)->parameterSets[0], plainBaselineSps) << "no constrained baseline claimed, nothing changed";
  EXPECT_FALSE(unclaimed.assemble(B{0, 0, 1}, false)) << "a packet without units is an error";
}

}  // namespace
}  // namespace pelorin::platform::ffmpeg
