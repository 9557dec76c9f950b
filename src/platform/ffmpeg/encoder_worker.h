#pragma once

// The thread of one libavcodec session. It alone touches the opened codec; callers hand it frames
// and wait for their outputs through its mailbox. Internal to the libavcodec backends.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

#include "base/thread_annotations.h"
#include "platform/ffmpeg/opened_encoder.h"

namespace pelorin::platform::ffmpeg {

struct FrameDeleter {
  void operator()(AVFrame* frame) const;
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// Status of frames and calls cut off by invalidation.
extern const std::int32_t invalidatedStatus;

// The codec a worker starts with, and how it opens the same encoder and rate control again after
// a drain or a reset.
struct WorkerCodec {
  std::unique_ptr<OpenedEncoder> opened;
  std::function<Result<std::unique_ptr<OpenedEncoder>>()> reopen;
  bool constrainedBaseline = false;
};

class EncoderWorker {
 public:
  EncoderWorker(WorkerCodec codec, CompressionOutputHandler output);
  // Stops and joins; never from the worker's own thread (an output handler).
  ~EncoderWorker();
  EncoderWorker(const EncoderWorker&) = delete;
  EncoderWorker& operator=(const EncoderWorker&) = delete;

  // Queues a frame whose pts is set; every queued frame gets exactly one output.
  void submit(FramePtr frame, bool keyFrame, FrameContext context);
  // Waits until every frame queued so far has its output and the codec is drained (closed, to be
  // opened again for a later frame), or the worker stops.
  void drain();
  // Frames still queued or in the codec get invalidatedStatus. From an output handler the worker
  // ends once the handler returns and the owner joins it later; from elsewhere this joins it.
  void stop();
  bool onOwnThread() const;

  struct Job {
    FramePtr frame;
    bool keyFrame = false;
    FrameContext context;
  };

 private:
  class Encoding;
  void run(Encoding& encoding);
  void deliver(FrameContext context, std::int32_t status, const EncodedSample* sample);

  const CompressionOutputHandler output_;

  mutable Mutex mutex_;
  CondVar wake_;       // a job, a drain or the stop for the worker
  CondVar delivered_;  // an output or a finished drain for drain()
  std::deque<Job> queue_ GUARDED_BY(mutex_);
  bool stop_ GUARDED_BY(mutex_) = false;
  std::uint64_t drainsRequested_ GUARDED_BY(mutex_) = 0;  // drain() calls, and the drains done for them
  std::uint64_t drainsDone_ GUARDED_BY(mutex_) = 0;
  std::uint64_t accepted_ GUARDED_BY(mutex_) = 0;
  std::uint64_t deliveredCount_ GUARDED_BY(mutex_) = 0;
  std::thread::id id_ GUARDED_BY(mutex_);

  Mutex joinMutex_;  // stop() may come from two threads at once
  std::thread thread_ GUARDED_BY(joinMutex_);
};

}  // namespace pelorin::platform::ffmpeg
