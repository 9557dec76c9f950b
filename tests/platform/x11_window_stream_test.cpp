// X11 window streams against the live test display with its window manager: a window alone
// (through its own pixels) and a monitor showing only given windows.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/x11/screen_capture_x11.h"
#include "platform/x11_test_helpers.h"

namespace pelorin::platform::x11 {
namespace {

using namespace std::chrono_literals;
using test::Collector;
using test::countStatus;
using test::expectColour;
using test::sized;

constexpr unsigned long red = 0xd02020, green = 0x20c040, blue = 0x2040d0;

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

int completeFrames(Collector& collector) { return countStatus(collector.records(), FrameStatus::Complete); }

class X11WindowStreamTest : public test::ServiceTest {
 protected:
  std::shared_ptr<Collector> collector_ = std::make_shared<Collector>();
};

TEST_F(X11WindowStreamTest, AnArgbWindowStaysWholeThroughIconifyRequestsNewCropsAndResizes) {
  const Window window = painter_.create({.width = 600, .height = 300, .rgb = green, .argb = true});
  ASSERT_TRUE(painter_.waitManaged(window)) << "no 32-bit visual or the window was not managed";
  const ShareableWindow shown = listed(window);
  auto stream = startStream(service_->windowFilter(shown), sized(640, 400), collector_);
  ASSERT_TRUE(stream);
  PixelBufferRef frame = collector_->waitForPictureAfter(0);
  ASSERT_TRUE(frame);
  // The whole window, decorations included, letterboxed: wider than tall, bars above and below.
  const auto records = collector_->records();
  const Rect placed = *records.back().contentRect;
  EXPECT_NEAR(placed.width / placed.height, shown.frame.width / shown.frame.height, 0.02);
  EXPECT_EQ(placed.width, 640);
  expectColour(*frame, 320, 220, green, "the ARGB window's client area");
  expectColour(*frame, 320, 2, 0x000000, "the bar above");
  frame.reset();

  // Iconified: idle samples only, the last picture again on request, then on as before.
  run("xdotool windowminimize " + std::to_string(window));
  std::this_thread::sleep_for(300ms);
  const int completeBefore = completeFrames(*collector_);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(completeFrames(*collector_), completeBefore) << "frames from an iconified window";
  EXPECT_GT(countStatus(collector_->records(), FrameStatus::Idle), 5);
  const double requested = test::monotonicNow();
  stream->requestFrame();
  frame = collector_->waitForPictureAfter(requested, 500ms);
  ASSERT_TRUE(frame) << "no picture on request while iconified";
  expectColour(*frame, 320, 220, green, "the last picture, repeated");
  frame.reset();
  run("wmctrl -i -a " + std::to_string(window));
  std::this_thread::sleep_for(300ms);  // the window manager shows the frame, then the client
  XSetWindowBackground(painter_.display(), window, 0xff000000 | red);
  XClearWindow(painter_.display(), window);
  XSync(painter_.display(), False);
  frame = collector_->waitForPictureAfter(test::monotonicNow());
  ASSERT_TRUE(frame) << "nothing new after the window was shown again";
  expectColour(*frame, 320, 220, red, "shown again and redrawn");
  frame.reset();

  // A new crop shows at once, with nothing changed on screen: the left half of the window.
  StreamConfiguration cropped = sized(640, 400);
  cropped.sourceRect = Rect{0, 0, shown.frame.width / 2, shown.frame.height};
  const double changed = test::monotonicNow();
  ASSERT_TRUE(stream->updateConfiguration(cropped).ok());
  ASSERT_TRUE(collector_->waitFor(
      [&](const auto& r) { return !r.empty() && r.back().hasImage && r.back().presentationSeconds > changed; }, 200ms))
      << "no fresh frame after the new configuration";
  EXPECT_LT(collector_->records().back().contentRect->width, 640);

  // Without a source rectangle the stream follows the window's new size.
  ASSERT_TRUE(stream->updateConfiguration(sized(640, 400)).ok());
  ASSERT_TRUE(painter_.setFrameSize(window, 300, 400));
  ASSERT_TRUE(collector_->waitFor([&](const auto& r) {
    return !r.empty() && r.back().contentRect && std::abs(r.back().contentRect->width / r.back().contentRect->height -
                                                          300.0 / 400) < 0.02;
  })) << "the picture did not follow the resize";
  EXPECT_TRUE(stream->stopCapture().ok());
}

TEST_F(X11WindowStreamTest, SwitchedToAMonitorShowingOnlyTheWindowItDrawsItAtItsPlaceAndStopsWhenItIsDestroyed) {
  const Window window = painter_.create({.width = 400, .height = 300, .rgb = red, .title = "only"});
  ASSERT_TRUE(painter_.waitManaged(window));
  // Covers the whole monitor, window included; it must not show.
  painter_.fill(0, 0, 1920, 1200, blue);
  const ShareableWindow shown = listed(window);
  Result<ShareableContent> content = service_->shareableContent(true, false);
  ASSERT_TRUE(content.ok());
  const ShareableDisplay& left = content->displays.front();
  auto stream = startStream(service_->windowFilter(shown), sized(1920, 1200), collector_);
  ASSERT_TRUE(stream);
  // As the tracker switches into full screen: the same window, now at its place on the monitor.
  ASSERT_TRUE(stream->updateContentFilter(service_->displayFilterIncluding(left, {static_cast<WindowID>(window)})).ok());
  PixelBufferRef frame = collector_->waitForPictureAfter(test::monotonicNow());
  ASSERT_TRUE(frame);
  const int cx = static_cast<int>(shown.frame.x + shown.frame.width / 2);
  const int cy = static_cast<int>(shown.frame.y + shown.frame.height - 20);
  expectColour(*frame, cx, cy, red, "the window at its place");
  expectColour(*frame, 1800, 1100, 0x000000, "elsewhere on the monitor");
  frame.reset();

  painter_.destroy(window);
  ASSERT_TRUE(collector_->waitForError(1s)) << "the stream did not stop when its window was destroyed";
  EXPECT_EQ(collector_->errors().front().domain, "X11Capture");
}

}  // namespace
}  // namespace pelorin::platform::x11
