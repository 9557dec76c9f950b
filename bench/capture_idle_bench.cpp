// CPU per second of our X11 capture of an unchanging monitor, against ffmpeg's x11grab +
// swscale, which reads and converts every frame whether or not anything changed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/capture_measure.h"
#include "support/measure.h"

namespace {

using pelorin::bench::median;

constexpr int width = 1280, height = 720, fps = 30, seconds = 5, rounds = 3;

}  // namespace

int main() {
  int status = 0;
  const auto display = pelorin::bench::benchmarkDisplay("capture_idle", status);
  if (!display) return status;
  // Let whatever painted last (another benchmark's window going away) settle.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  std::vector<double> ours, baseline;
  for (int round = 0; round < rounds; ++round) {
    const auto a = pelorin::bench::measureCapture(*display, width, height, seconds);
    const auto b = pelorin::bench::measureFfmpegGrab(*display, width, height, fps, seconds);
    if (!a || b.exitStatus != 0 || b.frames == 0) {
      std::fprintf(stderr, "capture_idle: a run failed (ours %s, ffmpeg exit %d)\n", a ? "ran" : "failed",
                   b.exitStatus);
      return 1;
    }
    std::fprintf(stderr,
                 "capture_idle round %d: ours cpu=%.4fs wall=%.2fs frames=%llu idle=%llu grabbed=%llu | "
                 "ffmpeg cpu=%.3fs wall=%.2fs frames=%ld\n",
                 round, a->cpuSeconds, a->wallSeconds, static_cast<unsigned long long>(a->frames),
                 static_cast<unsigned long long>(a->idleFrames),
                 static_cast<unsigned long long>(a->stats.framesGrabbed), b.cpuSeconds, b.wallSeconds, b.frames);
    ours.push_back(a->cpuSeconds * 1000 / a->wallSeconds);
    baseline.push_back(b.cpuSeconds * 1000 / b.wallSeconds);
  }
  return pelorin::bench::reportRatio("capture_idle_1080p_to_720p30", median(ours), median(baseline), 0.05, "ms/s")
             ? 0
             : 1;
}
