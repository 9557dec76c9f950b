#include "media/synthetic_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "base/fd_output.h"
#include "media/clock.h"
#include "media/encoder_harness.h"

namespace pelorin::media {
namespace {

// 34 x 18 frames at 10 fps: rows are padded beyond the width, and the session's thread would
// have to stall for six frame intervals before a frame is dropped.
struct SyntheticRun : test::EncoderHarness {
  explicit SyntheticRun(test::FakeScript script = {}) : EncoderHarness(34, 18, script) { settings.fps = 10; }
};

// The luma of a whole buffer, padding included, checking that it is flat and its chroma neutral.
std::uint8_t lumaOf(platform::PixelBuffer& b) {
  const std::uint8_t first = b.planeBase(0)[0];
  EXPECT_EQ(b.planeBase(0)[b.bytesPerRow(0) * b.planeHeight(0) - 1], first);
  EXPECT_EQ(b.planeBase(1)[b.bytesPerRow(1) * b.planeHeight(1) - 1], 128);
  return first;
}

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
    EXPECT_EQ(subs[i].presentationTime.value, static_cast<std::int64_t>(i));
    EXPECT_EQ(subs[i].presentationTime.timescale, 10);
    EXPECT_EQ(lumaOf(*subs[i].buffer), 48 + 24 * (i % 6));
  }
  EXPECT_EQ(subs[0].buffer, subs[6].buffer);  // six buffers drawn once, used in turn
  EXPECT_NE(subs[0].buffer, subs[1].buffer);
  EXPECT_GE(test::captureTimeAt(run.out.contents()), wallStart);
  EXPECT_EQ(run.errLines().back().rfind("native_encoder_summary encoded_frames=10 capture_queue_capacity=3 "
                                        "capture_queue_max_depth=1 encoder_queue_capacity=6 encoder_max_depth=",
                                        0),
            0u);
  EXPECT_NE(run.errLines().back().find(" encoder_drops=0 capture_drops=0 queue_policy=drop_newest"), std::string::npos);
}

TEST(RunSynthetic, EndsOnAMissingBufferOrAClosedOutputAndReportsAnEmptyRun) {
  SyntheticRun noBuffers({.poolLimit = 5});
  Result<void> r = runSynthetic(10, 1, *noBuffers.makeEncoder());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().domain, "CoreVideo");
  EXPECT_EQ(r.error().message, "pixel buffer allocation failed");
  EXPECT_TRUE(noBuffers.factory.log.submissions.empty());

  ignoreBrokenPipeSignal();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  SyntheticRun closed({.deliverOnThread = true});
  closed.settings.outputFd = fds[1];
  r = runSynthetic(10, 600, *closed.makeEncoder());  // would take ten minutes
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, EPIPE);
  EXPECT_LT(closed.factory.log.submissions.size(), 10u);
  EXPECT_EQ(closed.err.contents().find("native_encoder_summary"), std::string::npos);  // the run did not complete
  close(fds[1]);

  SyntheticRun empty;
  ASSERT_TRUE(runSynthetic(10, 0, *empty.makeEncoder()).ok());
  EXPECT_NE(empty.err.contents().find(" capture_queue_max_depth=0 "), std::string::npos);
}

}  // namespace
}  // namespace pelorin::media
