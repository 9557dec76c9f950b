// The live portion stream on a scripted platform.
#include "portion/portion_capture.h"

#include <gtest/gtest.h>

#include <future>

#include "capture/capture_configuration.h"
#include "support/fake_screen_capture.h"

namespace pelorin::portion {
namespace {

TEST(LivePortionStream, ReconfiguresAskingForAFrameUntilClosed) {
  auto stream = std::make_shared<test::FakeStream>(platform::StreamConfiguration{}, test::FakeStreamScript{}, nullptr);
  LivePortionStream live(stream);
  auto update = [&](Rect r) {
    std::promise<std::optional<Error>> answered;
    live.updateConfiguration(capture::makeCaptureConfiguration(64, 36, r),
                             [&](std::optional<Error> e) { answered.set_value(e); });
    return answered.get_future().get();
  };
  EXPECT_FALSE(update({0, 0, 320, 180}));
  ASSERT_EQ(stream->configurationUpdates.size(), 1u);
  EXPECT_EQ(stream->configurationUpdates[0].sourceRect, (Rect{0, 0, 320, 180}));
  EXPECT_EQ(*stream->framesRequested, 1) << "a new portion must show at once on a still screen";
  live.close();
  EXPECT_TRUE(update({2, 0, 320, 180}));
  EXPECT_EQ(stream->configurationUpdates.size(), 1u);
}

}  // namespace
}  // namespace pelorin::portion
