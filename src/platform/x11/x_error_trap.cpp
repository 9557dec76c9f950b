#include "platform/x11/x_error_trap.h"

#include <mutex>

#include "base/thread_annotations.h"

namespace pelorin::platform::x11 {
namespace {

Mutex& trapMutex() {
  static Mutex mutex;
  return mutex;
}
// Written by the handler, which Xlib calls on the thread that is inside XSync for the trap.
int firstError = 0;
bool collecting = false;

int handleError(Display*, XErrorEvent* event) {
  if (collecting && firstError == 0) firstError = event->error_code;
  return 0;
}

int handleIOError(Display*) {
  // A lost connection cannot be recovered inside Xlib. After this Xlib exits, unless the
  // connection has an exit handler (XConnection sets one and reports the loss instead).
  return 0;
}

}  // namespace

void installErrorHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(handleError);
    XSetIOErrorHandler(handleIOError);
  });
}

XErrorTrap::XErrorTrap(Display* display) : display_(display) {
  installErrorHandler();
  trapMutex().lock();
  XSync(display_, False);
  firstError = 0;
  collecting = true;
}

XErrorTrap::~XErrorTrap() {
  XSync(display_, False);
  collecting = false;
  trapMutex().unlock();
}

int XErrorTrap::sync() {
  XSync(display_, False);
  return firstError;
}

}  // namespace pelorin::platform::x11
