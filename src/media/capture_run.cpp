#include "media/capture_run.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <thread>

#include "base/fd_output.h"
#include "base/sanitize.h"
#include "base/termination_signals.h"
#include "base/thread_annotations.h"
#include "base/thread_name.h"
#include "media/clock.h"

namespace pelorin::media {
namespace {

// Ends the process when a run overstays: a thread blocked in a write to an output nobody reads, or
// in a call to a display server that no longer answers, cannot be unwound, and a host must never
// be left waiting for a process that hangs on.
class RunWatchdog {
 public:
  RunWatchdog(int errorFd, double seconds) : errorFd_(errorFd), deadline_(after(seconds)) {
    thread_ = std::thread([this] {
      nameThisThread("pelorin.watch");
      watch();
    });
  }
  ~RunWatchdog() {
    {
      MutexLock lock(mutex_);
      cancelled_ = true;
    }
    wake_.notifyAll();
    thread_.join();
  }
  // The run must be over `seconds` from now.
  void rearm(double seconds) {
    {
      MutexLock lock(mutex_);
      deadline_ = after(seconds);
    }
    wake_.notifyAll();
  }

 private:
  using Clock = std::chrono::steady_clock;
  static Clock::time_point after(double seconds) {
    // Far-off deadlines (a duration of years) are simply never reached.
    const double capped = std::min(seconds, 1e9);
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(capped));
  }

  void watch() {
    MutexLock lock(mutex_);
    while (!cancelled_) {
      if (!wake_.waitUntil(lock, deadline_) && !cancelled_ && Clock::now() >= deadline_) {
        writeLine(errorFd_, "native_encoder_error reason=" +
                                sanitized("the capture did not end in time (output not read, or the display server "
                                          "does not answer)"));
        _exit(1);
      }
    }
  }

  const int errorFd_;
  Mutex mutex_;
  CondVar wake_;
  Clock::time_point deadline_;
  bool cancelled_ = false;
  std::thread thread_;
};

int pollTimeoutMilliseconds(std::uint64_t now, std::uint64_t deadline) {
  if (now >= deadline) return 0;
  const std::uint64_t ms = (deadline - now + 999999) / 1000000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

void RunStop::fail(const Error& error) {
  {
    MutexLock lock(mutex_);
    if (failure_) return;
    failure_ = error;
  }
  wakeup_.wake();
}

void RunStop::complete() {
  {
    MutexLock lock(mutex_);
    completed_ = true;
  }
  wakeup_.wake();
}

std::optional<Error> RunStop::wait(std::optional<double> seconds) {
  const int signalFd = openTerminationSignalDescriptor();
  std::uint64_t deadline = UINT64_MAX;
  if (seconds) {
    const double span = std::min(*seconds, 1e9) * 1e9;
    deadline = clockNanoseconds(CLOCK_BOOTTIME) + static_cast<std::uint64_t>(std::max(span, 0.0));
  }
  std::optional<Error> failure;
  for (;;) {
    {
      MutexLock lock(mutex_);
      failure = failure_;
      if (failure || completed_) break;
    }
    const std::uint64_t now = clockNanoseconds(CLOCK_BOOTTIME);
    if (now >= deadline) break;
    // Woken only by complete() and fail(), which the next turn sees.
    if (wakeup_.waitForInput(signalFd, pollTimeoutMilliseconds(now, deadline)) == Wakeup::Waited::input &&
        readTerminationSignal(signalFd) != 0) {
      break;
    }
  }
  if (signalFd >= 0) ::close(signalFd);
  return failure;
}

Result<void> runCapture(HardwareEncoder& encoder, const std::shared_ptr<RunStop>& stop, const RunPlan& plan,
                        int errorFd) {
  // A start has its own bound, never shorter than the duration's: a portal can take seconds to
  // answer, and backends time out their own waits well within it.
  RunWatchdog watchdog(errorFd, std::max(runStartLimitSeconds, plan.durationSeconds + runEndGraceSeconds));
  encoder.setFailureHandler([stop](const Error& error) { stop->fail(error); });
  Result<void> outcome = plan.source->start();
  if (outcome) {
    // The duration counts from a running capture, however long the start took.
    watchdog.rearm(plan.durationSeconds + runEndGraceSeconds);
    const std::optional<Error> failure =
        stop->wait(plan.sourceEndsItself ? std::nullopt : std::optional(plan.durationSeconds));
    watchdog.rearm(runEndGraceSeconds);
    const Result<void> stopped = plan.source->stop();
    if (failure) {
      outcome = *failure;
    } else if (!stopped) {
      outcome = stopped;
    } else {
      if (plan.afterStop) plan.afterStop();
      const auto [drops, depth] = plan.captureStats ? plan.captureStats() : std::pair<std::int64_t, std::int64_t>{};
      outcome = encoder.finish(drops, depth);
    }
  }
  encoder.setFailureHandler(nullptr);
  if (plan.release) plan.release();
  return outcome;
}

}  // namespace pelorin::media
