#pragma once

#include <X11/Xlib.h>

namespace pelorin::platform::x11 {

// Installs the process's X error handler once. Xlib's default handler exits the process on any
// protocol error; ours records the error for the trap in effect and otherwise ignores it.
void installErrorHandler();

// Collects X errors raised by requests made while the trap lives. Traps are serialised with one
// another, so at most one is collecting at any time.
class XErrorTrap {
 public:
  explicit XErrorTrap(Display* display);
  ~XErrorTrap();
  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;

  // Waits for every request so far to be answered; returns the first error code seen, 0 if none.
  int sync();

 private:
  Display* display_;
};

}  // namespace pelorin::platform::x11
