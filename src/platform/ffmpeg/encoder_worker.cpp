#include "platform/ffmpeg/encoder_worker.h"

#include <map>

#include "base/sanitize.h"
#include "base/thread_name.h"
#include "platform/ffmpeg/av_error.h"
#include "platform/ffmpeg/sample_assembler.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace pelorin::platform::ffmpeg {
namespace {

struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

void markKeyFrame(AVFrame& frame) {
  frame.pict_type = AV_PICTURE_TYPE_I;
#ifdef AV_FRAME_FLAG_KEY
  frame.flags |= AV_FRAME_FLAG_KEY;
#else
  frame.key_frame = 1;
#endif
}

}  // namespace

const std::int32_t invalidatedStatus = AVERROR_EXIT;

void FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }

// What runs on the worker's thread: the codec, the parameter sets and the frames it holds. It
// lives on that thread's stack, so nothing else can reach it.
class EncoderWorker::Encoding {
 public:
  using Deliver = std::function<void(FrameContext, std::int32_t, const EncodedSample*)>;
  Encoding(WorkerCodec codec, Deliver deliver)
      : reopen_(std::move(codec.reopen)), baseline_(codec.constrainedBaseline), deliver_(std::move(deliver)) {
    use(std::move(codec.opened));
  }

  void encode(Job job) {
    if (!ensureOpen()) {
      deliver_(std::move(job.context), AVERROR_EXTERNAL, nullptr);
      return;
    }
    if (std::exchange(idrNext_, false) || job.keyFrame) markKeyFrame(*job.frame);
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
  void drain() {
    if (!encoder_) return;
    encoder_->send(nullptr);
    receivePackets();
    encoder_.reset();
    failInFlight(AVERROR_EOF);  // frames the codec never returned
  }

  void failInFlight(std::int32_t status) {
    auto pending = std::move(inFlight_);
    inFlight_.clear();
    for (auto& [pts, context] : pending) deliver_(std::move(context), status, nullptr);
  }

 private:
  void use(std::unique_ptr<OpenedEncoder> encoder) {
    // A reopened encoder brings its own parameter sets.
    encoder_ = std::move(encoder);
    assembler_ = SampleAssembler(baseline_);
    assembler_.takeExtradata(encoder_->extradata());
  }

  // After a drain or a reset the codec is closed; it is opened again for the next frame.
  bool ensureOpen() {
    if (encoder_) return true;
    auto reopened = reopen_();
    if (!reopened) {
      ffmpegDiagnostic("ffmpeg_encoder_reopen_failed reason=" + sanitized(reopened.error().message));
      return false;
    }
    use(std::move(*reopened));
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
      deliver_(std::move(context), AVERROR_INVALIDDATA, nullptr);
      return;
    }
    deliver_(std::move(context), 0, &**sample);
  }

  const std::function<Result<std::unique_ptr<OpenedEncoder>>()> reopen_;
  const bool baseline_;
  const Deliver deliver_;
  std::unique_ptr<OpenedEncoder> encoder_;
  SampleAssembler assembler_;
  std::map<std::int64_t, FrameContext> inFlight_;
  bool idrNext_ = false;
};

EncoderWorker::EncoderWorker(WorkerCodec codec, CompressionOutputHandler output) : output_(std::move(output)) {
  MutexLock lock(mutex_);
  thread_ = std::thread([this, codec = std::move(codec)]() mutable {
    nameThisThread("pelorin.encode");
    Encoding encoding(std::move(codec), [this](FrameContext context, std::int32_t status, const EncodedSample* s) {
      deliver(std::move(context), status, s);
    });
    run(encoding);
  });
  id_ = thread_.get_id();
}

EncoderWorker::~EncoderWorker() { stop(); }

void EncoderWorker::submit(FramePtr frame, bool keyFrame, FrameContext context) {
  {
    MutexLock lock(mutex_);
    queue_.push_back(Job{std::move(frame), keyFrame, std::move(context)});
    ++accepted_;
  }
  wake_.notifyAll();
}

void EncoderWorker::drain() {
  MutexLock lock(mutex_);
  const std::uint64_t target = accepted_;
  const std::uint64_t drain = ++drainsRequested_;
  wake_.notifyAll();
  // The worker delivers every accepted frame, with an error if it is cut off, and closes the
  // codec before any later frame, unless it stops first.
  delivered_.wait(lock, [&]() REQUIRES(mutex_) {
    return deliveredCount_ >= target && (drainsDone_ >= drain || stop_);
  });
}

void EncoderWorker::stop() {
  {
    MutexLock lock(mutex_);
    stop_ = true;
  }
  wake_.notifyAll();
  delivered_.notifyAll();
  if (onOwnThread()) return;
  MutexLock join(joinMutex_);
  if (thread_.joinable()) thread_.join();
}

bool EncoderWorker::onOwnThread() const {
  MutexLock lock(mutex_);
  return id_ == std::this_thread::get_id();
}

void EncoderWorker::deliver(FrameContext context, std::int32_t status, const EncodedSample* sample) {
  if (output_) output_(std::move(context), status, sample);
  {
    MutexLock lock(mutex_);
    ++deliveredCount_;
  }
  delivered_.notifyAll();
}

void EncoderWorker::run(Encoding& encoding) {
  for (;;) {
    Job job;
    std::uint64_t drain = 0;
    {
      MutexLock lock(mutex_);
      wake_.wait(lock, [&]() REQUIRES(mutex_) {
        return stop_ || !queue_.empty() || drainsDone_ < drainsRequested_;
      });
      if (stop_) break;
      if (!queue_.empty()) {
        job = std::move(queue_.front());
        queue_.pop_front();
      } else {
        drain = drainsRequested_;
      }
    }
    if (drain == 0) {
      encoding.encode(std::move(job));
      continue;
    }
    encoding.drain();
    {
      MutexLock lock(mutex_);
      drainsDone_ = drain;
    }
    delivered_.notifyAll();
  }
  encoding.failInFlight(invalidatedStatus);
  std::deque<Job> left;
  {
    MutexLock lock(mutex_);
    left.swap(queue_);
  }
  for (Job& job : left) deliver(std::move(job.context), invalidatedStatus, nullptr);
}

}  // namespace pelorin::platform::ffmpeg
