// The libavcodec backend: a software session decoded back, the hardware streams' colour fix, and
// what needs no GPU: option tables against real encoder contexts (options resolve when a context
// is allocated; only opening one reaches the driver), the order of attempts, the packets' units.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <set>

#include "base/h264_nal.h"
#include "media/hardware_encoder.h"
#include "platform/ffmpeg/codec_table.h"
#include "platform/ffmpeg/colour_fix.h"
#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/ffmpeg/h264_decoder.h"
#include "platform/ffmpeg/h264_units.h"
#include "platform/ffmpeg/opened_encoder.h"
#include "platform/ffmpeg/sample_assembler.h"
#include "support/decoded_stream.h"
#include "support/wait_until.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace pelorin::platform::ffmpeg {
namespace {

using test::decodeAll;

struct Output {
  int index = -1;  // the frame's own number, carried in its context
  std::int32_t status = 0;
  std::optional<EncodedSample> sample;
};

struct Recorder {
  CompressionOutputHandler handler() {
    return [this](FrameContext context, std::int32_t status, const EncodedSample* sample) {
      if (beforeRecord) beforeRecord();
      std::lock_guard guard(mutex);
      outputs.push_back({context ? *static_cast<int*>(context.get()) : -1, status,
                         sample ? std::optional(*sample) : std::nullopt});
    };
  }
  std::vector<Output> taken() {
    std::lock_guard guard(mutex);
    return outputs;
  }

  std::function<void()> beforeRecord;  // runs on the session's thread before each output is recorded
  std::mutex mutex;
  std::vector<Output> outputs;
};

// A 640x360 x264 session prepared as the media layer prepares one, at a constant 2 Mbit/s.
std::unique_ptr<CompressionSession> softwareSession(Recorder& recorder,
                                                    ProfileLevel profile = ProfileLevel::ConstrainedBaselineAutoLevel,
                                                    std::int32_t fps = 30) {
  FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord("software"), "/nonexistent");
  std::unique_ptr<CompressionSession> session;
  EXPECT_EQ(factory.create({640, 360}, recorder.handler(), session), 0) << factory.lastFailure();
  if (!session) return nullptr;
  EXPECT_EQ(session->prepareToEncodeFrames({{fps, 1}, 2'000'000, profile}), 0) << factory.lastFailure();
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

TEST(FfmpegSession, EncodesDecodableFramesOfTheProfileInOrderWithKeyFramesWhenAskedAndOncePerSecond) {
  for (const auto& [profile, idc, cabac] : {std::tuple{ProfileLevel::ConstrainedBaselineAutoLevel, 66, false},
                                            std::tuple{ProfileLevel::MainAutoLevel, 77, true},
                                            std::tuple{ProfileLevel::HighAutoLevel, 100, true}}) {
    SCOPED_TRACE(idc);
    Recorder recorder;
    // At 10 fps a key frame comes at least every 10 frames.
    auto session = softwareSession(recorder, profile, 10);
    ASSERT_TRUE(session);
    // Deliveries wait until the drain is asked for, which must then wait for every one of them.
    // (Declared after the session: gone first on an early return, it lets the worker go.)
    std::promise<void> drainAsked;
    recorder.beforeRecord = [asked = drainAsked.get_future().share()] { asked.wait(); };
    auto pool = session->pixelBufferPool();
    constexpr int frames = 25;
    const std::set<int> forced{4, 7};
    auto lumaOf = [](int i) { return static_cast<std::uint8_t>(40 + 7 * i); };
    for (int i = 0; i < frames; ++i) {
      ASSERT_EQ(submit(*session, i, lumaOf(i), forced.contains(i), 10), 0);
      EXPECT_EQ(pool->inUse(), 0u) << "source buffers go back to the pool at once";
    }
    drainAsked.set_value();
    ASSERT_EQ(session->completeFrames(), 0);
    const auto outputs = recorder.taken();
    ASSERT_EQ(outputs.size(), static_cast<std::size_t>(frames));

    // The profile really in the stream: profile_idc and constraint_set1 in the SPS; after pps_id
    // ue(0) and sps_id ue(0), the PPS's entropy_coding_mode_flag.
    ASSERT_TRUE(outputs[0].sample && outputs[0].sample->parameterSets.size() == 2u);
    const auto& sets = outputs[0].sample->parameterSets;
    ASSERT_TRUE(sets[0] && sets[0]->size() >= 4 && sets[1] && sets[1]->size() >= 2);
    const Bytes &sps = *sets[0], &pps = *sets[1];
    EXPECT_TRUE((sps[0] & 0x1F) == 7 && (pps[0] & 0x1F) == 8);
    EXPECT_EQ(sps[1], idc);
    if (idc == 66) EXPECT_NE(sps[2] & 0x40, 0) << "constraint_set1 marks constrained baseline";
    ASSERT_EQ(pps[1] & 0xC0, 0xC0);
    EXPECT_EQ((pps[1] & 0x20) != 0, cabac);

    std::vector<std::vector<std::uint8_t>> units;
    int lastSync = -1;
    for (int i = 0; i < frames; ++i) {
      SCOPED_TRACE(i);
      ASSERT_EQ(outputs[i].index, i) << "outputs come in submission order with their own contexts";
      ASSERT_TRUE(outputs[i].status == 0 && outputs[i].sample && outputs[i].sample->dataBlock);
      const EncodedSample& sample = *outputs[i].sample;
      auto record = media::makeFrameRecord(sample, 0);  // Annex-B, key frames led by their SPS and PPS
      ASSERT_TRUE(record);
      units.emplace_back(record->begin() + media::frameHeaderSize, record->end());
      std::multiset<int> types;
      for (ByteSpan unit : splitAnnexB(units.back())) types.insert(nalType(unit));
      EXPECT_EQ(types.count(nal::sps) + types.count(nal::pps), sample.notSync ? 0u : 2u) << "sets only in the header";
      EXPECT_EQ(types.count(9), 0u) << "no access unit delimiters";
      EXPECT_EQ(sample.notSync, !types.contains(nal::sliceIdr));
      if (forced.contains(i) || i == 0) EXPECT_FALSE(sample.notSync) << "first and forced frames are IDRs";
      if (i < 10 && i != 0 && !forced.contains(i)) EXPECT_TRUE(sample.notSync) << "others are not";
      if (!sample.notSync) EXPECT_LE(i - std::exchange(lastSync, i), 10) << "gap before this key frame";
    }
    EXPECT_LE(frames - lastSync, 10);

    const auto pictures = decodeAll(units);
    ASSERT_EQ(pictures.size(), static_cast<std::size_t>(frames)) << "decode and flush together return every picture";
    for (int i = 0; i < frames; ++i) {
      const DecodedPicture& p = pictures[i];
      EXPECT_TRUE(p.width == 640 && p.height == 360 && p.chromaU.size() == 320u * 180u);
      EXPECT_NEAR(p.meanLuma(), lumaOf(i), 3.0) << "frame " << i;
      for (std::uint8_t c : {p.chromaU[0], p.chromaU.back(), p.chromaV[0], p.chromaV.back()}) EXPECT_NEAR(c, 128, 3);
      EXPECT_EQ(p.keyFrame, !outputs[i].sample->notSync) << "frame " << i;
      EXPECT_TRUE(p.colorMatrix == "smpte170m" && !p.fullRange);
    }
    // The session keeps working after a drain.
    ASSERT_EQ(submit(*session, frames, 70, false, 10), 0);
    ASSERT_EQ(session->completeFrames(), 0);
    ASSERT_EQ(recorder.taken().size(), frames + 1u);
    EXPECT_EQ(recorder.taken().back().status, 0);
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
      ASSERT_TRUE(test::waitUntil([&] { return !session->pixelBufferPool(); }));
    }
    release.set_value();
    ASSERT_TRUE(test::waitUntil([&] { return recorder.taken().size() >= 5; })) << "the queued frames get error outputs";
    if (invalidator.joinable()) invalidator.join();
    if (fromHandler) EXPECT_NE(completeStatus.load(), 0);
    const auto outputs = recorder.taken();
    ASSERT_EQ(outputs.size(), 5u) << "every accepted frame gets exactly one output";
    EXPECT_EQ(outputs[0].status, 0);
    for (int i = 1; i < 5; ++i) EXPECT_TRUE(outputs[i].index == i && outputs[i].status != 0 && !outputs[i].sample);
    EXPECT_NE(session->encodeFrame(NV12BufferPool::create(640, 360)->makeBuffer(), {6, 30}, {1, 30}, false, nullptr), 0);
    EXPECT_NE(session->completeFrames(), 0);
    EXPECT_NE(session->prepareToEncodeFrames({}), 0);
    session->invalidate();  // a second call is harmless
    EXPECT_EQ(recorder.taken().size(), 5u);
  }
}

TEST(FfmpegFactory, CreationRefusalsSayWhyAndTheSmallestSizeEncodes) {
  const bool gpu = std::filesystem::exists("/dev/dri/renderD128");
  const struct {
    const char* word;
    int width, height;
    bool requireHardware;
    std::string reason;  // empty: the session is created and really encodes
  } cases[] = {
      {"software", 641, 360, true, "size 641x360 is not even: 4:2:0 H.264 needs even width and height"},
      {"software", 14, 360, true, "x264: 14x360 is below the minimum 16x16"},
      {"nvenc", 144, 360, true, "nvenc: 144x360 is below the minimum 145x49"},
      {"vaapi", 32, 30, true, "vaapi: 32x30 is below the minimum 32x32"},
      {"turbo", 640, 360, true,
       "unknown PELORIN_VIDEO_ENCODER value 'turbo' (expected hardware, vaapi, nvenc, qsv or software)"},
      {"software", 16, 16, true, ""},
      {"hardware", 640, 360, false, ""},  // without a GPU, falls back to x264 when hardware is not required
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.word) + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
    if (gpu && !c.requireHardware) continue;
    Recorder recorder;
    FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord(c.word), "/nonexistent");
    std::unique_ptr<CompressionSession> session;
    const std::int32_t status = factory.create({c.width, c.height, c.requireHardware}, recorder.handler(), session);
    EXPECT_EQ(factory.lastFailure(), c.reason);
    EXPECT_TRUE(status == 0 ? c.reason.empty() && session : !c.reason.empty() && !session);
    if (!session) continue;
    EXPECT_TRUE(session->encoderName() == "x264" && session->softwareExplicitlyChosen() == (c.word == std::string("software")));
    EXPECT_EQ(session->prepareToEncodeFrames({}), 0) << factory.lastFailure();
    EXPECT_EQ(submit(*session, 0, 100), 0);
    EXPECT_EQ(session->completeFrames(), 0);
    EXPECT_EQ(recorder.taken().at(0).status, 0);
  }
}

// A software factory whose open hook records every attempt and fails it while `refuse` is set.
TEST(FfmpegFactory, EncoderOpensWithTheRateControlOfItsRealSettings) {
  const std::pair<std::int32_t, std::string> cases[] = {
      {2'000'001, "x264/CBR"},  // the peak is the average
      {0, "x264/CRF"},          // no bit-rate target: constant quality
  };
  for (const auto& [bitRate, attempt] : cases) {
    SCOPED_TRACE(attempt);
    std::vector<std::string> attempts;
    bool refuse = true;
    FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord("software"), "/nonexistent",
                                            [&](const OpenAttempt& tried) {
                                              attempts.push_back(attemptName(tried));
                                              return refuse ? std::string("refused by the test") : std::string();
                                            });
    Recorder recorder;
    std::unique_ptr<CompressionSession> session;
    ASSERT_EQ(factory.create({320, 240}, recorder.handler(), session), 0);
    EXPECT_NE(session->prepareToEncodeFrames({.frameRate = {0, 1}}), 0);
    EXPECT_TRUE(attempts.empty()) << "nothing is opened before the settings are known, nor with a void rate";
    const CompressionSettings settings{.bitRate = bitRate};
    EXPECT_NE(session->prepareToEncodeFrames(settings), 0);
    EXPECT_EQ(factory.lastFailure(), attempt + ": refused by the test");
    refuse = false;
    ASSERT_EQ(session->prepareToEncodeFrames(settings), 0);
    EXPECT_EQ(attempts, (std::vector<std::string>{attempt, attempt}));
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

std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> contextOf(Backend backend) {
  const AVCodec* codec = avcodec_find_encoder_by_name(backendEntry(backend).codec);
  return {codec ? avcodec_alloc_context3(codec) : nullptr, [](AVCodecContext* c) { avcodec_free_context(&c); }};
}

CodecSettings settings(ProfileLevel profile, std::int64_t bitRate, std::int64_t maxRate) {
  return {.width = 1280, .height = 720, .bitRate = bitRate, .maxRate = maxRate, .bufferBits = maxRate,
          .gop = 30, .profile = profile, .cabac = profile != ProfileLevel::ConstrainedBaselineAutoLevel};
}

constexpr auto baseline = ProfileLevel::ConstrainedBaselineAutoLevel;
constexpr auto high = ProfileLevel::HighAutoLevel;
constexpr auto cbr = RateControl::ConstantBitRate;
constexpr auto vbr = RateControl::VariableBitRate;
constexpr auto quality = RateControl::ConstantQuality;

struct OptionCase {
  Backend backend;
  ProfileLevel profile;
  RateControl rate;
  std::vector<std::pair<const char*, std::int64_t>> resolved;  // the encoder's own options as they must resolve
};

// Quick Sync: profile 578 is constrained baseline (66 alone is plain Baseline); CQP is the qscale
// flag with a lambda-scaled quality. NVENC: forced IDR, rc cbr 2 / vbr 1 / constqp 0.
// VA-API: rc_mode CBR 2 / VBR 3 / CQP 1, profile 578 / 100.
const OptionCase optionCases[] = {
    {Backend::Qsv, baseline, cbr, {{"profile", 578}, {"forced_idr", 1}, {"async_depth", 1}}},
    {Backend::Qsv, high, quality, {{"profile", 100}, {"global_quality", 23 * 118}}},
    {Backend::Nvenc, baseline, cbr, {{"rc", 2}, {"forced-idr", 1}, {"zerolatency", 1}, {"delay", 0}, {"coder", 2}}},
    {Backend::Nvenc, high, vbr, {{"rc", 1}, {"profile", 2}, {"coder", 1}}},
    {Backend::Nvenc, high, quality, {{"rc", 0}, {"qp", 23}}},
    {Backend::Vaapi, baseline, cbr, {{"rc_mode", 2}, {"profile", 578}, {"coder", 0}, {"async_depth", 1}}},
    {Backend::Vaapi, high, vbr, {{"rc_mode", 3}, {"profile", 100}, {"coder", 1}}},
    {Backend::Vaapi, baseline, quality, {{"rc_mode", 1}, {"qp", 23}}},
    {Backend::X264, baseline, cbr, {{"forced-idr", 1}}},
};

TEST(CodecOptions, EveryOptionIsTakenAndResolvesAsMeant) {
  int checked = 0;
  for (const OptionCase& c : optionCases) {
    auto context = contextOf(c.backend);
    if (!context) continue;  // not in this libavcodec
    ++checked;
    SCOPED_TRACE(std::string(backendEntry(c.backend).codec) + " " + rateControlName(c.backend, c.rate));
    const std::int64_t bitRate = c.rate == quality ? 0 : 6'000'000;
    const CodecSettings s = settings(c.profile, bitRate, c.rate == cbr ? bitRate : 0);
    const auto applied = applyOptions(context.get(), codecOptions(c.backend, s, c.rate));
    ASSERT_TRUE(applied) << applied.error().message;

    // Over the encoder's own defaults (several default to B-frames and long GOPs).
    EXPECT_TRUE(context->max_b_frames == 0 && context->gop_size == 30);
    EXPECT_TRUE(context->color_range == AVCOL_RANGE_MPEG && context->colorspace == AVCOL_SPC_SMPTE170M &&
                context->color_primaries == AVCOL_PRI_SMPTE170M && context->color_trc == AVCOL_TRC_SMPTE170M);
    if (c.rate != quality) EXPECT_EQ(context->bit_rate, bitRate);
    EXPECT_EQ(context->rc_max_rate, c.rate == cbr ? bitRate : 0);
    EXPECT_EQ((context->flags & AV_CODEC_FLAG_QSCALE) != 0, c.backend == Backend::Qsv && c.rate == quality);
    for (const auto& [key, value] : c.resolved) {
      std::int64_t resolved = -12345;
      EXPECT_GE(av_opt_get_int(context.get(), key, AV_OPT_SEARCH_CHILDREN, &resolved), 0) << key;
      EXPECT_EQ(resolved, value) << key;
    }
  }
  EXPECT_GE(checked, 3) << "libx264 and at least two hardware encoders are in Debian's libavcodec";
}

TEST(OpenPlan, TriesEachCandidateWithItsRateControlsInOrder) {
  const std::vector<Backend> hardware{Backend::Vaapi, Backend::Nvenc, Backend::Qsv};
  const std::tuple<std::int64_t, std::int64_t, std::vector<OpenAttempt>> cases[] = {  // bit rate, peak, plan
      {8'000'000, 8'000'000,
       {{Backend::Vaapi, cbr}, {Backend::Vaapi, vbr}, {Backend::Vaapi, quality}, {Backend::Nvenc, cbr},
        {Backend::Qsv, cbr}}},
      {8'000'000, 12'000'000,
       {{Backend::Vaapi, vbr}, {Backend::Vaapi, quality}, {Backend::Nvenc, vbr}, {Backend::Qsv, vbr}}},
      {0, 0, {{Backend::Vaapi, quality}, {Backend::Nvenc, quality}, {Backend::Qsv, quality}}},
  };
  for (const auto& [bitRate, maxRate, plan] : cases) {
    EXPECT_EQ(openPlan(hardware, settings(baseline, bitRate, maxRate)), plan) << bitRate << " " << maxRate;
  }
}

using B = UnitBytes;

const B plainBaselineSps{0x67, 0x42, 0x00, 0x1F, 0xDA};  // profile 66, no constraint flags, level 3.1
const B markedSps{0x67, 0x42, 0x40, 0x1F, 0xDA};
const B pps{0x68, 0xCE, 0x3C};
const B idr{0x65, 0x88, 0x84};

B annexB(std::initializer_list<B> units) {
  B out;
  for (const B& unit : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return out;
}

// Packets in Annex-B (either start code) or length-prefixed form; the sets from them or from the
// extradata (avcC or none) are kept for key frames, delimiters dropped, other units kept in order.
TEST(SampleAssembler, KeyFramesCarryTheLatestSetsAndNeverGoOutWithout) {
  SampleAssembler assembler(true);
  for (const B& orphan : {annexB({idr}), annexB({plainBaselineSps, idr})}) {
    auto refused = assembler.assemble(orphan, true);
    ASSERT_FALSE(refused) << "a key frame without SPS and PPS is an error of that frame";
    EXPECT_EQ(refused.error().message, "key frame without SPS and PPS");
  }
  auto setsOnly = assembler.assemble(annexB({plainBaselineSps, pps}), true);
  ASSERT_TRUE(setsOnly);
  EXPECT_FALSE(*setsOnly) << "parameter sets alone are kept, not delivered";
  // A delimiter, an SEI and the slice.
  auto key = assembler.assemble(B{0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x06, 0x05, 0x01, 0, 0, 1, 0x65, 0x88, 0x84}, true);
  ASSERT_TRUE(key && *key);
  EXPECT_FALSE((*key)->notSync);
  EXPECT_EQ((*key)->parameterSets, (std::vector<std::optional<B>>{markedSps, pps})) << "constraint_set1 set as claimed";
  EXPECT_EQ((*key)->dataBlock, (B{0, 0, 0, 3, 0x06, 0x05, 0x01, 0, 0, 0, 3, 0x65, 0x88, 0x84}));
  auto delta = assembler.assemble(B{0, 0, 0, 2, 0x68, 0xCE, 0, 0, 0, 3, 0x41, 0x9A, 0x02}, false);  // lengths
  ASSERT_TRUE(delta && *delta);
  EXPECT_TRUE((*delta)->notSync);
  EXPECT_EQ((*delta)->dataBlock, (B{0, 0, 0, 3, 0x41, 0x9A, 0x02}));
  EXPECT_EQ((*delta)->parameterSets[1], (B{0x68, 0xCE})) << "the newest PPS";
  for (const B& bad : {B{0, 0, 0, 9, 0x41, 0x9A}, B{0, 0, 0, 2, 0x41, 0, 0, 0, 4, 0x41}, B{}, B{0, 0, 1}}) {
    EXPECT_FALSE(assembler.assemble(bad, false)) << bad.size();  // lengths past the end, or no unit
  }

  const std::pair<B, std::optional<B>> extradata[] = {  // what it holds, the SPS taken from it
      {{1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 5, 0x67, 0x42, 0x00, 0x1F, 0xDA, 1, 0, 3, 0x68, 0xCE, 0x3C}, plainBaselineSps},
      {annexB({plainBaselineSps, pps}), plainBaselineSps},  // no constrained baseline claimed, nothing changed
      {{1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 9, 0x67}, std::nullopt},  // a length past the end
      {{}, std::nullopt}};
  for (const auto& [held, sps] : extradata) {
    SampleAssembler unclaimed(false);  // sets from extradata serve encoders without in-band ones
    unclaimed.takeExtradata(held);
    key = unclaimed.assemble(annexB({idr}), true);
    EXPECT_EQ(key && *key ? (*key)->parameterSets[0] : std::nullopt, sps) << held.size();
  }
}

}  // namespace
}  // namespace pelorin::platform::ffmpeg
