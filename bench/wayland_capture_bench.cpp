// CPU per delivered frame of display capture of a changing 1080p monitor into 720p NV12 at 30 fps
// through the ScreenCast portal and PipeWire on the headless sway session (scripts/lib/wayland.sh),
// against the X11 backend capturing the same picture on the Xvfb test display: ffplay plays one
// moving test pattern on each in turn. Then portal capture of the same monitor with only a 64x64
// square changing (a window on the session's XWayland), against our whole-screen portal capture,
// CPU per second: what xdg-desktop-portal-wlr's damage regions save. The compositor side's CPU is
// shown, not judged.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/portal/screen_capture_portal.h"
#include "support/capture_measure.h"
#include "support/child_cpu.h"
#include "support/measure.h"
#include "support/screen_animator.h"

namespace {

using pelorin::bench::median;
namespace fs = std::filesystem;

constexpr int width = 1280, height = 720, seconds = 5, rounds = 3;

// ffplay showing the test pattern at 60 pictures a second, in a process of its own.
class Player {
 public:
  Player(std::vector<std::string> placement, std::string driver) {
    std::vector<std::string> argv = {"/usr/bin/ffplay", "-loglevel", "quiet", "-an", "-f", "lavfi",
                                     "-i", "testsrc2=size=1920x1080:rate=60"};
    argv.insert(argv.end(), placement.begin(), placement.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2}) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
    pid_ = pelorin::bench::spawnChild(argv, {"SDL_VIDEODRIVER=" + driver}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // its window up and playing
  }
  ~Player() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);  // a parent (perf, a shell) may have left SIGTERM ignored
    waitpid(pid_, nullptr, 0);
  }
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;
  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
};

// User + system seconds of the session's compositor, portal backend and PipeWire daemon.
double stackCpuSeconds() {
  double total = 0;
  for (const char* name : {"sway", "xdpw", "pipewire"}) {
    std::ifstream pidFile(fs::path(std::getenv("PELORIN_WAYLAND_DIR")) / (std::string(name) + ".pid"));
    std::string pid, stat;
    if (!(pidFile >> pid) || !std::getline(std::ifstream("/proc/" + pid + "/stat"), stat)) continue;
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
    total += (std::stod(f.at(11)) + std::stod(f.at(12))) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return total;
}

// The session's XWayland display, as wayland.sh wrote it down.
std::string xwaylandDisplay() {
  std::string name;
  std::ifstream(fs::path(std::getenv("PELORIN_WAYLAND_DIR")) / "display") >> name;
  return name;
}

double perSecond(const pelorin::bench::CaptureCost& cost) { return cost.cpuSeconds / cost.wallSeconds; }

}  // namespace

int main(int, char** argv) {
  if (!std::getenv("PELORIN_WAYLAND_DIR")) {
    std::printf("wayland_capture skipped: no session of scripts/lib/wayland.sh\n");
    return 0;
  }
  int status = 0;
  const auto xDisplay = pelorin::bench::benchmarkDisplay("wayland_capture", status);
  if (!xDisplay) return status;
  status = 0;
  // On HEADLESS-1 (at 0,0), the portal's stream; still until the square's turn. Made before any
  // thread, as it forks.
  pelorin::bench::ScreenAnimator animator(1500, 800, 64, 64, pelorin::bench::ScreenAnimator::Motion::Everything,
                                          xwaylandDisplay());
  animator.pause();

  // A restore token, as a host gets it once.
  const fs::path state = fs::temp_directory_path() / ("pelorin-bench-state-" + std::to_string(getpid()));
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  const auto granted =
      pelorin::bench::runMeasured({pelorin::bench::builtProgram(argv[0], "pelorin-encoder"), "--request-permission"});
  pelorin::platform::portal::PortalScreenCaptureService portal(state / "Pelorin");
  auto content = portal.shareableContent(false, true);
  if (granted.exitStatus != 0 || !content || content->displays.empty()) {
    std::fprintf(stderr, "wayland_capture: no portal display (%s)\n",
                 content ? "no monitor" : content.error().description().c_str());
    fs::remove_all(state);
    return 1;
  }
  const auto filter = portal.displayFilter(content->displays.front());

  std::vector<double> ours, baseline, stack, wholePerSecond, squarePerSecond;
  for (int round = 0; round < rounds && status == 0; ++round) {
    std::optional<pelorin::bench::CaptureCost> x11, wayland, square;
    double stackSeconds = 0;
    {
      Player player({"-noborder", "-left", std::to_string(static_cast<int>(xDisplay->frame.x)), "-top", "0"}, "x11");
      x11 = pelorin::bench::measureCapture(*xDisplay, width, height, seconds);
      if (!player.running()) x11.reset();
    }
    {
      Player player({"-fs"}, "wayland");
      const double before = stackCpuSeconds();
      wayland = pelorin::bench::measureStream(portal, filter, width, height, seconds);
      stackSeconds = stackCpuSeconds() - before;
      if (!player.running()) wayland.reset();
    }
    if (animator.running()) {
      animator.resume();
      square = pelorin::bench::measureStream(portal, filter, width, height, seconds);
      animator.pause();
    }
    if (!x11 || !wayland || !square || x11->frames == 0 || wayland->frames == 0 || square->frames == 0) {
      std::fprintf(stderr, "wayland_capture: a run failed (x11 %s, portal %s, portal square %s)\n",
                   x11 ? "ran" : "failed", wayland ? "ran" : "failed", square ? "ran" : "failed");
      status = 1;
      break;
    }
    std::fprintf(stderr,
                 "wayland_capture round %d: portal cpu=%.3fs frames=%llu idle=%llu stack cpu=%.3fs | "
                 "x11 cpu=%.3fs frames=%llu idle=%llu | portal square cpu=%.3fs frames=%llu idle=%llu "
                 "(stream threads: whole %.3fs, square %.3fs)\n",
                 round, wayland->cpuSeconds, static_cast<unsigned long long>(wayland->frames),
                 static_cast<unsigned long long>(wayland->idleFrames), stackSeconds, x11->cpuSeconds,
                 static_cast<unsigned long long>(x11->frames), static_cast<unsigned long long>(x11->idleFrames),
                 square->cpuSeconds, static_cast<unsigned long long>(square->frames),
                 static_cast<unsigned long long>(square->idleFrames), wayland->captureThreadSeconds,
                 square->captureThreadSeconds);
    ours.push_back(wayland->cpuSeconds * 1000 / static_cast<double>(wayland->frames));
    baseline.push_back(x11->cpuSeconds * 1000 / static_cast<double>(x11->frames));
    stack.push_back(stackSeconds * 1000 / static_cast<double>(wayland->frames));
    wholePerSecond.push_back(perSecond(*wayland));
    squarePerSecond.push_back(perSecond(*square));
  }
  fs::remove_all(state);
  if (status != 0) return status;
  std::fprintf(stderr, "wayland_capture: compositor, portal backend and PipeWire %.3fms/frame besides\n",
               median(stack));
  const bool whole = pelorin::bench::reportRatio("wayland_capture_cpu_1080p_to_720p30", median(ours),
                                                 median(baseline), 1.3, "ms/frame");
  const bool square = pelorin::bench::reportRatio("wayland_capture_square64_vs_our_whole", median(squarePerSecond),
                                                  median(wholePerSecond), 0.2, "s/s");
  return whole && square ? 0 : 1;
}
