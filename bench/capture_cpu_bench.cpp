// CPU per delivered frame of our X11 capture of a changing 1080p monitor into 720p NV12 at
// 30 fps, the encoder left out, against ffmpeg's x11grab + swscale doing the same work.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/capture_measure.h"
#include "support/measure.h"
#include "support/screen_animator.h"

namespace {

using pelorin::bench::median;

constexpr int width = 1280, height = 720, fps = 30, seconds = 5, rounds = 3;

}  // namespace

int main() {
  int status = 0;
  const auto display = pelorin::bench::benchmarkDisplay("capture_cpu", status);
  if (!display) return status;
  // Before any thread of ours exists: the animator is a fork.
  pelorin::bench::ScreenAnimator animator(static_cast<int>(display->frame.x), static_cast<int>(display->frame.y),
                                          display->width, display->height);
  if (!animator.running()) {
    std::fprintf(stderr, "capture_cpu: the screen animator did not start\n");
    return 1;
  }

  std::vector<double> ours, baseline, startup;
  for (int round = 0; round < rounds; ++round) {
    const auto a = pelorin::bench::measureCapture(*display, width, height, seconds);
    const auto b = pelorin::bench::measureFfmpegGrab(*display, width, height, fps, seconds);
    const auto c = pelorin::bench::measureFfmpegGrab(*display, width, height, fps, seconds, 1);
    if (c.exitStatus == 0) startup.push_back(c.cpuSeconds);
    if (!a || a->frames == 0 || b.exitStatus != 0 || b.frames == 0) {
      std::fprintf(stderr, "capture_cpu: a run failed (ours %s, ffmpeg exit %d, %ld frames)\n",
                   a ? "ran" : "failed", b.exitStatus, b.frames);
      return 1;
    }
    const auto& s = a->stats;
    const double grabbed = static_cast<double>(std::max<std::uint64_t>(s.framesGrabbed, 1));
    std::fprintf(stderr,
                 "capture_cpu round %d: ours cpu=%.3fs (capture thread %.3fs) wall=%.2fs frames=%llu idle=%llu "
                 "skipped=%llu grab=%.2fms/frame convert=%.2fms/frame shm=%d damage=%d | "
                 "ffmpeg cpu=%.3fs wall=%.2fs frames=%ld\n",
                 round, a->cpuSeconds, a->captureThreadSeconds, a->wallSeconds,
                 static_cast<unsigned long long>(a->frames),
                 static_cast<unsigned long long>(a->idleFrames), static_cast<unsigned long long>(s.framesSkipped),
                 s.grabSeconds * 1000 / grabbed, s.convertSeconds * 1000 / grabbed, s.sharedMemory, s.damage,
                 b.cpuSeconds, b.wallSeconds, b.frames);
    ours.push_back(a->cpuSeconds * 1000 / static_cast<double>(a->frames));
    baseline.push_back(b.cpuSeconds * 1000 / static_cast<double>(b.frames));
  }
  // ffmpeg's per-frame figure carries its process start-up; ours only the stream's. Shown so the
  // margin is not misread, not judged.
  if (!startup.empty()) {
    const double perFrame = median(baseline) - median(startup) * 1000 / (fps * seconds);
    std::fprintf(stderr, "capture_cpu: ffmpeg start-up %.1fms cpu; without it baseline=%.3fms/frame ratio=%.3f\n",
                 median(startup) * 1000, perFrame, median(ours) / perFrame);
  }
  return pelorin::bench::reportRatio("capture_cpu_1080p_to_720p30", median(ours), median(baseline), 0.3, "ms/frame")
             ? 0
             : 1;
}
