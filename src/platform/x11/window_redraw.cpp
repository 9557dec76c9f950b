#include "platform/x11/window_redraw.h"

#include <poll.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/x11/x_error_trap.h"

namespace pelorin::platform::x11 {
namespace {

using Clock = std::chrono::steady_clock;
// A client draws an exposure in one burst of requests; this long without damage ends it.
constexpr auto quietAfterDrawing = std::chrono::milliseconds(20);
// Short waits, so events Xlib has already queued are never left waiting for the socket.
constexpr int pollSliceMilliseconds = 5;

struct DamageOf {
  int eventType;
  Damage damage;
};

Bool isDamageOf(Display*, XEvent* event, XPointer argument) {
  const auto* wanted = reinterpret_cast<const DamageOf*>(argument);
  return event->type == wanted->eventType &&
         reinterpret_cast<const XDamageNotifyEvent*>(event)->damage == wanted->damage;
}

}  // namespace

bool partlyHidden(XConnection& connection, Window frame, const PixelRect& bounds) {
  if (intersect(bounds, connection.rootBounds()) != bounds) return true;
  Display* display = connection.display();
  Window rootReturn = None;
  Window parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, connection.root(), &rootReturn, &parent, &children, &count)) return true;
  bool above = false;
  bool hidden = false;
  // Children come bottom to top: the ones after the frame are stacked above it.
  for (unsigned int i = 0; i < count && !hidden; ++i) {
    if (children[i] == frame) {
      above = true;
      continue;
    }
    XWindowAttributes attributes;
    if (!above || !XGetWindowAttributes(display, children[i], &attributes)) continue;
    if (attributes.map_state != IsViewable || attributes.c_class != InputOutput) continue;
    const int border = 2 * attributes.border_width;
    hidden = intersects(bounds, PixelRect{attributes.x, attributes.y, attributes.width + border,
                                          attributes.height + border});
  }
  if (children) XFree(children);
  return hidden;
}

bool redrawsOnExposure(Display* display, Window window) {
  // Toolkits nest a few windows at most; the bound only guards against a pathological tree.
  constexpr std::size_t mostWindows = 256;
  std::vector<Window> pending{window};
  for (std::size_t next = 0; next < pending.size() && next < mostWindows; ++next) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, pending[next], &attributes)) continue;
    if (attributes.map_state == IsViewable && (attributes.all_event_masks & ExposureMask)) return true;
    Window rootReturn = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, pending[next], &rootReturn, &parent, &children, &count)) continue;
    pending.insert(pending.end(), children, children + count);
    if (children) XFree(children);
  }
  return false;
}

RedrawWatch::RedrawWatch(XConnection& connection, Window frame, const PixelRect& bounds, Window client)
    : connection_(connection) {
  if (!connection.hasDamage() || connection.broken()) return;
  Display* display = connection.display();
  // A window that goes away meanwhile is only not watched.
  XErrorTrap trap(display);
  // The cheaper question first: most windows of the list are not both hidden and redrawn.
  if (!redrawsOnExposure(display, client) || !partlyHidden(connection, frame, bounds)) return;
  damage_ = XDamageCreate(display, client, XDamageReportNonEmpty);
  if (trap.sync() != 0) damage_ = 0;
}

RedrawWatch::~RedrawWatch() {
  if (!damage_ || connection_.broken()) return;
  XDamageDestroy(connection_.display(), damage_);
  // No event of this damage may stay queued on the shared connection.
  XSync(connection_.display(), False);
  takeDrawing(0);
}

// Clears the damage seen so far; returns the serial from which events are new.
unsigned long RedrawWatch::rearm() {
  Display* display = connection_.display();
  const unsigned long serial = NextRequest(display);
  XDamageSubtract(display, damage_, None, None);
  XFlush(display);
  return serial;
}

// Takes this watch's damage events off the queue; whether one was raised after `since`.
bool RedrawWatch::takeDrawing(unsigned long since) {
  DamageOf wanted{connection_.damageEventBase() + XDamageNotify, damage_};
  XEvent event;
  bool drawn = false;
  while (XCheckIfEvent(connection_.display(), &event, isDamageOf, reinterpret_cast<XPointer>(&wanted))) {
    drawn = drawn || event.xany.serial >= since;
  }
  return drawn;
}

void RedrawWatch::await(std::chrono::milliseconds limit) {
  if (!damage_) return;
  const Clock::time_point deadline = Clock::now() + limit;
  // What the window's creation of damage and the server's own painting reported is not the client.
  unsigned long since = rearm();
  std::optional<Clock::time_point> lastDrawing;
  while (!connection_.broken()) {
    if (takeDrawing(since)) {
      lastDrawing = Clock::now();
      since = rearm();
    }
    const Clock::time_point until = lastDrawing ? std::min(deadline, *lastDrawing + quietAfterDrawing) : deadline;
    const Clock::time_point now = Clock::now();
    if (now >= until) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
    pollfd descriptor{ConnectionNumber(connection_.display()), POLLIN, 0};
    poll(&descriptor, 1, static_cast<int>(std::min<long long>(left, pollSliceMilliseconds)));
  }
}

}  // namespace pelorin::platform::x11
