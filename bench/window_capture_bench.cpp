// CPU per delivered frame of our X11 window capture of a changing 1280x720 window into 1280x720
// NV12 at 30 fps, against our display capture of a 1280x720 monitor (made with xrandr
// --setmonitor) showing the same picture, same run. Then the window tracker's own load: the
// window-server questions of one tick every 20 ms on an idle window, as CPU per second.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/screen_capture_x11.h"
#include "support/capture_measure.h"
#include "support/measure.h"
#include "support/screen_animator.h"

namespace {

using pelorin::bench::median;
namespace platform = pelorin::platform;

constexpr int width = 1280, height = 720, seconds = 5, rounds = 3;
constexpr const char* monitorName = "PELORIN_WINDOW_BENCH";

// A monitor over the animated window's area for the time of the benchmark.
class BenchMonitor {
 public:
  BenchMonitor(int x, int y) {
    const std::string geometry = std::to_string(width) + "/338x" + std::to_string(height) + "/190+" +
                                 std::to_string(x) + "+" + std::to_string(y);
    added_ = std::system(("xrandr --setmonitor " + std::string(monitorName) + " " + geometry + " none").c_str()) == 0;
  }
  ~BenchMonitor() {
    if (added_) (void)std::system(("xrandr --delmonitor " + std::string(monitorName)).c_str());
  }
  bool added() const { return added_; }

 private:
  bool added_ = false;
};

// CPU per second of a 20 ms loop asking what a tracker tick asks; with no window, of the loop alone.
double trackerCpuPerSecond(std::optional<platform::WindowID> window) {
  auto server = platform::x11::X11WindowServer::create();
  if (!server) return -1;
  const double before = pelorin::bench::cpuSecondsOfSelf();
  const auto start = std::chrono::steady_clock::now();
  bool answered = true;
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds)) {
    if (window) answered = (*server)->windowBounds(*window).has_value() && !(*server)->displayFrames().empty() && answered;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return answered ? (pelorin::bench::cpuSecondsOfSelf() - before) / wall : -1;
}

}  // namespace

int main() {
  int status = 0;
  const auto right = pelorin::bench::benchmarkDisplay("window_capture", status);
  if (!right) return status;
  const int x = static_cast<int>(right->frame.x), y = static_cast<int>(right->frame.y);
  // Before any thread of ours exists: the animator is a fork.
  pelorin::bench::ScreenAnimator animator(x, y, width, height);
  BenchMonitor monitor(x, y);
  if (!animator.running() || !monitor.added()) {
    std::fprintf(stderr, "window_capture: the animated window or the monitor could not be set up\n");
    return 1;
  }
  platform::ContentFilter window;
  window.kind = platform::ContentFilter::Kind::Window;
  window.windowID = static_cast<platform::WindowID>(animator.window());
  window.contentRect = {static_cast<double>(x), static_cast<double>(y), width, height};
  platform::ContentFilter display;
  {
    auto service = platform::x11::X11ScreenCaptureService::create();
    auto content = service ? (*service)->shareableContent(false, true) : service.error();
    for (const auto& d : content ? content->displays : std::vector<platform::ShareableDisplay>{}) {
      if (d.name == monitorName) display = (*service)->displayFilter(d);
    }
  }
  if (display.displayID == 0) {
    std::fprintf(stderr, "window_capture: the monitor %s is not listed\n", monitorName);
    return 1;
  }

  std::vector<double> ours, baseline;
  for (int round = 0; round < rounds; ++round) {
    const auto a = pelorin::bench::measureStream(window, width, height, seconds);
    const auto b = pelorin::bench::measureStream(display, width, height, seconds);
    if (!a || !b || a->frames == 0 || b->frames == 0) {
      std::fprintf(stderr, "window_capture: a run failed\n");
      return 1;
    }
    std::fprintf(stderr,
                 "window_capture round %d: window cpu=%.3fs frames=%llu grab=%.2fms convert=%.2fms shm=%d | "
                 "display cpu=%.3fs frames=%llu grab=%.2fms convert=%.2fms\n",
                 round, a->cpuSeconds, static_cast<unsigned long long>(a->frames),
                 a->stats.grabSeconds * 1000 / static_cast<double>(a->stats.framesGrabbed),
                 a->stats.convertSeconds * 1000 / static_cast<double>(a->stats.framesGrabbed), a->stats.sharedMemory,
                 b->cpuSeconds, static_cast<unsigned long long>(b->frames),
                 b->stats.grabSeconds * 1000 / static_cast<double>(b->stats.framesGrabbed),
                 b->stats.convertSeconds * 1000 / static_cast<double>(b->stats.framesGrabbed));
    ours.push_back(a->cpuSeconds * 1000 / static_cast<double>(a->frames));
    baseline.push_back(b->cpuSeconds * 1000 / static_cast<double>(b->frames));
  }
  const bool met =
      pelorin::bench::reportRatio("window_capture_720p_vs_display_720p", median(ours), median(baseline), 1.1, "ms/frame");

  const double tracker = trackerCpuPerSecond(window.windowID);
  if (tracker < 0) {
    std::fprintf(stderr, "window_capture: the window server did not answer\n");
    return 1;
  }
  std::printf("window_tracker_idle cpu=%.3f%% of a core (a bare 20 ms loop: %.3f%%) goal<1%% %s\n", tracker * 100,
              trackerCpuPerSecond(std::nullopt) * 100, tracker < 0.01 ? "met" : "MISSED");
  return met && tracker < 0.01 ? 0 : 1;
}
