// Streams that lose what they capture: a monitor removed or off the screen, the X server gone.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/x11/screen_capture_x11.h"
#include "platform/x11_test_helpers.h"
#include "support/process.h"

namespace pelorin::platform::x11 {
namespace {

using namespace std::chrono_literals;
using test::Collector;
using test::displayNamed;
using test::sized;

// xrandr on the test display, or on `display` when given.
int xrandr(std::vector<std::string> arguments, const std::string& display = "") {
  pelorin::test::ProcessOptions options;
  options.arguments = std::move(arguments);
  if (!display.empty()) options.arguments.insert(options.arguments.begin(), {"-display", display});
  options.timeout = 10s;
  return pelorin::test::runProcess("/usr/bin/xrandr", options).exitStatus;
}

// A started stream of one display, whose samples and stop errors are kept.
struct WatchedStream {
  std::shared_ptr<Collector> collector = std::make_shared<Collector>();
  std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("x11-monitor-test");
  std::unique_ptr<CaptureStream> stream;  // stopped before the rest goes

  // Starts capturing and waits for the first picture.
  bool start(X11ScreenCaptureService& service, const ShareableDisplay& display, const StreamConfiguration& c) {
    stream = test::startStream(service, service.displayFilter(display), c, collector, queue);
    return stream && collector->waitForPictureAfter(0);
  }

  // Expects the stream to stop once, with an error whose message holds `reason`, and no sample after.
  void expectStopped(std::chrono::milliseconds within, const std::string& reason) {
    const auto since = std::chrono::steady_clock::now();
    ASSERT_TRUE(collector->waitForError(within + 1500ms)) << "the stream went on";
    EXPECT_LT(std::chrono::steady_clock::now() - since, within);
    const std::vector<Error> errors = collector->errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].domain, "X11Capture");
    EXPECT_NE(errors[0].message.find(reason), std::string::npos) << errors[0].message;
    queue->sync([] {});
    const std::size_t delivered = collector->records().size();
    std::this_thread::sleep_for(200ms);
    queue->sync([] {});
    EXPECT_EQ(collector->records().size(), delivered) << "samples after the stop";
    EXPECT_TRUE(stream->stopCapture().ok());
  }
};

// A monitor of its own, so the display's usual ones stay as they are even if the test fails.
class TemporaryMonitor {
 public:
  static constexpr const char* name = "PELORIN_X11_GONE";
  TemporaryMonitor() { added_ = xrandr({"--setmonitor", name, "640/169x480/127+100+100", "none"}) == 0; }
  ~TemporaryMonitor() { remove(); }
  bool added() const { return added_; }
  bool remove() {
    if (!added_) return true;
    added_ = false;
    return xrandr({"--delmonitor", name}) == 0;
  }

 private:
  bool added_ = false;
};

TEST(X11MonitorLoss, AStreamStopsWhenItsMonitorIsRemovedAndOthersCarryOn) {
  if (!test::haveDisplay()) GTEST_SKIP() << "no DISPLAY";
  Result<std::unique_ptr<X11ScreenCaptureService>> service = X11ScreenCaptureService::create();
  ASSERT_TRUE(service.ok());
  TemporaryMonitor monitor;
  ASSERT_TRUE(monitor.added());
  const std::optional<ShareableDisplay> display = displayNamed(**service, TemporaryMonitor::name);
  const std::optional<ShareableDisplay> left = displayNamed(**service, "LEFT");
  ASSERT_TRUE(display && left);
  EXPECT_EQ(display->frame, (Rect{100, 100, 640, 480}));
  WatchedStream onMonitor, onLeft;
  ASSERT_TRUE(onMonitor.start(**service, *display, sized(320, 240)));
  ASSERT_TRUE(onLeft.start(**service, *left, sized(480, 300)));

  ASSERT_TRUE(monitor.remove());
  onMonitor.expectStopped(1500ms, "disconnected");
  EXPECT_FALSE(onMonitor.stream->startCapture().ok()) << "starting again finds no monitor";
  std::this_thread::sleep_for(700ms);  // past the next monitor check of the LEFT stream
  EXPECT_TRUE(onLeft.collector->errors().empty()) << "a stream of a monitor that stayed was stopped";
  const std::size_t leftSamples = onLeft.collector->records().size();
  EXPECT_TRUE(onLeft.collector->waitFor([&](const auto& r) { return r.size() > leftSamples; }));
  EXPECT_TRUE(onLeft.stream->stopCapture().ok());
}

// Xvfb refuses a monitor set wholly outside the root, so the root shrinks away under it instead;
// then the server goes, and the process lives on.
TEST(X11ServerLoss, AStreamStopsWhenItsMonitorLiesOffTheScreenOrTheServerGoes) {
  pelorin::test::PrivateServer server;
  ASSERT_TRUE(server.ready()) << "no private Xvfb";
  ASSERT_EQ(xrandr({"--setmonitor", "PELORIN_OFF", "200/50x200/50+500+100", "none"}, server.name()), 0);
  ASSERT_EQ(xrandr({"--setmonitor", "PELORIN_ON", "200/50x200/50+0+0", "none"}, server.name()), 0);
  Result<std::unique_ptr<X11ScreenCaptureService>> service = X11ScreenCaptureService::create({.displayName = server.name()});
  ASSERT_TRUE(service.ok()) << service.error().message;
  const std::optional<ShareableDisplay> off = displayNamed(**service, "PELORIN_OFF");
  const std::optional<ShareableDisplay> on = displayNamed(**service, "PELORIN_ON");
  ASSERT_TRUE(off && on);
  WatchedStream offStream, onStream;
  ASSERT_TRUE(offStream.start(**service, *off, sized(200, 200)));
  StreamConfiguration withCursor = sized(400, 300);
  withCursor.showsCursor = true;
  ASSERT_TRUE(onStream.start(**service, *on, withCursor));

  // xrandr complains about the screen's output, yet the root does shrink.
  xrandr({"--fb", "400x600"}, server.name());
  {
    pelorin::test::TestDisplay check(server.name().c_str());
    ASSERT_TRUE(check.ok());
    EXPECT_EQ(DisplayWidth(check.display(), DefaultScreen(check.display())), 400);
  }
  offStream.expectStopped(3500ms, "PELORIN_OFF lies outside the screen");
  EXPECT_TRUE(onStream.collector->errors().empty()) << "a monitor still on the screen was given up";

  server.kill();
  ASSERT_TRUE(onStream.collector->waitForError(3s)) << "the stream did not notice the server going away";
  EXPECT_EQ(onStream.collector->errors()[0].domain, "X11Capture");
  EXPECT_TRUE(onStream.stream->stopCapture().ok());
  // The service's own connection broke too; it answers with errors rather than ending the process.
  EXPECT_FALSE((*service)->shareableContent(false, true).ok());
}

}  // namespace
}  // namespace pelorin::platform::x11
