#include "platform/ffmpeg/compression_session_ffmpeg.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "base/sanitize.h"
#include "platform/ffmpeg/av_error.h"
#include "platform/ffmpeg/opened_encoder.h"
#include "platform/ffmpeg/sample_assembler.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
}

namespace pelorin::platform::ffmpeg {
namespace {

// Status of frames and calls cut off by invalidate().
const std::int32_t invalidatedStatus = AVERROR_EXIT;

struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

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

bool holdsValidValue(CompressionProperty key, const PropertyValue& v) {
  auto positive = [&] { return std::holds_alternative<std::int32_t>(v) && std::get<std::int32_t>(v) > 0; };
  switch (key) {
    case CompressionProperty::RealTime:
    case CompressionProperty::AllowFrameReordering: return std::holds_alternative<bool>(v);
    case CompressionProperty::ProfileLevel: return std::holds_alternative<ProfileLevel>(v);
    case CompressionProperty::H264EntropyMode: return std::holds_alternative<EntropyMode>(v);
    case CompressionProperty::ExpectedFrameRate: {
      const auto* rate = std::get_if<FrameRate>(&v);
      return rate && rate->num > 0 && rate->den > 0;
    }
    case CompressionProperty::AverageBitRate:
    case CompressionProperty::MaxKeyFrameInterval:
    case CompressionProperty::MaxKeyFrameIntervalDuration: return positive();
    case CompressionProperty::DataRateLimits: {
      const auto* limit = std::get_if<DataRateLimit>(&v);
      return limit && limit->bytes > 0 && limit->seconds > 0;
    }
    case CompressionProperty::UsingHardwareAcceleratedVideoEncoder: return false;
  }
  return false;
}

// The session's state shared with its worker thread, which alone touches the codec once opened.
class SessionCore : public std::enable_shared_from_this<SessionCore> {
 public:
  SessionCore(std::vector<Candidate> candidates, const CompressionSessionSpec& config,
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

  ~SessionCore() {
    // Only the worker itself can drop the last reference while still joinable.
    if (worker_.joinable()) worker_.detach();
  }

  std::string encoderName() const {
    std::lock_guard guard(mutex_);
    return backendEntry(chosen_.backend).name;
  }
  bool softwareExplicitlyChosen() const { return softwareChosen_; }

  std::int32_t setProperty(CompressionProperty key, const PropertyValue& value) {
    std::lock_guard guard(mutex_);
    if (state_ == State::Invalidated) return invalidatedStatus;
    if (key == CompressionProperty::UsingHardwareAcceleratedVideoEncoder) return AVERROR(EPERM);
    if (!holdsValidValue(key, value)) return AVERROR(EINVAL);
    if (state_ == State::Prepared) return AVERROR(EBUSY);  // the codec is opened once
    properties_[key] = value;
    return 0;
  }

  std::int32_t copyProperty(CompressionProperty key, PropertyValue& value) {
    std::lock_guard guard(mutex_);
    if (state_ == State::Invalidated) return invalidatedStatus;
    if (key == CompressionProperty::UsingHardwareAcceleratedVideoEncoder) {
      value = backendEntry(chosen_.backend).hardware;
      return 0;
    }
    const auto found = properties_.find(key);
    if (found == properties_.end()) return AVERROR(ENOENT);
    value = found->second;
    return 0;
  }

  std::int32_t prepare() {
    std::lock_guard guard(mutex_);
    if (state_ == State::Invalidated) return invalidatedStatus;
    if (state_ == State::Prepared) return 0;
    settings_ = settingsFromProperties();
    if (!openFirstCandidate()) return AVERROR_EXTERNAL;
    state_ = State::Prepared;
    worker_ = std::thread([self = shared_from_this()] { self->run(); });
    workerId_ = worker_.get_id();
    return 0;
  }

  std::shared_ptr<NV12BufferPool> pixelBufferPool() {
    std::lock_guard guard(mutex_);
    return pool_;
  }

  std::int32_t encodeFrame(PixelBufferRef buffer, MediaTime presentationTime, bool forceKeyFrame,
                           FrameContext context) {
    if (!buffer || buffer->width() != config_.width || buffer->height() != config_.height) return AVERROR(EINVAL);
    if (const std::int32_t status = acceptingStatus(); status != 0) return status;
    FramePtr frame;
    const int copied = copyToFrame(*buffer, frame);
    buffer.reset();
    if (copied < 0) return copied;
    if (forceKeyFrame) markKeyFrame(*frame);
    {
      std::lock_guard guard(mutex_);
      if (state_ != State::Prepared) return state_ == State::Invalidated ? invalidatedStatus : AVERROR(EINVAL);
      // Presentation time in the codec's time base (one frame), forced strictly increasing so each frame
      // has its own key in the context map.
      std::int64_t pts = lastPts_ + 1;
      if (presentationTime.timescale > 0) {
        pts = av_rescale_q(presentationTime.value, AVRational{1, presentationTime.timescale},
                           AVRational{settings_.frameRate.den, settings_.frameRate.num});
      }
      pts = std::max(pts, lastPts_ + 1);
      lastPts_ = pts;
      frame->pts = pts;
      queue_.push_back(Job{std::move(frame), std::move(context)});
      ++accepted_;
    }
    wake_.notify_all();
    return 0;
  }

  std::int32_t completeFrames() {
    if (std::this_thread::get_id() == workerId()) return AVERROR(EDEADLK);
    std::unique_lock lock(mutex_);
    if (state_ == State::Invalidated) return invalidatedStatus;
    if (state_ == State::Configuring) return 0;
    const std::uint64_t target = accepted_;
    const std::uint64_t drain = ++drainsRequested_;
    wake_.notify_all();
    // The worker delivers every accepted frame, with an error if it is cut off, and closes the
    // codec before any later frame, unless it stops first.
    delivered_cv_.wait(lock, [&] { return delivered_ >= target && (drainsDone_ >= drain || stop_); });
    return 0;
  }

  void invalidate() {
    bool onWorker = false;
    {
      std::lock_guard guard(mutex_);
      if (state_ != State::Invalidated) {
        state_ = State::Invalidated;
        pool_.reset();
      }
      stop_ = true;
      onWorker = workerId_ == std::this_thread::get_id();
    }
    wake_.notify_all();
    delivered_cv_.notify_all();
    // From an output handler the worker stops once the handler returns; the owner joins it later.
    if (onWorker) return;
    std::lock_guard join(joinMutex_);
    if (worker_.joinable()) worker_.join();
  }

 private:
  enum class State { Configuring, Prepared, Invalidated };
  struct Job {
    FramePtr frame;
    FrameContext context;
  };

  static void markKeyFrame(AVFrame& frame) {
    frame.pict_type = AV_PICTURE_TYPE_I;
#ifdef AV_FRAME_FLAG_KEY
    frame.flags |= AV_FRAME_FLAG_KEY;
#else
    frame.key_frame = 1;
#endif
  }

  std::thread::id workerId() {
    std::lock_guard guard(mutex_);
    return workerId_;
  }

  std::int32_t acceptingStatus() {
    std::lock_guard guard(mutex_);
    if (state_ == State::Invalidated) return invalidatedStatus;
    return state_ == State::Prepared ? 0 : AVERROR(EINVAL);
  }

  template <class T>
  std::optional<T> property(CompressionProperty key) const {
    const auto found = properties_.find(key);
    if (found == properties_.end()) return std::nullopt;
    return std::get<T>(found->second);
  }

  CodecSettings settingsFromProperties() const {
    CodecSettings s;
    s.width = config_.width;
    s.height = config_.height;
    s.frameRate = property<FrameRate>(CompressionProperty::ExpectedFrameRate).value_or(defaultFrameRate);
    s.bitRate = property<std::int32_t>(CompressionProperty::AverageBitRate).value_or(0);
    if (const auto limit = property<DataRateLimit>(CompressionProperty::DataRateLimits)) {
      s.maxRate = std::int64_t{limit->bytes} * 8 / limit->seconds;
      // A limit of the average in whole bytes is the average itself: a peak a few bits below it
      // would turn a constant rate into a variable one.
      if (s.bitRate > 0 && limit->bytes == s.bitRate * limit->seconds / 8) s.maxRate = s.bitRate;
      s.bufferBits = s.maxRate * limit->seconds;
    }
    // A key frame at least every MaxKeyFrameIntervalDuration seconds (one second by default).
    const std::int64_t seconds = property<std::int32_t>(CompressionProperty::MaxKeyFrameIntervalDuration).value_or(1);
    const std::int64_t byDuration = std::int64_t{s.frameRate.num} * seconds / s.frameRate.den;
    const std::int64_t byCount = property<std::int32_t>(CompressionProperty::MaxKeyFrameInterval).value_or(INT32_MAX);
    s.gop = static_cast<int>(std::clamp<std::int64_t>(std::min(byDuration, byCount), 1, INT32_MAX));
    s.profile = property<ProfileLevel>(CompressionProperty::ProfileLevel)
                    .value_or(ProfileLevel::ConstrainedBaselineAutoLevel);
    const bool canCabac = s.profile != ProfileLevel::ConstrainedBaselineAutoLevel;
    s.cabac = canCabac && property<EntropyMode>(CompressionProperty::H264EntropyMode).value_or(EntropyMode::CABAC) ==
                              EntropyMode::CABAC;
    return s;
  }

  const DeviceRef& deviceFor(Backend backend) const {
    return std::find_if(candidates_.begin(), candidates_.end(), [&](const Candidate& c) {
             return c.backend == backend;
           })->device;
  }

  // Opens the candidates in order with the real settings; the first that opens is the session's.
  bool openFirstCandidate() {
    std::vector<Backend> backends;
    for (const Candidate& c : candidates_) backends.push_back(c.backend);
    const auto plan = openPlan(backends, settings_);
    std::unique_ptr<OpenedEncoder> opened;
    const ChosenAttempt chosen = chooseFirst(plan, [&](const OpenAttempt& attempt) {
      auto result = openAttempt(attempt);
      if (!result) return result.error().message;
      opened = std::move(*result);
      return std::string();
    });
    for (const std::string& why : chosen.reasons) ffmpegDiagnostic("ffmpeg_encoder_failed reason=" + sanitized(why));
    if (chosen.index < 0) {
      failure_->set(joined(chosen.reasons));
      return false;
    }
    chosen_ = plan[static_cast<std::size_t>(chosen.index)];
    std::erase_if(candidates_, [&](const Candidate& c) { return c.backend != chosen_.backend; });
    logChoice();
    failure_->set({});
    useEncoder(std::move(opened));
    return true;
  }

  void logChoice() const {
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

  Result<std::unique_ptr<OpenedEncoder>> openAttempt(const OpenAttempt& attempt) const {
    if (openHook_) {
      if (std::string why = openHook_(attempt); !why.empty()) return Error{ffmpegDomain, AVERROR_EXTERNAL, why};
    }
    return OpenedEncoder::open(attempt, settings_, deviceFor(attempt.backend));
  }

  void useEncoder(std::unique_ptr<OpenedEncoder> encoder) {
    // A reopened encoder brings its own parameter sets.
    encoder_ = std::move(encoder);
    assembler_ = SampleAssembler(settings_.profile == ProfileLevel::ConstrainedBaselineAutoLevel);
    assembler_.takeExtradata(encoder_->extradata());
  }

  void deliver(FrameContext context, std::int32_t status, const EncodedSample* sample) {
    if (output_) output_(std::move(context), status, sample);
    {
      std::lock_guard guard(mutex_);
      ++delivered_;
    }
    delivered_cv_.notify_all();
  }

  void failInFlight(std::int32_t status) {
    auto pending = std::move(inFlight_);
    inFlight_.clear();
    for (auto& [pts, context] : pending) deliver(std::move(context), status, nullptr);
  }

  void run() {
    for (;;) {
      Job job;
      std::uint64_t drain = 0;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stop_ || !queue_.empty() || drainsDone_ < drainsRequested_; });
        if (stop_) break;
        if (!queue_.empty()) {
          job = std::move(queue_.front());
          queue_.pop_front();
        } else {
          drain = drainsRequested_;
        }
      }
      if (drain == 0) {
        encode(std::move(job));
        continue;
      }
      drainCodec();
      {
        std::lock_guard guard(mutex_);
        drainsDone_ = drain;
      }
      delivered_cv_.notify_all();
    }
    failInFlight(invalidatedStatus);
    std::deque<Job> left;
    {
      std::lock_guard guard(mutex_);
      left.swap(queue_);
    }
    for (Job& job : left) deliver(std::move(job.context), invalidatedStatus, nullptr);
    encoder_.reset();
  }

  // After a drain or a reset the codec is closed; it is opened again, same encoder and rate
  // control, for the next frame.
  bool ensureOpen() {
    if (encoder_) return true;
    auto reopened = openAttempt(chosen_);
    if (!reopened) {
      ffmpegDiagnostic("ffmpeg_encoder_reopen_failed reason=" + sanitized(reopened.error().message));
      return false;
    }
    useEncoder(std::move(*reopened));
    return true;
  }

  // Any failure in the middle of the stream: the frames the codec holds fail, it is closed, and
  // the next frame opens it again as an IDR.
  void reset(std::int32_t status, const char* stage) {
    ffmpegDiagnostic(std::string("ffmpeg_encoder_reset stage=") + stage + " reason=" + sanitized(avErrorText(status)));
    failInFlight(status);
    encoder_.reset();
    idrNext_ = true;
  }

  void encode(Job job) {
    if (!ensureOpen()) {
      deliver(std::move(job.context), AVERROR_EXTERNAL, nullptr);
      return;
    }
    if (std::exchange(idrNext_, false)) markKeyFrame(*job.frame);
    const std::int64_t pts = job.frame->pts;
    inFlight_[pts] = std::move(job.context);
    int status = encoder_->send(job.frame.get());
    if (status == AVERROR(EAGAIN)) {
      // The codec wants its finished packets taken first.
      receivePackets();
      status = encoder_ ? encoder_->send(job.frame.get()) : AVERROR_EXTERNAL;
    }
    if (status < 0) {
      if (encoder_) reset(status, "send");
      return;
    }
    receivePackets();
  }

  // A drained codec takes no more frames: it is closed, and opened again for the next one.
  void drainCodec() {
    if (!encoder_) return;
    encoder_->send(nullptr);
    receivePackets();
    encoder_.reset();
    failInFlight(AVERROR_EOF);  // frames the codec never returned
  }

  void receivePackets() {
    PacketPtr packet(av_packet_alloc());
    if (!packet) {
      reset(AVERROR(ENOMEM), "receive");
      return;
    }
    while (encoder_) {
      const int status = encoder_->receive(packet.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
      if (status < 0) {
        reset(status, "receive");
        return;
      }
      handlePacket(*packet);
      av_packet_unref(packet.get());
    }
  }

  FrameContext takeContext(std::int64_t pts) {
    auto found = inFlight_.find(pts);
    if (found == inFlight_.end()) found = inFlight_.begin();  // no usable pts: oldest first
    FrameContext context = std::move(found->second);
    inFlight_.erase(found);
    return context;
  }

  void handlePacket(const AVPacket& packet) {
    if (inFlight_.empty()) return;  // nothing is waiting for it
    auto sample = assembler_.assemble(ByteSpan(packet.data, static_cast<std::size_t>(packet.size)),
                                      (packet.flags & AV_PKT_FLAG_KEY) != 0);
    if (sample && !*sample) return;  // parameter sets alone, kept for the frame that follows
    FrameContext context = takeContext(packet.pts);
    if (!sample) {
      ffmpegDiagnostic("ffmpeg_frame_failed reason=" + sanitized(sample.error().message));
      deliver(std::move(context), AVERROR_INVALIDDATA, nullptr);
      return;
    }
    deliver(std::move(context), 0, &**sample);
  }

  const CompressionSessionSpec config_;
  const CompressionOutputHandler output_;
  const bool softwareChosen_;
  const OpenHook openHook_;
  const std::shared_ptr<FailureNote> failure_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable delivered_cv_;
  State state_ = State::Configuring;
  std::map<CompressionProperty, PropertyValue> properties_;
  std::shared_ptr<NV12BufferPool> pool_;
  std::deque<Job> queue_;
  bool stop_ = false;
  std::uint64_t drainsRequested_ = 0;  // completeFrames() calls, and the drains done for them
  std::uint64_t drainsDone_ = 0;
  std::uint64_t accepted_ = 0;
  std::uint64_t delivered_ = 0;
  std::int64_t lastPts_ = -1;

  std::thread::id workerId_;  // guarded by mutex_
  std::mutex joinMutex_;
  std::thread worker_;

  // Set under mutex_ until prepare() starts the worker (chosen_ is then read under it too),
  // then the worker's alone.
  std::vector<Candidate> candidates_;
  OpenAttempt chosen_;
  CodecSettings settings_;
  std::unique_ptr<OpenedEncoder> encoder_;
  SampleAssembler assembler_;
  std::map<std::int64_t, FrameContext> inFlight_;
  bool idrNext_ = false;
};

class FfmpegCompressionSession final : public CompressionSession {
 public:
  explicit FfmpegCompressionSession(std::shared_ptr<SessionCore> core) : core_(std::move(core)) {}
  ~FfmpegCompressionSession() override { core_->invalidate(); }

  std::string encoderName() const override { return core_->encoderName(); }
  bool softwareExplicitlyChosen() const override { return core_->softwareExplicitlyChosen(); }
  std::int32_t setProperty(CompressionProperty key, const PropertyValue& value) override {
    return core_->setProperty(key, value);
  }
  std::int32_t copyProperty(CompressionProperty key, PropertyValue& value) override {
    return core_->copyProperty(key, value);
  }
  std::int32_t prepareToEncodeFrames() override { return core_->prepare(); }
  std::shared_ptr<NV12BufferPool> pixelBufferPool() override { return core_->pixelBufferPool(); }
  std::int32_t encodeFrame(PixelBufferRef buffer, MediaTime presentationTime, MediaTime, bool forceKeyFrame,
                           FrameContext context) override {
    return core_->encodeFrame(std::move(buffer), presentationTime, forceKeyFrame, std::move(context));
  }
  std::int32_t completeFrames() override { return core_->completeFrames(); }
  void invalidate() override { core_->invalidate(); }

 private:
  std::shared_ptr<SessionCore> core_;
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
  EncoderChoice choice;
  choice.word = std::string(word);
  if (word.empty() || word == "hardware") {
    choice.kind = Kind::Hardware;
  } else if (word == "vaapi") {
    choice.kind = Kind::Vaapi;
  } else if (word == "nvenc") {
    choice.kind = Kind::Nvenc;
  } else if (word == "qsv") {
    choice.kind = Kind::Qsv;
  } else if (word == "software") {
    choice.kind = Kind::Software;
  } else {
    choice.kind = Kind::Unknown;
  }
  return choice;
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
  std::lock_guard guard(mutex_);
  why_ = std::move(why);
}

std::string FailureNote::get() const {
  std::lock_guard guard(mutex_);
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
  auto core = std::make_shared<SessionCore>(std::move(usable), spec, std::move(output),
                                            choice_.kind == EncoderChoice::Kind::Software, openHook_, failure_);
  session = std::make_unique<FfmpegCompressionSession>(std::move(core));
  failure_->set({});
  return 0;
}

}  // namespace pelorin::platform::ffmpeg
