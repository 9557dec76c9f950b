#include "media/synthetic_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "media/clock.h"
#include "base/fd_output.h"
#include "media/fake_compression.h"
#include "support/process.h"
#include "support/temp_file.h"

namespace pelorin::media {
namespace {

std::uint8_t lumaOf(platform::PixelBuffer& b) {
  b.lock(true);
  const std::uint8_t first = b.planeBase(0)[0];
  const std::uint8_t last = b.planeBase(0)[b.bytesPerRow(0) * b.planeHeight(0) - 1];
  const std::uint8_t chroma = b.planeBase(1)[b.bytesPerRow(1) * b.planeHeight(1) - 1];
  b.unlock(true);
  EXPECT_EQ(first, last);  // the whole plane, padding included
  EXPECT_EQ(chroma, 128);
  return first;
}

struct SyntheticRun {
  explicit SyntheticRun(test::FakeScript script = {}) : factory(script) {
    settings.width = 34;  // rows padded beyond the width
    settings.height = 18;
    settings.fps = 50;
    settings.outputFd = out.fd();
    settings.errorFd = err.fd();
  }
  test::FakeFactory factory;
  EncoderSettings settings;
  test::CapturedFd out, err;
};

TEST(RunSynthetic, SubmitsEveryFrameOfTheCycleAtItsTime) {
  SyntheticRun run({.deliverOnThread = true});
  auto encoder = HardwareEncoder::create(run.factory, run.settings);
  ASSERT_TRUE(encoder.ok());
  const double started = monotonicSecondsNow();
  const std::uint64_t wallStart = unixNanosecondsNow();
  ASSERT_TRUE(runSynthetic(50, 1, **encoder).ok());
  const double elapsed = monotonicSecondsNow() - started;

  const auto& subs = run.factory.log.submissions;
  ASSERT_EQ(subs.size(), 50u);
  for (std::size_t i = 0; i < subs.size(); ++i) {
    EXPECT_EQ(subs[i].presentationTime.value, static_cast<std::int64_t>(i));
    EXPECT_EQ(subs[i].presentationTime.timescale, 50);
    EXPECT_EQ(lumaOf(*subs[i].buffer), syntheticLuma(static_cast<int>(i % 6)));
  }
  EXPECT_EQ(subs[0].buffer, subs[6].buffer);
  EXPECT_NE(subs[0].buffer, subs[1].buffer);
  EXPECT_EQ(syntheticLuma(5), 168);
  // The last wait ends one interval after the last submission: the run lasts the full second.
  EXPECT_GE(elapsed, 0.99);
  const std::string out = run.out.contents();
  ASSERT_GE(out.size(), 24u);
  std::uint64_t firstCapture = 0;
  for (int b = 7; b >= 0; --b) firstCapture = firstCapture << 8 | static_cast<std::uint8_t>(out[12 + b]);
  EXPECT_GE(firstCapture, wallStart);
  const std::string summary = test::splitLines(run.err.contents()).back();
  EXPECT_EQ(summary.rfind("native_encoder_summary encoded_frames=50 capture_queue_capacity=3 "
                          "capture_queue_max_depth=1 encoder_queue_capacity=6 encoder_max_depth=",
                          0),
            0u)
      << summary;
  EXPECT_NE(summary.find(" encoder_drops=0 capture_drops=0 queue_policy=drop_newest"), std::string::npos);
}

TEST(RunSynthetic, BufferFailureEndsTheRunBeforeAnyFrame) {
  SyntheticRun run({.poolLimit = 5});
  auto encoder = HardwareEncoder::create(run.factory, run.settings);
  ASSERT_TRUE(encoder.ok());
  Result<void> r = runSynthetic(50, 1, **encoder);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "pixel buffer allocation failed");
  EXPECT_TRUE(run.factory.log.submissions.empty());
}

TEST(RunSynthetic, AClosedOutputEndsTheRunWithTheWriteError) {
  ignoreBrokenPipeSignal();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  SyntheticRun run({.deliverOnThread = true});
  run.settings.outputFd = fds[1];
  auto encoder = HardwareEncoder::create(run.factory, run.settings);
  ASSERT_TRUE(encoder.ok());
  Result<void> r = runSynthetic(50, 600, **encoder);  // would take ten minutes
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, EPIPE);
  EXPECT_LT(run.factory.log.submissions.size(), 50u);
  // No summary: the run did not complete.
  EXPECT_EQ(run.err.contents().find("native_encoder_summary"), std::string::npos);
  close(fds[1]);
}

TEST(RunSynthetic, FewerThanOneFrameReportsDepthZero) {
  SyntheticRun run;
  auto encoder = HardwareEncoder::create(run.factory, run.settings);
  ASSERT_TRUE(encoder.ok());
  ASSERT_TRUE(runSynthetic(50, 0, **encoder).ok());
  EXPECT_NE(run.err.contents().find(" capture_queue_max_depth=0 "), std::string::npos);
}

}  // namespace
}  // namespace pelorin::media
