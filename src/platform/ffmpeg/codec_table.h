#pragma once

// The libavcodec H.264 encoders as one table, the options each is opened with, and the order in
// which they (and their rate-control modes) are tried. Plain data and logic, no libav calls.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/compression_session.h"

namespace pelorin::platform::ffmpeg {

enum class Backend { Vaapi, Nvenc, Qsv, X264 };

// What a codec is opened with, fixed when the session is prepared.
struct CodecSettings {
  int width = 0;
  int height = 0;
  FrameRate frameRate = defaultFrameRate;
  std::int64_t bitRate = 0;  // 0: no bit-rate target, the encoder's constant-quality mode
  std::int64_t maxRate = 0;  // 0: no peak limit
  std::int64_t bufferBits = 0;
  int gop = 0;  // frames between key frames
  ProfileLevel profile = ProfileLevel::ConstrainedBaselineAutoLevel;
  bool cabac = false;
};

enum class RateControl {
  ConstantBitRate,
  VariableBitRate,
  ConstantQuality,  // x264 CRF; a constant QP on the hardware encoders
};

// Key and value pairs as libavcodec's option system takes them.
using OptionList = std::vector<std::pair<std::string, std::string>>;

struct BackendEntry {
  Backend backend;
  const char* name;   // "vaapi", ... as logs and PELORIN_VIDEO_ENCODER say it
  const char* codec;  // libavcodec encoder name
  bool hardware;
  int minWidth;  // the smallest picture the encoder takes
  int minHeight;
  // Options beyond the ones every encoder gets (no B-frames, key-frame interval, colour).
  OptionList (*ownOptions)(const CodecSettings&, RateControl);
};

const BackendEntry& backendEntry(Backend backend);

// Every option `backend` is opened with for `settings` in `rate`.
OptionList codecOptions(Backend backend, const CodecSettings& settings, RateControl rate);

// "CBR", "VBR", "CRF" (x264) or "CQP".
std::string rateControlName(Backend backend, RateControl rate);

// A constant QP that gives roughly `settings.bitRate` on screen content (23 without a bit rate).
int constantQp(const CodecSettings& settings);

// Why `backend` cannot encode width x height, or empty when it can.
std::string sizeRefusal(Backend backend, int width, int height);

struct OpenAttempt {
  Backend backend;
  RateControl rate;
  friend bool operator==(const OpenAttempt&, const OpenAttempt&) = default;
};

// Every attempt in order: each candidate with each of its rate-control modes, best first: with a
// peak equal to the average CBR, with another peak or none VBR, without a bit rate constant
// quality. VA-API drivers differ in what they offer, so it falls back down to a constant QP
// matched to the bit rate.
std::vector<OpenAttempt> openPlan(const std::vector<Backend>& candidates, const CodecSettings& settings);

// "vaapi/CBR"
std::string attemptName(const OpenAttempt& attempt);

struct ChosenAttempt {
  int index = -1;                    // into the plan; -1 when every attempt failed
  std::vector<std::string> reasons;  // "vaapi/CBR: why", one per failed attempt, in order
};

// Tries the plan in order until `tryOpen` returns an empty reason.
ChosenAttempt chooseFirst(const std::vector<OpenAttempt>& plan,
                          const std::function<std::string(const OpenAttempt&)>& tryOpen);

}  // namespace pelorin::platform::ffmpeg
