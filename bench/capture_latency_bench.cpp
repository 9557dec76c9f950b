// Capture-to-output latency of pelorin-encoder on an animated 1080p monitor: for each record,
// the realtime clock when the bench has read it whole minus the capture time it carries. The
// goal is one frame interval plus the cost of encoding one frame with libx264, measured in the
// same run with ffmpeg.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "media/frame_stream_reader.h"
#include "support/capture_measure.h"
#include "support/child_cpu.h"
#include "support/screen_animator.h"

namespace {

constexpr int width = 1920, height = 1080, fps = 30, seconds = 6, encodeFrames = 90;
constexpr double frameIntervalMs = 1000.0 / fps;

// The clock the records' capture times are on (system_clock is CLOCK_REALTIME).
std::uint64_t realtimeNanoseconds() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
  return values[std::min(index, values.size() - 1)];
}

struct Latencies {
  int exitStatus = -1;
  std::vector<double> milliseconds;  // past the first second
  std::size_t records = 0;
  std::string fault;
};

Latencies runEncoder(const std::string& encoder, std::uint32_t displayID) {
  Latencies result;
  const std::string log =
      std::filesystem::temp_directory_path() / ("pelorin-latency-" + std::to_string(getpid()) + ".log");
  const std::vector<std::string> argv = {encoder, "--display-id", std::to_string(displayID), "--width",
                                         std::to_string(width), "--height", std::to_string(height), "--fps",
                                         std::to_string(fps), "--duration", std::to_string(seconds)};

  int out[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const pid_t pid = pelorin::bench::spawnChild(argv, {"PELORIN_VIDEO_ENCODER=software"}, &actions);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(in[0]);
  if (pid < 0) {
    close(out[0]);
    close(in[1]);
    return result;
  }

  pelorin::media::FrameStreamReader reader(out[0]);
  std::uint64_t firstCapture = 0;
  for (;;) {
    auto record = reader.next();
    const std::uint64_t now = realtimeNanoseconds();
    if (!record) {
      result.fault = record.error().description();
      break;
    }
    if (!*record) break;
    const std::uint64_t capture = (*record)->captureNanoseconds;
    if (result.records++ == 0) firstCapture = capture;
    // The first second holds the start-up: connection, encoder opening, the first key frame.
    if (capture - firstCapture < 1'000'000'000u) continue;
    result.milliseconds.push_back((static_cast<double>(now) - static_cast<double>(capture)) / 1e6);
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  close(in[1]);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (result.exitStatus != 0 || !result.fault.empty()) {
    std::ifstream text(log);
    std::fprintf(stderr, "pelorin-encoder log:\n%s\n", std::string(std::istreambuf_iterator<char>(text), {}).c_str());
  }
  std::filesystem::remove(log);
  return result;
}

// CPU milliseconds libx264 spends on one 1080p frame with the low-latency settings: ffmpeg
// encoding a test pattern, minus ffmpeg producing the same pattern without encoding it.
double encodeMillisecondsPerFrame() {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  auto cpuOf = [&](bool encode) {
    std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                     "testsrc2=size=" + size + ":rate=" + std::to_string(fps), "-frames:v",
                                     std::to_string(encodeFrames), "-vf", "format=yuv420p"};
    if (encode) {
      for (const char* a : {"-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-threads", "2"}) {
        argv.emplace_back(a);
      }
    }
    for (const char* a : {"-f", "null", "-"}) argv.emplace_back(a);
    const auto cost = pelorin::bench::runMeasured(argv, {}, true);
    return cost.exitStatus == 0 ? cost.cpuSeconds : -1.0;
  };
  std::vector<double> perFrame;
  for (int round = 0; round < 3; ++round) {
    const double encoded = cpuOf(true), source = cpuOf(false);
    if (encoded < 0 || source < 0) return -1;
    perFrame.push_back((encoded - source) * 1000 / encodeFrames);
  }
  std::sort(perFrame.begin(), perFrame.end());
  return perFrame[perFrame.size() / 2];
}

}  // namespace

int main(int, char** argv) {
  int status = 0;
  const auto display = pelorin::bench::benchmarkDisplay("capture_latency", status);
  if (!display) return status;
  const double encodeMs = encodeMillisecondsPerFrame();
  if (encodeMs < 0) {
    std::fprintf(stderr, "capture_latency: the ffmpeg encode run failed\n");
    return 1;
  }

  Latencies latencies;
  {
    pelorin::bench::ScreenAnimator animator(static_cast<int>(display->frame.x), static_cast<int>(display->frame.y),
                                            display->width, display->height);
    if (!animator.running()) {
      std::fprintf(stderr, "capture_latency: the screen animator did not start\n");
      return 1;
    }
    latencies = runEncoder(pelorin::bench::builtProgram(argv[0], "pelorin-encoder"), display->displayID);
  }
  if (latencies.exitStatus != 0 || !latencies.fault.empty() || latencies.milliseconds.empty()) {
    std::fprintf(stderr, "capture_latency: the encoder run failed (exit %d, %zu records%s%s)\n", latencies.exitStatus,
                 latencies.records, latencies.fault.empty() ? "" : ", ", latencies.fault.c_str());
    return 1;
  }
  const double p50 = percentile(latencies.milliseconds, 0.50);
  const double p99 = percentile(latencies.milliseconds, 0.99);
  const double goal = frameIntervalMs + encodeMs;
  std::fprintf(stderr, "capture_latency: %zu records, %zu measured, max=%.2fms\n", latencies.records,
               latencies.milliseconds.size(), percentile(latencies.milliseconds, 1.0));
  std::printf("capture_latency_p50_1080p30 ours=%.2fms\n", p50);
  std::printf("capture_latency_p99_1080p30 ours=%.2fms baseline=%.2fms (frame_interval_ms=%.1f + x264_encode_ms=%.2f) "
              "ratio=%.3f goal<1.00 %s\n",
              p99, goal, frameIntervalMs, encodeMs, p99 / goal, p99 < goal ? "met" : "MISSED");
  return p99 < goal ? 0 : 1;
}
