#include <gtest/gtest.h>

#include "capture/capture_configuration.h"
#include "capture/crop_geometry.h"

namespace pelorin::capture {
namespace {

// The content sits above an equal bottom margin, centred across; a letterbox fits and centres in
// whole pixels; a stream size fits with even sides and never enlarges.
TEST(CropGeometry, ContentCropLetterboxAndStreamSize) {
  EXPECT_EQ(contentCrop({800, 600}, {1000, 500}), (Rect{0, 100, 800, 500}));
  EXPECT_EQ(contentCrop({1000, 700}, {600, 650}), (Rect{200, 0, 600, 650}));
  EXPECT_EQ(contentCrop({1280, 800}, {1280, 800}), (Rect{0, 0, 1280, 800}));
  EXPECT_EQ(contentCrop({1512, 982}, {1512, 945}), (Rect{0, 37, 1512, 945}));
  EXPECT_EQ(letterboxRect({800, 600}, {1920, 1080}), (Rect{240, 0, 1440, 1080}));
  EXPECT_EQ(letterboxRect({1281, 720}, {1920, 1080}), (Rect{0, 1, 1920, 1079}));
  EXPECT_EQ(letterboxRect({640, 360}, {1920, 1080}), (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(streamSize({2560, 1600}, {1920, 1080}), (Size{1728, 1080}));
  EXPECT_EQ(streamSize({1000, 500}, {3840, 2160}), (Size{1000, 500}));
  EXPECT_EQ(streamSize({3, 3}, {100, 100}), (Size{2, 2}));
  EXPECT_EQ(streamSize({1001, 501}, {3840, 2160}), (Size{1000, 500}));
  for (auto [source, bound] : {std::pair<Size, Size>{{1920, 1080}, {1920, 0}}, {{0, 1080}, {1920, 1080}},
                               {{-5, 10}, {1920, 1080}}}) {
    EXPECT_EQ(streamSize(source, bound), (Size{0, 0}));
  }
}

}  // namespace
}  // namespace pelorin::capture
