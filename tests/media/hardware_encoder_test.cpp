#include "media/hardware_encoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "base/fd_output.h"
#include "media/encoder_harness.h"

namespace pelorin::media {
namespace {

using platform::CompressionProperty;
using platform::ProfileLevel;
using P = platform::PropertyValue;
using test::avccOf;
using test::Bytes;
using test::EncodedSample;
using test::EncoderHarness;
using test::sampleFor;

void submit(HardwareEncoder& encoder, std::uint64_t captureNs = 1000) { encoder.encode(nullptr, {0, 30}, captureNs); }
Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }
const EncodedSample anyKey = sampleFor(true, avccOf({{0x65, 1}}));

TEST(HardwareEncoderCreate, SetsTheLowLatencyPropertiesForEachProfileAndBitRate) {
  struct Case {
    std::string profile;
    std::int32_t bitrate;
    ProfileLevel level;
    std::optional<std::int32_t> average;  // none: no rate properties, constant quality
    std::string logged;
  };
  const auto baseline = ProfileLevel::ConstrainedBaselineAutoLevel;
  const Case cases[] = {
      {"high", 8000000, ProfileLevel::HighAutoLevel, 8000000, "high"},
      {"main", 17, ProfileLevel::MainAutoLevel, 17, "main"},  // a limit of 17 / 8 = 2 whole bytes
      {"other", 7, baseline, 8, "constrained_baseline"},  // too small for a whole byte: raised
      {"baseline", 0, baseline, std::nullopt, "constrained_baseline"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile + " " + std::to_string(c.bitrate));
    EncoderHarness h(64, 32);
    h.settings.fps = 25;
    h.settings.profile = c.profile;
    h.settings.bitrate = c.bitrate;
    ASSERT_TRUE(h.create().ok());
    using CP = CompressionProperty;
    std::vector<std::pair<CP, P>> expected = {{CP::RealTime, P{true}}, {CP::AllowFrameReordering, P{false}},
                                              {CP::ProfileLevel, P{c.level}}};
    if (c.level != baseline) expected.push_back({CP::H264EntropyMode, P{platform::EntropyMode::CABAC}});
    expected.push_back({CP::ExpectedFrameRate, P{std::int32_t{25}}});
    if (c.average) expected.push_back({CP::AverageBitRate, P{*c.average}});
    expected.insert(expected.end(),
                    {{CP::MaxKeyFrameInterval, P{std::int32_t{25}}}, {CP::MaxKeyFrameIntervalDuration, P{std::int32_t{1}}}});
    if (c.average) expected.push_back({CP::DataRateLimits, P{platform::DataRateLimit{*c.average / 8, 1}}});
    EXPECT_EQ(h.factory.log.properties, expected);
    EXPECT_TRUE(h.factory.lastSpec.requireHardware);
    EXPECT_EQ(h.err.contents(), "capture_encoder encoder=fakehw hardware=true software_fallback=false profile=" +
                                    c.logged + " b_frames=false encoder_queue_capacity=6\n");
  }
}

TEST(HardwareEncoderCreate, FailuresCarryTheirStatusAndRefuseSoftwareUnlessChosen) {
  const std::tuple<test::FakeScript, std::int32_t, std::string> cases[] = {  // script, status, message
      {{.createStatus = -12915}, -12915, "hardware encoder unavailable"},
      {{.failingProperty = CompressionProperty::AverageBitRate, .propertyStatus = -12902}, -12902,
       "cannot set AverageBitRate"},
      {{.prepareStatus = -7}, -7, "encoder prepare failed"},
      {{.usingHardware = false}, -1, "hardware encoder unavailable; software fallback refused"},
      {{.usingHardwareStatus = -1}, -1, "hardware encoder unavailable; software fallback refused"},
  };
  for (const auto& [script, code, message] : cases) {
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

TEST(HardwareEncoderOutput, BadFramesAreLoggedAndWriteNothingWhileStrayBytesAreSkipped) {
  struct Case {
    std::string name;
    std::optional<EncodedSample> sample;  // none: the session fails the frame
    std::string line;                     // empty: the frame is written with `payload`
    Bytes payload;
  };
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EncoderHarness h(64, 32);
    auto encoder = h.makeEncoder();
    submit(*encoder);
    if (c.sample) h.factory.last->deliverNext(*c.sample);
    else h.factory.last->failNext(-12911);
    const std::string out = h.out.contents();
    EXPECT_EQ(encoder->counters().outstanding, 0);
    if (!c.line.empty()) EXPECT_EQ(h.errLines().back(), c.line);
    EXPECT_EQ(bytesOf(out.substr(std::min(out.size(), media::frameHeaderSize))), c.payload);
  }
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

TEST(HardwareEncoderOutput, AClosedPipeIsReportedOnceNotFatal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  ignoreBrokenPipeSignal();  // as the programs do
  EncoderHarness h(64, 32);
  h.settings.outputFd = fds[1];
  auto encoder = h.makeEncoder();
  submit(*encoder);
  h.factory.last->deliverNext(anyKey);
  ASSERT_TRUE(encoder->runFailure());
  EXPECT_EQ(encoder->runFailure()->code, EPIPE);
  EXPECT_EQ(h.errLines().back(), "encoder_output_error reason=frame_stream_write_failed:_Broken_pipe");
  const Result<void> finished = encoder->finish(0, 0);
  ASSERT_FALSE(finished.ok());
  EXPECT_EQ(finished.error().code, EPIPE);
  EXPECT_EQ(h.err.contents().find("native_encoder_summary"), std::string::npos);  // no complete run claimed
  close(fds[1]);
}

}  // namespace
}  // namespace pelorin::media
