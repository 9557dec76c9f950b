#include "platform/ffmpeg/compression_session_ffmpeg.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/sanitize.h"
#include "platform/ffmpeg/av_error.h"
#include "platform/ffmpeg/encoder_worker.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
}

namespace pelorin::platform::ffmpeg {
namespace {

// A backend whose device opened, waiting for the real settings.
struct Candidate {
  Backend backend;
  DeviceRef device;
};

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

// Copies an NV12 pixel buffer into a fresh frame, so the pool gets the buffer back at once.
int copyToFrame(PixelBuffer& buffer, FramePtr& out) {
  if (buffer.pixelFormat() != pixelFormat420v || buffer.planeCount() != 2) return AVERROR(EINVAL);
  FramePtr frame(av_frame_alloc());
  if (!frame) return AVERROR(ENOMEM);
  frame->format = AV_PIX_FMT_NV12;
  frame->width = buffer.width();
  frame->height = buffer.height();
  if (const int status = av_frame_get_buffer(frame.get(), 0); status < 0) return status;
  if (!buffer.lock(true)) return AVERROR(EIO);
  const int rows[2] = {buffer.height(), (buffer.height() + 1) / 2};
  const std::size_t rowBytes[2] = {static_cast<std::size_t>(buffer.width()),
                                   static_cast<std::size_t>((buffer.width() + 1) / 2) * 2};
  for (int plane = 0; plane < 2; ++plane) {
    const std::uint8_t* source = buffer.planeBase(plane);
    const std::size_t stride = buffer.bytesPerRow(plane);
    const std::size_t bytes = std::min({rowBytes[plane], stride, static_cast<std::size_t>(frame->linesize[plane])});
    for (int y = 0; y < rows[plane]; ++y) {
      std::memcpy(frame->data[plane] + static_cast<std::ptrdiff_t>(y) * frame->linesize[plane],
                  source + y * stride, bytes);
    }
  }
  buffer.unlock(true);
  out = std::move(frame);
  return 0;
}

// The codec's settings: a constant bit rate (the peak is the average, over a one-second buffer), or
// constant quality without one; a key frame at least every second.
CodecSettings codecSettings(const CompressionSessionSpec& spec, const CompressionSettings& wanted) {
  const std::int64_t bitRate = std::max(wanted.bitRate, 0);
  const FrameRate rate = wanted.frameRate;
  return {.width = spec.width, .height = spec.height, .frameRate = rate, .bitRate = bitRate, .maxRate = bitRate,
          .bufferBits = bitRate, .gop = std::max(1, rate.num / rate.den), .profile = wanted.profile,
          .cabac = wanted.profile != ProfileLevel::ConstrainedBaselineAutoLevel};
}

// Opens `attempt` with `settings`, unless the hook fails it first.
Result<std::unique_ptr<OpenedEncoder>> openWith(const OpenHook& hook, const OpenAttempt& attempt,
                                                const CodecSettings& settings, const DeviceRef& device) {
  if (hook) {
    if (std::string why = hook(attempt); !why.empty()) return Error{ffmpegDomain, AVERROR_EXTERNAL, why};
  }
  return OpenedEncoder::open(attempt, settings, device);
}

// What the caller configures; prepare() opens the codec and hands it to the session's worker.
class FfmpegCompressionSession final : public CompressionSession {
 public:
  FfmpegCompressionSession(std::vector<Candidate> candidates, const CompressionSessionSpec& config,
                           CompressionOutputHandler output, bool softwareChosen, OpenHook openHook,
                           std::shared_ptr<FailureNote> failure)
      : config_(config),
        output_(std::move(output)),
        softwareChosen_(softwareChosen),
        openHook_(std::move(openHook)),
        failure_(std::move(failure)),
        pool_(NV12BufferPool::create(config.width, config.height)),
        candidates_(std::move(candidates)),
        chosen_{candidates_.front().backend, RateControl::ConstantQuality} {}

  ~FfmpegCompressionSession() override { invalidate(); }

  std::string encoderName() const override {
    MutexLock lock(mutex_);
    return backendEntry(chosen_.backend).name;
  }
  bool softwareExplicitlyChosen() const override { return softwareChosen_; }

  bool usingHardware() const override {
    MutexLock lock(mutex_);
    return backendEntry(chosen_.backend).hardware;
  }

  std::int32_t prepareToEncodeFrames(const CompressionSettings& wanted) override {
    MutexLock lock(mutex_);
    if (state_ == State::Invalidated) return invalidatedStatus;
    if (state_ == State::Prepared) return 0;
    if (wanted.frameRate.num <= 0 || wanted.frameRate.den <= 0) return AVERROR(EINVAL);
    settings_ = codecSettings(config_, wanted);
    std::unique_ptr<OpenedEncoder> opened = openFirstCandidate();
    if (!opened) return AVERROR_EXTERNAL;
    state_ = State::Prepared;
    auto reopen = [hook = openHook_, attempt = chosen_, settings = settings_, device = candidates_.front().device] {
      return openWith(hook, attempt, settings, device);
    };
    const bool baseline = settings_.profile == ProfileLevel::ConstrainedBaselineAutoLevel;
    worker_ = std::make_unique<EncoderWorker>(WorkerCodec{std::move(opened), std::move(reopen), baseline}, output_);
    return 0;
  }

  std::shared_ptr<NV12BufferPool> pixelBufferPool() override {
    MutexLock lock(mutex_);
    return pool_;
  }

  std::int32_t encodeFrame(PixelBufferRef buffer, MediaTime presentationTime, MediaTime, bool forceKeyFrame,
                           FrameContext context) override {
    if (!buffer || buffer->width() != config_.width || buffer->height() != config_.height) return AVERROR(EINVAL);
    FramePtr frame;
    const int copied = copyToFrame(*buffer, frame);
    buffer.reset();
    if (copied < 0) return copied;
    MutexLock lock(mutex_);
    if (state_ != State::Prepared) return state_ == State::Invalidated ? invalidatedStatus : AVERROR(EINVAL);
    // Presentation time in the codec's time base (one frame), forced strictly increasing so each frame has
    // its own key in the worker's context map.
    std::int64_t pts = lastPts_ + 1;
    if (presentationTime.timescale > 0) {
      pts = av_rescale_q(presentationTime.value, AVRational{1, presentationTime.timescale},
                         AVRational{settings_.frameRate.den, settings_.frameRate.num});
    }
    pts = std::max(pts, lastPts_ + 1);
    lastPts_ = pts;
    frame->pts = pts;
    // Under the lock, so that the worker gets the frames in pts order.
    worker_->submit(std::move(frame), forceKeyFrame, std::move(context));
    return 0;
  }

  std::int32_t completeFrames() override {
    EncoderWorker* worker = nullptr;
    State state = State::Configuring;
    {
      MutexLock lock(mutex_);
      worker = worker_.get();
      state = state_;
    }
    if (worker && worker->onOwnThread()) return AVERROR(EDEADLK);
    if (state == State::Invalidated) return invalidatedStatus;
    if (state == State::Prepared) worker->drain();
    return 0;
  }

  void invalidate() override {
    EncoderWorker* worker = nullptr;
    {
      MutexLock lock(mutex_);
      if (state_ != State::Invalidated) {
        state_ = State::Invalidated;
        pool_.reset();
      }
      // Kept until the destructor: another thread may be waiting in its drain().
      worker = worker_.get();
    }
    if (worker) worker->stop();
  }

 private:
  enum class State { Configuring, Prepared, Invalidated };

  // Opens the candidates in order with the real settings; the first that opens is the session's,
  // and the only candidate kept.
  std::unique_ptr<OpenedEncoder> openFirstCandidate() REQUIRES(mutex_) {
    std::vector<Backend> backends;
    for (const Candidate& c : candidates_) backends.push_back(c.backend);
    const auto plan = openPlan(backends, settings_);
    std::unique_ptr<OpenedEncoder> opened;
    const ChosenAttempt chosen = chooseFirst(plan, [&](const OpenAttempt& attempt) REQUIRES(mutex_) {
      const DeviceRef& device = std::find_if(candidates_.begin(), candidates_.end(), [&](const Candidate& c) {
                                  return c.backend == attempt.backend;
                                })->device;
      auto result = openWith(openHook_, attempt, settings_, device);
      if (!result) return result.error().message;
      opened = std::move(*result);
      return std::string();
    });
    for (const std::string& why : chosen.reasons) ffmpegDiagnostic("ffmpeg_encoder_failed reason=" + sanitized(why));
    if (chosen.index < 0) {
      failure_->set(joined(chosen.reasons));
      return nullptr;
    }
    chosen_ = plan[static_cast<std::size_t>(chosen.index)];
    std::erase_if(candidates_, [&](const Candidate& c) REQUIRES(mutex_) { return c.backend != chosen_.backend; });
    logChoice();
    failure_->set({});
    return opened;
  }

  void logChoice() const REQUIRES(mutex_) {
    const BackendEntry& entry = backendEntry(chosen_.backend);
    std::string line = std::string("ffmpeg_encoder_chosen encoder=") + entry.name + " codec=" + entry.codec +
                       " rate_control=" + rateControlName(chosen_.backend, chosen_.rate);
    if (chosen_.rate == RateControl::ConstantQuality) {
      line += " qp=" + std::to_string(constantQp(settings_));
    } else {
      line += " bit_rate=" + std::to_string(settings_.bitRate) + " peak=" + std::to_string(settings_.maxRate);
    }
    ffmpegDiagnostic(line);
  }

  const CompressionSessionSpec config_;
  const CompressionOutputHandler output_;
  const bool softwareChosen_;
  const OpenHook openHook_;
  const std::shared_ptr<FailureNote> failure_;

  mutable Mutex mutex_;
  State state_ GUARDED_BY(mutex_) = State::Configuring;
  std::shared_ptr<NV12BufferPool> pool_ GUARDED_BY(mutex_);
  std::vector<Candidate> candidates_ GUARDED_BY(mutex_);
  OpenAttempt chosen_ GUARDED_BY(mutex_);
  CodecSettings settings_ GUARDED_BY(mutex_);
  std::int64_t lastPts_ GUARDED_BY(mutex_) = -1;
  // Set once by prepare; its thread is joined by invalidate() and by the destructor.
  std::unique_ptr<EncoderWorker> worker_ GUARDED_BY(mutex_);
};

std::vector<Backend> candidates(EncoderChoice::Kind kind, bool requireHardware) {
  using Kind = EncoderChoice::Kind;
  switch (kind) {
    case Kind::Hardware:
      if (requireHardware) return {Backend::Vaapi, Backend::Nvenc, Backend::Qsv};
      return {Backend::Vaapi, Backend::Nvenc, Backend::Qsv, Backend::X264};
    case Kind::Vaapi: return {Backend::Vaapi};
    case Kind::Nvenc: return {Backend::Nvenc};
    case Kind::Qsv: return {Backend::Qsv};
    case Kind::Software: return {Backend::X264};
    case Kind::Unknown: return {};
  }
  return {};
}

// The candidates that can run here at this size, and why the others cannot.
std::vector<Candidate> usableCandidates(const std::vector<Backend>& backends, const CompressionSessionSpec& spec,
                                        const std::string& vaapiNode, std::vector<std::string>& reasons) {
  std::vector<Candidate> usable;
  for (Backend backend : backends) {
    const char* name = backendEntry(backend).name;
    if (std::string refusal = sizeRefusal(backend, spec.width, spec.height); !refusal.empty()) {
      reasons.push_back(name + (": " + refusal));
      continue;
    }
    auto device = acquireDevice(backend, vaapiNode);
    if (!device) {
      reasons.push_back(name + (": " + device.error().message));
      continue;
    }
    usable.push_back(Candidate{backend, std::move(*device)});
  }
  return usable;
}

}  // namespace

EncoderChoice EncoderChoice::fromWord(std::string_view word) {
  static constexpr std::pair<std::string_view, Kind> kinds[] = {
      {"", Kind::Hardware},   {"hardware", Kind::Hardware}, {"vaapi", Kind::Vaapi},
      {"nvenc", Kind::Nvenc}, {"qsv", Kind::Qsv},           {"software", Kind::Software},
  };
  const auto* found = std::find_if(std::begin(kinds), std::end(kinds), [&](const auto& k) { return k.first == word; });
  return {found == std::end(kinds) ? Kind::Unknown : found->second, std::string(word)};
}

EncoderChoice FfmpegCompressionSessionFactory::choiceFromEnvironment() {
  const char* word = std::getenv("PELORIN_VIDEO_ENCODER");
  return EncoderChoice::fromWord(word ? word : "");
}

std::string FfmpegCompressionSessionFactory::vaapiDeviceFromEnvironment() {
  const char* device = std::getenv("PELORIN_VAAPI_DEVICE");
  return device && *device ? device : "/dev/dri/renderD128";
}

FfmpegCompressionSessionFactory::FfmpegCompressionSessionFactory(EncoderChoice choice, std::string vaapiDevice,
                                                                 OpenHook openHook)
    : choice_(std::move(choice)), vaapiDevice_(std::move(vaapiDevice)), openHook_(std::move(openHook)) {
  quietLibavLogging();
}

void FailureNote::set(std::string why) {
  MutexLock lock(mutex_);
  why_ = std::move(why);
}

std::string FailureNote::get() const {
  MutexLock lock(mutex_);
  return why_;
}

std::string FfmpegCompressionSessionFactory::lastFailure() const { return failure_->get(); }

std::int32_t FfmpegCompressionSessionFactory::create(const CompressionSessionSpec& spec,
                                                     CompressionOutputHandler output,
                                                     std::unique_ptr<CompressionSession>& session) {
  session.reset();
  auto fail = [&](std::int32_t status, std::string why) {
    ffmpegDiagnostic("ffmpeg_encoder_unavailable reason=" + sanitized(why));
    failure_->set(std::move(why));
    return status;
  };
  if (choice_.kind == EncoderChoice::Kind::Unknown) {
    return fail(AVERROR(EINVAL), "unknown PELORIN_VIDEO_ENCODER value '" + choice_.word +
                                     "' (expected hardware, vaapi, nvenc, qsv or software)");
  }
  if (spec.sourcePixelFormat != pixelFormat420v) return fail(AVERROR(EINVAL), "source pixel format is not NV12");
  const std::string size = std::to_string(spec.width) + "x" + std::to_string(spec.height);
  if (spec.width <= 0 || spec.height <= 0 || spec.width % 2 != 0 || spec.height % 2 != 0) {
    return fail(AVERROR(EINVAL), "size " + size + " is not even: 4:2:0 H.264 needs even width and height");
  }
  std::vector<std::string> reasons;
  auto usable = usableCandidates(candidates(choice_.kind, spec.requireHardware), spec, vaapiDevice_, reasons);
  for (const std::string& why : reasons) ffmpegDiagnostic("ffmpeg_encoder_failed reason=" + sanitized(why));
  static_assert(AVERROR_ENCODER_NOT_FOUND == noUsableEncoderStatus);
  if (usable.empty()) return fail(noUsableEncoderStatus, joined(reasons));
  session = std::make_unique<FfmpegCompressionSession>(std::move(usable), spec, std::move(output),
                                                       choice_.kind == EncoderChoice::Kind::Software, openHook_,
                                                       failure_);
  failure_->set({});
  return 0;
}

}  // namespace pelorin::platform::ffmpeg
