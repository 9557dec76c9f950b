#pragma once

// The tests' hold on an X server: windows painted over everything, managed windows titled,
// classed, typed and owned as a test needs, and private servers for tests that break theirs.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/wait_until.h"

extern char** environ;

namespace pelorin::test {

inline bool haveDisplay() {
  const char* name = std::getenv("DISPLAY");
  return name && *name;
}

// Whether two 0xRRGGBB colours differ by at most `tolerance` in each channel.
inline bool rgbNear(unsigned long actual, unsigned long expected, int tolerance) {
  const auto near = [&](int shift) {
    return std::abs(static_cast<int>((actual >> shift) & 0xff) - static_cast<int>((expected >> shift) & 0xff)) <= tolerance;
  };
  return near(16) && near(8) && near(0);
}

struct NewWindow {
  int width = 400;  // of the client area
  int height = 300;
  unsigned long rgb = 0x2040d0;
  std::optional<std::string> title;
  std::optional<std::string> wmClass;  // the class; the instance name is "pelorin-instance"
  std::optional<long> pid;
  std::optional<std::string> type;  // a _NET_WM_WINDOW_TYPE_* atom name
  // WM_NAME as raw bytes of an encoding (STRING, COMPOUND_TEXT...), as older clients publish it.
  struct LegacyTitle {
    std::string encoding, bytes;
  };
  std::optional<LegacyTitle> legacyTitle;
  bool argb = false;  // a 32-bit ARGB visual, as terminals and browsers have; `rgb` opaque
};

struct FrameSize {
  int width = 0, height = 0;
};

// A connection of its own to the display; the windows made on it go with it.
class TestDisplay {
 public:
  explicit TestDisplay(const char* name = nullptr) : display_(XOpenDisplay(name)) {}
  ~TestDisplay() {
    if (!display_) return;
    for (Window window : windows_) XDestroyWindow(display_, window);
    XCloseDisplay(display_);
  }
  TestDisplay(const TestDisplay&) = delete;
  TestDisplay& operator=(const TestDisplay&) = delete;

  bool ok() const { return display_ != nullptr; }
  Display* display() const { return display_; }
  Atom atom(const char* name) const { return XInternAtom(display_, name, False); }

  // An override-redirect window of one colour, above everything else.
  Window fill(int x, int y, int width, int height, unsigned long rgb) {
    XSetWindowAttributes attributes{.background_pixel = rgb, .override_redirect = True};
    return map(XCreateWindow(display_, DefaultRootWindow(display_), x, y, static_cast<unsigned>(width),
                             static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect | CWBackPixel, &attributes));
  }

  void recolour(Window window, unsigned long rgb) {
    XSetWindowBackground(display_, window, rgb);
    XClearWindow(display_, window);
    XSync(display_, False);
  }

  // Waits for a window, anywhere in the tree, whose title starts with `prefix` to hold the keyboard
  // focus, so that keys sent now reach it; None when none does within the wait's bound. Windows that
  // vanish during the walk are passed over: their X errors are not the wait's failure.
  Window waitFocusedWindowTitled(const std::string& prefix) {
    const auto ignore = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    Window found = None;
    waitUntil([&] {
      Window focus = None;
      int revert = 0;
      XGetInputFocus(display_, &focus, &revert);
      // The focus may be on the titled window or inside it.
      for (Window w = focus; w != None && w != PointerRoot && found == None; w = parentOf(w)) {
        if (titleOf(w).starts_with(prefix)) found = w;
      }
      return found != None;
    });
    XSync(display_, False);
    XSetErrorHandler(ignore);
    return found;
  }

  void warpPointer(int x, int y) {
    XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
    XSync(display_, False);
  }

  // Creates and maps a window; with `wait`, returns once the window manager manages and shows it
  // (or gives up after five seconds: check with waitManaged).
  Window create(const NewWindow& wanted, bool wait = true) {
    XVisualInfo info{.visual = CopyFromParent, .depth = CopyFromParent};
    XSetWindowAttributes attributes{.background_pixel = wanted.rgb};
    unsigned long mask = CWBackPixel;
    // None when the server has no 32-bit visual.
    if (wanted.argb && !XMatchVisualInfo(display_, DefaultScreen(display_), 32, TrueColor, &info)) return None;
    if (wanted.argb) {
      attributes.colormap = XCreateColormap(display_, DefaultRootWindow(display_), info.visual, AllocNone);
      attributes.background_pixel |= 0xff000000;
      mask |= CWColormap | CWBorderPixel;
    }
    const Window window = XCreateWindow(display_, DefaultRootWindow(display_), 50, 50, static_cast<unsigned>(wanted.width),
                                        static_cast<unsigned>(wanted.height), 0, info.depth, InputOutput, info.visual,
                                        mask, &attributes);
    if (wanted.title) {
      XStoreName(display_, window, wanted.title->c_str());
      setProperty(window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, wanted.title->data(), wanted.title->size());
    }
    if (const auto& legacy = wanted.legacyTitle) {
      setProperty(window, XA_WM_NAME, atom(legacy->encoding.c_str()), 8, legacy->bytes.data(), legacy->bytes.size());
    }
    if (wanted.wmClass) {
      XClassHint hint{const_cast<char*>("pelorin-instance"), const_cast<char*>(wanted.wmClass->c_str())};
      XSetClassHint(display_, window, &hint);
    }
    if (wanted.pid) setProperty(window, atom("_NET_WM_PID"), XA_CARDINAL, 32, &*wanted.pid, 1);
    const Atom type = wanted.type ? atom(wanted.type->c_str()) : None;
    if (wanted.type) setProperty(window, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, &type, 1);
    map(window, false);
    if (wait) waitManaged(window);
    return window;
  }

  void destroy(Window window) {
    XDestroyWindow(display_, window);
    XFlush(display_);
    windows_.erase(std::remove(windows_.begin(), windows_.end(), window), windows_.end());
  }

  bool inClientList(Window window) {
    const auto clients = cardinals(DefaultRootWindow(display_), atom("_NET_CLIENT_LIST"), XA_WINDOW);
    return std::count(clients.begin(), clients.end(), window) > 0;
  }

  bool viewable(Window window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(display_, window, &attributes) && attributes.map_state == IsViewable;
  }

  // The window's area in root coordinates: x, y, width, height.
  std::array<int, 4> area(Window window) {
    XWindowAttributes attributes{};
    int x = 0, y = 0;
    Window child = None;
    XGetWindowAttributes(display_, window, &attributes);
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
  }

  // What the screen shows at (x, y), as 0xRRGGBB.
  unsigned long pixel(int x, int y) {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, 1, 1, AllPlanes, ZPixmap);
    const unsigned long rgb = image ? XGetPixel(image, 0, 0) & 0xffffff : 0;
    if (image) XDestroyImage(image);
    return rgb;
  }

  bool waitManaged(Window window) {
    return waitUntil([&] { return inClientList(window) && viewable(window) && extents(window).size() == 4; });
  }

  // The outer frame's size as the window manager reports it: the client plus its decorations.
  FrameSize frameSize(Window window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, window, &attributes);
    const std::vector<unsigned long> e = extents(window);
    if (e.size() != 4) return {attributes.width, attributes.height};
    return {attributes.width + static_cast<int>(e[0] + e[1]), attributes.height + static_cast<int>(e[2] + e[3])};
  }

 private:
  Window map(Window window, bool raised = true) {
    raised ? XMapRaised(display_, window) : XMapWindow(display_, window);
    XSync(display_, False);
    windows_.push_back(window);
    return window;
  }

  Window parentOf(Window window) {
    Window root = None, parent = None, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display_, window, &root, &parent, &children, &count)) return None;
    if (children) XFree(children);
    return parent == root ? None : parent;
  }

  // _NET_WM_NAME, else WM_NAME, in whatever encoding the client chose.
  std::string titleOf(Window window) {
    for (Atom name : {atom("_NET_WM_NAME"), XA_WM_NAME}) {
      Atom type = None;
      int format = 0;
      unsigned long count = 0, remaining = 0;
      unsigned char* data = nullptr;
      const bool read = XGetWindowProperty(display_, window, name, 0, 1024, False, AnyPropertyType, &type, &format, &count,
                                           &remaining, &data) == Success && data && format == 8;
      std::string title = read ? std::string(reinterpret_cast<char*>(data), count) : "";
      if (data) XFree(data);
      if (!title.empty()) return title;
    }
    return {};
  }

  void setProperty(Window window, Atom property, Atom type, int format, const void* data, std::size_t count) {
    XChangeProperty(display_, window, property, type, format, PropModeReplace, static_cast<const unsigned char*>(data),
                    static_cast<int>(count));
  }

  std::vector<unsigned long> extents(Window window) { return cardinals(window, atom("_NET_FRAME_EXTENTS"), XA_CARDINAL); }

  std::vector<unsigned long> cardinals(Window window, Atom name, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> items;
    if (XGetWindowProperty(display_, window, name, 0, 4096, False, type, &actualType, &format, &count, &remaining,
                           &data) == Success &&
        data && format == 32) {
      items.assign(reinterpret_cast<const unsigned long*>(data), reinterpret_cast<const unsigned long*>(data) + count);
    }
    if (data) XFree(data);
    return items;
  }

  Display* display_;
  std::vector<Window> windows_;
};

using Painter = TestDisplay;

// An 800x600 Xvfb of the test's own, without a window manager. The server takes a free display
// number itself and writes it once it accepts clients, so no other run can take the same.
class PrivateServer {
 public:
  PrivateServer() {
    int number[2];
    if (pipe2(number, O_CLOEXEC) != 0) return;
    const char* argv[] = {"Xvfb", "-displayfd", "3", "-screen", "0", "800x600x24", "-nolisten", "tcp", "-noreset", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, number[1], 3);
    if (posix_spawn(&pid_, "/usr/bin/Xvfb", &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(number[1]);
    char text[16] = {};
    pollfd ready{.fd = number[0], .events = POLLIN};
    if (pid_ > 0 && poll(&ready, 1, 10'000) == 1 && read(number[0], text, sizeof text - 1) > 0) {
      name_ = ":" + std::to_string(std::atoi(text));
      ready_ = TestDisplay(name_.c_str()).ok();
    }
    close(number[0]);
  }
  ~PrivateServer() { kill(); }
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  bool ready() const { return ready_; }
  const std::string& name() const { return name_; }
  // The server ends at once for its clients either way; SIGTERM lets it remove its lock file.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string name_;
};

}  // namespace pelorin::test
