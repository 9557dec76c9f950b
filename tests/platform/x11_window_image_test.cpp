// Still pictures of single windows (XComposite) and the window list without a window manager,
// at full resolution so that pixels can be compared exactly.

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/x11/screen_capture_x11.h"
#include "platform/x11_test_helpers.h"

namespace pelorin::platform::x11 {
namespace {

using namespace std::chrono_literals;
using pelorin::test::waitUntil;
using test::Painter;

constexpr unsigned long orange = 0xff8000, cyan = 0x00c0c0;

unsigned long pixelAt(const Image& image, int x, int y) {
  const std::uint8_t* p = image.pixels.data() + static_cast<std::size_t>(y) * image.bytesPerRow + x * 4;
  return (static_cast<unsigned long>(p[2]) << 16) | (p[1] << 8) | p[0];
}

// Box scaling rounds at the edges of flat areas by a step or two.
::testing::AssertionResult near(unsigned long actual, unsigned long expected) {
  for (int shift : {16, 8, 0}) {
    if (std::abs(static_cast<int>((actual >> shift) & 0xff) - static_cast<int>((expected >> shift) & 0xff)) > 3) {
      return ::testing::AssertionFailure() << std::hex << actual << " is not near " << expected;
    }
  }
  return ::testing::AssertionSuccess();
}

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
        pollfd descriptor{ConnectionNumber(display_), POLLIN, 0};
        if (XPending(display_) == 0) {
          poll(&descriptor, 1, 10);
          continue;
        }
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type != Expose || event.xexpose.count != 0) continue;  // the last of a series
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

using X11WindowImageTest = test::ServiceTest;

TEST_F(X11WindowImageTest, CoveredWindowGivesItsOwnPixelsAtFrameSizeUntilItIsHiddenOrGone) {
  const Window window = painter_.create({.width = 300, .height = 200, .rgb = orange, .title = "Pelorin window image"});
  ASSERT_TRUE(painter_.waitManaged(window));
  const ShareableWindow shareable = listed(window);
  const ContentFilter filter = service_->windowFilter(shareable);
  EXPECT_EQ(filter.kind, ContentFilter::Kind::Window);
  EXPECT_EQ(filter.windowID, window);
  EXPECT_EQ(filter.pointPixelScale, 1.0);
  EXPECT_EQ(filter.contentRect.width, shareable.frame.width);
  EXPECT_EQ(filter.contentRect.height, shareable.frame.height);
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
  EXPECT_TRUE(near(pixelAt(*scaled, 50, 45), orange));

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
TEST_F(X11WindowImageTest, CoveredWindowWaitsBrieflyForItsClientToRedraw) {
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
