// The media layer on a scripted session: the encoder and the records it writes read back, the
// screen output that feeds it captured frames, and the synthetic source.
#include "media/hardware_encoder.h"
#include "media/screen_output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <thread>

#include "base/fd_output.h"
#include "media/capture_run.h"
#include "media/clock.h"
#include "media/encoder_harness.h"
#include "media/frame_stream_reader.h"
#include "media/synthetic_source.h"

namespace pelorin::media {
namespace {

using platform::FrameStatus;
using platform::ProfileLevel;
using platform::SampleBuffer;
using platform::StreamOutputType;
using test::avccOf;
using test::Bytes;
using test::EncodedSample;
using test::EncoderHarness;
using test::sampleFor;

void submit(HardwareEncoder& encoder, std::uint64_t captureNs = 1000) { encoder.encode(nullptr, {0, 30}, captureNs); }
Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }
const EncodedSample anyKey = sampleFor(true, avccOf({{0x65, 1}}));

// Failures carry their status; a session without hardware is refused unless software was chosen.
TEST(HardwareEncoderCreate, PreparesTheSessionWithTheStreamsSettingsForEachProfileAndBitRateOrFailsWithItsStatus) {
  struct Case {
    Profile profile;
    std::int32_t bitrate;
    ProfileLevel level;
    std::int32_t prepared;  // 0: no bit-rate target, constant quality
    std::string logged;
  };
  const auto baseline = ProfileLevel::ConstrainedBaselineAutoLevel;
  const Case cases[] = {
      {Profile::high, 8000000, ProfileLevel::HighAutoLevel, 8000000, "high"},
      {Profile::main, 17, ProfileLevel::MainAutoLevel, 17, "main"},
      {Profile::baseline, 7, baseline, 8, "constrained_baseline"},  // less than a byte a second: raised
      {Profile::baseline, -3, baseline, 0, "constrained_baseline"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged + " " + std::to_string(c.bitrate));
    EncoderHarness h(64, 32);
    h.settings.stream.frameRate = {25, 1};
    h.settings.stream.profile = c.profile;
    h.settings.stream.bitrate = c.bitrate;
    ASSERT_TRUE(h.create().ok());
    EXPECT_EQ(h.factory.log.prepared, (platform::CompressionSettings{{25, 1}, c.prepared, c.level}));
    EXPECT_TRUE(h.factory.lastSpec.requireHardware);
    EXPECT_EQ(h.err.contents(), "capture_encoder encoder=fakehw hardware=true software_fallback=false profile=" +
                                    c.logged + " b_frames=false encoder_queue_capacity=6\n");
  }

  const std::tuple<test::FakeScript, std::int32_t, std::string> failures[] = {  // script, status, message
      {{.createStatus = -12915}, -12915, "hardware encoder unavailable"},
      {{.prepareStatus = -7}, -7, "encoder prepare failed"},
      {{.usingHardware = false}, -1, "hardware encoder unavailable; software fallback refused"},
  };
  for (const auto& [script, code, message] : failures) {
    EncoderHarness h(64, 32, script);
    auto r = h.create();
    ASSERT_FALSE(r.ok()) << message;
    EXPECT_EQ(std::tie(r.error().domain, r.error().code, r.error().message), std::make_tuple("VideoToolbox", code, message));
  }
  EncoderHarness chosen(64, 32, {.usingHardware = false, .softwareChosen = true});
  EXPECT_TRUE(chosen.create().ok());
}

TEST(HardwareEncoderQueue, DropsTheNewestBeyondSixInFlightKeepsAKeyFrameRequestAndDrainsAtTheEnd) {
  EncoderHarness h(64, 32);
  auto encoder = h.makeEncoder();
  const auto& subs = h.factory.log.submissions;
  for (int i = 0; i < 6; ++i) submit(*encoder);
  encoder->requestKeyframe();
  submit(*encoder);  // dropped at capacity: the request stays
  EXPECT_EQ(subs.size(), 6u);
  EXPECT_EQ(encoder->counters().encoderDrops, 1);
  h.factory.last->deliverNext(anyKey);
  submit(*encoder);
  ASSERT_EQ(subs.size(), 7u);
  EXPECT_TRUE(subs[6].forceKeyFrame);
  for (int i = 1; i < 6; ++i) EXPECT_FALSE(subs[i].forceKeyFrame) << i;
  // Finishing drains the frames in flight, then writes the summary and closes the session.
  ASSERT_TRUE(encoder->finish(3, 1).ok());
  EXPECT_TRUE(h.factory.log.invalidated);
  EXPECT_EQ(h.errLines().back(),
            "native_encoder_summary encoded_frames=7 capture_queue_capacity=3 capture_queue_max_depth=1 "
            "encoder_queue_capacity=6 encoder_max_depth=6 encoder_drops=1 capture_drops=3 "
            "queue_policy=drop_newest");
  EXPECT_EQ(encoder->makePixelBuffer().error().message, "encoder pixel buffer pool unavailable");

  EncoderHarness failing(64, 32, {.submitStatus = -12909});
  auto rejecting = failing.makeEncoder();
  rejecting->requestKeyframe();
  submit(*rejecting);
  EXPECT_TRUE(failing.factory.log.submissions[0].forceKeyFrame);
  submit(*rejecting);
  EXPECT_FALSE(failing.factory.log.submissions[1].forceKeyFrame);  // the request went with the failed frame
}

TEST(HardwareEncoderQueue, KeyFramesComeAtLeastOncePerSecondOfCaptureTime) {
  EncoderHarness h(64, 32);
  auto encoder = h.makeEncoder();
  // A screen that changes about three times a second; the session makes one key frame of its own.
  const std::tuple<std::uint64_t, bool, bool> frames[] = {  // capture ms, forced, comes out a key frame
      {0, true, true},     {300, false, false},  {990, false, false}, {1000, true, true},
      {1400, false, true}, {2300, false, false}, {2401, true, true},  {2402, false, false}};
  for (const auto& [captureMs, forced, comesOutKey] : frames) {
    submit(*encoder, 5000000000 + captureMs * 1000000);
    EXPECT_EQ(h.factory.log.submissions.back().forceKeyFrame, forced) << captureMs;
    h.factory.last->deliverNext(sampleFor(comesOutKey, avccOf({{0x65, 1}})));
  }
}

// A bad frame is logged and written nowhere, the run going on to its summary; a reader that went
// away (standard output a pipe without one, SIGPIPE ignored as the programs do) ends the run once,
// without the summary of a complete run.
TEST(HardwareEncoderOutput, BadFramesAreLoggedAndWriteNothingWhileStrayBytesAreSkippedAndAClosedPipeEndsTheRun) {
  struct Case {
    std::string name;
    std::optional<EncodedSample> sample;  // none: the session fails the frame
    std::string line;                     // empty: the frame is written with `payload`
    Bytes payload;
    int outputFd = -1;  // else the harness's file
  };
  int closedPipe[2];
  ASSERT_EQ(pipe(closedPipe), 0);
  close(closedPipe[0]);
  ignoreBrokenPipeSignal();
  Bytes pastEnd = avccOf({{0x65, 1, 2}});
  pastEnd[3] = 4;  // the last prefix claims one byte more than there is
  Bytes strayEnd = avccOf({{0x65, 9}});
  strayEnd.insert(strayEnd.end(), {0, 0, 7});
  EncodedSample noSps = sampleFor(true, strayEnd);
  noSps.parameterSets[0].reset();  // an unreadable parameter set is left out
  const Case cases[] = {
      {"past end", sampleFor(true, pastEnd), "encoder_output_error reason=invalid_AVCC_unit"},
      {"only leftovers", sampleFor(false, {0, 0, 1}), "encoder_output_error reason=invalid_Annex-B_frame"},
      {"failed", std::nullopt, "encoder_output_error status=-12911"},
      {"stray bytes", noSps, "", {0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80, 0, 0, 0, 1, 0x65, 9}},
      {"closed pipe", anyKey, "encoder_output_error reason=frame_stream_write_failed:_Broken_pipe", {}, closedPipe[1]},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EncoderHarness h(64, 32);
    if (c.outputFd >= 0) h.settings.outputFd = c.outputFd;
    auto encoder = h.makeEncoder();
    submit(*encoder);
    if (c.sample) h.factory.last->deliverNext(*c.sample);
    else h.factory.last->failNext(-12911);
    const std::string out = h.out.contents();
    EXPECT_EQ(encoder->counters().outstanding, 0);
    if (!c.line.empty()) EXPECT_EQ(h.errLines().back(), c.line);
    EXPECT_EQ(bytesOf(out.substr(std::min(out.size(), media::frameHeaderSize))), c.payload);
    const int failure = c.outputFd >= 0 ? EPIPE : 0;
    EXPECT_EQ(encoder->runFailure() ? encoder->runFailure()->code : 0, failure);
    const Result<void> finished = encoder->finish(0, 0);
    EXPECT_EQ(finished.ok() ? 0 : finished.error().code, failure);
    EXPECT_EQ(h.err.contents().find("native_encoder_summary") == std::string::npos, failure != 0);
  }
  close(closedPipe[1]);
}

TEST(HardwareEncoderOutput, FiveFailedFramesInARowEndTheRun) {
  EncoderHarness h(64, 32);
  auto encoder = h.makeEncoder();
  int told = 0;
  encoder->setFailureHandler([&](const Error&) { ++told; });
  for (int i = 0; i < 9; ++i) {  // four failed, one good that starts the count anew, four failed
    submit(*encoder);
    i == 4 ? h.factory.last->deliverNext(anyKey) : h.factory.last->failNext(-22);
  }
  EXPECT_FALSE(encoder->runFailure());
  submit(*encoder);
  h.factory.last->failNext(-22);
  ASSERT_TRUE(encoder->runFailure());
  submit(*encoder);
  h.factory.last->failNext(-22);
  EXPECT_EQ(encoder->runFailure()->message, "the encoder failed 5 frames in a row");
  EXPECT_EQ(told, 1);
  EXPECT_FALSE(encoder->finish(0, 0).ok());
}

const ByteBuffer keyPayload{0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x65, 0x88};
const ByteBuffer deltaPayload{0, 0, 0, 1, 0x41, 0x9A};

ByteBuffer record(const ByteBuffer& payload, std::uint64_t capture, std::uint32_t flags) {
  ByteBuffer bytes;
  appendFrameHeader(bytes, static_cast<std::uint32_t>(payload.size()), capture, false);
  bytes.resize(bytes.size() - 4);
  appendLittleEndian(bytes, flags);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

ByteBuffer concat(std::initializer_list<ByteBuffer> parts) {
  ByteBuffer all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(FrameStreamReader, NamesTheOffsetAndReasonOfTheFirstFault) {
  const ByteBuffer good = record(keyPayload, 5, 1);
  ByteBuffer badMagic = record(deltaPayload, 6, 0), hugeLength = badMagic, truncated = badMagic;
  badMagic[0] = 'X';
  hugeLength[8] = 1, hugeLength[9] = 0, hugeLength[10] = 0, hugeLength[11] = 1;  // 16 MiB + 1
  truncated.pop_back();
  const std::tuple<ByteBuffer, std::string, bool> cases[] = {  // bad record, reason, only seen at the end
      {badMagic, "bad magic", false},
      {hugeLength, "payload length 16777217 out of range", false},
      {record(deltaPayload, 6, 2), "unknown flags 2", false},
      {record(deltaPayload, 4, 0), "capture time goes backwards", false},
      {record(ByteBuffer{0, 0, 1, 0x41, 0x9A}, 6, 0), "payload does not begin with a 4-byte start code", false},
      {record(deltaPayload, 6, 1), "key frame does not begin with SPS and PPS", false},
      {truncated, "truncated payload", true},
      {ByteBuffer(good.begin(), good.begin() + 10), "truncated header", true},
  };
  for (const auto& [bad, reason, atEnd] : cases) {
    SCOPED_TRACE(reason);
    const ByteBuffer stream = atEnd ? concat({good, bad}) : concat({good, bad, good});
    test::CapturedFd file;  // written in place: the reader starts at its beginning
    ASSERT_EQ(::pwrite(file.fd(), stream.data(), stream.size(), 0), static_cast<ssize_t>(stream.size()));
    FrameStreamReader reader(file.fd());
    auto first = reader.next();
    ASSERT_TRUE(first && *first);
    EXPECT_TRUE((*first)->captureNanoseconds == 5 && (*first)->keyFrame && (*first)->payload == keyPayload);
    auto fault = reader.next();
    ASSERT_FALSE(fault);
    EXPECT_EQ(fault.error().message, "invalid record at offset " + std::to_string(good.size()) + ": " + reason);
  }
}

// 34 x 18 frames at 10 fps: rows are padded beyond the width, and the session's thread would
// have to stall for six frame intervals before a frame is dropped.
struct SyntheticRun : test::EncoderHarness {
  explicit SyntheticRun(test::FakeScript script = {}) : EncoderHarness(34, 18, script) { settings.stream.frameRate = {10, 1}; }
};

TEST(RunSynthetic, SubmitsEveryFrameOfTheCycleAtItsTimeAndEndsOnAMissingBuffer) {
  SyntheticRun run({.deliverOnThread = true});
  auto encoder = run.makeEncoder();
  const double started = platform::monotonicSeconds();
  const std::uint64_t wallStart = unixNanosecondsNow();
  ASSERT_TRUE(runSynthetic({10, 1}, 1, *encoder).ok());
  // The last wait ends one interval after the last submission: the run lasts the full second.
  EXPECT_GE(platform::monotonicSeconds() - started, 0.99);

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

  SyntheticRun noBuffers({.poolLimit = 5});
  Result<void> r = runSynthetic({10, 1}, 1, *noBuffers.makeEncoder());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "pixel buffer allocation failed");
  EXPECT_TRUE(noBuffers.factory.log.submissions.empty());
}

// A source whose start outlasts the run's grace, as a portal session's can on a busy machine: the
// run still gets its duration and ends well, not on the watchdog's line (which exits the process).
TEST(RunCapture, AStartSlowerThanTheGraceIsNotCountedAgainstTheDuration) {
  struct SlowStart final : RunSource {
    Result<void> start() override {
      std::this_thread::sleep_for(std::chrono::duration<double>(runEndGraceSeconds + 0.5));
      return {};
    }
    Result<void> stop() override { return {}; }
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SyntheticRun run;
        SlowStart source;
        const Result<void> outcome =
            runCapture(*run.makeEncoder(), std::make_shared<RunStop>(), {.source = &source, .durationSeconds = 0.2}, 2);
        std::_Exit(outcome.ok() ? 0 : 3);
      },
      testing::ExitedWithCode(0), "");
}

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
