// How fast pelorin-encoder answers a host: SIGTERM to exit, the reader going away to exit, and a
// KEYFRAME line to the key frame on a still screen. Each is reported against one frame interval
// (33.3 ms at 30 fps), the pace every host already waits on, measured as the encoder's own frame
// spacing in the same run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "media/frame_stream_reader.h"
#include "support/capture_measure.h"
#include "support/child_cpu.h"
#include "support/measure.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// A running encoder with its standard input and output on pipes.
struct Encoder {
  pid_t pid = -1;
  int input = -1;
  int output = -1;

  Encoder(const std::string& program, std::vector<std::string> arguments) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    arguments.insert(arguments.begin(), program);
    pid = pelorin::bench::spawnChild(arguments, {"PELORIN_VIDEO_ENCODER=software"}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input = in[1];
    output = out[0];
  }
  ~Encoder() {
    if (input >= 0) close(input);
    if (output >= 0) close(output);
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
  // Milliseconds until the process ends.
  double waitExit(Clock::time_point from) {
    waitpid(pid, nullptr, 0);
    pid = -1;
    return msSince(from);
  }
};

// Reads records until `until` says stop; returns the capture time of every record read.
std::vector<std::uint64_t> readRecords(int fd, const std::function<bool(const pelorin::media::FrameRecord&)>& until) {
  pelorin::media::FrameStreamReader reader(fd);
  std::vector<std::uint64_t> captures;
  for (;;) {
    auto record = reader.next();
    if (!record || !*record) break;
    captures.push_back((*record)->captureNanoseconds);
    if (until(**record)) break;
  }
  return captures;
}

// Signal to exit, with a drain thread so the encoder never waits on its output.
double signalToExit(const std::string& program, double& frameMs) {
  Encoder e(program, {"--source", "synthetic", "--width", "1920", "--height", "1080", "--fps", "30", "--duration", "60"});
  std::vector<std::uint64_t> captures = readRecords(e.output, [n = 0](const auto&) mutable { return ++n >= 60; });
  frameMs = captures.size() > 1 ? (captures.back() - captures.front()) / 1e6 / static_cast<double>(captures.size() - 1) : 0;
  const auto sent = Clock::now();
  kill(e.pid, SIGTERM);
  std::thread drain([&] { readRecords(e.output, [](const auto&) { return false; }); });
  const double ms = e.waitExit(sent);
  drain.join();
  return ms;
}

double closedOutputToExit(const std::string& program) {
  Encoder e(program, {"--source", "synthetic", "--width", "1920", "--height", "1080", "--fps", "30", "--duration", "60"});
  readRecords(e.output, [](const auto&) { return true; });
  close(e.output);
  e.output = -1;
  return e.waitExit(Clock::now());
}

// KEYFRAME on a still monitor to the key frame's arrival.
std::optional<double> keyframeRequestToKeyFrame(const std::string& program, std::uint32_t display) {
  Encoder e(program, {"--display-id", std::to_string(display), "--width", "1280", "--height", "720", "--duration", "6"});
  readRecords(e.output, [](const auto&) { return true; });  // the first picture
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // nothing changes meanwhile
  std::vector<double> delays;
  for (int i = 0; i < 3; ++i) {
    const auto asked = Clock::now();
    if (write(e.input, "KEYFRAME\n", 9) != 9) return std::nullopt;
    readRecords(e.output, [](const auto& r) { return r.keyFrame; });
    delays.push_back(msSince(asked));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  kill(e.pid, SIGTERM);
  readRecords(e.output, [](const auto&) { return false; });
  return pelorin::bench::median(delays);
}

}  // namespace

int main(int, char** argv) {
  const std::string program = pelorin::bench::builtProgram(argv[0], "pelorin-encoder");
  double frameMs = 0;
  bool met = true;
  const double signalMs = signalToExit(program, frameMs);
  met &= pelorin::bench::reportRatio("run_end signal_to_exit", signalMs, frameMs, 3.0, "ms");
  met &= pelorin::bench::reportRatio("run_end closed_output_to_exit", closedOutputToExit(program), frameMs, 30.0, "ms");
  int noDisplayStatus = 0;
  if (const auto display = pelorin::bench::benchmarkDisplay("run_end", noDisplayStatus)) {
    if (const auto keyMs = keyframeRequestToKeyFrame(program, display->displayID)) {
      met &= pelorin::bench::reportRatio("run_end keyframe_request_to_key_frame", *keyMs, frameMs, 2.0, "ms");
    }
  } else {
    met &= noDisplayStatus == 0;
  }
  return met ? 0 : 1;
}
