#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/thread_annotations.h"
#include "platform/compression_session.h"
#include "platform/ffmpeg/codec_table.h"

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

// Called before each attempt to open an encoder; a non-empty reason makes the attempt fail
// with it. Lets tests fail a candidate that would open.
using OpenHook = std::function<std::string(const OpenAttempt&)>;

// Why the last creation or preparation failed, shared by a factory and its sessions.
class FailureNote {
 public:
  void set(std::string why);
  std::string get() const;

 private:
  mutable Mutex mutex_;
  std::string why_ GUARDED_BY(mutex_);
};

// Sessions on libavcodec H.264 encoders. create() keeps the candidates whose device opens (a
// VA-API render node, the NVIDIA driver, a Quick Sync session); prepareToEncodeFrames() opens
// them in order with the real settings and keeps the first that opens.
class FfmpegCompressionSessionFactory : public CompressionSessionFactory {
 public:
  static EncoderChoice choiceFromEnvironment();  // PELORIN_VIDEO_ENCODER
  static std::string vaapiDeviceFromEnvironment();  // PELORIN_VAAPI_DEVICE or /dev/dri/renderD128

  explicit FfmpegCompressionSessionFactory(EncoderChoice choice = choiceFromEnvironment(),
                                           std::string vaapiDevice = vaapiDeviceFromEnvironment(),
                                           OpenHook openHook = {});

  std::int32_t create(const CompressionSessionSpec& config, CompressionOutputHandler output,
                      std::unique_ptr<CompressionSession>& session) override;

  // Why the last create() or a session's prepareToEncodeFrames() failed, every candidate with
  // its reason; empty after a success.
  std::string lastFailure() const override;

 private:
  EncoderChoice choice_;
  std::string vaapiDevice_;
  OpenHook openHook_;
  std::shared_ptr<FailureNote> failure_ = std::make_shared<FailureNote>();
};

}  // namespace pelorin::platform::ffmpeg
