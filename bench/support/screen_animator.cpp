#include "support/screen_animator.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdint>
#include <thread>

namespace pelorin::bench {
namespace {

using Motion = ScreenAnimator::Motion;

// One step of the scattered or whole repaints.
void repaint(Display* display, Window window, GC gc, int width, int height, std::uint64_t k,
             const std::function<std::uint32_t()>& next) {
  // Alternate whole-window fills with scattered rectangles: every frame differs somewhere,
  // half of them everywhere.
  if (k % 2 == 0) {
    XSetForeground(display, gc, next() & 0xffffff);
    XFillRectangle(display, window, gc, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
    return;
  }
  for (int i = 0; i < 24; ++i) {
    XSetForeground(display, gc, next() & 0xffffff);
    const int w = std::min(width, 40 + static_cast<int>(next() % 400));
    const int h = std::min(height, 40 + static_cast<int>(next() % 300));
    XFillRectangle(display, window, gc, static_cast<int>(next() % static_cast<unsigned>(width - w + 1)),
                   static_cast<int>(next() % static_cast<unsigned>(height - h + 1)), static_cast<unsigned>(w),
                   static_cast<unsigned>(h));
  }
}

// One step of a scroll: the picture moves up by a line of text, a new line comes in below.
void scroll(Display* display, Window window, GC gc, int width, int height, const std::function<std::uint32_t()>& next) {
  constexpr int line = 16;
  XCopyArea(display, window, window, gc, 0, line, static_cast<unsigned>(width), static_cast<unsigned>(height - line), 0,
            0);
  for (int x = 0; x < width; x += 8) {
    XSetForeground(display, gc, next() & 0xffffff);
    XFillRectangle(display, window, gc, x, height - line, 6, static_cast<unsigned>(line - 4));
  }
}

[[noreturn]] void animate(int ready, int x, int y, int width, int height, Motion motion, const std::string& name) {
  Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (!display) _exit(1);
  const int screen = DefaultScreen(display);
  XSetWindowAttributes attributes{};
  // Override-redirect: the window manager neither moves it nor adds decorations.
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(display, screen);
  const Window window =
      XCreateWindow(display, RootWindow(display, screen), x, y, static_cast<unsigned>(width),
                    static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                    CWOverrideRedirect | CWBackPixel, &attributes);
  if (motion != Motion::Pointer) XMapRaised(display, window);
  const GC gc = XCreateGC(display, window, 0, nullptr);
  XSync(display, False);
  const unsigned long shown = window;
  (void)!write(ready, &shown, sizeof shown);
  close(ready);

  std::uint32_t seed = 12345;
  const std::function<std::uint32_t()> next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  auto deadline = std::chrono::steady_clock::now();
  for (std::uint64_t k = 0;; ++k) {
    if (motion == Motion::Everything) repaint(display, window, gc, width, height, k, next);
    if (motion == Motion::Scrolling) scroll(display, window, gc, width, height, next);
    if (motion == Motion::Pointer) {
      XWarpPointer(display, None, RootWindow(display, screen), 0, 0, 0, 0, x + static_cast<int>(k * 7 % width),
                   y + static_cast<int>(k * 5 % height));
    }
    // A round trip keeps the requests from piling up in a slow server.
    XSync(display, False);
    // After a pause the changes go on at their pace rather than catch up.
    deadline = std::max(deadline + std::chrono::microseconds(1'000'000 / 60), std::chrono::steady_clock::now());
    std::this_thread::sleep_until(deadline);
  }
}

}  // namespace

ScreenAnimator::ScreenAnimator(int x, int y, int width, int height, Motion motion, const std::string& display) {
  int fds[2];
  if (pipe(fds) != 0) return;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (pid == 0) {
    close(fds[0]);
    animate(fds[1], x, y, width, height, motion, display);
  }
  close(fds[1]);
  unsigned long window = 0;
  const bool shown = read(fds[0], &window, sizeof window) == sizeof window && window != 0;
  window_ = window;
  close(fds[0]);
  pid_ = pid;
  if (!shown) stop();
}

ScreenAnimator::~ScreenAnimator() { stop(); }

void ScreenAnimator::pause() {
  if (pid_ > 0) kill(pid_, SIGSTOP);
}

void ScreenAnimator::resume() {
  if (pid_ > 0) kill(pid_, SIGCONT);
}

void ScreenAnimator::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGCONT);
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace pelorin::bench
