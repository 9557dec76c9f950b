#include "support/capture_measure.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "base/serial_queue.h"
#include "platform/x11/screen_capture_x11.h"
#include "support/child_cpu.h"

namespace pelorin::bench {
namespace {

class CountingOutput final : public platform::StreamOutput {
 public:
  void didOutputSample(const platform::SampleBuffer& sample, platform::StreamOutputType) override {
    const bool complete = sample.attachments && sample.attachments->status == platform::FrameStatus::Complete;
    if (complete && sample.imageBuffer) {
      frames.fetch_add(1, std::memory_order_relaxed);
    } else {
      idle.fetch_add(1, std::memory_order_relaxed);
    }
  }
  std::atomic<std::uint64_t> frames{0}, idle{0};
};

// Scheduler run time of each of this process's threads, by thread id (schedstat is in ns,
// where rusage of another thread cannot be had).
std::map<long, double> threadRunSeconds() {
  std::map<long, double> result;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(entry.path() / "schedstat");
    double nanoseconds = 0;
    if (in >> nanoseconds) result[std::stol(entry.path().filename().string())] = nanoseconds / 1e9;
  }
  return result;
}

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

}  // namespace

double cpuSecondsOfSelf() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::optional<platform::ShareableDisplay> benchmarkDisplay(const char* benchmark, int& exitStatus) {
  exitStatus = 0;
  if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY")) {
    std::printf("%s skipped: DISPLAY is not set\n", benchmark);
    return std::nullopt;
  }
  exitStatus = 1;
  auto service = platform::x11::X11ScreenCaptureService::create();
  auto content = service ? (*service)->shareableContent(false, true) : Result<platform::ShareableContent>(service.error());
  if (content) {
    for (const auto& display : content->displays) {
      if (display.name == "RIGHT") return display;
    }
  }
  std::fprintf(stderr, "%s: no monitor named RIGHT (run under scripts/lib/display.sh)\n", benchmark);
  return std::nullopt;
}

std::optional<CaptureCost> measureCapture(const platform::ShareableDisplay& display, int width, int height,
                                          double duration) {
  platform::ContentFilter filter;
  filter.displayID = display.displayID;
  filter.contentRect = display.frame;
  return measureStream(filter, width, height, duration);
}

std::optional<CaptureCost> measureStream(const platform::ContentFilter& filter, int width, int height,
                                         double duration) {
  auto service = platform::x11::X11ScreenCaptureService::create();
  if (!service) return std::nullopt;
  return measureStream(**service, filter, width, height, duration);
}

std::optional<CaptureCost> measureStream(platform::ScreenCaptureService& service, const platform::ContentFilter& filter,
                                         int width, int height, double duration) {
  platform::StreamConfiguration configuration;
  configuration.width = width;
  configuration.height = height;
  auto stream = service.makeStream(filter, configuration, nullptr);
  if (!stream) {
    std::fprintf(stderr, "capture: %s\n", stream.error().description().c_str());
    return std::nullopt;
  }
  auto* x11Stream = dynamic_cast<platform::x11::X11CaptureStream*>(stream->get());
  auto output = std::make_shared<CountingOutput>();
  auto queue = std::make_shared<SerialQueue>("bench.capture.output");
  if (!(*stream)->addStreamOutput(output, platform::StreamOutputType::Screen, queue)) return std::nullopt;

  CaptureCost cost;
  const std::map<long, double> threadsBefore = threadRunSeconds();
  const double cpuBefore = cpuSecondsOfSelf();
  const auto start = std::chrono::steady_clock::now();
  if (auto started = (*stream)->startCapture(); !started) {
    std::fprintf(stderr, "capture: %s\n", started.error().description().c_str());
    return std::nullopt;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(duration));
  // The one thread startCapture added is the stream's.
  for (const auto& [id, run] : threadRunSeconds()) {
    if (!threadsBefore.contains(id)) cost.captureThreadSeconds += run;
  }
  (void)(*stream)->stopCapture();
  // Samples still queued count too.
  queue->sync([] {});
  cost.cpuSeconds = cpuSecondsOfSelf() - cpuBefore;
  cost.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cost.frames = output->frames.load();
  cost.idleFrames = output->idle.load();
  if (x11Stream) cost.stats = x11Stream->stats();
  return cost;
}

GrabCost measureFfmpegGrab(const platform::ShareableDisplay& display, int width, int height, int fps, int duration,
                           int frameLimit) {
  const char* name = std::getenv("DISPLAY");
  const std::string input = std::string(name ? name : "") + "+" + std::to_string(static_cast<int>(display.frame.x)) +
                            "," + std::to_string(static_cast<int>(display.frame.y));
  const std::string progress =
      std::filesystem::temp_directory_path() / ("pelorin-grab-progress-" + std::to_string(getpid()) + ".txt");
  const std::vector<std::string> argv = {
      "/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-progress", progress, "-f", "x11grab", "-framerate",
      std::to_string(fps), "-video_size", std::to_string(display.width) + "x" + std::to_string(display.height), "-i",
      input, frameLimit > 0 ? "-frames:v" : "-t", std::to_string(frameLimit > 0 ? frameLimit : duration), "-vf",
      "scale=" + std::to_string(width) + ":" + std::to_string(height) + ",format=nv12", "-f", "null", "-"};
  const ChildCost child = runMeasured(argv, {}, true);
  GrabCost cost{child.exitStatus, child.cpuSeconds, child.wallSeconds, 0};
  // The last "frame=" line of the progress report is the final count.
  std::ifstream in(progress);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("frame=", 0) == 0) cost.frames = std::strtol(line.c_str() + 6, nullptr, 10);
  }
  std::filesystem::remove(progress);
  return cost;
}

}  // namespace pelorin::bench
