#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <set>

#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/ffmpeg/h264_decoder.h"
#include "platform/ffmpeg/h264_units.h"
#include "platform/ffmpeg_test_support.h"

namespace pelorin::platform::ffmpeg {
namespace {

using namespace testing;

// The NAL unit types of a sample's length-prefixed data block.
std::set<int> nalTypes(const EncodedSample& sample) {
  std::set<int> types;
  const Bytes& block = *sample.dataBlock;
  std::size_t p = 0;
  while (p + 4 <= block.size()) {
    const std::size_t length = std::size_t{block[p]} << 24 | std::size_t{block[p + 1]} << 16 |
                               std::size_t{block[p + 2]} << 8 | block[p + 3];
    p += 4;
    if (length == 0 || p + length > block.size()) break;
    types.insert(block[p] & 0x1F);
    p += length;
  }
  EXPECT_EQ(p, block.size()) << "bad NAL length in the data block";
  return types;
}

TEST(FfmpegSession, StreamReallyUsesTheAskedProfile) {
  struct Case {
    ProfileLevel profile;
    int profileIdc;
    bool cabac;
  };
  for (const Case& c : {Case{ProfileLevel::ConstrainedBaselineAutoLevel, 66, false},
                        Case{ProfileLevel::MainAutoLevel, 77, true}, Case{ProfileLevel::HighAutoLevel, 100, true}}) {
    SCOPED_TRACE(c.profileIdc);
    Recorder recorder;
    auto session = softwareSession(recorder, {.profile = c.profile});
    ASSERT_TRUE(session);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(submit(*session, i, static_cast<std::uint8_t>(60 + 20 * i)), 0);
    ASSERT_EQ(session->completeFrames(), 0);
    const auto outputs = recorder.outputs();
    ASSERT_EQ(outputs.size(), 3u);
    for (const Output& out : outputs) {
      ASSERT_EQ(out.status, 0);
      ASSERT_EQ(out.sample.parameterSets.size(), 2u);
      ASSERT_TRUE(out.sample.parameterSets[0] && out.sample.parameterSets[1]);
      const Bytes &sps = *out.sample.parameterSets[0], &pps = *out.sample.parameterSets[1];
      ASSERT_GE(sps.size(), 4u);
      EXPECT_EQ(sps[0] & 0x1F, 7);
      EXPECT_EQ(sps[1], c.profileIdc);
      if (c.profileIdc == 66) EXPECT_NE(sps[2] & 0x40, 0) << "constraint_set1 marks constrained baseline";
      // PPS: pps_id ue(0), sps_id ue(0), then entropy_coding_mode_flag.
      ASSERT_GE(pps.size(), 2u);
      EXPECT_EQ(pps[0] & 0x1F, 8);
      ASSERT_EQ(pps[1] & 0xC0, 0xC0);
      EXPECT_EQ((pps[1] & 0x20) != 0, c.cabac);
    }
  }
}

TEST(FfmpegSession, EncodesDecodableFramesInOrderWithKeyFramesWhenAskedAndOncePerSecond) {
  Recorder recorder;
  // Slow deliveries: the drain must still wait for every one of them.
  recorder.beforeRecord = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); };
  // At 10 fps the one-second duration is the tighter bound on the key-frame interval.
  auto session = softwareSession(recorder, {.fps = 10, .maxKeyFrameInterval = 60});
  ASSERT_TRUE(session);
  auto pool = session->pixelBufferPool();
  ASSERT_TRUE(pool);
  constexpr int frames = 25;
  const std::set<int> forced{4, 7};
  auto lumaOf = [](int i) { return static_cast<std::uint8_t>(40 + 7 * i); };
  for (int i = 0; i < frames; ++i) {
    ASSERT_EQ(submit(*session, i, lumaOf(i), forced.contains(i), 10), 0);
    EXPECT_EQ(pool->inUse(), 0u) << "source buffers go back to the pool at once";
  }
  ASSERT_EQ(session->completeFrames(), 0);
  const auto outputs = recorder.outputs();
  ASSERT_EQ(outputs.size(), static_cast<std::size_t>(frames));

  std::vector<std::vector<std::uint8_t>> units;
  int lastSync = -1, syncCount = 0;
  for (int i = 0; i < frames; ++i) {
    SCOPED_TRACE(i);
    const Output& out = outputs[i];
    ASSERT_EQ(out.index, i) << "outputs come in submission order with their own contexts";
    ASSERT_EQ(out.status, 0);
    ASSERT_TRUE(out.hasSample && out.sample.dataBlock);
    EXPECT_NE(out.thread, std::this_thread::get_id());
    const auto types = nalTypes(out.sample);
    for (int banned : {7, 8, 9}) EXPECT_FALSE(types.contains(banned)) << "NAL type " << banned << " in block";
    EXPECT_EQ(out.sample.notSync, !types.contains(5));
    EXPECT_EQ(out.sample.notSync, types.contains(1));
    if (forced.contains(i)) EXPECT_FALSE(out.sample.notSync) << "a forced frame is an IDR";
    if (i < 10 && i != 0 && !forced.contains(i)) EXPECT_TRUE(out.sample.notSync) << "others are not";
    if (!out.sample.notSync) {
      EXPECT_LE(i - lastSync, 10) << "gap before this key frame";
      lastSync = i;
      ++syncCount;
    }
    auto unit = accessUnit(out.sample);
    ASSERT_TRUE(unit);
    units.push_back(std::move(*unit));
  }
  EXPECT_FALSE(outputs[0].sample.notSync) << "a stream starts with a sync frame";
  EXPECT_LE(frames - lastSync, 10);
  EXPECT_LT(syncCount, frames / 2) << "most frames still depend on earlier ones";

  const auto pictures = decodeAll(units);
  ASSERT_EQ(pictures.size(), static_cast<std::size_t>(frames)) << "decode and flush together return every picture";
  for (int i = 0; i < frames; ++i) {
    const DecodedPicture& p = pictures[i];
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.height, 360);
    EXPECT_EQ(p.chromaU.size(), 320u * 180u);
    EXPECT_EQ(p.chromaV.size(), 320u * 180u);
    EXPECT_NEAR(p.meanLuma(), lumaOf(i), 3.0) << "frame " << i;
    for (std::uint8_t c : {p.chromaU[0], p.chromaU.back(), p.chromaV[0], p.chromaV.back()}) EXPECT_NEAR(c, 128, 3);
    EXPECT_EQ(p.keyFrame, !outputs[i].sample.notSync) << "frame " << i;
    EXPECT_EQ(p.colorMatrix, "smpte170m");
    EXPECT_FALSE(p.fullRange);
  }
  // A decoder fed garbage gives an error or no picture, then decodes from the next key frame.
  auto decoder = H264Decoder::create();
  ASSERT_TRUE(decoder);
  UnitBytes garbage{0, 0, 0, 1, 0x65};
  for (int i = 0; i < 200; ++i) garbage.push_back(static_cast<std::uint8_t>(i * 37 + 11));
  for (const UnitBytes& bad : {garbage, UnitBytes{0, 0, 1, 0x67, 0xFF, 0xFF, 0xFF, 0xFF}}) {
    auto decoded = (*decoder)->decode(bad);
    EXPECT_TRUE(decoded ? decoded->empty() : decoded.error().domain == "FFmpeg" && decoded.error().code < 0);
  }
  auto decoded = (*decoder)->decode(units[0]);
  ASSERT_TRUE(decoded) << decoded.error().message;
  auto held = (*decoder)->flush();
  ASSERT_TRUE(held);
  decoded->insert(decoded->end(), held->begin(), held->end());
  ASSERT_EQ(decoded->size(), 1u);
  EXPECT_NEAR(decoded->front().meanLuma(), lumaOf(0), 3.0);
  held = (*decoder)->flush();
  EXPECT_TRUE(held && held->empty()) << "nothing is returned twice";
  EXPECT_FALSE((*decoder)->decode(units[1])) << "no input after the end of the stream";

  // The session keeps working after a drain.
  ASSERT_EQ(submit(*session, frames, 70, false, 10), 0);
  ASSERT_EQ(session->completeFrames(), 0);
  ASSERT_EQ(recorder.outputs().size(), frames + 1u);
  EXPECT_EQ(recorder.outputs().back().status, 0);
}

// Holds the session's worker in its first output until released, so that later frames queue up.
struct HeldWorker {
  explicit HeldWorker(Recorder& recorder, std::function<void()> then = {}) {
    recorder.beforeRecord = [this, then] {
      if (!first.exchange(false)) return;
      entered.set_value();
      released.wait();
      if (then) then();
    };
  }
  bool waitEntered() { return entered.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready; }

  std::atomic<bool> first{true};
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
};

TEST(FfmpegSession, InvalidateFailsPendingFramesAndLaterCalls) {
  Recorder recorder;
  HeldWorker held(recorder);
  auto session = softwareSession(recorder);
  ASSERT_TRUE(session);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(submit(*session, i, 100), 0);
  ASSERT_TRUE(held.waitEntered());
  std::thread invalidator([&] { session->invalidate(); });
  // Once the session refuses frames it is invalidated; only then let the worker go on.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (session->pixelBufferPool()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::yield();
  }
  held.release.set_value();
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
  session->invalidate();  // a second call is harmless
  EXPECT_EQ(recorder.outputs().size(), 5u);
}

TEST(FfmpegSession, CallsFromTheOutputHandlerDoNotHangAndDestructionAnswersQueuedFrames) {
  Recorder recorder;
  CompressionSession* raw = nullptr;
  std::atomic<std::int32_t> completeStatus{0};
  HeldWorker held(recorder, [&] {
    completeStatus = raw->completeFrames();  // waiting on itself would never end
    raw->invalidate();
  });
  auto session = softwareSession(recorder);
  ASSERT_TRUE(session);
  raw = session.get();
  for (int i = 0; i < 4; ++i) ASSERT_EQ(submit(*session, i, 100), 0);
  ASSERT_TRUE(held.waitEntered());
  held.release.set_value();
  ASSERT_TRUE(recorder.waitFor(4)) << "the queued frames still get their error outputs";
  session.reset();
  EXPECT_NE(completeStatus.load(), 0);
  auto outputs = recorder.outputs();
  ASSERT_EQ(outputs.size(), 4u);
  EXPECT_EQ(outputs[0].status, 0);
  for (int i = 1; i < 4; ++i) EXPECT_NE(outputs[i].status, 0);

  Recorder destroyed;
  session = softwareSession(destroyed);
  ASSERT_TRUE(session);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(submit(*session, i, 100), 0);
  session.reset();
  outputs = destroyed.outputs();
  ASSERT_EQ(outputs.size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(outputs[i].index, i);
}

TEST(FfmpegSession, PropertiesReadBackAndAreChecked) {
  Recorder recorder;
  FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord("software"));
  std::unique_ptr<CompressionSession> session;
  ASSERT_EQ(factory.create({320, 240}, recorder.handler(), session), 0);
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

  const MediaTime zero{0, 24}, one{1, 24};
  EXPECT_NE(session->encodeFrame(session->pixelBufferPool()->makeBuffer(), zero, one, false, nullptr), 0)
      << "frames before prepareToEncodeFrames are refused";
  ASSERT_EQ(session->prepareToEncodeFrames(), 0);
  EXPECT_NE(session->encodeFrame(NV12BufferPool::create(640, 480)->makeBuffer(), zero, one, false, nullptr), 0);
  EXPECT_NE(session->encodeFrame(nullptr, zero, one, false, nullptr), 0);
  ASSERT_EQ(session->completeFrames(), 0);
  EXPECT_TRUE(recorder.outputs().empty()) << "refused frames get no output";
}

TEST(FfmpegFactory, CreationRefusalsSayWhyAndTheSmallestSizeEncodes) {
  const bool gpu = std::filesystem::exists("/dev/dri/renderD128");
  struct Case {
    const char* word;
    int width, height;
    bool requireHardware;
    std::string reason;  // empty: the session is created and really encodes
  };
  const Case cases[] = {
      {"software", 641, 360, true, "size 641x360 is not even: 4:2:0 H.264 needs even width and height"},
      {"software", 14, 360, true, "x264: 14x360 is below the minimum 16x16"},
      {"nvenc", 144, 360, true, "nvenc: 144x360 is below the minimum 145x49"},
      {"vaapi", 32, 30, true, "vaapi: 32x30 is below the minimum 32x32"},
      {"turbo", 640, 360, true, "unknown PELORIN_VIDEO_ENCODER value 'turbo' (expected hardware, vaapi, nvenc, qsv or software)"},
      {"Software", 640, 360, true, "unknown PELORIN_VIDEO_ENCODER value 'Software' (expected hardware, vaapi, nvenc, qsv or software)"},
      {"software", 16, 16, true, ""},
      {"hardware", 640, 360, false, ""},  // without a GPU, falls back to x264 when hardware is not required
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.word) + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
    if (gpu && !c.requireHardware) continue;
    Recorder recorder;
    FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord(c.word), "/nonexistent");
    std::unique_ptr<CompressionSession> session;
    const std::int32_t status = factory.create({c.width, c.height, c.requireHardware}, recorder.handler(), session);
    EXPECT_EQ(factory.lastFailure(), c.reason);
    EXPECT_EQ(status == 0, c.reason.empty());
    EXPECT_EQ(session != nullptr, status == 0);
    if (!session) continue;
    EXPECT_EQ(session->encoderName(), "x264");
    EXPECT_EQ(session->softwareExplicitlyChosen(), std::string(c.word) == "software");
    EXPECT_EQ(session->prepareToEncodeFrames(), 0) << factory.lastFailure();
    EXPECT_EQ(submit(*session, 0, 100), 0);
    EXPECT_EQ(session->completeFrames(), 0);
    ASSERT_EQ(recorder.outputs().size(), 1u);
    EXPECT_EQ(recorder.outputs()[0].status, 0);
  }
}

TEST(FfmpegFactory, HardwareWithoutAGpuFailsNamingEveryCandidateAndNeverFallsBackSilently) {
  if (std::filesystem::exists("/dev/dri/renderD128")) GTEST_SKIP() << "a GPU render node exists here";
  Recorder recorder;
  std::unique_ptr<CompressionSession> session;
  FfmpegCompressionSessionFactory any(EncoderChoice::fromWord(""));
  EXPECT_NE(any.create({640, 360}, recorder.handler(), session), 0);
  EXPECT_FALSE(session);
  const std::string why = any.lastFailure();
  for (const char* name : {"vaapi", "nvenc", "qsv"}) EXPECT_NE(why.find(name), std::string::npos) << why;
  EXPECT_EQ(why.find("x264"), std::string::npos) << why;
  EXPECT_LE(("hardware encoder unavailable: " + why).size(), 160u) << "the reason outlives the log's 160 characters";

  FfmpegCompressionSessionFactory vaapi(EncoderChoice::fromWord("vaapi"), "/nonexistent/renderD999");
  EXPECT_NE(vaapi.create({640, 360}, recorder.handler(), session), 0);
  EXPECT_NE(vaapi.lastFailure().find("/nonexistent/renderD999"), std::string::npos) << vaapi.lastFailure();
  EXPECT_EQ(vaapi.lastFailure().find("nvenc"), std::string::npos) << "a single word tries only that encoder";
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
    SCOPED_TRACE(c.attempt);
    HookedFactory hooked;
    Recorder recorder;
    std::unique_ptr<CompressionSession> session;
    ASSERT_EQ(hooked.factory.create({320, 240}, recorder.handler(), session), 0);
    if (c.bitRate) ASSERT_EQ(session->setProperty(CompressionProperty::AverageBitRate, *c.bitRate), 0);
    if (c.limit) ASSERT_EQ(session->setProperty(CompressionProperty::DataRateLimits, *c.limit), 0);
    EXPECT_TRUE(hooked.attempts.empty()) << "nothing is opened before the settings are known";
    ASSERT_EQ(session->prepareToEncodeFrames(), 0);
    EXPECT_EQ(hooked.attempts, std::vector<std::string>{c.attempt});
    ASSERT_EQ(submit(*session, 0, 100), 0);
    ASSERT_EQ(session->completeFrames(), 0);
    EXPECT_EQ(recorder.outputs().at(0).status, 0) << "really encodes";
  }
}

TEST(FfmpegFactory, FailedOpensAreErrorsOfThePreparationAndOfTheFrame) {
  HookedFactory hooked;
  Recorder recorder;
  std::unique_ptr<CompressionSession> session;
  ASSERT_EQ(hooked.factory.create({320, 240}, recorder.handler(), session), 0);
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

}  // namespace
}  // namespace pelorin::platform::ffmpeg
