#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "base/error.h"
#include "base/thread_annotations.h"
#include "base/wakeup.h"
#include "media/hardware_encoder.h"
#include "platform/screen_capture.h"

namespace pelorin::media {

// The first reason a capture run has to end early, told from any thread (a stream that stopped, an
// output that no longer takes records, a source that has produced all its frames), and the wait
// for it. SIGTERM and SIGINT end the wait too, when the entry has blocked them.
class RunStop {
 public:
  // The first failure is kept; later ones are the same fault seen again.
  void fail(const Error& error);
  void complete();

  // Waits for the first of: `seconds` on the continuous clock (none: no time limit), a
  // termination signal, complete(), fail(); returns the failure when it was fail().
  std::optional<Error> wait(std::optional<double> seconds);

 private:
  Wakeup wakeup_;
  Mutex mutex_;
  std::optional<Error> failure_ GUARDED_BY(mutex_);
  bool completed_ GUARDED_BY(mutex_) = false;
};

// What the run loop starts and stops: a capture stream, or a source that paces itself.
class RunSource {
 public:
  virtual ~RunSource() = default;
  virtual Result<void> start() = 0;
  virtual Result<void> stop() = 0;
};

// A capture stream as the run loop's source; `beforeStop` ends what changes the stream (live
// reconfigurations) before it stops.
class StreamSource final : public RunSource {
 public:
  explicit StreamSource(platform::CaptureStream& stream, std::function<void()> beforeStop = nullptr)
      : stream_(stream), beforeStop_(std::move(beforeStop)) {}
  Result<void> start() override { return stream_.startCapture(); }
  Result<void> stop() override {
    if (beforeStop_) beforeStop_();
    return stream_.stopCapture();
  }

 private:
  platform::CaptureStream& stream_;
  std::function<void()> beforeStop_;
};

struct RunPlan {
  RunSource* source = nullptr;
  double durationSeconds = 0;
  bool sourceEndsItself = false;  // wait for complete() rather than the duration
  std::function<void()> afterStop;  // lines written between stopping and the summary
  std::function<std::pair<std::int64_t, std::int64_t>()> captureStats;  // (drops, max depth)
  // Ends what the run owns (control reader, stream, queue) so that nothing writes after its last
  // line; runs last, still under the run's time limit.
  std::function<void()> release;
};

// The one run loop of every capture mode, entered right after the "capture_start" line: starts
// the source, waits for its end, stops it. After the duration, a signal or the source's own end it
// finishes the encoder, which writes the summary; after a failure it returns that failure and
// writes no summary. The encoder's output failures end the wait at once. A run that has not ended
// `grace` seconds after its duration (counted once its source has started), or after its stop
// began, or whose start has not returned in its own limit (an output nobody reads, a display server
// that hangs), ends the process with status 1 and one error line.
Result<void> runCapture(HardwareEncoder& encoder, const std::shared_ptr<RunStop>& stop, const RunPlan& plan,
                        int errorFd);

constexpr double runEndGraceSeconds = 1.5;
constexpr double runStartLimitSeconds = 30;

}  // namespace pelorin::media
