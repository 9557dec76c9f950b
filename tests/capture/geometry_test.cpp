#include <gtest/gtest.h>

#include "capture/capture_configuration.h"
#include "capture/crop_geometry.h"
#include "sources/display_choice.h"

namespace pelorin::capture {
namespace {

TEST(ContentCrop, PlacesTheContentAboveAnEqualBottomMargin) {
  EXPECT_EQ(contentCrop({1280, 800}, {1200, 700}), (Rect{40, 60, 1200, 700}));
  EXPECT_EQ(contentCrop({800, 600}, {1000, 500}), (Rect{0, 100, 800, 500}));
  EXPECT_EQ(contentCrop({1000, 700}, {600, 650}), (Rect{200, 0, 600, 650}));
  EXPECT_EQ(contentCrop({1280, 800}, {1280, 800}), (Rect{0, 0, 1280, 800}));
  EXPECT_EQ(contentCrop({1512, 982}, {1512, 945}), (Rect{0, 37, 1512, 945}));
}

TEST(LetterboxRect, FitsAndCentresInWholePixels) {
  EXPECT_EQ(letterboxRect({1200, 700}, {1920, 1080}), (Rect{35, 0, 1851, 1080}));
  EXPECT_EQ(letterboxRect({800, 600}, {1920, 1080}), (Rect{240, 0, 1440, 1080}));
  EXPECT_EQ(letterboxRect({1281, 720}, {1920, 1080}), (Rect{0, 1, 1920, 1079}));
  EXPECT_EQ(letterboxRect({640, 360}, {1920, 1080}), (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(letterboxRect({1440, 900}, {1920, 1080}), (Rect{96, 0, 1728, 1080}));
}

TEST(StreamSize, FitsEvenSidesWithoutEnlarging) {
  EXPECT_EQ(streamSize({2560, 1600}, {1920, 1080}), (Size{1728, 1080}));
  EXPECT_EQ(streamSize({1000, 500}, {3840, 2160}), (Size{1000, 500}));
  EXPECT_EQ(streamSize({3, 3}, {100, 100}), (Size{2, 2}));
  EXPECT_EQ(streamSize({1001, 501}, {3840, 2160}), (Size{1000, 500}));
  EXPECT_EQ(streamSize({1920, 1080}, {1920, 0}), (Size{0, 0}));
  EXPECT_EQ(streamSize({0, 1080}, {1920, 1080}), (Size{0, 0}));
  EXPECT_EQ(streamSize({-5, 10}, {1920, 1080}), (Size{0, 0}));
}

TEST(MakeCaptureConfiguration, Is30FpsScaledAndAspectKeeping) {
  const auto c = makeCaptureConfiguration(1280, 720, Rect{10, 20, 640, 360});
  EXPECT_EQ(c.width, 1280);
  EXPECT_EQ(c.height, 720);
  EXPECT_EQ(c.minimumFrameInterval.value, 1);
  EXPECT_EQ(c.minimumFrameInterval.timescale, 30);
  EXPECT_EQ(c.pixelFormat, platform::pixelFormat420v);
  EXPECT_EQ(c.queueDepth, 3);
  EXPECT_TRUE(c.showsCursor);
  EXPECT_FALSE(c.capturesAudio);
  EXPECT_TRUE(c.scalesToFit);
  EXPECT_TRUE(c.preservesAspectRatio);
  EXPECT_EQ(c.sourceRect, (Rect{10, 20, 640, 360}));
  EXPECT_FALSE(makeCaptureConfiguration(2, 2).sourceRect);
}

TEST(ResolveDisplayIndex, PicksTheFirstOrTheRequestedDisplay) {
  using sources::resolveDisplayIndex;
  EXPECT_EQ(resolveDisplayIndex(std::nullopt, {}), std::nullopt);
  EXPECT_EQ(resolveDisplayIndex(std::nullopt, {7, 8}), 0u);
  EXPECT_EQ(resolveDisplayIndex(8u, {7, 8, 8}), 1u);
  EXPECT_EQ(resolveDisplayIndex(9u, {7, 8}), std::nullopt);
  EXPECT_EQ(resolveDisplayIndex(7u, {}), std::nullopt);
}

}  // namespace
}  // namespace pelorin::capture
