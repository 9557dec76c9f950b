// The encoder option tables against the real encoder contexts of the installed libavcodec, and
// the order in which encoders and rate-control modes are tried. No GPU needed: options resolve
// when a context is allocated; only opening one reaches the driver.
#include <gtest/gtest.h>

#include <memory>

#include "platform/ffmpeg/codec_table.h"
#include "platform/ffmpeg/opened_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace pelorin::platform::ffmpeg {
namespace {

std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> contextOf(Backend backend) {
  const AVCodec* codec = avcodec_find_encoder_by_name(backendEntry(backend).codec);
  return {codec ? avcodec_alloc_context3(codec) : nullptr, [](AVCodecContext* c) { avcodec_free_context(&c); }};
}

CodecSettings settings(ProfileLevel profile, std::int64_t bitRate, std::int64_t maxRate) {
  return {.width = 1280, .height = 720, .fps = 30, .bitRate = bitRate, .maxRate = maxRate, .bufferBits = maxRate,
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

}  // namespace
}  // namespace pelorin::platform::ffmpeg
