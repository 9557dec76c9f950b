#include "media/screen_output.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "media/clock.h"
#include "media/encoder_harness.h"

namespace pelorin::media {
namespace {

using platform::FrameStatus;
using platform::SampleBuffer;
using platform::StreamOutputType;

TEST(CaptureUnixNanoseconds, ConvertsAroundTheAnchorRoundingHalvesAwayAndSaturating) {
  constexpr std::uint64_t maxU64 = std::numeric_limits<std::uint64_t>::max();
  const ClockAnchor anchor{1000.0, 1'700'000'000'000'000'000ull}, nearZero{1000.0, 5'000'000'000ull},
      nearMax{0.0, maxU64 - 10}, small{0.0, 1'000'000};
  const std::tuple<double, ClockAnchor, std::uint64_t> cases[] = {
      {1000.25, anchor, anchor.unixNanoseconds + 250'000'000ull},
      {999.75, anchor, anchor.unixNanoseconds - 250'000'000ull},
      {1.5e-9, small, 1'000'002u},
      {-1.5e-9, small, 999'998u},
      {0.0, nearZero, 0u},  // 1000 s before, only 5 s of room
      {1e300, nearMax, maxU64},
      {10e-9, nearMax, maxU64},  // fits exactly
  };
  for (const auto& [seconds, anchor, expected] : cases) EXPECT_EQ(captureUnixNanoseconds(seconds, anchor), expected) << seconds;
  EXPECT_EQ(clockOffsetNanoseconds({2.5, 10'000'000'000ull}), 7'500'000'000);
  EXPECT_EQ(clockAnchorLine("start", {{20.0, 10'000'000'000ull}, 42}),
            "capture_clock_anchor phase=start offset_ns=-10000000000 uncertainty_ns=42 source=host_monotonic_to_unix");
}

struct OutputHarness : test::EncoderHarness {
  OutputHarness() : EncoderHarness(64, 32), encoder(makeEncoder()) {
    output = std::make_unique<ScreenOutput>(*encoder, ClockAnchor{100.0, 5'000'000'000ull}, err.fd(),
                                            [this] { return now; });
    output->setFrameRequester([this] { ++framesRequested; });
  }

  // A frame of flat luma; `status` absent leaves the attachment out.
  SampleBuffer frame(std::uint8_t luma, std::optional<FrameStatus> status = FrameStatus::Complete, double pts = 100.5) {
    auto buffer = pool->makeBuffer();
    std::memset(buffer->planeBase(0), luma, buffer->bytesPerRow(0) * buffer->planeHeight(0));
    return SampleBuffer{.imageBuffer = buffer, .presentationSeconds = pts,
                        .attachments = platform::SampleAttachments{status, std::nullopt, std::nullopt, std::nullopt}};
  }
  // Frames handed over return at once, so the encoder never fills up in these tests.
  void feed(const SampleBuffer& s, StreamOutputType type = StreamOutputType::Screen) {
    output->didOutputSample(s, type);
    factory.last->completeFrames();
  }
  std::size_t encoded() const { return factory.log.submissions.size(); }
  bool lastForced() const { return factory.log.submissions.back().forceKeyFrame; }

  std::unique_ptr<HardwareEncoder> encoder;
  std::shared_ptr<platform::NV12BufferPool> pool = platform::NV12BufferPool::create(64, 32);
  std::unique_ptr<ScreenOutput> output;
  std::uint64_t now = 1'000'000'000;
  int framesRequested = 0;
};

TEST(ScreenOutput, EncodesCompleteFramesWithTheirUnixCaptureTimeAndDropsTheRest) {
  OutputHarness h;
  h.feed(h.frame(100, FrameStatus::Complete, 100.25));
  h.feed(h.frame(100, FrameStatus::Started, 99.75));
  h.feed(h.frame(100, std::nullopt, 100.0));  // no status at all
  ASSERT_EQ(h.encoded(), 3u);
  EXPECT_EQ(test::captureTimeAt(h.out.contents()), 5'250'000'000ull);
  EXPECT_EQ(h.output->stats(), (std::pair<std::int64_t, std::int64_t>{0, 1}));

  h.feed(h.frame(100), StreamOutputType::Audio);
  SampleBuffer invalid = h.frame(100), empty = h.frame(100), idleWithoutPicture = h.frame(100, FrameStatus::Idle);
  invalid.valid = false;
  empty.imageBuffer = nullptr;
  idleWithoutPicture.imageBuffer = nullptr;  // nothing changed, so nothing was grabbed
  h.feed(invalid);
  h.feed(empty);
  EXPECT_EQ(h.output->stats().first, 3);
  h.feed(h.frame(100, FrameStatus::Idle));  // silently dropped, not counted
  h.feed(idleWithoutPicture);
  h.feed(h.frame(100, FrameStatus::Blank));
  h.feed(h.frame(100, FrameStatus::Stopped));
  EXPECT_TRUE(h.encoded() == 3u && h.output->stats().first == 3);
}

TEST(ScreenOutput, PauseAndHoldWithholdFramesUncountedAndAReleaseAfterAHoldAsksForAKeyFrame) {
  OutputHarness h;
  h.output->setPaused(true);
  h.feed(h.frame(100));
  EXPECT_EQ(h.encoded(), 0u);
  h.output->setPaused(false);
  h.feed(h.frame(100));  // the stream's first frame is a key frame of its own
  h.output->release();   // not held: nothing to ask for
  h.feed(h.frame(100));
  EXPECT_EQ(h.encoded(), 2u);
  EXPECT_FALSE(h.lastForced());
  EXPECT_EQ(h.framesRequested, 0);

  h.output->hold(1.5);
  h.now += 1'499'999'999;
  h.feed(h.frame(100));
  EXPECT_EQ(h.encoded(), 2u);
  h.now += 1;  // the hold lapses by itself
  h.feed(h.frame(100));
  EXPECT_EQ(h.encoded(), 3u);

  h.output->hold(10);
  h.feed(h.frame(100));
  EXPECT_EQ(h.encoded(), 3u);
  h.output->release();
  EXPECT_EQ(h.framesRequested, 1);  // a still screen must show its picture as that key frame
  h.feed(h.frame(100));
  ASSERT_EQ(h.encoded(), 4u);
  EXPECT_TRUE(h.lastForced());

  // A moving frame's holds: an earlier one's release leaves a later one, and a key frame comes only
  // when asked for and something was withheld.
  int passed = 0;
  const std::uint64_t earlier = h.output->hold(10), later = h.output->hold(10);
  for (const auto& [hold, keyframe, encoded, forced] :
       {std::tuple{earlier, true, 4u, true}, {later, false, 5u, false}, {later, true, 6u, true}, {later, true, 7u, false}}) {
    h.output->releaseHold(hold, keyframe, [&] { ++passed; });
    h.feed(h.frame(100));
    EXPECT_EQ(std::tuple(h.encoded(), h.lastForced()), std::tuple(encoded, forced));
  }
  EXPECT_EQ(std::tuple(passed, h.framesRequested), std::tuple(3, 4));
  EXPECT_EQ(h.output->stats().first, 0);
}

// Black under half a second is withheld; a still screen that stays black is asked for again.
TEST(ScreenOutput, ShortBlackRunsAreWithheldAndAPictureThatStaysBlackIsAskedForAgain) {
  OutputHarness h;
  h.feed(h.frame(100));
  h.feed(h.frame(0));  // black starts: withheld
  h.now += 499'999'999;
  h.feed(h.frame(0, FrameStatus::Idle));  // nothing changes: idle samples only
  h.feed(h.frame(20));
  EXPECT_EQ(h.encoded(), 1u);
  EXPECT_EQ(h.framesRequested, 0);
  h.now += 1;
  h.feed(h.frame(0, FrameStatus::Idle));
  EXPECT_EQ(h.framesRequested, 1);
  h.feed(h.frame(0));  // the fresh frame the stream sends for it
  h.now += 100'000'000;
  h.feed(h.frame(20));
  EXPECT_EQ(h.encoded(), 3u);
  h.feed(h.frame(0, FrameStatus::Idle));
  EXPECT_EQ(h.framesRequested, 1);  // shown: nothing more to ask for
  h.feed(h.frame(21));  // not black: resets the run
  h.feed(h.frame(5));
  EXPECT_EQ(h.encoded(), 4u);
  EXPECT_EQ(h.output->stats().first, 0);
}

}  // namespace
}  // namespace pelorin::media
