#include "platform/ffmpeg/h264_decoder.h"

#include <gtest/gtest.h>

#include "platform/ffmpeg/h264_units.h"
#include "platform/ffmpeg_test_support.h"

namespace pelorin::platform::ffmpeg {
namespace {

using namespace testing;

// Annex-B access units from a real x264 session at 320x240.
std::vector<UnitBytes> encodedStream(const std::vector<std::uint8_t>& lumas) {
  Recorder recorder;
  auto session = softwareSession(recorder, {.width = 320, .height = 240});
  std::vector<UnitBytes> units;
  if (!session) return units;
  for (std::size_t i = 0; i < lumas.size(); ++i) EXPECT_EQ(submit(*session, static_cast<int>(i), lumas[i]), 0);
  EXPECT_EQ(session->completeFrames(), 0);
  for (const Output& out : recorder.outputs()) {
    auto unit = accessUnit(out.sample);
    EXPECT_TRUE(out.status == 0 && unit);
    if (out.status == 0 && unit) units.push_back(std::move(*unit));
  }
  return units;
}

TEST(H264Decoder, GarbageGivesAnErrorOrNoPictureAndTheNextKeyFrameDecodes) {
  const auto units = encodedStream({90, 150});
  ASSERT_EQ(units.size(), 2u);
  auto decoder = H264Decoder::create();
  ASSERT_TRUE(decoder);
  UnitBytes garbage{0, 0, 0, 1, 0x65};
  for (int i = 0; i < 200; ++i) garbage.push_back(static_cast<std::uint8_t>(i * 37 + 11));
  for (const UnitBytes& bad : {garbage, UnitBytes{0, 0, 1, 0x67, 0xFF, 0xFF, 0xFF, 0xFF}}) {
    auto decoded = (*decoder)->decode(bad);
    if (decoded) {
      EXPECT_TRUE(decoded->empty());
    } else {
      EXPECT_EQ(decoded.error().domain, "FFmpeg");
      EXPECT_LT(decoded.error().code, 0);
      EXPECT_FALSE(decoded.error().message.empty());
    }
  }
  auto decoded = (*decoder)->decode(units[0]);
  ASSERT_TRUE(decoded) << decoded.error().message;
  auto held = (*decoder)->flush();
  ASSERT_TRUE(held);
  decoded->insert(decoded->end(), held->begin(), held->end());
  ASSERT_EQ(decoded->size(), 1u);
  EXPECT_NEAR(decoded->front().meanLuma(), 90, 3.0);

  auto again = (*decoder)->flush();
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->empty()) << "nothing is returned twice";
  EXPECT_FALSE((*decoder)->decode(units[1])) << "no input after the end of the stream";
}

}  // namespace
}  // namespace pelorin::platform::ffmpeg
