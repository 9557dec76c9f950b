#include "media/screen_output.h"

#include <gtest/gtest.h>

#include <cstring>

#include "media/encoder_harness.h"
#include "support/process.h"
#include "support/temp_file.h"

namespace pelorin::media {
namespace {

using platform::SampleAttachments;
using platform::SampleBuffer;
using platform::StreamOutputType;

struct OutputHarness : test::EncoderHarness {
  OutputHarness() : EncoderHarness(64, 32), encoder(makeEncoder()) {
    pool = platform::NV12BufferPool::create(64, 32);
    output = std::make_unique<ScreenOutput>(*encoder, ClockAnchor{100.0, 5'000'000'000ull}, err.fd(),
                                            [this] { return now; });
  }

  // A frame of flat luma; `status` absent leaves the attachment out.
  SampleBuffer frame(std::uint8_t luma, std::optional<int> status = 0, double pts = 100.5) {
    auto buffer = pool->makeBuffer();
    buffer->lock(false);
    std::memset(buffer->planeBase(0), luma, buffer->bytesPerRow(0) * buffer->planeHeight(0));
    buffer->unlock(false);
    SampleBuffer s;
    s.imageBuffer = buffer;
    s.presentationSeconds = pts;
    s.attachments = SampleAttachments{status, std::nullopt, std::nullopt, std::nullopt};
    return s;
  }
  std::size_t encoded() const { return factory.log.submissions.size(); }
  std::vector<std::string> errLines() const { return test::splitLines(err.contents()); }
  void feed(const SampleBuffer& s, StreamOutputType type = StreamOutputType::Screen) {
    output->didOutputSample(s, type);
    // Frames handed over return at once, so the encoder never fills up in these tests.
    while (factory.last->pendingCount() > 0) {
      factory.last->deliverNext(test::sampleFor(false, test::avccOf({{0x41, 1}})));
    }
  }

  std::unique_ptr<HardwareEncoder> encoder;
  std::shared_ptr<platform::NV12BufferPool> pool;
  std::unique_ptr<ScreenOutput> output;
  std::uint64_t now = 1'000'000'000;
};

TEST(ScreenOutput, EncodesCompleteFramesWithTheirUnixCaptureTime) {
  OutputHarness h;
  h.feed(h.frame(100, 0, 100.25));
  h.feed(h.frame(100, 4, 99.75));             // started
  h.feed(h.frame(100, std::nullopt, 100.0));  // no status at all
  ASSERT_EQ(h.encoded(), 3u);
  EXPECT_EQ(h.factory.log.submissions[0].presentationTime.value, 100'250'000'000);
  EXPECT_EQ(h.factory.log.submissions[0].presentationTime.timescale, 1'000'000'000);
  const std::string out = h.out.contents();
  std::uint64_t capture = 0;
  for (int b = 7; b >= 0; --b) capture = capture << 8 | static_cast<std::uint8_t>(out[12 + b]);
  EXPECT_EQ(capture, 5'250'000'000ull);
  EXPECT_EQ(h.output->stats(), (std::pair<std::int64_t, std::int64_t>{0, 1}));
}

TEST(ScreenOutput, FiltersByOutputTypeValidityAndStatus) {
  OutputHarness h;
  h.feed(h.frame(100), StreamOutputType::Audio);
  SampleBuffer invalid = h.frame(100);
  invalid.valid = false;
  h.feed(invalid);
  SampleBuffer empty = h.frame(100);
  empty.imageBuffer = nullptr;
  h.feed(empty);
  EXPECT_EQ(h.output->stats().first, 3);
  h.feed(h.frame(100, 1));  // idle: silently dropped, not counted
  SampleBuffer idleWithoutPicture = h.frame(100, 1);
  idleWithoutPicture.imageBuffer = nullptr;  // nothing changed, so nothing was grabbed
  h.feed(idleWithoutPicture);
  EXPECT_EQ(h.err.contents().find("capture_frame_skipped"), std::string::npos);
  h.feed(h.frame(100, 2));  // blank
  h.feed(h.frame(100, 5));  // stopped
  EXPECT_EQ(h.encoded(), 0u);
  EXPECT_EQ(h.output->stats().first, 3);
  const auto lines = h.errLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "capture_frame_skipped status=2");
  EXPECT_EQ(lines.back(), "capture_frame_skipped status=5");
}

TEST(ScreenOutput, PauseAndHoldWithholdFramesWithoutCountingThem) {
  OutputHarness h;
  h.output->setPaused(true);
  EXPECT_TRUE(h.output->paused());
  h.feed(h.frame(100));
  EXPECT_EQ(h.encoded(), 0u);
  h.output->setPaused(false);
  h.feed(h.frame(100));
  EXPECT_EQ(h.encoded(), 1u);

  h.output->hold(1.5);
  h.now += 1'499'999'999;
  h.feed(h.frame(100));
  EXPECT_EQ(h.encoded(), 1u);
  h.now += 1;  // the hold lapses by itself
  h.feed(h.frame(100));
  EXPECT_EQ(h.encoded(), 2u);
  EXPECT_EQ(h.output->stats().first, 0);
}

TEST(ScreenOutput, ReleaseRequestsAKeyFrameAndAFreshFrameOnlyAfterAHold) {
  OutputHarness h;
  int framesRequested = 0;
  h.output->setFrameRequester([&] { ++framesRequested; });
  h.feed(h.frame(100));  // the stream's first frame is a key frame of its own
  h.output->release();
  h.feed(h.frame(100));
  EXPECT_FALSE(h.factory.log.submissions.back().forceKeyFrame);
  EXPECT_EQ(framesRequested, 0);
  h.output->hold(10);
  h.feed(h.frame(100));
  EXPECT_EQ(h.encoded(), 2u);  // held
  h.output->release();
  EXPECT_EQ(framesRequested, 1);  // a still screen must show its picture as that key frame
  h.feed(h.frame(100));
  ASSERT_EQ(h.encoded(), 3u);
  EXPECT_TRUE(h.factory.log.submissions.back().forceKeyFrame);
}

TEST(ScreenOutput, ShortBlackRunsAreWithheld) {
  OutputHarness h;
  h.feed(h.frame(100));
  h.feed(h.frame(20));  // black starts: withheld
  h.now += 499'999'999;
  h.feed(h.frame(0));
  EXPECT_EQ(h.encoded(), 1u);
  h.now += 1;  // half a second of black: encoded from now on
  h.feed(h.frame(20));
  h.now += 100'000'000;
  h.feed(h.frame(20));
  EXPECT_EQ(h.encoded(), 3u);
  h.feed(h.frame(21));  // not black: resets the run
  h.feed(h.frame(5));
  EXPECT_EQ(h.encoded(), 4u);
  EXPECT_EQ(h.output->stats().first, 0);
}

TEST(ScreenOutput, APictureThatStaysBlackOnAStillScreenIsAskedForAgainAndEncoded) {
  OutputHarness h;
  int framesRequested = 0;
  h.output->setFrameRequester([&] { ++framesRequested; });
  h.feed(h.frame(100));
  h.feed(h.frame(0));  // turns black, then nothing changes: idle samples only
  h.now += 400'000'000;
  h.feed(h.frame(0, 1));
  EXPECT_EQ(framesRequested, 0);
  h.now += 100'000'000;
  h.feed(h.frame(0, 1));
  EXPECT_EQ(framesRequested, 1);
  h.feed(h.frame(0));  // the fresh frame the stream sends for it
  EXPECT_EQ(h.encoded(), 2u);
  h.feed(h.frame(0, 1));
  EXPECT_EQ(framesRequested, 1);  // shown: nothing more to ask for
}

TEST(BlackFrame, SamplesSixteenBySixteenPoints) {
  auto pool = platform::NV12BufferPool::create(64, 32);
  auto buffer = pool->makeBuffer();
  buffer->lock(false);
  std::memset(buffer->planeBase(0), 20, buffer->bytesPerRow(0) * 32);
  // Bright pixels off the sampling grid change nothing: the grid is at (2i+1)*64/32 = 2, 6, 10...
  buffer->planeBase(0)[0] = 255;
  buffer->planeBase(0)[buffer->bytesPerRow(0) * 1 + 3] = 255;
  buffer->unlock(false);
  EXPECT_TRUE(isBlackFrame(*buffer));
  buffer->lock(false);
  buffer->planeBase(0)[buffer->bytesPerRow(0) * 31 + 62] = 21;  // the last sample (y 31, x 62)
  buffer->unlock(false);
  EXPECT_FALSE(isBlackFrame(*buffer));
}

TEST(ScreenOutput, LogsTheGeometryOncePerChange) {
  OutputHarness h;
  auto withGeometry = [&](double scale) {
    SampleBuffer s = h.frame(100);
    s.attachments->contentRect = Rect{0, 0, 1920, 1080};
    s.attachments->scaleFactor = scale;
    s.attachments->contentScale = 0.5;
    return s;
  };
  h.feed(withGeometry(1.0));
  h.feed(withGeometry(1.0));
  h.feed(h.frame(100));  // no rectangle: no line, and the last text is kept
  h.feed(withGeometry(1.0));
  h.feed(withGeometry(2.0));
  std::vector<std::string> info;
  for (const auto& line : h.errLines()) {
    if (line.rfind("capture_frame_info ", 0) == 0) info.push_back(line);
  }
  ASSERT_EQ(info.size(), 2u);
  EXPECT_EQ(info[0], "capture_frame_info {     Height = 1080;     Width = 1920;     X = 0;     Y = 0; } scale=1 "
                     "content_scale=0.5");
  EXPECT_NE(info[1].find(" scale=2 content_scale=0.5"), std::string::npos);
  SampleAttachments partial{0, Rect{1.5, 2, 3, 4}, std::nullopt, std::nullopt};
  EXPECT_EQ(frameGeometryText(partial),
            "{     Height = 4;     Width = 3;     X = 1.5;     Y = 2; } scale=- content_scale=-");
}

}  // namespace
}  // namespace pelorin::media
