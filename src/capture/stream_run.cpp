#include "capture/stream_run.h"

#include "base/fd_output.h"
#include "base/sanitize.h"
#include "capture/stream_attachment.h"
#include "media/capture_lines.h"
#include "media/clock.h"

namespace pelorin::capture {
namespace {

// Ends the run when its stream stops on its own with an error (a display or window that went away,
// a lost display server).
class StreamStopWatcher final : public platform::StreamDelegate {
 public:
  StreamStopWatcher(std::shared_ptr<media::RunStop> stop, std::string reason)
      : stop_(std::move(stop)), reason_(std::move(reason)) {}
  void didStopWithError(const Error& error) override {
    stop_->fail(reason_.empty() ? error : captureError(reason_ + sanitized(error.description())));
  }

 private:
  const std::shared_ptr<media::RunStop> stop_;
  const std::string reason_;
};

}  // namespace

Result<void> checkPermission(const CaptureEnvironment& env, bool ask) {
  if (env.access->preflight()) return {};
  if (ask) (void)env.access->request();
  return captureError("screen capture permission missing executable=" + env.programPath);
}

Result<void> runStream(const CaptureRequest& request, media::HardwareEncoder& encoder,
                       const CaptureEnvironment& env, const StreamRun& run) {
  using ClockLines = StreamRun::ClockLines;
  const media::ClockMeasurement start = media::measureClockAnchor();
  if (run.clockLines == ClockLines::beforeStream) writeLine(env.errorFd, media::clockAnchorLine("start", start));
  RunningStream running{.output = std::make_shared<media::ScreenOutput>(encoder, start.anchor, env.errorFd),
                        .stop = std::make_shared<media::RunStop>()};
  StreamStopWatcher watcher(running.stop, run.stopReason);
  Result<AttachedStream> attached =
      attachStream(*env.capture, run.filter, run.configuration, &watcher, running.output);
  if (!attached) return attached.error();
  running.stream = std::move(attached->stream);
  running.queue = std::move(attached->queue);
  // Once the stream can be asked for frames, so that an early KEYFRAME still brings a fresh one.
  const auto reader =
      readControl(env.inputFd, env.errorFd, encoder, running.output.get(), run.crop, run.endOfInput);
  if (Result<void> ready = run.started(running); !ready) return ready.error();
  if (run.clockLines == ClockLines::atStart) writeLine(env.errorFd, media::clockAnchorLine("start", start));
  writeLine(env.errorFd, media::captureStartLine(run.captureName, request.stream));

  media::StreamSource source(*running.stream, run.stopChanges);
  media::RunPlan plan;
  plan.source = &source;
  plan.durationSeconds = static_cast<double>(request.durationSeconds);
  if (run.clockLines != ClockLines::none) {
    plan.afterStop = [&] { writeLine(env.errorFd, media::clockAnchorLine("end", media::measureClockAnchor())); };
  }
  plan.captureStats = [&] { return running.output->stats(); };
  plan.release = [&] {
    run.stopChanges();
    reader->close();
    running.stream.reset();
    running.queue.reset();
  };
  return media::runCapture(encoder, running.stop, plan, env.errorFd);
}

}  // namespace pelorin::capture
