#include "platform/ffmpeg/compression_session_ffmpeg.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "platform/ffmpeg/av_error.h"
#include "platform/ffmpeg/h264_units.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/mathematics.h>
}

namespace pelorin::platform::ffmpeg {
namespace {

#ifdef AV_PROFILE_H264_HIGH
constexpr int profileConstrainedBaseline = AV_PROFILE_H264_CONSTRAINED_BASELINE;
constexpr int profileMain = AV_PROFILE_H264_MAIN;
constexpr int profileHigh = AV_PROFILE_H264_HIGH;
#else
constexpr int profileConstrainedBaseline = FF_PROFILE_H264_CONSTRAINED_BASELINE;
constexpr int profileMain = FF_PROFILE_H264_MAIN;
constexpr int profileHigh = FF_PROFILE_H264_HIGH;
#endif

// Status of frames and calls cut off by invalidate().
const std::int32_t invalidatedStatus = AVERROR_EXIT;

enum class Backend { Vaapi, Nvenc, Qsv, X264 };

const char* backendName(Backend b) {
  switch (b) {
    case Backend::Vaapi: return "vaapi";
    case Backend::Nvenc: return "nvenc";
    case Backend::Qsv: return "qsv";
    case Backend::X264: return "x264";
  }
  return "";
}

const char* codecName(Backend b) {
  switch (b) {
    case Backend::Vaapi: return "h264_vaapi";
    case Backend::Nvenc: return "h264_nvenc";
    case Backend::Qsv: return "h264_qsv";
    case Backend::X264: return "libx264";
  }
  return "";
}

// What the codec is opened with, fixed at prepareToEncodeFrames().
struct EncoderSettings {
  int width = 0;
  int height = 0;
  int fps = 30;
  std::int64_t bitRate = 0;  // 0: the encoder's own quality default
  std::int64_t maxRate = 0;  // 0: no peak limit
  std::int64_t bufferBits = 0;
  int gop = 30;
  ProfileLevel profile = ProfileLevel::ConstrainedBaselineAutoLevel;
  bool cabac = false;
};

struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

const char* profileWord(ProfileLevel p) {
  switch (p) {
    case ProfileLevel::ConstrainedBaselineAutoLevel: return "baseline";
    case ProfileLevel::MainAutoLevel: return "main";
    case ProfileLevel::HighAutoLevel: return "high";
  }
  return "baseline";
}

int profileNumber(ProfileLevel p) {
  switch (p) {
    case ProfileLevel::ConstrainedBaselineAutoLevel: return profileConstrainedBaseline;
    case ProfileLevel::MainAutoLevel: return profileMain;
    case ProfileLevel::HighAutoLevel: return profileHigh;
  }
  return profileConstrainedBaseline;
}

void setOption(AVDictionary** options, const char* key, const std::string& value) {
  av_dict_set(options, key, value.c_str(), 0);
}

// Options each encoder needs to send every frame out as soon as it is in, without reordering.
void lowLatencyOptions(Backend backend, const EncoderSettings& s, AVCodecContext* c, AVDictionary** o) {
  const bool peakLimited = s.maxRate > 0 && s.bitRate > 0;
  switch (backend) {
    case Backend::X264: {
      setOption(o, "preset", "ultrafast");
      setOption(o, "tune", "zerolatency");
      setOption(o, "profile", profileWord(s.profile));
      setOption(o, "forced-idr", "1");
      // With ultrafast the profile is only a ceiling; these tools make the stream reach it.
      std::string params = s.cabac ? "cabac=1" : "cabac=0";
      if (s.profile == ProfileLevel::HighAutoLevel) params += ":8x8dct=1";
      setOption(o, "x264-params", params);
      c->thread_count = 2;
      break;
    }
    case Backend::Nvenc:
      setOption(o, "preset", "p1");
      setOption(o, "tune", "ull");
      setOption(o, "zerolatency", "1");
      setOption(o, "delay", "0");
      setOption(o, "forced-idr", "1");
      setOption(o, "profile", profileWord(s.profile));
      setOption(o, "coder", s.cabac ? "cabac" : "cavlc");
      if (peakLimited) setOption(o, "rc", s.maxRate > s.bitRate ? "vbr" : "cbr");
      break;
    case Backend::Qsv:
      setOption(o, "async_depth", "1");
      setOption(o, "look_ahead", "0");
      setOption(o, "forced_idr", "1");
      setOption(o, "profile", profileWord(s.profile));
      c->profile = profileNumber(s.profile);
      break;
    case Backend::Vaapi:
      setOption(o, "async_depth", "1");
      setOption(o, "coder", s.cabac ? "cabac" : "cavlc");
      if (s.bitRate > 0) setOption(o, "rc_mode", peakLimited && s.maxRate > s.bitRate ? "VBR" : "CBR");
      c->profile = profileNumber(s.profile);
      break;
  }
}

int attachVaapiFrames(AVCodecContext* c, AVBufferRef* device, std::string& why) {
  AVBufferRef* frames = av_hwframe_ctx_alloc(device);
  if (!frames) return AVERROR(ENOMEM);
  auto* fc = reinterpret_cast<AVHWFramesContext*>(frames->data);
  fc->format = AV_PIX_FMT_VAAPI;
  fc->sw_format = AV_PIX_FMT_NV12;
  fc->width = c->width;
  fc->height = c->height;
  fc->initial_pool_size = 8;
  if (const int status = av_hwframe_ctx_init(frames); status < 0) {
    av_buffer_unref(&frames);
    why = "VAAPI surfaces: " + avErrorText(status);
    return status;
  }
  c->hw_frames_ctx = frames;  // the context takes this reference
  return 0;
}

// Opens `backend` with `s`. For VAAPI the device is created on first use and kept by the caller.
int openEncoder(Backend backend, const EncoderSettings& s, const std::string& vaapiDevice,
                AVBufferRef*& device, AVCodecContext*& out, std::string& why) {
  const AVCodec* codec = avcodec_find_encoder_by_name(codecName(backend));
  if (!codec) {
    why = std::string(codecName(backend)) + " is not in this libavcodec";
    return AVERROR_ENCODER_NOT_FOUND;
  }
  if (backend == Backend::Vaapi && !device) {
    const int status = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, vaapiDevice.c_str(), nullptr, 0);
    if (status < 0) {
      why = "cannot open VAAPI device " + vaapiDevice + ": " + avErrorText(status);
      return status;
    }
  }
  AVCodecContext* c = avcodec_alloc_context3(codec);
  if (!c) return AVERROR(ENOMEM);
  c->width = s.width;
  c->height = s.height;
  c->time_base = AVRational{1, s.fps};
  c->framerate = AVRational{s.fps, 1};
  c->pix_fmt = backend == Backend::Vaapi ? AV_PIX_FMT_VAAPI : AV_PIX_FMT_NV12;
  c->gop_size = s.gop;
  c->max_b_frames = 0;
  c->has_b_frames = 0;
  if (s.bitRate > 0) c->bit_rate = s.bitRate;
  if (s.maxRate > 0) {
    c->rc_max_rate = s.maxRate;
    c->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(s.bufferBits, INT32_MAX));
  }
  // Video-range BT.601, so the stream's VUI says how the NV12 source is meant.
  c->color_range = AVCOL_RANGE_MPEG;
  c->colorspace = AVCOL_SPC_SMPTE170M;
  c->color_primaries = AVCOL_PRI_SMPTE170M;
  c->color_trc = AVCOL_TRC_SMPTE170M;

  AVDictionary* options = nullptr;
  lowLatencyOptions(backend, s, c, &options);
  int status = 0;
  if (backend == Backend::Vaapi) status = attachVaapiFrames(c, device, why);
  if (status == 0) {
    status = avcodec_open2(c, codec, &options);
    if (status < 0) why = std::string(codecName(backend)) + ": " + avErrorText(status);
  }
  av_dict_free(&options);
  if (status < 0) {
    avcodec_free_context(&c);
    return status;
  }
  out = c;
  return 0;
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
    case CompressionProperty::ExpectedFrameRate:
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
  SessionCore(Backend backend, const CompressionSessionSpec& config, CompressionOutputHandler output,
              bool softwareChosen, std::string vaapiDevice, AVBufferRef* device)
      : backend_(backend),
        config_(config),
        output_(std::move(output)),
        softwareChosen_(softwareChosen),
        vaapiDevice_(std::move(vaapiDevice)),
        pool_(NV12BufferPool::create(config.width, config.height)),
        device_(device) {}

  ~SessionCore() {
    // Only the worker itself can drop the last reference while still joinable.
    if (worker_.joinable()) worker_.detach();
    avcodec_free_context(&codec_);
    av_buffer_unref(&device_);
  }

  std::string encoderName() const { return backendName(backend_); }
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
      value = backend_ != Backend::X264;
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
    std::string why;
    if (const int status = openEncoder(backend_, settings_, vaapiDevice_, device_, codec_, why); status < 0) {
      failure_ = why;
      return status;
    }
    takeExtradataSets();
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
    if (forceKeyFrame) {
      frame->pict_type = AV_PICTURE_TYPE_I;
#ifdef AV_FRAME_FLAG_KEY
      frame->flags |= AV_FRAME_FLAG_KEY;
#else
      frame->key_frame = 1;
#endif
    }
    {
      std::lock_guard guard(mutex_);
      if (state_ != State::Prepared) return state_ == State::Invalidated ? invalidatedStatus : AVERROR(EINVAL);
      // Presentation time in the codec's 1/fps base, forced strictly increasing so each frame
      // has its own key in the context map.
      std::int64_t pts = lastPts_ + 1;
      if (presentationTime.timescale > 0) {
        pts = av_rescale_q(presentationTime.value, AVRational{1, presentationTime.timescale},
                           AVRational{1, settings_.fps});
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
    drainRequested_ = true;
    wake_.notify_all();
    // The worker delivers every accepted frame, with an error if it is cut off.
    delivered_cv_.wait(lock, [&] { return delivered_ >= target; });
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
    // From an output handler the worker stops once the handler returns; the owner joins it later.
    if (onWorker) return;
    std::lock_guard join(joinMutex_);
    if (worker_.joinable()) worker_.join();
  }

  std::string failure() const {
    std::lock_guard guard(mutex_);
    return failure_;
  }

 private:
  enum class State { Configuring, Prepared, Invalidated };
  struct Job {
    FramePtr frame;
    FrameContext context;
  };

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

  EncoderSettings settingsFromProperties() const {
    EncoderSettings s;
    s.width = config_.width;
    s.height = config_.height;
    s.fps = property<std::int32_t>(CompressionProperty::ExpectedFrameRate).value_or(30);
    s.bitRate = property<std::int32_t>(CompressionProperty::AverageBitRate).value_or(0);
    if (const auto limit = property<DataRateLimit>(CompressionProperty::DataRateLimits)) {
      s.maxRate = std::int64_t{limit->bytes} * 8 / limit->seconds;
      s.bufferBits = std::int64_t{limit->bytes} * 8;
    }
    // A key frame at least every MaxKeyFrameIntervalDuration seconds (one second by default).
    const std::int64_t byDuration =
        std::int64_t{s.fps} * property<std::int32_t>(CompressionProperty::MaxKeyFrameIntervalDuration).value_or(1);
    const std::int64_t byCount = property<std::int32_t>(CompressionProperty::MaxKeyFrameInterval).value_or(INT32_MAX);
    s.gop = static_cast<int>(std::clamp<std::int64_t>(std::min(byDuration, byCount), 1, INT32_MAX));
    s.profile = property<ProfileLevel>(CompressionProperty::ProfileLevel)
                    .value_or(ProfileLevel::ConstrainedBaselineAutoLevel);
    const bool canCabac = s.profile != ProfileLevel::ConstrainedBaselineAutoLevel;
    s.cabac = canCabac && property<EntropyMode>(CompressionProperty::H264EntropyMode).value_or(EntropyMode::CABAC) ==
                              EntropyMode::CABAC;
    return s;
  }

  void takeExtradataSets() {
    if (!codec_->extradata || codec_->extradata_size <= 0) return;
    auto sets = parameterSetsFromExtradata(ByteSpan(codec_->extradata, static_cast<std::size_t>(codec_->extradata_size)));
    if (!sets) return;  // in-band sets still arrive with key frames
    if (sets->sps) sps_ = sets->sps;
    if (sets->pps) pps_ = sets->pps;
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
      bool drain = false;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stop_ || !queue_.empty() || drainRequested_; });
        if (stop_) break;
        if (!queue_.empty()) {
          job = std::move(queue_.front());
          queue_.pop_front();
        } else {
          drain = true;
          drainRequested_ = false;
        }
      }
      if (drain) {
        drainCodec();
      } else {
        encode(std::move(job));
      }
    }
    failInFlight(invalidatedStatus);
    std::deque<Job> left;
    {
      std::lock_guard guard(mutex_);
      left.swap(queue_);
    }
    for (Job& job : left) deliver(std::move(job.context), invalidatedStatus, nullptr);
    avcodec_free_context(&codec_);
  }

  // After a flush the codec is at its end; it is opened again for the next frame.
  bool ensureOpen() {
    if (codec_) return true;
    std::string why;
    if (openEncoder(backend_, settings_, vaapiDevice_, device_, codec_, why) < 0) {
      std::lock_guard guard(mutex_);
      failure_ = why;
      return false;
    }
    takeExtradataSets();
    return true;
  }

  void encode(Job job) {
    if (!ensureOpen()) {
      deliver(std::move(job.context), AVERROR_EXTERNAL, nullptr);
      return;
    }
    FramePtr frame = std::move(job.frame);
    if (backend_ == Backend::Vaapi) {
      FramePtr surface(av_frame_alloc());
      int status = surface ? av_hwframe_get_buffer(codec_->hw_frames_ctx, surface.get(), 0) : AVERROR(ENOMEM);
      if (status == 0) status = av_hwframe_transfer_data(surface.get(), frame.get(), 0);
      if (status == 0) status = av_frame_copy_props(surface.get(), frame.get());
      if (status < 0) {
        deliver(std::move(job.context), status, nullptr);
        return;
      }
      frame = std::move(surface);
    }
    const std::int64_t pts = frame->pts;
    inFlight_[pts] = std::move(job.context);
    if (const int status = avcodec_send_frame(codec_, frame.get()); status < 0) {
      FrameContext context = std::move(inFlight_[pts]);
      inFlight_.erase(pts);
      deliver(std::move(context), status, nullptr);
      return;
    }
    receivePackets();
  }

  void drainCodec() {
    if (!codec_ || inFlight_.empty()) return;
    avcodec_send_frame(codec_, nullptr);
    receivePackets();
    avcodec_free_context(&codec_);
    failInFlight(AVERROR_EOF);  // frames the codec never returned
  }

  void receivePackets() {
    PacketPtr packet(av_packet_alloc());
    if (!packet) {
      failInFlight(AVERROR(ENOMEM));
      return;
    }
    for (;;) {
      const int status = avcodec_receive_packet(codec_, packet.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
      if (status < 0) {
        // The codec is in an unknown state: fail what it holds and start it afresh.
        failInFlight(status);
        avcodec_free_context(&codec_);
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
    auto split = splitEncodedPacket(ByteSpan(packet.data, static_cast<std::size_t>(packet.size)));
    if (split && split->dataBlock.empty()) {
      // Parameter sets alone: keep them for the frame that follows.
      if (split->sps) sps_ = split->sps;
      if (split->pps) pps_ = split->pps;
      return;
    }
    FrameContext context = takeContext(packet.pts);
    if (!split) {
      deliver(std::move(context), AVERROR_INVALIDDATA, nullptr);
      return;
    }
    if (split->sps) sps_ = std::move(split->sps);
    if (split->pps) pps_ = std::move(split->pps);
    EncodedSample sample;
    sample.notSync = (packet.flags & AV_PKT_FLAG_KEY) == 0;
    sample.parameterSets = {sps_, pps_};
    sample.dataBlock = std::move(split->dataBlock);
    deliver(std::move(context), 0, &sample);
  }

  const Backend backend_;
  const CompressionSessionSpec config_;
  const CompressionOutputHandler output_;
  const bool softwareChosen_;
  const std::string vaapiDevice_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable delivered_cv_;
  State state_ = State::Configuring;
  std::map<CompressionProperty, PropertyValue> properties_;
  std::shared_ptr<NV12BufferPool> pool_;
  std::deque<Job> queue_;
  bool stop_ = false;
  bool drainRequested_ = false;
  std::uint64_t accepted_ = 0;
  std::uint64_t delivered_ = 0;
  std::int64_t lastPts_ = -1;
  std::string failure_;

  std::thread::id workerId_;  // guarded by mutex_
  std::mutex joinMutex_;
  std::thread worker_;

  // Set in prepare() before the worker starts, then the worker's alone.
  EncoderSettings settings_;
  AVBufferRef* device_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  std::map<std::int64_t, FrameContext> inFlight_;
  std::optional<Bytes> sps_;
  std::optional<Bytes> pps_;
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

FfmpegCompressionSessionFactory::FfmpegCompressionSessionFactory(EncoderChoice choice, std::string vaapiDevice)
    : choice_(std::move(choice)), vaapiDevice_(std::move(vaapiDevice)) {
  quietLibavLogging();
}

std::string FfmpegCompressionSessionFactory::lastFailure() const {
  std::lock_guard guard(mutex_);
  return lastFailure_;
}

std::int32_t FfmpegCompressionSessionFactory::create(const CompressionSessionSpec& config,
                                                     CompressionOutputHandler output,
                                                     std::unique_ptr<CompressionSession>& session) {
  session.reset();
  auto fail = [&](std::int32_t status, std::string why) {
    std::lock_guard guard(mutex_);
    lastFailure_ = std::move(why);
    return status;
  };
  if (choice_.kind == EncoderChoice::Kind::Unknown) {
    return fail(AVERROR(EINVAL), "unknown PELORIN_VIDEO_ENCODER value '" + choice_.word +
                                     "' (expected hardware, vaapi, nvenc, qsv or software)");
  }
  if (config.width <= 0 || config.height <= 0 || config.sourcePixelFormat != pixelFormat420v) {
    return fail(AVERROR(EINVAL), "unsupported session size or source pixel format");
  }
  // Each candidate is opened once with plain settings: only a real open shows a missing driver.
  EncoderSettings probe;
  probe.width = config.width;
  probe.height = config.height;
  std::string reasons;
  std::int32_t status = AVERROR_ENCODER_NOT_FOUND;
  for (Backend backend : candidates(choice_.kind, config.requireHardware)) {
    AVBufferRef* device = nullptr;
    AVCodecContext* codec = nullptr;
    std::string why;
    status = openEncoder(backend, probe, vaapiDevice_, device, codec, why);
    if (status == 0) {
      avcodec_free_context(&codec);
      auto core = std::make_shared<SessionCore>(backend, config, std::move(output),
                                                choice_.kind == EncoderChoice::Kind::Software, vaapiDevice_, device);
      session = std::make_unique<FfmpegCompressionSession>(std::move(core));
      std::lock_guard guard(mutex_);
      lastFailure_.clear();
      return 0;
    }
    av_buffer_unref(&device);
    if (!reasons.empty()) reasons += "; ";
    reasons += std::string(backendName(backend)) + ": " + why;
  }
  return fail(status != 0 ? status : AVERROR_ENCODER_NOT_FOUND, "no usable H.264 encoder (" + reasons + ")");
}

}  // namespace pelorin::platform::ffmpeg
