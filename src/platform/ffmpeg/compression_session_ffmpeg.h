#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/compression_session.h"

namespace pelorin::platform::ffmpeg {

// Which encoders a factory may use, from the PELORIN_VIDEO_ENCODER word.
struct EncoderChoice {
  enum class Kind {
    Hardware,  // unset, empty or "hardware": VAAPI, then NVENC, then Quick Sync
    Vaapi,
    Nvenc,
    Qsv,
    Software,  // libx264, chosen explicitly
    Unknown,   // any other word: creation fails
  };
  Kind kind = Kind::Hardware;
  std::string word;  // the word as given, for diagnostics

  static EncoderChoice fromWord(std::string_view word);
};

// Sessions on libavcodec H.264 encoders.
class FfmpegCompressionSessionFactory : public CompressionSessionFactory {
 public:
  static EncoderChoice choiceFromEnvironment();  // PELORIN_VIDEO_ENCODER
  static std::string vaapiDeviceFromEnvironment();  // PELORIN_VAAPI_DEVICE or /dev/dri/renderD128

  explicit FfmpegCompressionSessionFactory(EncoderChoice choice = choiceFromEnvironment(),
                                           std::string vaapiDevice = vaapiDeviceFromEnvironment());

  std::int32_t create(const CompressionSessionSpec& config, CompressionOutputHandler output,
                      std::unique_ptr<CompressionSession>& session) override;

  // Why the last create() failed (every encoder tried, with libav's reason); empty after a success.
  std::string lastFailure() const override;
  const EncoderChoice& choice() const { return choice_; }

 private:
  EncoderChoice choice_;
  std::string vaapiDevice_;
  mutable std::mutex mutex_;
  std::string lastFailure_;
};

}  // namespace pelorin::platform::ffmpeg
