// The libavcodec backend: a software session that records its outputs, decoded back; and the
// colour fix that hardware encoders' streams pass through.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <set>

#include "base/h264_nal.h"
#include "media/hardware_encoder.h"
#include "platform/ffmpeg/colour_fix.h"
#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/ffmpeg/h264_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace pelorin::platform::ffmpeg {
namespace {

// Every picture of a stream of Annex-B access units, the decoder's held ones included.
std::vector<DecodedPicture> decodeAll(const std::vector<std::vector<std::uint8_t>>& units) {
  auto decoder = H264Decoder::create();
  std::vector<DecodedPicture> pictures;
  if (!decoder) return pictures;
  for (const auto& unit : units) {
    auto decoded = (*decoder)->decode(unit);
    EXPECT_TRUE(decoded) << decoded.error().message;
    if (decoded) pictures.insert(pictures.end(), decoded->begin(), decoded->end());
  }
  auto held = (*decoder)->flush();
  if (held) pictures.insert(pictures.end(), held->begin(), held->end());
  return pictures;
}

struct Output {
  int index = -1;  // the frame's own number, carried in its context
  std::int32_t status = 0;
  bool hasSample = false;
  EncodedSample sample;
};

class Recorder {
 public:
  CompressionOutputHandler handler() {
    return [this](FrameContext context, std::int32_t status, const EncodedSample* sample) {
      if (beforeRecord) beforeRecord();
      Output out{context ? *static_cast<int*>(context.get()) : -1, status, sample != nullptr,
                 sample ? *sample : EncodedSample{}};
      std::lock_guard guard(mutex_);
      outputs_.push_back(std::move(out));
      changed_.notify_all();
    };
  }
  std::vector<Output> outputs() const {
    std::lock_guard guard(mutex_);
    return outputs_;
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return outputs_.size() >= count; });
  }

  std::function<void()> beforeRecord;  // runs on the session's thread before each output is recorded

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Output> outputs_;
};

// A 640x360 x264 session configured as the media layer configures one, then prepared.
std::unique_ptr<CompressionSession> softwareSession(Recorder& recorder,
                                                    ProfileLevel profile = ProfileLevel::ConstrainedBaselineAutoLevel,
                                                    std::int32_t fps = 30, std::int32_t maxKeyFrameInterval = 30) {
  FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord("software"), "/nonexistent");
  std::unique_ptr<CompressionSession> session;
  EXPECT_EQ(factory.create({640, 360}, recorder.handler(), session), 0) << factory.lastFailure();
  if (!session) return nullptr;
  const bool cabac = profile != ProfileLevel::ConstrainedBaselineAutoLevel;
  const std::pair<CompressionProperty, PropertyValue> properties[] = {
      {CompressionProperty::RealTime, true},
      {CompressionProperty::AllowFrameReordering, false},
      {CompressionProperty::ProfileLevel, profile},
      {CompressionProperty::H264EntropyMode, cabac ? EntropyMode::CABAC : EntropyMode::CAVLC},
      {CompressionProperty::ExpectedFrameRate, fps},
      {CompressionProperty::AverageBitRate, std::int32_t{2'000'000}},
      {CompressionProperty::MaxKeyFrameInterval, maxKeyFrameInterval},
      {CompressionProperty::MaxKeyFrameIntervalDuration, std::int32_t{1}},
      {CompressionProperty::DataRateLimits, DataRateLimit{250'000, 1}}};
  for (const auto& [key, value] : properties) EXPECT_EQ(session->setProperty(key, value), 0) << propertyKeyName(key);
  EXPECT_EQ(session->prepareToEncodeFrames(), 0) << factory.lastFailure();
  return session;
}

// Submits a pool buffer of flat luma and neutral chroma, its index as its context.
std::int32_t submit(CompressionSession& session, int index, std::uint8_t luma, bool forceKey = false,
                           std::int32_t fps = 30) {
  auto pool = session.pixelBufferPool();
  PixelBufferRef buffer = pool ? pool->makeBuffer() : nullptr;
  if (!buffer || !buffer->lock(false)) return -1000;
  std::memset(buffer->planeBase(0), luma, buffer->bytesPerRow(0) * buffer->planeHeight(0));
  std::memset(buffer->planeBase(1), 128, buffer->bytesPerRow(1) * buffer->planeHeight(1));
  buffer->unlock(false);
  return session.encodeFrame(std::move(buffer), MediaTime{index, fps}, MediaTime{1, fps}, forceKey,
                             std::make_shared<int>(index));
}

// Each profile really in the stream: profile_idc and constraint_set1 in the SPS; after pps_id ue(0)
// and sps_id ue(0), the PPS's entropy_coding_mode_flag.
void expectProfile(const EncodedSample& sample, int idc, bool cabac) {
  ASSERT_EQ(sample.parameterSets.size(), 2u);
  ASSERT_TRUE(sample.parameterSets[0] && sample.parameterSets[1]);
  const Bytes &sps = *sample.parameterSets[0], &pps = *sample.parameterSets[1];
  ASSERT_TRUE(sps.size() >= 4 && pps.size() >= 2);
  EXPECT_TRUE((sps[0] & 0x1F) == 7 && (pps[0] & 0x1F) == 8);
  EXPECT_EQ(sps[1], idc);
  if (idc == 66) EXPECT_NE(sps[2] & 0x40, 0) << "constraint_set1 marks constrained baseline";
  ASSERT_EQ(pps[1] & 0xC0, 0xC0);
  EXPECT_EQ((pps[1] & 0x20) != 0, cabac);
}

TEST(FfmpegSession, EncodesDecodableFramesOfTheProfileInOrderWithKeyFramesWhenAskedAndOncePerSecond) {
  for (const auto& [profile, idc, cabac] : {std::tuple{ProfileLevel::ConstrainedBaselineAutoLevel, 66, false},
                                            std::tuple{ProfileLevel::MainAutoLevel, 77, true},
                                            std::tuple{ProfileLevel::HighAutoLevel, 100, true}}) {
  SCOPED_TRACE(idc);
  Recorder recorder;
  // Slow deliveries: the drain must still wait for every one of them.
  recorder.beforeRecord = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); };
  // At 10 fps the one-second duration is the tighter bound on the key-frame interval.
  auto session = softwareSession(recorder, profile, 10, 60);
  ASSERT_TRUE(session);
  auto pool = session->pixelBufferPool();
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
  expectProfile(outputs[0].sample, idc, cabac);

  std::vector<std::vector<std::uint8_t>> units;
  int lastSync = -1;
  for (int i = 0; i < frames; ++i) {
    SCOPED_TRACE(i);
    const Output& out = outputs[i];
    ASSERT_EQ(out.index, i) << "outputs come in submission order with their own contexts";
    ASSERT_TRUE(out.status == 0 && out.sample.dataBlock);
    auto record = media::makeFrameRecord(out.sample, 0);  // Annex-B, key frames led by their SPS and PPS
    ASSERT_TRUE(record);
    units.emplace_back(record->begin() + media::frameHeaderSize, record->end());
    std::multiset<int> types;
    for (ByteSpan unit : splitAnnexB(units.back())) types.insert(nalType(unit));
    EXPECT_EQ(types.count(nal::sps) + types.count(nal::pps), out.sample.notSync ? 0u : 2u) << "sets only in the header";
    EXPECT_EQ(types.count(9), 0u) << "no access unit delimiters";
    EXPECT_EQ(out.sample.notSync, !types.contains(nal::sliceIdr));
    if (forced.contains(i) || i == 0) EXPECT_FALSE(out.sample.notSync) << "first and forced frames are IDRs";
    if (i < 10 && i != 0 && !forced.contains(i)) EXPECT_TRUE(out.sample.notSync) << "others are not";
    if (!out.sample.notSync) EXPECT_LE(i - std::exchange(lastSync, i), 10) << "gap before this key frame";
  }
  EXPECT_LE(frames - lastSync, 10);

  const auto pictures = decodeAll(units);
  ASSERT_EQ(pictures.size(), static_cast<std::size_t>(frames)) << "decode and flush together return every picture";
  for (int i = 0; i < frames; ++i) {
    const DecodedPicture& p = pictures[i];
    EXPECT_TRUE(p.width == 640 && p.height == 360 && p.chromaU.size() == 320u * 180u);
    EXPECT_NEAR(p.meanLuma(), lumaOf(i), 3.0) << "frame " << i;
    for (std::uint8_t c : {p.chromaU[0], p.chromaU.back(), p.chromaV[0], p.chromaV.back()}) EXPECT_NEAR(c, 128, 3);
    EXPECT_EQ(p.keyFrame, !outputs[i].sample.notSync) << "frame " << i;
    EXPECT_TRUE(p.colorMatrix == "smpte170m" && !p.fullRange);
  }
  // The session keeps working after a drain.
  ASSERT_EQ(submit(*session, frames, 70, false, 10), 0);
  ASSERT_EQ(session->completeFrames(), 0);
  ASSERT_EQ(recorder.outputs().size(), frames + 1u);
  EXPECT_EQ(recorder.outputs().back().status, 0);
  }
}

// The worker is held in its first output while later frames queue up; then it calls back into the
// session (waiting on itself would never end) and invalidates it, or the test invalidates it.
TEST(FfmpegSession, InvalidationFromEitherSideFailsQueuedFramesAndLaterCalls) {
  for (const bool fromHandler : {false, true}) {
    SCOPED_TRACE(fromHandler);
    Recorder recorder;
    CompressionSession* raw = nullptr;
    std::atomic<bool> first{true};
    std::atomic<std::int32_t> completeStatus{0};
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    recorder.beforeRecord = [&] {
      if (!first.exchange(false)) return;
      entered.set_value();
      released.wait();
      if (!fromHandler) return;
      completeStatus = raw->completeFrames();
      raw->invalidate();
    };
    auto session = softwareSession(recorder);
    ASSERT_TRUE(session);
    raw = session.get();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(submit(*session, i, 100), 0);
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::thread invalidator;
    if (!fromHandler) {
      invalidator = std::thread([&] { session->invalidate(); });
      // Once the session refuses frames it is invalidated; only then let the worker go on.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (session->pixelBufferPool()) ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    }
    release.set_value();
    ASSERT_TRUE(recorder.waitFor(5)) << "the queued frames still get their error outputs";
    if (invalidator.joinable()) invalidator.join();
    if (fromHandler) EXPECT_NE(completeStatus.load(), 0);
    const auto outputs = recorder.outputs();
    ASSERT_EQ(outputs.size(), 5u) << "every accepted frame gets exactly one output";
    EXPECT_EQ(outputs[0].status, 0);
    for (int i = 1; i < 5; ++i) EXPECT_TRUE(outputs[i].index == i && outputs[i].status != 0 && !outputs[i].hasSample);
    EXPECT_NE(session->encodeFrame(NV12BufferPool::create(640, 360)->makeBuffer(), {6, 30}, {1, 30}, false, nullptr), 0);
    EXPECT_NE(session->completeFrames(), 0);
    EXPECT_NE(session->setProperty(CompressionProperty::AverageBitRate, std::int32_t{1000}), 0);
    session->invalidate();  // a second call is harmless
    EXPECT_EQ(recorder.outputs().size(), 5u);
  }
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
      {"turbo", 640, 360, true,
       "unknown PELORIN_VIDEO_ENCODER value 'turbo' (expected hardware, vaapi, nvenc, qsv or software)"},
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
    EXPECT_TRUE(session->encoderName() == "x264" && session->softwareExplicitlyChosen() == (c.word == std::string("software")));
    EXPECT_EQ(session->prepareToEncodeFrames(), 0) << factory.lastFailure();
    EXPECT_EQ(submit(*session, 0, 100), 0);
    EXPECT_EQ(session->completeFrames(), 0);
    EXPECT_EQ(recorder.outputs().at(0).status, 0);
  }
}

// A software factory whose open hook records every attempt and fails it while `refuse` is set.
struct HookedFactory {
  std::vector<std::string> attempts;
  std::atomic<bool> refuse{false};
  std::mutex mutex;
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
    hooked.refuse = true;
    EXPECT_NE(session->prepareToEncodeFrames(), 0);
    EXPECT_EQ(hooked.factory.lastFailure(), std::string(c.attempt) + ": refused by the test");
    hooked.refuse = false;
    ASSERT_EQ(session->prepareToEncodeFrames(), 0);
    EXPECT_EQ(hooked.attempts, (std::vector<std::string>{c.attempt, c.attempt}));
  }
}

// Three flat grey frames from libx264 with every colour field left unspecified, as a VA-API driver
// that ignores FFmpeg's packed headers writes them: the colour fix makes them video-range SMPTE 170M.
TEST(ColourFix, StreamWithoutColourDescriptionDecodesAsVideoRangeSmpte170m) {
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> c(
      avcodec_alloc_context3(avcodec_find_encoder_by_name("libx264")), [](AVCodecContext* c) { avcodec_free_context(&c); });
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
  frame->width = c->width = 320;
  frame->height = c->height = 240;
  c->time_base = AVRational{1, 30};
  frame->format = c->pix_fmt = AV_PIX_FMT_NV12;
  av_opt_set(c->priv_data, "preset", "ultrafast", 0);
  ASSERT_EQ(avcodec_open2(c.get(), nullptr, nullptr), 0);
  ASSERT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
  std::fill_n(frame->data[0], frame->linesize[0] * 240, std::uint8_t(90));
  std::fill_n(frame->data[1], frame->linesize[1] * 120, std::uint8_t(128));
  auto fix = ColourFix::create(c.get());
  ASSERT_TRUE(fix) << fix.error().message;
  std::vector<std::vector<std::uint8_t>> unfixed, fixed;
  AVPacket* packet = av_packet_alloc();
  const auto filter = [&](AVPacket* in) {
    EXPECT_EQ((*fix)->send(in), 0);
    for (av_packet_unref(packet); (*fix)->receive(packet) == 0; av_packet_unref(packet)) {
      fixed.emplace_back(packet->data, packet->data + packet->size);
    }
  };
  for (int i = 0; i <= 3; ++i) {
    frame->pts = i;
    ASSERT_EQ(avcodec_send_frame(c.get(), i < 3 ? frame.get() : nullptr), 0);
    while (avcodec_receive_packet(c.get(), packet) == 0) {
      unfixed.emplace_back(packet->data, packet->data + packet->size);
      filter(packet);
    }
  }
  filter(nullptr);
  av_packet_free(&packet);
  EXPECT_NE(decodeAll(unfixed).at(0).colorMatrix, "smpte170m") << "the stream really lacks a colour description";
  const auto after = decodeAll(fixed);
  ASSERT_EQ(after.size(), 3u);
  for (const DecodedPicture& p : after) {
    EXPECT_TRUE(p.colorMatrix == "smpte170m" && p.colorPrimaries == "smpte170m" && p.colorTransfer == "smpte170m");
    EXPECT_FALSE(p.fullRange);
    EXPECT_NEAR(p.meanLuma(), 90, 2) << "the pictures themselves are untouched";
  }
}

}  // namespace
}  // namespace pelorin::platform::ffmpeg
