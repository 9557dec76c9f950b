// Streams that lose what they capture: a monitor removed, the X server gone.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/x11/screen_capture_x11.h"
#include "platform/x11_test_helpers.h"
#include "support/process.h"

extern char** environ;

namespace pelorin::platform::x11 {
namespace {

using namespace std::chrono_literals;
using test::Collector;
using test::RecordingDelegate;

pelorin::test::ProcessResult xrandr(std::vector<std::string> arguments) {
  pelorin::test::ProcessOptions options;
  options.arguments = std::move(arguments);
  options.timeout = 10s;
  return pelorin::test::runProcess("/usr/bin/xrandr", options);
}

std::optional<ShareableDisplay> displayNamed(X11ScreenCaptureService& service, const std::string& name) {
  Result<ShareableContent> content = service.shareableContent(false, true);
  if (!content.ok()) return std::nullopt;
  for (const auto& d : content->displays) {
    if (d.name == name) return d;
  }
  return std::nullopt;
}

// A started stream of one display, whose samples and stop errors are kept.
struct WatchedStream {
  RecordingDelegate delegate;
  std::shared_ptr<Collector> collector = std::make_shared<Collector>();
  std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("x11-monitor-test");
  std::unique_ptr<CaptureStream> stream;  // stopped before the rest goes

  // Starts capturing; without `firstPicture`, returns before the first picture arrives.
  ::testing::AssertionResult start(X11ScreenCaptureService& service, const ShareableDisplay& display,
                                   const StreamConfiguration& configuration, bool firstPicture = true) {
    Result<std::unique_ptr<CaptureStream>> made =
        service.makeStream(service.displayFilter(display), configuration, &delegate);
    if (!made.ok()) return ::testing::AssertionFailure() << made.error().message;
    stream = std::move(*made);
    if (!stream->addStreamOutput(collector, StreamOutputType::Screen, queue).ok() || !stream->startCapture().ok()) {
      return ::testing::AssertionFailure() << "the stream did not start";
    }
    if (firstPicture && !collector->waitForPictureAfter(0)) return ::testing::AssertionFailure() << "no picture";
    return ::testing::AssertionSuccess();
  }
};

StreamConfiguration sized(int width, int height) {
  StreamConfiguration c;
  c.width = width;
  c.height = height;
  return c;
}

// A monitor of its own, so the display's usual ones stay as they are even if the test fails.
class TemporaryMonitor {
 public:
  static constexpr const char* name = "PELORIN_X11_GONE";
  TemporaryMonitor() { added_ = xrandr({"--setmonitor", name, "640/169x480/127+100+100", "none"}).exitStatus == 0; }
  ~TemporaryMonitor() { remove(); }
  bool added() const { return added_; }
  bool remove() {
    if (!added_) return true;
    added_ = false;
    return xrandr({"--delmonitor", name}).exitStatus == 0;
  }

 private:
  bool added_ = false;
};

TEST(X11MonitorLoss, AStreamStopsWithAnErrorWhenItsMonitorIsRemoved) {
  if (!test::haveDisplay()) GTEST_SKIP() << "no DISPLAY";
  Result<std::unique_ptr<X11ScreenCaptureService>> service = X11ScreenCaptureService::create();
  ASSERT_TRUE(service.ok());
  TemporaryMonitor monitor;
  ASSERT_TRUE(monitor.added());
  const std::optional<ShareableDisplay> display = displayNamed(**service, TemporaryMonitor::name);
  ASSERT_TRUE(display);
  EXPECT_EQ(display->frame, (Rect{100, 100, 640, 480}));
  WatchedStream watched;
  ASSERT_TRUE(watched.start(**service, *display, sized(320, 240)));
  EXPECT_TRUE(watched.delegate.errors().empty());

  ASSERT_TRUE(monitor.remove());
  const auto removed = std::chrono::steady_clock::now();
  ASSERT_TRUE(watched.delegate.waitForError(3s)) << "the stream went on without its monitor";
  EXPECT_LT(std::chrono::steady_clock::now() - removed, 1500ms);
  const std::vector<Error> errors = watched.delegate.errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].domain, "X11Capture");
  EXPECT_NE(errors[0].message.find("disconnected"), std::string::npos) << errors[0].message;
  const std::size_t delivered = watched.collector->records().size();
  std::this_thread::sleep_for(200ms);
  watched.queue->sync([] {});
  EXPECT_EQ(watched.collector->records().size(), delivered) << "samples after the stop";
  EXPECT_TRUE(watched.stream->stopCapture().ok());
  // Starting again finds no monitor.
  EXPECT_FALSE(watched.stream->startCapture().ok());
}

// Puts RIGHT back as the test display has it, however the test ends.
class RightRestorer {
 public:
  ~RightRestorer() {
    if (removed) xrandr({"--setmonitor", "RIGHT", "1920/508x1080/286+1920+0", "none"});
  }
  bool removed = false;
};

TEST(X11MonitorLoss, AStreamOnRightStopsWhenRightIsRemovedAndLeftCarriesOn) {
  if (!test::haveDisplay()) GTEST_SKIP() << "no DISPLAY";
  Result<std::unique_ptr<X11ScreenCaptureService>> service = X11ScreenCaptureService::create();
  ASSERT_TRUE(service.ok());
  const std::optional<ShareableDisplay> right = displayNamed(**service, "RIGHT");
  const std::optional<ShareableDisplay> left = displayNamed(**service, "LEFT");
  if (!right || !left) GTEST_SKIP() << "the display lacks the LEFT and RIGHT monitors";
  WatchedStream onRight;
  WatchedStream onLeft;
  ASSERT_TRUE(onRight.start(**service, *right, sized(480, 270)));
  ASSERT_TRUE(onLeft.start(**service, *left, sized(480, 270), false));

  RightRestorer restorer;
  ASSERT_EQ(xrandr({"--delmonitor", "RIGHT"}).exitStatus, 0);
  restorer.removed = true;
  ASSERT_TRUE(onRight.delegate.waitForError(3s)) << "the stream went on without its monitor";
  EXPECT_EQ(onRight.delegate.errors()[0].domain, "X11Capture");
  std::this_thread::sleep_for(700ms);  // past the next monitor check of the LEFT stream
  EXPECT_TRUE(onLeft.delegate.errors().empty()) << "a stream of a monitor that stayed was stopped";
  const std::size_t leftSamples = onLeft.collector->records().size();
  EXPECT_TRUE(onLeft.collector->waitFor([&](const auto& r) { return r.size() > leftSamples; }));
  EXPECT_TRUE(onLeft.stream->stopCapture().ok());
  EXPECT_TRUE(onRight.stream->stopCapture().ok());
}

// An X server of the test's own, on a display number nobody uses.
class PrivateServer {
 public:
  PrivateServer() {
    for (int n = 170; n < 200 && pid_ < 0; ++n) {
      if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)) ||
          std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) {
        continue;
      }
      name_ = ":" + std::to_string(n);
      std::vector<std::string> args = {"Xvfb", name_, "-screen", "0", "800x600x24", "-nolisten", "tcp", "-noreset"};
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      pid_t pid = -1;
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
      if (posix_spawn(&pid, "/usr/bin/Xvfb", &actions, nullptr, argv.data(), environ) == 0) pid_ = pid;
      posix_spawn_file_actions_destroy(&actions);
    }
    for (int i = 0; i < 100 && pid_ > 0; ++i) {
      if (std::filesystem::exists("/tmp/.X11-unix/X" + name_.substr(1))) {
        if (Display* d = XOpenDisplay(name_.c_str())) {
          XCloseDisplay(d);
          ready_ = true;
          break;
        }
      }
      std::this_thread::sleep_for(50ms);
    }
  }
  ~PrivateServer() { kill(); }
  bool ready() const { return ready_; }
  const std::string& name() const { return name_; }
  void kill() {
    if (pid_ <= 0) return;
    // The server ends at once for its clients either way; SIGTERM lets it remove its lock file.
    ::kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string name_;
};

TEST(X11ConnectionLoss, AStreamStopsWithAnErrorAndTheProcessLivesOn) {
  PrivateServer server;
  ASSERT_TRUE(server.ready()) << "no private Xvfb";
  X11CaptureOptions options;
  options.displayName = server.name();
  Result<std::unique_ptr<X11ScreenCaptureService>> service = X11ScreenCaptureService::create(options);
  ASSERT_TRUE(service.ok()) << service.error().message;
  Result<ShareableContent> content = (*service)->shareableContent(false, true);
  ASSERT_TRUE(content.ok());
  ASSERT_FALSE(content->displays.empty());
  StreamConfiguration c = sized(400, 300);
  c.showsCursor = true;
  WatchedStream watched;
  ASSERT_TRUE(watched.start(**service, content->displays[0], c));

  server.kill();
  ASSERT_TRUE(watched.delegate.waitForError(3s)) << "the stream did not notice the server going away";
  EXPECT_EQ(watched.delegate.errors()[0].domain, "X11Capture");
  EXPECT_TRUE(watched.stream->stopCapture().ok());
  // The service's own connection broke too; it answers with errors rather than ending the process.
  EXPECT_FALSE((*service)->shareableContent(false, true).ok());
}

// Xvfb refuses a monitor set wholly outside the root, so the root shrinks away under it instead.
TEST(X11MonitorLoss, AStreamStopsWithAnErrorWhenItsMonitorLiesOffTheScreen) {
  PrivateServer server;
  ASSERT_TRUE(server.ready()) << "no private Xvfb";
  ASSERT_EQ(xrandr({"-display", server.name(), "--setmonitor", "PELORIN_OFF", "200/50x200/50+500+100", "none"})
                .exitStatus,
            0);
  Result<std::unique_ptr<X11ScreenCaptureService>> service = X11ScreenCaptureService::create({.displayName = server.name()});
  ASSERT_TRUE(service.ok()) << service.error().message;
  const std::optional<ShareableDisplay> display = displayNamed(**service, "PELORIN_OFF");
  ASSERT_TRUE(display);
  WatchedStream watched;
  ASSERT_TRUE(watched.start(**service, *display, sized(200, 200)));

  // xrandr complains about the screen's output, yet the root does shrink.
  xrandr({"-display", server.name(), "--fb", "400x600"});
  Display* check = XOpenDisplay(server.name().c_str());
  ASSERT_NE(check, nullptr);
  EXPECT_EQ(DisplayWidth(check, DefaultScreen(check)), 400);
  XCloseDisplay(check);
  ASSERT_TRUE(watched.delegate.waitForError(4s)) << "the stream went on without a picture";
  const std::vector<Error> errors = watched.delegate.errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].domain, "X11Capture");
  EXPECT_NE(errors[0].message.find("PELORIN_OFF lies outside the screen"), std::string::npos) << errors[0].message;
  EXPECT_TRUE(watched.stream->stopCapture().ok());
}

}  // namespace
}  // namespace pelorin::platform::x11
