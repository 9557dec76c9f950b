// A server of the test's own whose monitors streams lose: removed, off the screen, then the whole
// server gone.

#include <gtest/gtest.h>

#include <chrono>

#include "platform/x11/screen_capture_x11.h"
#include "platform/x11_test_helpers.h"
#include "support/process.h"

namespace pelorin::platform::x11 {
namespace {

using namespace std::chrono_literals;
using test::Collector;
using test::sized;

// xrandr on `display`.
int xrandr(std::vector<std::string> arguments, const std::string& display) {
  arguments.insert(arguments.begin(), {"-display", display});
  return pelorin::test::runProcess("/usr/bin/xrandr", {.arguments = arguments, .timeout = 10s}).exitStatus;
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

  // Expects the stream to stop once (the bound only guards against a hang), with an error whose
  // message holds `reason`, and to send nothing more while `going` (a stream that goes on) ticks.
  void expectStopped(const std::string& reason, WatchedStream& going) {
    ASSERT_TRUE(collector->waitForError()) << "the stream went on";
    const std::vector<Error> errors = collector->errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].domain, "X11Capture");
    EXPECT_NE(errors[0].message.find(reason), std::string::npos) << errors[0].message;
    queue->sync([] {});
    const std::size_t delivered = collector->records().size(), ticks = going.collector->records().size();
    EXPECT_TRUE(going.collector->waitFor([&](const auto& r) { return r.size() >= ticks + 10; }));
    queue->sync([] {});
    EXPECT_EQ(collector->records().size(), delivered) << "samples after the stop";
    EXPECT_TRUE(going.collector->errors().empty()) << "a stream of a monitor that stayed was stopped";
    EXPECT_TRUE(stream->stopCapture().ok());
  }
};

// Xvfb refuses a monitor set wholly outside the root, so one is left off the screen by shrinking
// the root.
TEST(X11PrivateServer, StopsStreamsWhoseMonitorGoesOrLiesOffTheScreenOrTheServerGoes) {
  pelorin::test::PrivateServer server;
  ASSERT_TRUE(server.ready()) << "no private Xvfb";
  Result<std::unique_ptr<X11ScreenCaptureService>> service = X11ScreenCaptureService::create({.displayName = server.name()});
  ASSERT_TRUE(service.ok()) << service.error().message;
  for (auto [name, geometry] : {std::pair{"PELORIN_GONE", "200/50x200/50+200+0"}, {"PELORIN_OFF", "200/50x200/50+500+100"},
                                {"PELORIN_ON", "200/50x200/50+0+0"}}) {
    ASSERT_EQ(xrandr({"--setmonitor", name, geometry, "none"}, server.name()), 0);
  }
  const auto gone = test::displayNamed(**service, "PELORIN_GONE"), off = test::displayNamed(**service, "PELORIN_OFF"),
             on = test::displayNamed(**service, "PELORIN_ON");
  ASSERT_TRUE(gone && off && on);
  EXPECT_EQ(gone->frame, (Rect{200, 0, 200, 200}));
  WatchedStream goneStream, offStream, onStream;
  ASSERT_TRUE(goneStream.start(**service, *gone, sized(320, 240)));
  ASSERT_TRUE(offStream.start(**service, *off, sized(200, 200)));
  StreamConfiguration withCursor = sized(400, 300);
  withCursor.showsCursor = true;
  ASSERT_TRUE(onStream.start(**service, *on, withCursor));

  ASSERT_EQ(xrandr({"--delmonitor", "PELORIN_GONE"}, server.name()), 0);
  goneStream.expectStopped("disconnected", onStream);
  EXPECT_FALSE(goneStream.stream->startCapture().ok()) << "starting again finds no monitor";

  xrandr({"--fb", "400x600"}, server.name());  // complains about the screen's output, yet shrinks the root
  offStream.expectStopped("PELORIN_OFF lies outside the screen", onStream);

  server.kill();
  ASSERT_TRUE(onStream.collector->waitForError()) << "the stream did not notice the server going away";
  EXPECT_EQ(onStream.collector->errors()[0].domain, "X11Capture");
  EXPECT_TRUE(onStream.stream->stopCapture().ok());
  // The service's own connection broke too; it answers with errors rather than ending the process.
  EXPECT_FALSE((*service)->shareableContent(false, true).ok());
}

}  // namespace
}  // namespace pelorin::platform::x11
