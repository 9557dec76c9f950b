// Single windows (XComposite) on the live test display with its window manager: still pictures
// at full resolution, streams, a monitor showing only given windows; and the window list without
// a window manager.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
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

constexpr unsigned long orange = 0xff8000, cyan = 0x00c0c0, red = 0xd02020, green = 0x20c040, blue = 0x2040d0;

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// A window its client paints itself (the server paints no background), at every exposure and
// after a delay, as a busy toolkit does.
class DrawingClient {
 public:
  DrawingClient(unsigned long rgb, std::chrono::milliseconds delay) : display_(XOpenDisplay(nullptr)) {
    XSetWindowAttributes attributes{.background_pixmap = None, .event_mask = ExposureMask};
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), 40, 40, 300, 200, 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWBackPixmap | CWEventMask, &attributes);
    XMapWindow(display_, window_);
    thread_ = std::thread([this, rgb, delay] {
      GC gc = XCreateGC(display_, window_, 0, nullptr);
      XSetForeground(display_, gc, rgb);
      while (!stop_) {
        XEvent event;
        if (!XCheckWindowEvent(display_, window_, ExposureMask, &event)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          continue;
        }
        if (event.xexpose.count != 0) continue;  // the last of a series
        std::this_thread::sleep_for(delay);
        XFillRectangle(display_, window_, gc, 0, 0, 300, 200);
        XFlush(display_);
        ++drawings_;
      }
      XFreeGC(display_, gc);
    });
  }
  ~DrawingClient() {
    stop_ = true;
    thread_.join();
    XCloseDisplay(display_);
  }
  Window window() const { return window_; }
  int drawings() const { return drawings_; }

 private:
  Display* display_;
  Window window_ = None;
  std::atomic<bool> stop_{false};
  std::atomic<int> drawings_{0};
  std::thread thread_;
};

using X11WindowTest = test::ServiceTest;

TEST_F(X11WindowTest, CoveredWindowGivesItsOwnPixelsAtFrameSizeUntilItIsHiddenOrGone) {
  const Window window = painter_.create({.width = 300, .height = 200, .rgb = orange, .title = "Pelorin window image"});
  ASSERT_TRUE(painter_.waitManaged(window));
  const ShareableWindow shareable = listed(window);
  const ContentFilter filter = service_->windowFilter(shareable);
  EXPECT_EQ(filter.windowID, window);
  EXPECT_EQ((std::pair{filter.contentRect.width, filter.contentRect.height}),
            (std::pair{shareable.frame.width, shareable.frame.height}));
  EXPECT_GT(shareable.frame.height, 200) << "the decorations belong to the window's picture";

  painter_.fill(0, 0, 3840, 1200, cyan);
  Result<Image> image = service_->captureImage(filter, {});
  ASSERT_TRUE(image.ok()) << image.error().message;
  EXPECT_EQ(image->width, static_cast<int>(shareable.frame.width));
  EXPECT_EQ(image->height, static_cast<int>(shareable.frame.height));
  // The bottom rows are the client's, whatever the decorations on top look like.
  const int bottom = image->height - 10;
  EXPECT_EQ(pixelAt(*image, image->width / 2, bottom), orange);
  EXPECT_EQ(pixelAt(*image, image->width / 2 - 100, bottom - 150), orange);
  for (std::size_t i = 3; i < image->pixels.size(); i += 4) ASSERT_EQ(image->pixels[i], 0xff) << "opaque";

  Result<Image> scaled = service_->captureImage(filter, {.width = 100, .height = 50});
  ASSERT_TRUE(scaled.ok()) << scaled.error().message;
  EXPECT_EQ(scaled->width, 100);
  EXPECT_EQ(scaled->height, 50);
  EXPECT_EQ(scaled->bytesPerRow, 400u);
  // Box scaling rounds at the edges of flat areas by a step or two.
  EXPECT_TRUE(pelorin::test::rgbNear(pixelAt(*scaled, 50, 45), orange, 3)) << std::hex << pixelAt(*scaled, 50, 45);

  // The screen is untouched by the capture: the cover still shows where the window is.
  Result<ShareableContent> content = service_->shareableContent(false, true);
  ASSERT_TRUE(content.ok());
  Result<Image> screen = service_->captureImage(service_->displayFilter(content->displays.at(0)), {});
  ASSERT_TRUE(screen.ok()) << screen.error().message;
  EXPECT_EQ(pixelAt(*screen, static_cast<int>(shareable.frame.x) + 150,
                    static_cast<int>(shareable.frame.y + shareable.frame.height) - 10),
            cyan);

  XUnmapWindow(painter_.display(), window);
  XSync(painter_.display(), False);
  ASSERT_TRUE(waitUntil([&] { return !painter_.viewable(window); }));
  EXPECT_FALSE(service_->captureImage(filter, {.width = 64, .height = 48}).ok()) << "hidden";
  painter_.destroy(window);
  XSync(painter_.display(), False);
  EXPECT_FALSE(service_->captureImage(filter, {.width = 64, .height = 48}).ok()) << "gone";
  // The connection outlives the errors.
  content = service_->shareableContent(false, true);
  ASSERT_TRUE(content.ok());
  for (const auto& w : content->windows) EXPECT_NE(w.windowID, window);
  ContentFilter never = filter;
  never.windowID = 0x7ffffff0;
  EXPECT_FALSE(service_->captureImage(never, {}).ok());
}

// Covered parts come back only when the client redraws them: the picture waits for that, briefly.
TEST_F(X11WindowTest, CoveredWindowWaitsBrieflyForItsClientToRedraw) {
  const struct {
    std::chrono::milliseconds clientDelay;
    bool redrawnInTime;
  } cases[] = {{40ms, true}, {1500ms, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clientDelay.count());
    DrawingClient client(orange, c.clientDelay);
    ASSERT_TRUE(painter_.waitManaged(client.window()));
    const ShareableWindow shareable = listed(client.window());
    ASSERT_TRUE(waitUntil([&] { return client.drawings() > 0; }));
    Painter cover;  // gone with the case, so the next window is drawn on screen first
    cover.fill(0, 0, 3840, 1200, cyan);
    const int before = client.drawings();
    const auto start = std::chrono::steady_clock::now();
    Result<Image> image = service_->captureImage(service_->windowFilter(shareable), {});
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(image.ok()) << image.error().message;
    EXPECT_LT(took, 1s) << "the wait for a redraw is bounded";
    if (c.redrawnInTime) {
      EXPECT_GT(client.drawings(), before) << "the redirection exposed nothing";
      EXPECT_EQ(pixelAt(*image, image->width / 2, image->height - 10), orange) << "the covered client area is blank";
      EXPECT_EQ(pixelAt(*image, image->width / 2 - 140, image->height - 190), orange);
    }
  }
}

TEST_F(X11WindowTest, AnArgbWindowStaysWholeThroughIconifyRequestsNewCropsAndResizes) {
  auto collector = std::make_shared<Collector>();
  const Window window = painter_.create({.width = 600, .height = 300, .rgb = green, .argb = true});
  ASSERT_TRUE(painter_.waitManaged(window)) << "no 32-bit visual or the window was not managed";
  const ShareableWindow shown = listed(window);
  auto stream = startStream(service_->windowFilter(shown), sized(640, 400), collector);
  ASSERT_TRUE(stream);
  PixelBufferRef frame = collector->waitForPictureAfter(0);
  ASSERT_TRUE(frame);
  // The whole window, decorations included, letterboxed: wider than tall, bars above and below.
  const auto records = collector->records();
  const Rect placed = *records.back().contentRect;
  EXPECT_NEAR(placed.width / placed.height, shown.frame.width / shown.frame.height, 0.02);
  EXPECT_EQ(placed.width, 640);
  expectColour(*frame, 320, 220, green, "the ARGB window's client area");
  expectColour(*frame, 320, 2, 0x000000, "the bar above");
  frame.reset();

  // Iconified: idle samples only, the last picture again on request, then on as before.
  run("xdotool windowminimize " + std::to_string(window));
  std::this_thread::sleep_for(300ms);
  const int completeBefore = countStatus(collector->records(), FrameStatus::Complete);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(countStatus(collector->records(), FrameStatus::Complete), completeBefore) << "frames from an iconified window";
  EXPECT_GT(countStatus(collector->records(), FrameStatus::Idle), 5);
  const double requested = test::monotonicNow();
  stream->requestFrame();
  frame = collector->waitForPictureAfter(requested, 500ms);
  ASSERT_TRUE(frame) << "no picture on request while iconified";
  expectColour(*frame, 320, 220, green, "the last picture, repeated");
  frame.reset();
  run("wmctrl -i -a " + std::to_string(window));
  std::this_thread::sleep_for(300ms);  // the window manager shows the frame, then the client
  XSetWindowBackground(painter_.display(), window, 0xff000000 | red);
  XClearWindow(painter_.display(), window);
  XSync(painter_.display(), False);
  frame = collector->waitForPictureAfter(test::monotonicNow());
  ASSERT_TRUE(frame) << "nothing new after the window was shown again";
  expectColour(*frame, 320, 220, red, "shown again and redrawn");
  frame.reset();

  // A new crop shows at once, with nothing changed on screen: the left half of the window.
  StreamConfiguration cropped = sized(640, 400);
  cropped.sourceRect = Rect{0, 0, shown.frame.width / 2, shown.frame.height};
  const double changed = test::monotonicNow();
  ASSERT_TRUE(stream->updateConfiguration(cropped).ok());
  ASSERT_TRUE(collector->waitFor(
      [&](const auto& r) { return !r.empty() && r.back().hasImage && r.back().presentationSeconds > changed; }, 200ms))
      << "no fresh frame after the new configuration";
  EXPECT_LT(collector->records().back().contentRect->width, 640);

  // Without a source rectangle the stream follows the window's new size.
  ASSERT_TRUE(stream->updateConfiguration(sized(640, 400)).ok());
  ASSERT_TRUE(painter_.setFrameSize(window, 300, 400));
  ASSERT_TRUE(collector->waitFor([&](const auto& r) {
    return !r.empty() && r.back().contentRect && std::abs(r.back().contentRect->width / r.back().contentRect->height -
                                                          300.0 / 400) < 0.02;
  })) << "the picture did not follow the resize";
  EXPECT_TRUE(stream->stopCapture().ok());
}

TEST_F(X11WindowTest, SwitchedToAMonitorShowingOnlyTheWindowItDrawsItAtItsPlaceAndStopsWhenItIsDestroyed) {
  auto collector = std::make_shared<Collector>();
  const Window window = painter_.create({.width = 400, .height = 300, .rgb = red, .title = "only"});
  ASSERT_TRUE(painter_.waitManaged(window));
  // Covers the whole monitor, window included; it must not show.
  painter_.fill(0, 0, 1920, 1200, blue);
  const ShareableWindow shown = listed(window);
  Result<ShareableContent> content = service_->shareableContent(true, false);
  ASSERT_TRUE(content.ok());
  const ShareableDisplay& left = content->displays.front();
  auto stream = startStream(service_->windowFilter(shown), sized(1920, 1200), collector);
  ASSERT_TRUE(stream);
  // As the tracker switches into full screen: the same window, now at its place on the monitor.
  ASSERT_TRUE(stream->updateContentFilter(service_->displayFilterIncluding(left, {static_cast<WindowID>(window)})).ok());
  PixelBufferRef frame = collector->waitForPictureAfter(test::monotonicNow());
  ASSERT_TRUE(frame);
  const int cx = static_cast<int>(shown.frame.x + shown.frame.width / 2);
  const int cy = static_cast<int>(shown.frame.y + shown.frame.height - 20);
  expectColour(*frame, cx, cy, red, "the window at its place");
  expectColour(*frame, 1800, 1100, 0x000000, "elsewhere on the monitor");
  frame.reset();

  painter_.destroy(window);
  ASSERT_TRUE(collector->waitForError(1s)) << "the stream did not stop when its window was destroyed";
  EXPECT_EQ(collector->errors().front().domain, "X11Capture");
}

// A display of its own, without a window manager: the mapped top-level windows, topmost first.
TEST(X11WindowListWithoutManager, ListsMappedTopLevelWindows) {
  pelorin::test::PrivateServer server;
  ASSERT_TRUE(server.ready()) << "no private Xvfb";
  Painter windows(server.name().c_str());
  ASSERT_TRUE(windows.ok());
  const Window bottom = windows.create({.width = 200, .height = 100, .rgb = orange, .title = "Pelorin bottom"}, false);
  const Window top = windows.create({.width = 300, .height = 120, .rgb = cyan, .title = "Pelorin top"}, false);
  const Window hidden = XCreateSimpleWindow(windows.display(), DefaultRootWindow(windows.display()), 0, 0, 200, 100, 0, 0, 0);
  XStoreName(windows.display(), hidden, "Pelorin hidden");
  XStoreName(windows.display(), windows.fill(0, 0, 200, 100, cyan), "Pelorin popup");  // override-redirect
  XSync(windows.display(), False);

  Result<std::unique_ptr<X11ScreenCaptureService>> service =
      X11ScreenCaptureService::create({.displayName = server.name()});
  ASSERT_TRUE(service.ok()) << service.error().message;
  Result<ShareableContent> content = (*service)->shareableContent(false, false);
  ASSERT_TRUE(content.ok());
  std::vector<WindowID> ids;
  for (const auto& w : content->windows) ids.push_back(w.windowID);
  ASSERT_EQ(ids, (std::vector<WindowID>{static_cast<WindowID>(top), static_cast<WindowID>(bottom)}));
  EXPECT_EQ(content->windows[0].title, "Pelorin top");
  EXPECT_EQ(content->windows[0].frame.width, 300);
  EXPECT_EQ(content->windows[0].frame.height, 120);
  EXPECT_TRUE(content->windows[0].onScreen);

  // Undecorated and unmanaged, the window is still captured alone.
  Result<Image> image = (*service)->captureImage((*service)->windowFilter(content->windows[1]), {});
  ASSERT_TRUE(image.ok()) << image.error().message;
  EXPECT_EQ(image->width, 200);
  EXPECT_EQ(image->height, 100);
  EXPECT_EQ(pixelAt(*image, 10, 10), orange);  // under the top window on screen
}

}  // namespace
}  // namespace pelorin::platform::x11
