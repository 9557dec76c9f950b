#include "media/synthetic_source.h"

#include <gtest/gtest.h>

#include "media/clock.h"
#include "media/encoder_harness.h"

namespace pelorin::media {
namespace {

// 34 x 18 frames at 10 fps: rows are padded beyond the width, and the session's thread would
// have to stall for six frame intervals before a frame is dropped.
struct SyntheticRun : test::EncoderHarness {
  explicit SyntheticRun(test::FakeScript script = {}) : EncoderHarness(34, 18, script) { settings.fps = 10; }
};

TEST(RunSynthetic, SubmitsEveryFrameOfTheCycleAtItsTime) {
  SyntheticRun run({.deliverOnThread = true});
  auto encoder = run.makeEncoder();
  const double started = monotonicSecondsNow();
  const std::uint64_t wallStart = unixNanosecondsNow();
  ASSERT_TRUE(runSynthetic(10, 1, *encoder).ok());
  // The last wait ends one interval after the last submission: the run lasts the full second.
  EXPECT_GE(monotonicSecondsNow() - started, 0.99);

  const auto& subs = run.factory.log.submissions;
  ASSERT_EQ(subs.size(), 10u);
  for (std::size_t i = 0; i < subs.size(); ++i) {
    platform::PixelBuffer& b = *subs[i].buffer;
    EXPECT_TRUE(subs[i].presentationTime.value == static_cast<std::int64_t>(i) && subs[i].presentationTime.timescale == 10);
    // Flat luma of the cycle up to the padding's last byte, neutral chroma.
    EXPECT_EQ(b.planeBase(0)[b.bytesPerRow(0) * b.planeHeight(0) - 1], 48 + 24 * (i % 6));
    EXPECT_EQ(b.planeBase(1)[b.bytesPerRow(1) * b.planeHeight(1) - 1], 128);
  }
  EXPECT_EQ(subs[0].buffer, subs[6].buffer);  // six buffers drawn once, used in turn
  EXPECT_NE(subs[0].buffer, subs[1].buffer);
  EXPECT_GE(test::captureTimeAt(run.out.contents()), wallStart);
}

TEST(RunSynthetic, EndsOnAMissingBuffer) {
  SyntheticRun noBuffers({.poolLimit = 5});
  Result<void> r = runSynthetic(10, 1, *noBuffers.makeEncoder());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "pixel buffer allocation failed");
  EXPECT_TRUE(noBuffers.factory.log.submissions.empty());
}

}  // namespace
}  // namespace pelorin::media
