#include "support/screen_animator.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace pelorin::bench {
namespace {

[[noreturn]] void animate(int ready, int x, int y, int width, int height) {
  Display* display = XOpenDisplay(nullptr);
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
  XMapRaised(display, window);
  const GC gc = XCreateGC(display, window, 0, nullptr);
  XSync(display, False);
  const unsigned long shown = window;
  (void)!write(ready, &shown, sizeof shown);
  close(ready);

  std::uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  auto deadline = std::chrono::steady_clock::now();
  for (std::uint64_t k = 0;; ++k) {
    // Alternate whole-window fills with scattered rectangles: every frame differs somewhere,
    // half of them everywhere.
    if (k % 2 == 0) {
      XSetForeground(display, gc, next() & 0xffffff);
      XFillRectangle(display, window, gc, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
    } else {
      for (int i = 0; i < 24; ++i) {
        XSetForeground(display, gc, next() & 0xffffff);
        const int w = 40 + static_cast<int>(next() % 400), h = 40 + static_cast<int>(next() % 300);
        XFillRectangle(display, window, gc, static_cast<int>(next() % static_cast<unsigned>(width - w)),
                       static_cast<int>(next() % static_cast<unsigned>(height - h)), static_cast<unsigned>(w),
                       static_cast<unsigned>(h));
      }
    }
    // A round trip keeps the requests from piling up in a slow server.
    XSync(display, False);
    deadline += std::chrono::microseconds(1'000'000 / 60);
    std::this_thread::sleep_until(deadline);
  }
}

}  // namespace

ScreenAnimator::ScreenAnimator(int x, int y, int width, int height) {
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
    animate(fds[1], x, y, width, height);
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

void ScreenAnimator::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace pelorin::bench
