#include "platform/ffmpeg/codec_table.h"

#include <algorithm>
#include <cmath>

namespace pelorin::platform::ffmpeg {
namespace {

constexpr int defaultQp = 23;

const char* profileWord(ProfileLevel p) {
  switch (p) {
    case ProfileLevel::ConstrainedBaselineAutoLevel: return "baseline";
    case ProfileLevel::MainAutoLevel: return "main";
    case ProfileLevel::HighAutoLevel: return "high";
  }
  return "baseline";
}

bool peakIsAverage(const CodecSettings& s) { return s.bitRate > 0 && s.maxRate == s.bitRate; }

// Average, peak and buffer for the bit-rate modes.
void addRates(const CodecSettings& s, RateControl rate, OptionList& o) {
  if (rate == RateControl::ConstantQuality) return;
  o.emplace_back("b", std::to_string(s.bitRate));
  if (s.maxRate > 0) o.emplace_back("maxrate", std::to_string(s.maxRate));
  if (s.bufferBits > 0) o.emplace_back("bufsize", std::to_string(s.bufferBits));
}

OptionList x264Options(const CodecSettings& s, RateControl rate) {
  // With ultrafast the profile is only a ceiling; these tools make the stream reach it.
  std::string params = s.cabac ? "cabac=1" : "cabac=0";
  if (s.profile == ProfileLevel::HighAutoLevel) params += ":8x8dct=1";
  OptionList o{{"preset", "ultrafast"}, {"tune", "zerolatency"},   {"profile", profileWord(s.profile)},
               {"forced-idr", "1"},     {"x264-params", params},    {"threads", "2"}};
  if (rate == RateControl::ConstantQuality) o.emplace_back("crf", std::to_string(defaultQp));
  return o;
}

OptionList nvencOptions(const CodecSettings& s, RateControl rate) {
  const char* rc = rate == RateControl::ConstantBitRate   ? "cbr"
                   : rate == RateControl::VariableBitRate ? "vbr"
                                                          : "constqp";
  OptionList o{{"preset", "p1"},    {"tune", "ull"},          {"zerolatency", "1"},
               {"delay", "0"},      {"forced-idr", "1"},      {"profile", profileWord(s.profile)},
               {"coder", s.cabac ? "cabac" : "cavlc"},        {"rc", rc}};
  if (rate == RateControl::ConstantQuality) o.emplace_back("qp", std::to_string(constantQp(s)));
  return o;
}

OptionList qsvOptions(const CodecSettings& s, RateControl rate) {
  // Quick Sync's own profile numbers: 66 alone is plain Baseline; constrained baseline is 66
  // with its constraint_set1 bit (1 << 9) added.
  const char* profile = s.profile == ProfileLevel::HighAutoLevel   ? "100"
                        : s.profile == ProfileLevel::MainAutoLevel ? "77"
                                                                   : "578";
  OptionList o{{"async_depth", "1"}, {"forced_idr", "1"}, {"profile", profile}};
  if (rate == RateControl::ConstantQuality) {
    // CQP is chosen by the qscale flag; the quality is a QP in lambda units (FF_QP2LAMBDA 118).
    o.emplace_back("flags", "+qscale");
    o.emplace_back("global_quality", std::to_string(constantQp(s) * 118));
  }
  return o;
}

OptionList vaapiOptions(const CodecSettings& s, RateControl rate) {
  const char* profile = s.profile == ProfileLevel::HighAutoLevel   ? "high"
                        : s.profile == ProfileLevel::MainAutoLevel ? "main"
                                                                   : "constrained_baseline";
  const char* mode = rate == RateControl::ConstantBitRate   ? "CBR"
                     : rate == RateControl::VariableBitRate ? "VBR"
                                                            : "CQP";
  OptionList o{{"async_depth", "1"}, {"coder", s.cabac ? "cabac" : "cavlc"}, {"profile", profile}, {"rc_mode", mode}};
  if (rate == RateControl::ConstantQuality) o.emplace_back("qp", std::to_string(constantQp(s)));
  return o;
}

// Minimums: Intel's media drivers take 32x32 and up, NVENC's H.264 145x49; x264 one macroblock.
const BackendEntry table[] = {
    {Backend::Vaapi, "vaapi", "h264_vaapi", true, 32, 32, vaapiOptions},
    {Backend::Nvenc, "nvenc", "h264_nvenc", true, 145, 49, nvencOptions},
    {Backend::Qsv, "qsv", "h264_qsv", true, 32, 32, qsvOptions},
    {Backend::X264, "x264", "libx264", false, 16, 16, x264Options},
};

std::vector<RateControl> rateControlOrder(Backend backend, const CodecSettings& s) {
  using enum RateControl;
  if (s.bitRate <= 0) return {ConstantQuality};
  const RateControl first = peakIsAverage(s) ? ConstantBitRate : VariableBitRate;
  if (backend != Backend::Vaapi) return {first};
  if (first == ConstantBitRate) return {ConstantBitRate, VariableBitRate, ConstantQuality};
  return {VariableBitRate, ConstantQuality};
}

}  // namespace

const BackendEntry& backendEntry(Backend backend) {
  return *std::find_if(std::begin(table), std::end(table), [&](const auto& e) { return e.backend == backend; });
}

OptionList codecOptions(Backend backend, const CodecSettings& s, RateControl rate) {
  // Video-range BT.601, so the stream says how the NV12 source is meant.
  OptionList o{{"bf", "0"},
               {"g", std::to_string(s.gop)},
               {"color_range", "tv"},
               {"colorspace", "smpte170m"},
               {"color_primaries", "smpte170m"},
               {"color_trc", "smpte170m"}};
  addRates(s, rate, o);
  for (auto& option : backendEntry(backend).ownOptions(s, rate)) o.push_back(std::move(option));
  return o;
}

std::string rateControlName(Backend backend, RateControl rate) {
  switch (rate) {
    case RateControl::ConstantBitRate: return "CBR";
    case RateControl::VariableBitRate: return "VBR";
    case RateControl::ConstantQuality: return backend == Backend::X264 ? "CRF" : "CQP";
  }
  return "";
}

int constantQp(const CodecSettings& s) {
  const double pixelsPerSecond = double(s.width) * s.height * s.frameRate.perSecond();
  if (s.bitRate <= 0 || pixelsPerSecond <= 0) return defaultQp;
  // About 0.1 bit a pixel at QP 24; each 6 steps of QP halve the bits.
  const double bitsPerPixel = double(s.bitRate) / pixelsPerSecond;
  const long qp = std::lround(24 - 6 * std::log2(bitsPerPixel / 0.1));
  return static_cast<int>(std::clamp(qp, 16L, 44L));
}

std::string sizeRefusal(Backend backend, int width, int height) {
  const BackendEntry& e = backendEntry(backend);
  if (width >= e.minWidth && height >= e.minHeight) return {};
  return std::to_string(width) + "x" + std::to_string(height) + " is below the minimum " +
         std::to_string(e.minWidth) + "x" + std::to_string(e.minHeight);
}

std::vector<OpenAttempt> openPlan(const std::vector<Backend>& candidates, const CodecSettings& settings) {
  std::vector<OpenAttempt> plan;
  for (Backend backend : candidates) {
    for (RateControl rate : rateControlOrder(backend, settings)) plan.push_back({backend, rate});
  }
  return plan;
}

std::string attemptName(const OpenAttempt& attempt) {
  return std::string(backendEntry(attempt.backend).name) + "/" + rateControlName(attempt.backend, attempt.rate);
}

ChosenAttempt chooseFirst(const std::vector<OpenAttempt>& plan,
                          const std::function<std::string(const OpenAttempt&)>& tryOpen) {
  ChosenAttempt chosen;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    std::string why = tryOpen(plan[i]);
    if (why.empty()) {
      chosen.index = static_cast<int>(i);
      return chosen;
    }
    chosen.reasons.push_back(attemptName(plan[i]) + ": " + why);
  }
  return chosen;
}

}  // namespace pelorin::platform::ffmpeg
