// Single windows (XComposite) on the live test display with its window manager: still pictures
// at full resolution and streams.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/x11/screen_capture_x11.h"
#include "platform/x11_test_helpers.h"

namespace pelorin::platform::x11 {
namespace {

using namespace std::chrono_literals;
using pelorin::test::waitUntil;
using test::Collector;
using test::countStatus;
using test::expectColour;
using test::Painter;
using test::pixelAt;
using test::sized;

constexpr unsigned long orange = 0xff8000, cyan = 0x00c0c0, red = 0xd02020, green = 0x20c040;

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// A window its client paints itself (the server paints no background): at once when it is first
// shown, then after a delay at the last of each series of exposures, as a busy toolkit does.
struct DrawingClient {
  DrawingClient(unsigned long rgb, std::chrono::milliseconds delay) {
    XSetWindowAttributes attributes{.background_pixmap = None, .event_mask = ExposureMask};
    window = XCreateWindow(display, DefaultRootWindow(display), 40, 40, 300, 200, 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWBackPixmap | CWEventMask, &attributes);
    XMapWindow(display, window);
    thread = std::thread([this, rgb, delay] {
      GC gc = XCreateGC(display, window, 0, nullptr);
      XSetForeground(display, gc, rgb);
      for (XEvent event; !stop; std::this_thread::sleep_for(5ms)) {
        if (!XCheckWindowEvent(display, window, ExposureMask, &event) || event.xexpose.count != 0) continue;
        std::unique_lock lock(mutex);
        if (drawings > 0 && woken.wait_for(lock, delay, [&] { return stop.load(); })) break;
        XFillRectangle(display, window, gc, 0, 0, 300, 200);
        XFlush(display);
        ++drawings;
      }
      XFreeGC(display, gc);
    });
  }
  ~DrawingClient() {
    std::unique_lock lock(mutex);
    stop = true;
    lock.unlock();
    woken.notify_all();
    thread.join();
    XCloseDisplay(display);
  }

  Display* display = XOpenDisplay(nullptr);
  Window window = None;
  std::atomic<bool> stop{false};
  std::atomic<int> drawings{0};
  std::mutex mutex;
  std::condition_variable woken;
  std::thread thread;
};

using X11WindowTest = test::ServiceTest;

// Covered parts come back only when the client redraws them: the picture waits for that, briefly.
TEST_F(X11WindowTest, CoveredWindowGivesItsOwnPixelsAtFrameSizeUntilItIsHiddenOrGone) {
  ContentFilter filter;
  // The first client redraws long after the test has ended: the picture must not wait for it.
  for (const std::chrono::milliseconds delay : {std::chrono::milliseconds(std::chrono::hours(1)), 40ms}) {
    SCOPED_TRACE(delay.count());
    DrawingClient client(orange, delay);
    ASSERT_TRUE(painter_.waitManaged(client.window));
    const ShareableWindow shareable = listed(client.window);
    filter = service_->windowFilter(shareable);
    ASSERT_TRUE(waitUntil([&] { return client.drawings > 0; }));
    Painter cover;  // gone with the case, so the next window is drawn on screen first
    cover.fill(0, 0, 3840, 1200, cyan);
    const int before = client.drawings;
    Result<Image> image = service_->captureImage(filter, {});
    ASSERT_TRUE(image.ok()) << image.error().message;
    if (delay > 1s) continue;
    EXPECT_GT(client.drawings, before) << "the redirection exposed nothing";
    // The decorations belong to the window's picture; the bottom rows are the client's.
    EXPECT_GT(shareable.frame.height, 200);
    EXPECT_EQ(image->width, static_cast<int>(shareable.frame.width));
    EXPECT_EQ(image->height, static_cast<int>(shareable.frame.height));
    EXPECT_EQ(pixelAt(*image, image->width / 2, image->height - 10), orange) << "the covered client area is blank";
    EXPECT_EQ(pixelAt(*image, image->width / 2 - 140, image->height - 190), orange);
    for (std::size_t i = 3; i < image->pixels.size(); i += 4) ASSERT_EQ(image->pixels[i], 0xff) << "opaque";
    Result<Image> scaled = service_->captureImage(filter, {.width = 100, .height = 50});
    ASSERT_TRUE(scaled.ok()) << scaled.error().message;
    EXPECT_EQ(scaled->bytesPerRow, 400u);
    // Box scaling rounds at the edges of flat areas by a step or two.
    EXPECT_TRUE(pelorin::test::rgbNear(pixelAt(*scaled, 50, 45), orange, 3)) << std::hex << pixelAt(*scaled, 50, 45);
    // The screen is untouched by the capture: the cover still shows where the window is.
    Result<Image> screen = service_->captureImage(service_->displayFilter(display("LEFT")), {});
    ASSERT_TRUE(screen.ok()) << screen.error().message;
    EXPECT_EQ(pixelAt(*screen, static_cast<int>(shareable.frame.x) + 150,
                      static_cast<int>(shareable.frame.y + shareable.frame.height) - 10),
              cyan);
    XUnmapWindow(painter_.display(), client.window);
    XSync(painter_.display(), False);
    ASSERT_TRUE(waitUntil([&] { return !painter_.viewable(client.window); }));
    EXPECT_FALSE(service_->captureImage(filter, {.width = 64, .height = 48}).ok()) << "hidden";
  }
  EXPECT_FALSE(service_->captureImage(filter, {.width = 64, .height = 48}).ok()) << "gone";
  EXPECT_TRUE(service_->shareableContent(false, true).ok()) << "the connection outlives the errors";
}

TEST_F(X11WindowTest, AnArgbWindowStaysWholeThroughIconifyAndRequests) {
  auto collector = std::make_shared<Collector>();
  const Window window = painter_.create({.width = 600, .height = 300, .rgb = green, .argb = true});
  ASSERT_TRUE(painter_.waitManaged(window)) << "no 32-bit visual or the window was not managed";
  const ShareableWindow shown = listed(window);
  auto stream = startStream(service_->windowFilter(shown), sized(640, 400), collector);
  ASSERT_TRUE(stream);
  PixelBufferRef frame = collector->waitForPictureAfter(0);
  ASSERT_TRUE(frame);
  // The whole window, decorations included, letterboxed: wider than tall, bars above and below.
  const Rect placed = collector->records().back().contentRect.value_or(Rect{});
  EXPECT_TRUE(placed.width == 640 && std::abs(placed.width / placed.height - shown.frame.width / shown.frame.height) < .02);
  expectColour(*frame, 320, 220, green, "the ARGB window's client area");
  expectColour(*frame, 320, 2, 0x000000, "the bar above");
  frame.reset();

  // Iconified: no new frames, the last picture again on request, then on as before.
  run("xdotool windowminimize " + std::to_string(window));
  ASSERT_TRUE(waitUntil([&] { return !painter_.viewable(window); }));
  ASSERT_TRUE(collector->waitForTicks(10)) << "no ticks";  // frames of the hiding still in flight are in
  const int settled = countStatus(collector->records(), FrameStatus::Complete);
  ASSERT_TRUE(collector->waitForTicks(10)) << "no ticks";
  EXPECT_EQ(countStatus(collector->records(), FrameStatus::Complete), settled) << "frames from an iconified window";
  const double requested = monotonicSeconds();
  stream->requestFrame();
  frame = collector->waitForPictureAfter(requested);
  ASSERT_TRUE(frame) << "no picture on request while iconified";
  expectColour(*frame, 320, 220, green, "the last picture, repeated");
  frame.reset();
  run("wmctrl -i -a " + std::to_string(window));
  ASSERT_TRUE(waitUntil([&] { return painter_.viewable(window); }));
  painter_.recolour(window, 0xff000000 | red);
  // Pictures of the window being shown may come first; then the redrawn one.
  for (double since = 0; (frame = collector->waitForPictureAfter(since)) && !pelorin::test::shows(*frame, 320, 220, red);) {
    since = collector->records().back().presentationSeconds;
  }
  ASSERT_TRUE(frame) << "nothing new after the window was shown again and redrawn";
  frame.reset();
  EXPECT_TRUE(stream->stopCapture().ok());
}

}  // namespace
}  // namespace pelorin::platform::x11
