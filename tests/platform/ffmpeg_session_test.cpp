#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/ffmpeg/h264_decoder.h"
#include "platform/ffmpeg/h264_units.h"
#include "platform/ffmpeg_test_support.h"

namespace pelorin::platform::ffmpeg {
namespace {

using namespace testing;

std::vector<int> nalTypes(const EncodedSample& sample) {
  std::vector<int> types;
  const Bytes& block = *sample.dataBlock;
  std::size_t p = 0;
  while (p + 4 <= block.size()) {
    const std::size_t length = (std::size_t{block[p]} << 24) | (std::size_t{block[p + 1]} << 16) |
                               (std::size_t{block[p + 2]} << 8) | block[p + 3];
    p += 4;
    if (length == 0 || p + length > block.size()) {
      ADD_FAILURE() << "bad NAL length in the data block";
      break;
    }
    types.push_back(block[p] & 0x1F);
    p += length;
  }
  EXPECT_EQ(p, block.size());
  return types;
}

bool contains(const std::vector<int>& types, int type) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

const Bytes& spsOf(const Output& out) {
  static const Bytes none;
  if (out.sample.parameterSets.empty() || !out.sample.parameterSets[0]) return none;
  return *out.sample.parameterSets[0];
}

struct ProfileCase {
  ProfileLevel profile;
  int profileIdc;
  bool cabac;
};

class ProfileTest : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(ProfileTest, StreamReallyUsesTheAskedProfile) {
  Recorder recorder;
  SessionOptions options;
  options.profile = GetParam().profile;
  auto session = softwareSession(recorder, options);
  ASSERT_TRUE(session);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(submit(*session, i, static_cast<std::uint8_t>(60 + 20 * i)), 0);
  ASSERT_EQ(session->completeFrames(), 0);
  const auto outputs = recorder.outputs();
  ASSERT_EQ(outputs.size(), 3u);
  for (const Output& out : outputs) {
    ASSERT_EQ(out.status, 0);
    ASSERT_EQ(out.sample.parameterSets.size(), 2u);
    ASSERT_TRUE(out.sample.parameterSets[0] && out.sample.parameterSets[1]);
    const Bytes& sps = spsOf(out);
    ASSERT_GE(sps.size(), 4u);
    EXPECT_EQ(sps[0] & 0x1F, 7);
    EXPECT_EQ(sps[1], GetParam().profileIdc);
    if (GetParam().profileIdc == 66) {
      EXPECT_NE(sps[2] & 0x40, 0) << "constraint_set1 marks constrained baseline";
    }
    // PPS: pps_id ue(0), sps_id ue(0), then entropy_coding_mode_flag.
    const Bytes& pps = *out.sample.parameterSets[1];
    ASSERT_GE(pps.size(), 2u);
    EXPECT_EQ(pps[0] & 0x1F, 8);
    ASSERT_EQ(pps[1] & 0xC0, 0xC0);
    EXPECT_EQ((pps[1] & 0x20) != 0, GetParam().cabac);
  }
}

INSTANTIATE_TEST_SUITE_P(Profiles, ProfileTest,
                         ::testing::Values(ProfileCase{ProfileLevel::ConstrainedBaselineAutoLevel, 66, false},
                                           ProfileCase{ProfileLevel::MainAutoLevel, 77, true},
                                           ProfileCase{ProfileLevel::HighAutoLevel, 100, true}),
                         [](const auto& info) { return "profile_idc_" + std::to_string(info.param.profileIdc); });

TEST(FfmpegSession, OutputsDecodeToTheirOwnFramesInOrder) {
  Recorder recorder;
  auto session = softwareSession(recorder);
  ASSERT_TRUE(session);
  constexpr int frames = 12;
  auto lumaOf = [](int i) { return static_cast<std::uint8_t>(40 + 13 * i); };
  for (int i = 0; i < frames; ++i) ASSERT_EQ(submit(*session, i, lumaOf(i)), 0);
  ASSERT_EQ(session->completeFrames(), 0);
  const auto outputs = recorder.outputs();
  ASSERT_EQ(outputs.size(), static_cast<std::size_t>(frames));

  auto decoder = H264Decoder::create();
  ASSERT_TRUE(decoder) << decoder.error().message;
  std::vector<DecodedPicture> pictures;
  for (int i = 0; i < frames; ++i) {
    const Output& out = outputs[i];
    ASSERT_EQ(out.index, i) << "outputs come in submission order with their own contexts";
    ASSERT_EQ(out.status, 0);
    ASSERT_TRUE(out.hasSample && out.sample.dataBlock);
    EXPECT_NE(out.thread, std::this_thread::get_id());
    const auto types = nalTypes(out.sample);
    for (int banned : {7, 8, 9}) EXPECT_FALSE(contains(types, banned)) << "NAL type " << banned << " in block";
    EXPECT_EQ(out.sample.notSync, !contains(types, 5));
    auto unit = accessUnit(out.sample);
    ASSERT_TRUE(unit);
    auto decoded = (*decoder)->decode(*unit);
    ASSERT_TRUE(decoded) << decoded.error().message;
    for (auto& p : *decoded) pictures.push_back(std::move(p));
  }
  EXPECT_FALSE(outputs[0].sample.notSync) << "a stream starts with a sync frame";
  auto held = (*decoder)->flush();
  ASSERT_TRUE(held);
  for (auto& p : *held) pictures.push_back(std::move(p));
  ASSERT_EQ(pictures.size(), static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i) {
    EXPECT_EQ(pictures[i].width, 640);
    EXPECT_EQ(pictures[i].height, 360);
    EXPECT_NEAR(pictures[i].meanLuma(), lumaOf(i), 3.0) << "frame " << i;
    EXPECT_EQ(pictures[i].colorMatrix, "smpte170m");
    EXPECT_FALSE(pictures[i].fullRange);
  }
}

TEST(FfmpegSession, ForcedKeyFramesAreIdrAndOthersAreNot) {
  Recorder recorder;
  auto session = softwareSession(recorder);
  ASSERT_TRUE(session);
  const std::vector<int> forced{4, 7};
  for (int i = 0; i < 10; ++i) {
    const bool force = std::find(forced.begin(), forced.end(), i) != forced.end();
    ASSERT_EQ(submit(*session, i, 100, force), 0);
  }
  ASSERT_EQ(session->completeFrames(), 0);
  const auto outputs = recorder.outputs();
  ASSERT_EQ(outputs.size(), 10u);
  for (int i = 1; i < 10; ++i) {
    const bool force = std::find(forced.begin(), forced.end(), i) != forced.end();
    const auto types = nalTypes(outputs[i].sample);
    EXPECT_EQ(outputs[i].sample.notSync, !force) << "frame " << i;
    EXPECT_EQ(contains(types, 5), force) << "frame " << i;
    EXPECT_EQ(contains(types, 1), !force) << "frame " << i;
  }
}

TEST(FfmpegSession, KeyFrameAtLeastOncePerIntervalDuration) {
  Recorder recorder;
  SessionOptions options;
  options.fps = 10;
  options.maxKeyFrameInterval = 60;  // the one-second duration is the tighter bound
  auto session = softwareSession(recorder, options);
  ASSERT_TRUE(session);
  constexpr int frames = 35;
  for (int i = 0; i < frames; ++i) ASSERT_EQ(submit(*session, i, 90, false, options.fps), 0);
  ASSERT_EQ(session->completeFrames(), 0);
  const auto outputs = recorder.outputs();
  ASSERT_EQ(outputs.size(), static_cast<std::size_t>(frames));
  int lastSync = -1;
  int syncCount = 0;
  for (int i = 0; i < frames; ++i) {
    if (outputs[i].sample.notSync) continue;
    EXPECT_LE(i - lastSync, options.fps) << "gap before frame " << i;
    lastSync = i;
    ++syncCount;
  }
  EXPECT_LE(frames - lastSync, options.fps);
  EXPECT_LT(syncCount, frames / 2) << "most frames still depend on earlier ones";
}

TEST(FfmpegSession, CompleteFramesReturnsAfterEveryDelivery) {
  Recorder recorder;
  auto session = softwareSession(recorder);
  ASSERT_TRUE(session);
  recorder.beforeRecord = [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); };
  for (int i = 0; i < 20; ++i) ASSERT_EQ(submit(*session, i, static_cast<std::uint8_t>(50 + i)), 0);
  ASSERT_EQ(session->completeFrames(), 0);
  EXPECT_EQ(recorder.outputs().size(), 20u);
  // The session keeps working after a drain.
  ASSERT_EQ(submit(*session, 20, 70), 0);
  ASSERT_EQ(session->completeFrames(), 0);
  const auto outputs = recorder.outputs();
  ASSERT_EQ(outputs.size(), 21u);
  EXPECT_EQ(outputs.back().index, 20);
  EXPECT_EQ(outputs.back().status, 0);
}

TEST(FfmpegSession, SourceBuffersGoBackToThePoolAtOnce) {
  Recorder recorder;
  auto session = softwareSession(recorder);
  ASSERT_TRUE(session);
  auto pool = session->pixelBufferPool();
  ASSERT_TRUE(pool);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(submit(*session, i, 80), 0);
    EXPECT_EQ(pool->inUse(), 0u);
  }
  ASSERT_EQ(session->completeFrames(), 0);
}

TEST(FfmpegSession, InvalidateFailsPendingFramesAndLaterCalls) {
  Recorder recorder;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> entered;
  std::atomic<bool> first{true};
  recorder.beforeRecord = [&] {
    if (!first.exchange(false)) return;
    entered.set_value();
    released.wait();  // holds the worker so later frames queue up
  };
  auto session = softwareSession(recorder);
  ASSERT_TRUE(session);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(submit(*session, i, 100), 0);
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);

  std::thread invalidator([&] { session->invalidate(); });
  // Once the session refuses frames it is invalidated; only then let the worker go on.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (session->pixelBufferPool()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::yield();
  }
  release.set_value();
  invalidator.join();

  const auto outputs = recorder.outputs();
  ASSERT_EQ(outputs.size(), 5u) << "every accepted frame gets exactly one output";
  EXPECT_EQ(outputs[0].status, 0);
  for (int i = 1; i < 5; ++i) {
    EXPECT_EQ(outputs[i].index, i);
    EXPECT_NE(outputs[i].status, 0);
    EXPECT_FALSE(outputs[i].hasSample);
  }
  PixelBufferRef spare = NV12BufferPool::create(640, 360)->makeBuffer();
  EXPECT_NE(session->encodeFrame(spare, MediaTime{6, 30}, MediaTime{1, 30}, false, nullptr), 0);
  EXPECT_NE(session->completeFrames(), 0);
  EXPECT_NE(session->setProperty(CompressionProperty::AverageBitRate, std::int32_t{1000}), 0);
  EXPECT_EQ(session->pixelBufferPool(), nullptr);
  session->invalidate();  // a second call is harmless
  EXPECT_EQ(recorder.outputs().size(), 5u);
}

TEST(FfmpegSession, CallsFromTheOutputHandlerDoNotHang) {
  Recorder recorder;
  CompressionSession* raw = nullptr;
  std::atomic<std::int32_t> completeStatus{0};
  std::atomic<bool> first{true};
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  recorder.beforeRecord = [&] {
    if (!first.exchange(false)) return;
    entered.set_value();
    released.wait();
    completeStatus = raw->completeFrames();  // waiting on itself would never end
    raw->invalidate();
  };
  auto session = softwareSession(recorder);
  ASSERT_TRUE(session);
  raw = session.get();
  for (int i = 0; i < 4; ++i) ASSERT_EQ(submit(*session, i, 100), 0);
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  release.set_value();
  ASSERT_TRUE(recorder.waitFor(4)) << "the queued frames still get their error outputs";
  session.reset();
  EXPECT_NE(completeStatus.load(), 0);
  const auto outputs = recorder.outputs();
  ASSERT_EQ(outputs.size(), 4u);
  EXPECT_EQ(outputs[0].status, 0);
  for (int i = 1; i < 4; ++i) EXPECT_NE(outputs[i].status, 0);
}

TEST(FfmpegSession, DestroyingWithQueuedFramesStillAnswersThemAll) {
  Recorder recorder;
  auto session = softwareSession(recorder);
  ASSERT_TRUE(session);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(submit(*session, i, 100), 0);
  session.reset();
  const auto outputs = recorder.outputs();
  ASSERT_EQ(outputs.size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(outputs[i].index, i);
}

TEST(FfmpegSession, PropertiesReadBackAndAreChecked) {
  Recorder recorder;
  FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord("software"));
  CompressionSessionSpec config{320, 240, true, pixelFormat420v};
  std::unique_ptr<CompressionSession> session;
  ASSERT_EQ(factory.create(config, recorder.handler(), session), 0);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->encoderName(), "x264");
  EXPECT_TRUE(session->softwareExplicitlyChosen());

  const std::pair<CompressionProperty, PropertyValue> values[] = {
      {CompressionProperty::RealTime, true},
      {CompressionProperty::AllowFrameReordering, false},
      {CompressionProperty::ProfileLevel, ProfileLevel::HighAutoLevel},
      {CompressionProperty::H264EntropyMode, EntropyMode::CABAC},
      {CompressionProperty::ExpectedFrameRate, std::int32_t{24}},
      {CompressionProperty::AverageBitRate, std::int32_t{800'000}},
      {CompressionProperty::MaxKeyFrameInterval, std::int32_t{24}},
      {CompressionProperty::MaxKeyFrameIntervalDuration, std::int32_t{1}},
      {CompressionProperty::DataRateLimits, DataRateLimit{100'000, 1}},
  };
  for (const auto& [key, value] : values) ASSERT_EQ(session->setProperty(key, value), 0) << propertyKeyName(key);
  for (const auto& [key, value] : values) {
    PropertyValue read = false;
    ASSERT_EQ(session->copyProperty(key, read), 0) << propertyKeyName(key);
    EXPECT_EQ(read, value) << propertyKeyName(key);
  }
  PropertyValue hardware = true;
  ASSERT_EQ(session->copyProperty(CompressionProperty::UsingHardwareAcceleratedVideoEncoder, hardware), 0);
  EXPECT_EQ(hardware, PropertyValue{false});

  EXPECT_NE(session->setProperty(CompressionProperty::UsingHardwareAcceleratedVideoEncoder, true), 0);
  EXPECT_NE(session->setProperty(CompressionProperty::AverageBitRate, true), 0) << "wrong type";
  EXPECT_NE(session->setProperty(CompressionProperty::ExpectedFrameRate, std::int32_t{0}), 0);
  EXPECT_NE(session->setProperty(CompressionProperty::DataRateLimits, DataRateLimit{1000, 0}), 0);
  PropertyValue rate = false;
  ASSERT_EQ(session->copyProperty(CompressionProperty::ExpectedFrameRate, rate), 0);
  EXPECT_EQ(rate, PropertyValue{std::int32_t{24}}) << "a refused value leaves the old one";

  PixelBufferRef early = session->pixelBufferPool()->makeBuffer();
  EXPECT_NE(session->encodeFrame(early, MediaTime{0, 24}, MediaTime{1, 24}, false, nullptr), 0)
      << "frames before prepareToEncodeFrames are refused";
  ASSERT_EQ(session->prepareToEncodeFrames(), 0);
  PixelBufferRef wrongSize = NV12BufferPool::create(640, 480)->makeBuffer();
  EXPECT_NE(session->encodeFrame(wrongSize, MediaTime{0, 24}, MediaTime{1, 24}, false, nullptr), 0);
  EXPECT_NE(session->encodeFrame(nullptr, MediaTime{0, 24}, MediaTime{1, 24}, false, nullptr), 0);
  ASSERT_EQ(session->completeFrames(), 0);
  EXPECT_TRUE(recorder.outputs().empty()) << "refused frames get no output";
}

TEST(FfmpegFactory, CreationRefusalsSayWhy) {
  struct Case {
    const char* word;
    int width, height;
    const char* reason;  // empty: the session is created and opens
  };
  const Case cases[] = {
      {"software", 641, 360, "size 641x360 is not even: 4:2:0 H.264 needs even width and height"},
      {"software", 14, 360, "x264: 14x360 is below the minimum 16x16"},
      {"nvenc", 144, 360, "nvenc: 144x360 is below the minimum 145x49"},
      {"turbo", 640, 360, "unknown PELORIN_VIDEO_ENCODER value 'turbo' (expected hardware, vaapi, nvenc, qsv or software)"},
      {"software", 16, 16, ""},
  };
  for (const Case& c : cases) {
    Recorder recorder;
    FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord(c.word), "/nonexistent");
    std::unique_ptr<CompressionSession> session;
    const std::int32_t status = factory.create({c.width, c.height, true, pixelFormat420v}, recorder.handler(), session);
    EXPECT_EQ(factory.lastFailure(), c.reason) << c.word << " " << c.width << "x" << c.height;
    EXPECT_EQ(status == 0, std::string(c.reason).empty());
    EXPECT_EQ(session != nullptr, status == 0);
    if (session) {
      EXPECT_EQ(session->prepareToEncodeFrames(), 0) << factory.lastFailure();
      EXPECT_EQ(submit(*session, 0, 100), 0);
      EXPECT_EQ(session->completeFrames(), 0);
      ASSERT_EQ(recorder.outputs().size(), 1u);
      EXPECT_EQ(recorder.outputs()[0].status, 0) << "the minimum size really encodes";
    }
  }
}

// A factory whose open hook records every attempt and fails it while `refuse` is set.
struct HookedFactory {
  std::mutex mutex;
  std::vector<std::string> attempts;
  std::atomic<bool> refuse{false};
  FfmpegCompressionSessionFactory factory{EncoderChoice::fromWord("software"), "/nonexistent",
                                          [this](const OpenAttempt& attempt) {
                                            std::lock_guard guard(mutex);
                                            attempts.push_back(attemptName(attempt));
                                            return refuse ? std::string("refused by the test") : std::string();
                                          }};
};

TEST(FfmpegFactory, EncoderOpensWithTheRateControlOfItsRealSettings) {
  struct Case {
    std::optional<std::int32_t> bitRate;
    std::optional<DataRateLimit> limit;
    const char* attempt;
  };
  const Case cases[] = {
      {2'000'001, DataRateLimit{250'000, 1}, "x264/CBR"},  // the limit is the average in whole bytes
      {2'000'000, DataRateLimit{500'000, 1}, "x264/VBR"},  // a peak above the average
      {2'000'000, std::nullopt, "x264/VBR"},
      {std::nullopt, std::nullopt, "x264/CRF"},  // no bit-rate target: constant quality
  };
  for (const Case& c : cases) {
    HookedFactory hooked;
    Recorder recorder;
    std::unique_ptr<CompressionSession> session;
    ASSERT_EQ(hooked.factory.create({320, 240, true, pixelFormat420v}, recorder.handler(), session), 0);
    if (c.bitRate) ASSERT_EQ(session->setProperty(CompressionProperty::AverageBitRate, *c.bitRate), 0);
    if (c.limit) ASSERT_EQ(session->setProperty(CompressionProperty::DataRateLimits, *c.limit), 0);
    EXPECT_TRUE(hooked.attempts.empty()) << "nothing is opened before the settings are known";
    ASSERT_EQ(session->prepareToEncodeFrames(), 0);
    EXPECT_EQ(hooked.attempts, std::vector<std::string>{c.attempt});
    ASSERT_EQ(submit(*session, 0, 100), 0);
    ASSERT_EQ(session->completeFrames(), 0);
    EXPECT_EQ(recorder.outputs().at(0).status, 0) << c.attempt << " really encodes";
  }
}

TEST(FfmpegFactory, FailedOpensAreErrorsOfThePreparationAndOfTheFrame) {
  HookedFactory hooked;
  Recorder recorder;
  std::unique_ptr<CompressionSession> session;
  ASSERT_EQ(hooked.factory.create({320, 240, true, pixelFormat420v}, recorder.handler(), session), 0);
  hooked.refuse = true;
  EXPECT_NE(session->prepareToEncodeFrames(), 0);
  EXPECT_EQ(hooked.factory.lastFailure(), "x264/CRF: refused by the test");

  hooked.refuse = false;
  ASSERT_EQ(session->prepareToEncodeFrames(), 0);
  EXPECT_EQ(hooked.factory.lastFailure(), "");
  ASSERT_EQ(submit(*session, 0, 100), 0);
  ASSERT_EQ(session->completeFrames(), 0);  // the drain closes the codec; the next frame reopens it
  hooked.refuse = true;
  ASSERT_EQ(submit(*session, 1, 100), 0);
  ASSERT_TRUE(recorder.waitFor(2));
  hooked.refuse = false;
  ASSERT_EQ(submit(*session, 2, 100), 0);
  ASSERT_EQ(session->completeFrames(), 0);
  const auto outputs = recorder.outputs();
  ASSERT_EQ(outputs.size(), 3u);
  EXPECT_EQ(outputs[0].status, 0);
  EXPECT_NE(outputs[1].status, 0) << "a frame the encoder could not reopen for fails alone";
  EXPECT_FALSE(outputs[1].hasSample);
  EXPECT_EQ(outputs[2].status, 0);
  EXPECT_FALSE(outputs[2].sample.notSync) << "a reopened encoder starts with a key frame";
  EXPECT_TRUE(outputs[2].sample.parameterSets.at(0) && outputs[2].sample.parameterSets.at(1));
  EXPECT_EQ(hooked.attempts.size(), 4u) << "two prepares, two reopens";
}

bool gpuNodePresent() { return std::filesystem::exists("/dev/dri/renderD128"); }

TEST(FfmpegFactory, HardwareChoiceFailsWithoutAGpu) {
  if (gpuNodePresent()) GTEST_SKIP() << "a GPU render node exists here";
  Recorder recorder;
  FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord(""));
  CompressionSessionSpec config{640, 360, true, pixelFormat420v};
  std::unique_ptr<CompressionSession> session;
  EXPECT_NE(factory.create(config, recorder.handler(), session), 0);
  EXPECT_FALSE(session);
  const std::string why = factory.lastFailure();
  for (const char* name : {"vaapi", "nvenc", "qsv"}) EXPECT_NE(why.find(name), std::string::npos) << why;
  EXPECT_EQ(why.find("x264"), std::string::npos) << "hardware never falls back silently";
  EXPECT_LE(("hardware encoder unavailable: " + why).size(), 160u) << "the reason outlives the log's 160 characters";
}

TEST(FfmpegFactory, HardwareNotRequiredFallsBackToX264) {
  if (gpuNodePresent()) GTEST_SKIP() << "a GPU render node exists here";
  Recorder recorder;
  FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord("hardware"));
  CompressionSessionSpec config{640, 360, false, pixelFormat420v};
  std::unique_ptr<CompressionSession> session;
  ASSERT_EQ(factory.create(config, recorder.handler(), session), 0) << factory.lastFailure();
  EXPECT_EQ(session->encoderName(), "x264");
  EXPECT_FALSE(session->softwareExplicitlyChosen());
}

TEST(FfmpegFactory, SingleHardwareWordTriesOnlyThatEncoder) {
  if (gpuNodePresent()) GTEST_SKIP() << "a GPU render node exists here";
  Recorder recorder;
  FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord("vaapi"), "/nonexistent/renderD999");
  CompressionSessionSpec config{640, 360, true, pixelFormat420v};
  std::unique_ptr<CompressionSession> session;
  EXPECT_NE(factory.create(config, recorder.handler(), session), 0);
  const std::string why = factory.lastFailure();
  EXPECT_NE(why.find("/nonexistent/renderD999"), std::string::npos) << why;
  EXPECT_EQ(why.find("nvenc"), std::string::npos) << why;
}

TEST(FfmpegFactory, ChoiceAndDeviceComeFromTheEnvironment) {
  ::setenv("PELORIN_VIDEO_ENCODER", "software", 1);
  EXPECT_EQ(FfmpegCompressionSessionFactory::choiceFromEnvironment().kind, EncoderChoice::Kind::Software);
  ::setenv("PELORIN_VIDEO_ENCODER", "qsv", 1);
  EXPECT_EQ(FfmpegCompressionSessionFactory::choiceFromEnvironment().kind, EncoderChoice::Kind::Qsv);
  ::setenv("PELORIN_VIDEO_ENCODER", "Software", 1);
  EXPECT_EQ(FfmpegCompressionSessionFactory::choiceFromEnvironment().kind, EncoderChoice::Kind::Unknown);
  ::unsetenv("PELORIN_VIDEO_ENCODER");
  EXPECT_EQ(FfmpegCompressionSessionFactory::choiceFromEnvironment().kind, EncoderChoice::Kind::Hardware);
  EXPECT_EQ(EncoderChoice::fromWord("nvenc").kind, EncoderChoice::Kind::Nvenc);
  EXPECT_EQ(EncoderChoice::fromWord("vaapi").kind, EncoderChoice::Kind::Vaapi);

  ::unsetenv("PELORIN_VAAPI_DEVICE");
  EXPECT_EQ(FfmpegCompressionSessionFactory::vaapiDeviceFromEnvironment(), "/dev/dri/renderD128");
  ::setenv("PELORIN_VAAPI_DEVICE", "/dev/dri/renderD129", 1);
  EXPECT_EQ(FfmpegCompressionSessionFactory::vaapiDeviceFromEnvironment(), "/dev/dri/renderD129");
  ::unsetenv("PELORIN_VAAPI_DEVICE");
}

}  // namespace
}  // namespace pelorin::platform::ffmpeg
