#include "media/hardware_encoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "base/fd_output.h"
#include "media/fake_compression.h"
#include "support/process.h"
#include "support/temp_file.h"

namespace pelorin::media {
namespace {

using test::avccOf;
using test::Bytes;
using test::CapturedFd;
using test::FakeFactory;
using test::FakeScript;
using test::sampleFor;
using platform::CompressionProperty;

struct Harness {
  explicit Harness(FakeScript script = {}, std::string profile = "baseline", std::int32_t bitrate = 8000000)
      : factory(script) {
    settings.width = 64;
    settings.height = 32;
    settings.fps = 30;
    settings.bitrate = bitrate;
    settings.profile = std::move(profile);
    settings.outputFd = out.fd();
    settings.errorFd = err.fd();
  }
  Result<std::unique_ptr<HardwareEncoder>> create() { return HardwareEncoder::create(factory, settings); }
  std::unique_ptr<HardwareEncoder> ready() {
    auto created = create();
    EXPECT_TRUE(created.ok()) << (created ? "" : created.error().message);
    return created ? std::move(*created) : nullptr;
  }
  void submit(HardwareEncoder& encoder, std::uint64_t captureNs = 1000) {
    encoder.encode(nullptr, {0, 30}, captureNs);
  }
  std::vector<std::string> errLines() const { return test::splitLines(err.contents()); }

  FakeFactory factory;
  EncoderSettings settings;
  CapturedFd out;
  CapturedFd err;
};

Bytes recordBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(HardwareEncoderCreate, SetsTheLowLatencyPropertiesInOrder) {
  Harness h({}, "high", 8000000);
  auto encoder = h.ready();
  ASSERT_TRUE(encoder);
  using P = platform::PropertyValue;
  const std::vector<std::pair<CompressionProperty, P>> expected = {
      {CompressionProperty::RealTime, P{true}},
      {CompressionProperty::AllowFrameReordering, P{false}},
      {CompressionProperty::ProfileLevel, P{platform::ProfileLevel::HighAutoLevel}},
      {CompressionProperty::H264EntropyMode, P{platform::EntropyMode::CABAC}},
      {CompressionProperty::ExpectedFrameRate, P{std::int32_t{30}}},
      {CompressionProperty::AverageBitRate, P{std::int32_t{8000000}}},
      {CompressionProperty::MaxKeyFrameInterval, P{std::int32_t{30}}},
      {CompressionProperty::MaxKeyFrameIntervalDuration, P{std::int32_t{1}}},
      {CompressionProperty::DataRateLimits, P{platform::DataRateLimit{1000000, 1}}},
  };
  EXPECT_EQ(h.factory.log.properties, expected);
  EXPECT_TRUE(h.factory.lastSpec.requireHardware);
  EXPECT_EQ(h.factory.lastSpec.width, 64);
  EXPECT_EQ(h.factory.lastSpec.height, 32);
  EXPECT_EQ(h.err.contents(),
            "capture_encoder encoder=fakehw hardware=true software_fallback=false profile=high b_frames=false "
            "encoder_queue_capacity=6\n");
  EXPECT_EQ(h.out.contents(), "");
}

TEST(HardwareEncoderCreate, ProfileWordsSelectProfileAndEntropy) {
  struct Case {
    std::string word, logged;
    platform::ProfileLevel level;
    bool cabac;
  };
  for (const Case& c : {Case{"main", "main", platform::ProfileLevel::MainAutoLevel, true},
                        Case{"baseline", "constrained_baseline", platform::ProfileLevel::ConstrainedBaselineAutoLevel, false},
                        Case{"other", "constrained_baseline", platform::ProfileLevel::ConstrainedBaselineAutoLevel, false}}) {
    Harness h({}, c.word, 17);
    auto encoder = h.ready();
    ASSERT_TRUE(encoder);
    const auto& props = h.factory.log.properties;
    EXPECT_EQ(props[2].second, platform::PropertyValue{c.level}) << c.word;
    EXPECT_EQ(props[3].first == CompressionProperty::H264EntropyMode, c.cabac) << c.word;
    // Integer division rounds toward zero.
    EXPECT_EQ(props.back().second, (platform::PropertyValue{platform::DataRateLimit{2, 1}}));
    EXPECT_NE(h.err.contents().find(" profile=" + c.logged + " "), std::string::npos) << c.word;
  }
}

TEST(HardwareEncoderCreate, BitRatesWithoutATargetOrTooSmallForWholeBytes) {
  using P = platform::PropertyValue;
  struct Case {
    std::int32_t bitrate;
    std::optional<std::int32_t> average;  // none: no rate properties, constant quality
  };
  for (const Case& c : {Case{0, std::nullopt}, Case{-5, std::nullopt}, Case{1, 8}, Case{7, 8}, Case{9, 9}}) {
    Harness h({}, "baseline", c.bitrate);
    ASSERT_TRUE(h.ready()) << c.bitrate;
    std::optional<P> average, limit;
    for (const auto& [key, value] : h.factory.log.properties) {
      if (key == CompressionProperty::AverageBitRate) average = value;
      if (key == CompressionProperty::DataRateLimits) limit = value;
    }
    EXPECT_EQ(average.has_value(), c.average.has_value()) << c.bitrate;
    EXPECT_EQ(limit.has_value(), c.average.has_value()) << c.bitrate;
    if (c.average) {
      EXPECT_EQ(*average, P{*c.average}) << c.bitrate;
      EXPECT_EQ(*limit, (P{platform::DataRateLimit{*c.average / 8, 1}})) << c.bitrate;
    }
  }
}

TEST(HardwareEncoderCreate, FailuresCarryTheirMessageAndStatus) {
  {
    Harness h({.createStatus = -12915});
    auto r = h.create();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().domain, "VideoToolbox");
    EXPECT_EQ(r.error().code, -12915);
    EXPECT_EQ(r.error().message, "hardware encoder unavailable");
    EXPECT_EQ(h.err.contents(), "");
  }
  {
    Harness h({.failingProperty = CompressionProperty::AverageBitRate, .propertyStatus = -12902});
    auto r = h.create();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, -12902);
    EXPECT_EQ(r.error().message, "cannot set AverageBitRate");
  }
  {
    Harness h({.prepareStatus = -7});
    auto r = h.create();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, -7);
    EXPECT_EQ(r.error().message, "encoder prepare failed");
  }
}

TEST(HardwareEncoderCreate, RefusesSoftwareUnlessChosen) {
  for (const FakeScript script : {FakeScript{.usingHardware = false}, FakeScript{.usingHardwareStatus = -1}}) {
    Harness h(script);
    auto r = h.create();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, -1);
    EXPECT_EQ(r.error().message, "hardware encoder unavailable; software fallback refused");
    EXPECT_TRUE(h.factory.log.invalidated);
    EXPECT_EQ(h.err.contents(), "");
  }
  Harness chosen({.usingHardware = false, .softwareChosen = true});
  auto encoder = chosen.ready();
  ASSERT_TRUE(encoder);
  EXPECT_EQ(chosen.err.contents(),
            "capture_encoder encoder=x264 hardware=false software_fallback=false profile=constrained_baseline "
            "b_frames=false encoder_queue_capacity=6\n");
}

TEST(HardwareEncoderQueue, DropsTheNewestFrameWhenSixAreInFlight) {
  Harness h;
  auto encoder = h.ready();
  for (int i = 0; i < 7; ++i) h.submit(*encoder);
  EXPECT_EQ(h.factory.log.submissions.size(), 6u);
  EXPECT_EQ(encoder->counters().encoderDrops, 1);
  EXPECT_EQ(encoder->counters().maxOutstanding, 6);

  h.factory.last->deliverNext(sampleFor(true, avccOf({{0x65, 1}})));
  h.submit(*encoder);
  EXPECT_EQ(h.factory.log.submissions.size(), 7u);
  EXPECT_EQ(encoder->counters().encoderDrops, 1);
  EXPECT_EQ(encoder->counters().outstanding, 6);
  // Durations are one frame at the frame rate.
  EXPECT_EQ(h.factory.log.submissions[0].duration.value, 1);
  EXPECT_EQ(h.factory.log.submissions[0].duration.timescale, 30);
}

TEST(HardwareEncoderQueue, KeyFrameRequestSurvivesADropButNotAFailedSubmission) {
  Harness h;
  auto encoder = h.ready();
  for (int i = 0; i < 6; ++i) h.submit(*encoder);
  encoder->requestKeyframe();
  h.submit(*encoder);  // dropped at capacity: the request stays
  h.factory.last->deliverNext(sampleFor(true, avccOf({{0x65, 1}})));
  h.submit(*encoder);
  auto& subs = h.factory.log.submissions;
  ASSERT_EQ(subs.size(), 7u);
  EXPECT_TRUE(subs[6].forceKeyFrame);
  for (int i = 1; i < 6; ++i) EXPECT_FALSE(subs[i].forceKeyFrame);

  Harness failing({.submitStatus = -12909});
  auto rejecting = failing.ready();
  rejecting->requestKeyframe();
  failing.submit(*rejecting);
  EXPECT_TRUE(failing.factory.log.submissions[0].forceKeyFrame);
  EXPECT_EQ(rejecting->counters().outstanding, 0);
  EXPECT_EQ(failing.errLines().back(), "encoder_submit_error status=-12909");
  failing.submit(*rejecting);
  EXPECT_FALSE(failing.factory.log.submissions[1].forceKeyFrame);  // the request went with the frame
}

TEST(HardwareEncoderOutput, WritesKeyAndDeltaRecords) {
  Harness h;
  auto encoder = h.ready();
  h.submit(*encoder, 0x0102030405060708ull);
  h.submit(*encoder, 42);
  h.factory.last->deliverNext(sampleFor(true, avccOf({{0x06, 5}, {0x65, 0xAA, 0xBB}})));
  h.factory.last->deliverNext(sampleFor(false, avccOf({{0x41, 0xCC}})));

  Bytes expected = recordBytes("PLNH2641");
  expected.insert(expected.end(), {21, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 1, 0, 0, 0});
  expected.insert(expected.end(), {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80,
                                   0, 0, 0, 1, 0x06, 5, 0, 0, 0, 1, 0x65, 0xAA, 0xBB});
  ASSERT_EQ(expected.size(), 24u + 29u);
  expected[8] = 29;
  const Bytes delta = recordBytes("PLNH2641");
  expected.insert(expected.end(), delta.begin(), delta.end());
  expected.insert(expected.end(), {6, 0, 0, 0, 42, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x41, 0xCC});
  EXPECT_EQ(recordBytes(h.out.contents()), expected);
  EXPECT_EQ(encoder->counters().encodedFrames, 2);
  EXPECT_EQ(encoder->counters().outstanding, 0);
}

TEST(HardwareEncoderOutput, BadFramesAreLoggedAndWriteNothing) {
  struct Case {
    std::string name;
    platform::EncodedSample sample;
    std::string line;
  };
  platform::EncodedSample noBlock = sampleFor(false, {});
  noBlock.dataBlock.reset();
  Bytes pastEnd = avccOf({{0x65, 1, 2}});
  pastEnd[3] = 4;  // the last prefix claims one byte more than there is
  Bytes zeroLength = avccOf({{0x41, 1}});
  zeroLength.insert(zeroLength.end(), {0, 0, 0, 0, 0x41});
  const std::vector<Case> cases = {
      {"past end", sampleFor(true, pastEnd), "encoder_output_error reason=invalid_AVCC_unit"},
      {"zero length", sampleFor(false, zeroLength), "encoder_output_error reason=invalid_AVCC_unit"},
      {"no block", noBlock, "encoder_output_error reason=missing_encoded_block"},
      {"empty", sampleFor(false, {}), "encoder_output_error reason=invalid_Annex-B_frame"},
      {"only leftovers", sampleFor(false, {0, 0, 1}), "encoder_output_error reason=invalid_Annex-B_frame"},
  };
  for (const Case& c : cases) {
    Harness h;
    auto encoder = h.ready();
    h.submit(*encoder);
    h.factory.last->deliverNext(c.sample);
    EXPECT_EQ(h.out.contents(), "") << c.name;
    EXPECT_EQ(h.errLines().back(), c.line) << c.name;
    EXPECT_EQ(encoder->counters().encodedFrames, 0) << c.name;
    EXPECT_EQ(encoder->counters().outstanding, 0) << c.name;
  }
  Harness h;
  auto encoder = h.ready();
  h.submit(*encoder);
  h.factory.last->deliverNextError(-12911);
  EXPECT_EQ(h.errLines().back(), "encoder_output_error status=-12911");
  EXPECT_EQ(encoder->counters().outstanding, 0);
}

TEST(HardwareEncoderOutput, LeftoverBytesAndUnreadableParameterSetsAreSkipped) {
  Harness h;
  auto encoder = h.ready();
  h.submit(*encoder);
  Bytes avcc = avccOf({{0x65, 9}});
  avcc.insert(avcc.end(), {0, 0, 7});  // three stray bytes at the end
  platform::EncodedSample sample = sampleFor(true, avcc);
  sample.parameterSets[0].reset();
  h.factory.last->deliverNext(sample);
  const std::string out = h.out.contents();
  ASSERT_EQ(out.size(), 24u + 8u + 6u);
  EXPECT_EQ(recordBytes(out.substr(24)), (Bytes{0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80, 0, 0, 0, 1, 0x65, 9}));
}

TEST(HardwareEncoderQueue, KeyFramesComeAtLeastOncePerSecondOfCaptureTime) {
  Harness h;
  auto encoder = h.ready();
  // A screen that changes about three times a second; the session makes one key frame of its own.
  struct Frame {
    std::uint64_t captureMs;
    bool forced, comesOutKey;
  };
  const std::vector<Frame> frames = {{0, true, true},         {300, false, false},   {990, false, false},
                                     {1000, true, true},      {1400, false, true},   {2300, false, false},
                                     {2401, true, true},      {2402, false, false}};
  for (const Frame& f : frames) {
    h.submit(*encoder, 5000000000 + f.captureMs * 1000000);
    EXPECT_EQ(h.factory.log.submissions.back().forceKeyFrame, f.forced) << f.captureMs;
    h.factory.last->deliverNext(sampleFor(f.comesOutKey, avccOf({{0x65, 1}})));
  }
}

TEST(HardwareEncoderFinish, DrainsThenWritesTheSummary) {
  Harness h;
  auto encoder = h.ready();
  for (int i = 0; i < 8; ++i) h.submit(*encoder);
  ASSERT_TRUE(encoder->finish(3, 1).ok());
  EXPECT_EQ(h.factory.log.completeCalls, 1);
  EXPECT_TRUE(h.factory.log.invalidated);
  EXPECT_EQ(h.errLines().back(),
            "native_encoder_summary encoded_frames=6 capture_queue_capacity=3 capture_queue_max_depth=1 "
            "encoder_queue_capacity=6 encoder_max_depth=6 encoder_drops=2 capture_drops=3 "
            "queue_policy=drop_newest");
  // Closed: nothing more is encoded, buffers are refused, a second finish still reports.
  h.submit(*encoder);
  EXPECT_EQ(encoder->counters().encoderDrops, 2);
  auto buffer = encoder->makePixelBuffer();
  ASSERT_FALSE(buffer.ok());
  EXPECT_EQ(buffer.error().message, "encoder pixel buffer pool unavailable");
  ASSERT_TRUE(encoder->finish(0, 0).ok());
  EXPECT_EQ(h.errLines().back().rfind("native_encoder_summary encoded_frames=6 ", 0), 0u);
}

TEST(HardwareEncoderOutput, FiveFailedFramesInARowEndTheRun) {
  Harness h;
  auto encoder = h.ready();
  int told = 0;
  encoder->setFailureHandler([&](const Error&) { ++told; });
  const auto failFrames = [&](int n) {
    for (int i = 0; i < n; ++i) {
      h.submit(*encoder);
      h.factory.last->deliverNextError(-22);
    }
  };
  failFrames(4);
  h.submit(*encoder);
  h.factory.last->deliverNext(sampleFor(true, avccOf({{0x65, 1}})));  // a good frame starts the count anew
  failFrames(4);
  EXPECT_FALSE(encoder->runFailure());
  failFrames(2);
  ASSERT_TRUE(encoder->runFailure());
  EXPECT_EQ(encoder->runFailure()->message, "the encoder failed 5 frames in a row");
  EXPECT_EQ(told, 1);
  EXPECT_FALSE(encoder->finish(0, 0).ok());
}

TEST(HardwareEncoderPool, BuffersComeFromTheSessionPool) {
  Harness h({.poolLimit = 1});
  auto encoder = h.ready();
  auto first = encoder->makePixelBuffer();
  ASSERT_TRUE(first.ok());
  EXPECT_EQ((*first)->width(), 64);
  EXPECT_EQ((*first)->height(), 32);
  EXPECT_EQ((*first)->pixelFormat(), platform::pixelFormat420v);
  auto second = encoder->makePixelBuffer();
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().domain, "CoreVideo");
  EXPECT_EQ(second.error().message, "pixel buffer allocation failed");

  Harness none({.poolAvailable = false});
  auto encoder2 = none.ready();
  EXPECT_EQ(encoder2->makePixelBuffer().error().message, "encoder pixel buffer pool unavailable");
}

TEST(HardwareEncoderOutput, AClosedPipeIsReportedNotFatal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  ignoreBrokenPipeSignal();  // as the programs do
  Harness h;
  h.settings.outputFd = fds[1];
  auto encoder = h.ready();
  EXPECT_FALSE(encoder->runFailure());
  h.submit(*encoder);
  h.factory.last->deliverNext(sampleFor(true, avccOf({{0x65, 1}})));
  ASSERT_TRUE(encoder->runFailure());
  EXPECT_EQ(encoder->runFailure()->code, EPIPE);
  EXPECT_EQ(h.errLines().back(), "encoder_output_error reason=frame_stream_write_failed:_Broken_pipe");
  EXPECT_EQ(encoder->counters().encodedFrames, 0);
  // The run that owns the encoder is told once, and no summary claims a complete run.
  int told = 0;
  encoder->setFailureHandler([&](const Error&) { ++told; });
  h.submit(*encoder);
  h.factory.last->deliverNext(sampleFor(false, avccOf({{0x41, 1}})));
  EXPECT_EQ(told, 0);  // already failed before the handler was set
  const Result<void> finished = encoder->finish(0, 0);
  ASSERT_FALSE(finished.ok());
  EXPECT_EQ(finished.error().code, EPIPE);
  EXPECT_EQ(h.errLines().back().find("native_encoder_summary"), std::string::npos);
  close(fds[1]);
}

}  // namespace
}  // namespace pelorin::media
