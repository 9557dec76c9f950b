#include "platform/ffmpeg/sample_assembler.h"

#include <gtest/gtest.h>

namespace pelorin::platform::ffmpeg {
namespace {

using B = UnitBytes;

const B plainBaselineSps{0x67, 0x42, 0x00, 0x1F, 0xDA};  // profile 66, no constraint flags, level 3.1
const B mainSps{0x67, 0x4D, 0x00, 0x1F, 0xDA};
const B pps{0x68, 0xCE, 0x3C};
const B idr{0x65, 0x88, 0x84};
const B nonIdr{0x41, 0x9A, 0x02};

B annexB(std::initializer_list<const B*> units) {
  B out;
  for (const B* unit : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), unit->begin(), unit->end());
  }
  return out;
}

TEST(MarkConstrainedBaseline, SetsConstraintSet1OnBaselineOnly) {
  B baseline = plainBaselineSps;
  EXPECT_TRUE(markConstrainedBaseline(baseline));
  EXPECT_EQ(baseline, (B{0x67, 0x42, 0x40, 0x1F, 0xDA}));
  // Not baseline; a zero level would make the 0x03 an escape byte; not an SPS.
  for (B unchanged : {mainSps, B{0x67, 0x42, 0x00, 0x00, 0x03}, pps}) {
    const B before = unchanged;
    EXPECT_FALSE(markConstrainedBaseline(unchanged));
    EXPECT_EQ(unchanged, before);
  }
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
  ASSERT_EQ((*key)->parameterSets.size(), 2u);
  EXPECT_EQ((*key)->parameterSets[0], (B{0x67, 0x42, 0x40, 0x1F, 0xDA})) << "constraint_set1 set as claimed";
  EXPECT_EQ((*key)->parameterSets[1], pps);
  EXPECT_EQ((*key)->dataBlock, (B{0, 0, 0, 3, 0x65, 0x88, 0x84}));

  auto delta = assembler.assemble(annexB({&nonIdr}), false);
  ASSERT_TRUE(delta && *delta);
  EXPECT_TRUE((*delta)->notSync);
}

TEST(SampleAssembler, ExtradataSetsServeInBandlessEncodersAndAreLeftAloneUnclaimed) {
  SampleAssembler assembler(false);
  assembler.takeExtradata(annexB({&plainBaselineSps, &pps}));
  auto key = assembler.assemble(annexB({&idr}), true);
  ASSERT_TRUE(key && *key) << (key ? "" : key.error().message);
  EXPECT_EQ((*key)->parameterSets[0], plainBaselineSps) << "no constrained baseline claimed, nothing changed";
  EXPECT_FALSE(assembler.assemble(B{0, 0, 1}, false)) << "a packet without units is an error";
}

}  // namespace
}  // namespace pelorin::platform::ffmpeg
