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
  SessionOptions options;
  options.width = 320;
  options.height = 240;
  auto session = softwareSession(recorder, options);
  std::vector<UnitBytes> units;
  if (!session) return units;
  for (std::size_t i = 0; i < lumas.size(); ++i) EXPECT_EQ(submit(*session, static_cast<int>(i), lumas[i]), 0);
  EXPECT_EQ(session->completeFrames(), 0);
  for (const Output& out : recorder.outputs()) {
    EXPECT_EQ(out.status, 0);
    if (!out.sample.dataBlock) continue;
    auto unit = accessUnit(out.sample);
    EXPECT_TRUE(unit);
    if (unit) units.push_back(std::move(*unit));
  }
  return units;
}

TEST(H264Decoder, DecodesPlanesAndFrameKinds) {
  const std::vector<std::uint8_t> lumas{30, 120, 200, 120};
  const auto units = encodedStream(lumas);
  ASSERT_EQ(units.size(), lumas.size());
  const auto pictures = decodeAll(units);
  ASSERT_EQ(pictures.size(), lumas.size()) << "decode and flush together return every picture";
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const DecodedPicture& p = pictures[i];
    EXPECT_EQ(p.luma.size(), 320u * 240u);
    EXPECT_EQ(p.chromaU.size(), 160u * 120u);
    EXPECT_EQ(p.chromaV.size(), 160u * 120u);
    EXPECT_NEAR(p.meanLuma(), lumas[i], 3.0);
    EXPECT_EQ(p.keyFrame, i == 0);
    for (std::uint8_t c : {p.chromaU[0], p.chromaU.back(), p.chromaV[0], p.chromaV.back()}) EXPECT_NEAR(c, 128, 3);
  }
}

TEST(H264Decoder, FlushAfterWholeStreamEndsIt) {
  const auto units = encodedStream({60, 60});
  ASSERT_EQ(units.size(), 2u);
  auto decoder = H264Decoder::create();
  ASSERT_TRUE(decoder);
  ASSERT_TRUE((*decoder)->decode(units[0]));
  auto held = (*decoder)->flush();
  ASSERT_TRUE(held);
  auto again = (*decoder)->flush();
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->empty()) << "nothing is returned twice";
  EXPECT_FALSE((*decoder)->decode(units[1])) << "no input after the end of the stream";
}

TEST(H264Decoder, GarbageGivesAnErrorOrNoPicture) {
  auto decoder = H264Decoder::create();
  ASSERT_TRUE(decoder);
  UnitBytes garbage{0, 0, 0, 1, 0x65};
  for (int i = 0; i < 200; ++i) garbage.push_back(static_cast<std::uint8_t>(i * 37 + 11));
  auto decoded = (*decoder)->decode(garbage);
  if (decoded) {
    EXPECT_TRUE(decoded->empty());
  } else {
    EXPECT_EQ(decoded.error().domain, "FFmpeg");
    EXPECT_LT(decoded.error().code, 0);
    EXPECT_FALSE(decoded.error().message.empty());
  }
  auto held = (*decoder)->flush();
  if (held) {
    EXPECT_TRUE(held->empty());
  }
}

TEST(H264Decoder, RecoversAtTheNextKeyFrameAfterGarbage) {
  const auto units = encodedStream({90, 150});
  ASSERT_EQ(units.size(), 2u);
  auto decoder = H264Decoder::create();
  ASSERT_TRUE(decoder);
  (void)(*decoder)->decode(UnitBytes{0, 0, 1, 0x67, 0xFF, 0xFF, 0xFF, 0xFF});
  auto decoded = (*decoder)->decode(units[0]);
  ASSERT_TRUE(decoded) << decoded.error().message;
  auto held = (*decoder)->flush();
  ASSERT_TRUE(held);
  for (auto& p : *held) decoded->push_back(std::move(p));
  ASSERT_EQ(decoded->size(), 1u);
  EXPECT_NEAR(decoded->front().meanLuma(), 90, 3.0);
}

}  // namespace
}  // namespace pelorin::platform::ffmpeg
