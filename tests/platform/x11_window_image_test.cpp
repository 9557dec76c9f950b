// Still pictures of single windows (XComposite) and the window list without a window manager,
// at full resolution so that pixels can be compared exactly.

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/x11/screen_capture_x11.h"
#include "platform/x11_test_helpers.h"

extern char** environ;

namespace pelorin::platform::x11 {
namespace {

using namespace std::chrono_literals;
using test::Painter;

constexpr unsigned long orange = 0xff8000;
constexpr unsigned long cyan = 0x00c0c0;

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

bool waitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 250; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// A top-level window of one colour, managed by the window manager when there is one.
Window makeWindow(Display* display, int width, int height, unsigned long rgb, const char* title) {
  const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 40, 40, static_cast<unsigned>(width),
                                            static_cast<unsigned>(height), 0, 0, rgb);
  XStoreName(display, window, title);
  XMapWindow(display, window);
  XSync(display, False);
  return window;
}

bool viewable(Display* display, Window window) {
  XWindowAttributes attributes;
  return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

std::optional<ShareableWindow> findWindow(const ShareableContent& content, Window window) {
  for (const auto& w : content.windows) {
    if (w.windowID == window) return w;
  }
  return std::nullopt;
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

class X11WindowImageTest : public test::ServiceTest {
 protected:

  // Waits until the window manager lists the window with its decorations, and returns it.
  std::optional<ShareableWindow> managed(Window window) {
    std::optional<ShareableWindow> found;
    waitUntil([&] {
      Result<ShareableContent> content = service_->shareableContent(false, true);
      if (content.ok()) found = findWindow(*content, window);
      return found && viewable(painter_.display(), window) && found->frame.height > 0;
    });
    return found;
  }
};

TEST_F(X11WindowImageTest, CoveredWindowGivesItsOwnPixelsAtFrameSize) {
  Display* display = painter_.display();
  const Window window = makeWindow(display, 300, 200, orange, "Pelorin window image");
  std::optional<ShareableWindow> shareable = managed(window);
  ASSERT_TRUE(shareable);
  const ContentFilter filter = service_->windowFilter(*shareable);
  EXPECT_EQ(filter.kind, ContentFilter::Kind::Window);
  EXPECT_EQ(filter.windowID, window);
  EXPECT_EQ(filter.pointPixelScale, 1.0);
  EXPECT_EQ(filter.contentRect.width, shareable->frame.width);
  EXPECT_EQ(filter.contentRect.height, shareable->frame.height);
  // Taller than the client: the decorations belong to the window's picture.
  EXPECT_GT(shareable->frame.height, 200);

  painter_.fill(0, 0, 3840, 1200, cyan);
  Result<Image> image = service_->captureImage(filter, {});
  ASSERT_TRUE(image.ok()) << image.error().message;
  EXPECT_EQ(image->width, static_cast<int>(shareable->frame.width));
  EXPECT_EQ(image->height, static_cast<int>(shareable->frame.height));
  // The bottom rows are the client's, whatever the decorations on top look like.
  const int left = image->width / 2 - 100;
  const int bottom = image->height - 10;
  EXPECT_EQ(pixelAt(*image, image->width / 2, bottom), orange);
  EXPECT_EQ(pixelAt(*image, left, bottom - 150), orange);
  for (std::size_t i = 3; i < image->pixels.size(); i += 4) ASSERT_EQ(image->pixels[i], 0xff) << "opaque";

  // Scaled: the requested size, still the window's colour.
  Result<Image> scaled = service_->captureImage(filter, {.width = 100, .height = 50});
  ASSERT_TRUE(scaled.ok()) << scaled.error().message;
  EXPECT_EQ(scaled->width, 100);
  EXPECT_EQ(scaled->height, 50);
  EXPECT_EQ(scaled->bytesPerRow, 400u);
  EXPECT_TRUE(near(pixelAt(*scaled, 50, 45), orange));

  // The screen is untouched by the capture: the cover still shows where the window is.
  Result<ShareableContent> content = service_->shareableContent(false, true);
  ASSERT_TRUE(content.ok());
  ASSERT_FALSE(content->displays.empty());
  Result<Image> screen = service_->captureImage(service_->displayFilter(content->displays[0]), {});
  ASSERT_TRUE(screen.ok()) << screen.error().message;
  EXPECT_EQ(pixelAt(*screen, static_cast<int>(shareable->frame.x) + 150,
                    static_cast<int>(shareable->frame.y + shareable->frame.height) - 10),
            cyan);
  XDestroyWindow(display, window);
  XSync(display, False);
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
    std::optional<ShareableWindow> shareable = managed(client.window());
    ASSERT_TRUE(shareable);
    ASSERT_TRUE(waitUntil([&] { return client.drawings() > 0; }));
    Painter cover;  // gone with the case, so the next window is drawn on screen first
    cover.fill(0, 0, 3840, 1200, cyan);
    const int before = client.drawings();
    const auto start = std::chrono::steady_clock::now();
    Result<Image> image = service_->captureImage(service_->windowFilter(*shareable), {});
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

TEST_F(X11WindowImageTest, VanishedOrHiddenWindowIsAnError) {
  Display* display = painter_.display();
  const Window window = makeWindow(display, 200, 150, orange, "Pelorin vanishing");
  std::optional<ShareableWindow> shareable = managed(window);
  ASSERT_TRUE(shareable);
  const ContentFilter filter = service_->windowFilter(*shareable);

  XUnmapWindow(display, window);
  XSync(display, False);
  ASSERT_TRUE(waitUntil([&] { return !viewable(display, window); }));
  EXPECT_FALSE(service_->captureImage(filter, {.width = 64, .height = 48}).ok());

  XDestroyWindow(display, window);
  XSync(display, False);
  Result<Image> gone = service_->captureImage(filter, {.width = 64, .height = 48});
  EXPECT_FALSE(gone.ok());
  // The connection outlives the errors.
  Result<ShareableContent> content = service_->shareableContent(false, true);
  ASSERT_TRUE(content.ok());
  EXPECT_FALSE(findWindow(*content, window));
  ContentFilter never = filter;
  never.windowID = 0x7ffffff0;
  EXPECT_FALSE(service_->captureImage(never, {}).ok());
}

// A display of its own, without a window manager: the mapped top-level windows, topmost first.
TEST(X11WindowListWithoutManager, ListsMappedTopLevelWindows) {
  if (!std::filesystem::exists("/usr/bin/Xvfb")) GTEST_SKIP() << "no Xvfb";
  int number = 180;
  while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
         std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
    ++number;
  }
  const std::string name = ":" + std::to_string(number);
  std::vector<std::string> words = {"Xvfb", name, "-screen", "0", "800x600x24", "-nolisten", "tcp"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t server = 0;
  ASSERT_EQ(posix_spawn(&server, "/usr/bin/Xvfb", &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  struct Stop {
    pid_t pid;
    ~Stop() {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  } stop{server};

  Display* display = nullptr;
  ASSERT_TRUE(waitUntil([&] { return (display = XOpenDisplay(name.c_str())) != nullptr; }));
  const Window bottom = makeWindow(display, 200, 100, orange, "Pelorin bottom");
  const Window top = makeWindow(display, 300, 120, cyan, "Pelorin top");
  const Window hidden = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 100, 0, 0, cyan);
  XStoreName(display, hidden, "Pelorin hidden");
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  const Window popup = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 200, 100, 0, CopyFromParent,
                                     InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
  XStoreName(display, popup, "Pelorin popup");
  XMapWindow(display, popup);
  XSync(display, False);

  Result<std::unique_ptr<X11ScreenCaptureService>> service = X11ScreenCaptureService::create({.displayName = name});
  ASSERT_TRUE(service.ok()) << service.error().message;
  Result<ShareableContent> content = (*service)->shareableContent(false, false);
  ASSERT_TRUE(content.ok());
  std::vector<WindowID> ids;
  for (const auto& w : content->windows) ids.push_back(w.windowID);
  EXPECT_EQ(ids, (std::vector<WindowID>{static_cast<WindowID>(top), static_cast<WindowID>(bottom)}));
  ASSERT_EQ(content->windows.size(), 2u);
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
  service->reset();
  XCloseDisplay(display);
}

}  // namespace
}  // namespace pelorin::platform::x11
