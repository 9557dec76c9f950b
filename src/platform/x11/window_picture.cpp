#include "platform/x11/window_picture.h"

#include <utility>

#include "platform/x11/x_error_trap.h"

namespace pelorin::platform::x11 {
namespace {

PixelRect outerArea(const XWindowAttributes& a) {
  return {a.x, a.y, a.width + 2 * a.border_width, a.height + 2 * a.border_width};
}

}  // namespace

std::optional<Window> topLevelAncestor(Display* display, Window window) {
  const Window root = DefaultRootWindow(display);
  Window current = window;
  for (int depth = 0; depth < 64; ++depth) {
    Window rootReturn = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, current, &rootReturn, &parent, &children, &count)) return std::nullopt;
    if (children) XFree(children);
    if (parent == root || parent == None) return current;
    current = parent;
  }
  return std::nullopt;
}

Result<bool> redirectWindow(XConnection& connection, Window frame) {
  XErrorTrap trap(connection.display());
  XCompositeRedirectWindow(connection.display(), frame, CompositeRedirectAutomatic);
  const int error = trap.sync();
  // BadAccess: a compositor redirects it already, so its pixmap exists and stays its business.
  if (error != 0 && error != BadAccess) return x11Error("the window could not be redirected", error);
  return error == 0;
}

Result<NamedPixmap> namePixmap(XConnection& connection, Window frame) {
  Display* display = connection.display();
  XErrorTrap trap(display);
  NamedPixmap named;
  named.pixmap = XCompositeNameWindowPixmap(display, frame);
  Window root = None;
  int x = 0;
  int y = 0;
  unsigned int width = 0;
  unsigned int height = 0;
  unsigned int border = 0;
  unsigned int depth = 0;
  int error = trap.sync();
  if (error == 0 && !XGetGeometry(display, named.pixmap, &root, &x, &y, &width, &height, &border, &depth)) {
    error = BadDrawable;
  }
  if (error != 0) {
    // A failed name leaves nothing to free; the id alone is harmless.
    return x11Error("the window's picture could not be named", error);
  }
  named.width = static_cast<int>(width);
  named.height = static_cast<int>(height);
  named.depth = static_cast<int>(depth);
  return named;
}

WindowPicture::WindowPicture(XConnection& connection, Window client, bool useSharedMemory, bool useDamage)
    : connection_(connection), client_(client), useDamage_(useDamage), grabber_(connection, useSharedMemory) {}

WindowPicture::~WindowPicture() { close(); }

Result<void> WindowPicture::open() {
  Display* display = connection_.display();
  std::optional<Window> frame;
  {
    XErrorTrap trap(display);
    XWindowAttributes attributes;
    frame = topLevelAncestor(display, client_);
    if (!frame || !XGetWindowAttributes(display, client_, &attributes)) {
      return windowNotFound(client_);
    }
    clientMapped_ = attributes.map_state != IsUnmapped;
    // The client's own events tell of its destruction, its hiding and of a new frame.
    XSelectInput(display, client_, StructureNotifyMask);
    if (trap.sync() != 0) return windowNotFound(client_);
  }
  open_ = true;
  bind(*frame);
  if (frame_ == None) return windowNotFound(client_);
  return {};
}

void WindowPicture::close() {
  // Once only: a later source of the same window on this connection has its own selections.
  if (!std::exchange(open_, false) || connection_.broken()) return;
  unbind();
  XErrorTrap trap(connection_.display());
  if (!destroyed_) XSelectInput(connection_.display(), client_, NoEventMask);
}

void WindowPicture::bind(Window frame) {
  Display* display = connection_.display();
  XWindowAttributes attributes;
  {
    XErrorTrap trap(display);
    if (!XGetWindowAttributes(display, frame, &attributes)) return;
    XSelectInput(display, frame, StructureNotifyMask);
    if (trap.sync() != 0) return;
  }
  Result<bool> redirected = redirectWindow(connection_, frame);
  if (!redirected) return;
  frame_ = frame;
  redirected_ = *redirected;
  bounds_ = outerArea(attributes);
  frameMapped_ = attributes.map_state != IsUnmapped;
  pixmapStale_ = true;
  changed_ = true;
  // Until the first damage the redirected pixmap may not hold the window's picture yet.
  firstDamage_ = !(useDamage_ && connection_.hasDamage());
  if (!firstDamage_) damage_ = std::make_unique<DamageWatch>(connection_, frame);
}

void WindowPicture::unbind() {
  if (connection_.broken()) return;
  // The frame may be gone already: those errors only mean there is nothing left to undo.
  XErrorTrap trap(connection_.display());
  freePixmap();
  if (damage_) damage_->release();
  damage_.reset();
  if (frame_ != None) {
    if (redirected_) XCompositeUnredirectWindow(connection_.display(), frame_, CompositeRedirectAutomatic);
    if (frame_ != client_) XSelectInput(connection_.display(), frame_, NoEventMask);
  }
  frame_ = None;
  redirected_ = false;
}

void WindowPicture::freePixmap() {
  if (pixmap_.pixmap != None) XFreePixmap(connection_.display(), pixmap_.pixmap);
  pixmap_ = {};
}

void WindowPicture::handle(const XEvent& event) {
  if (damage_ && damage_->handle(event)) {
    firstDamage_ = true;
    return;
  }
  switch (event.type) {
    case ConfigureNotify: {
      const XConfigureEvent& e = event.xconfigure;
      if (e.window != frame_ || e.event != frame_) return;
      const PixelRect area{e.x, e.y, e.width + 2 * e.border_width, e.height + 2 * e.border_width};
      if (area.width != bounds_.width || area.height != bounds_.height) pixmapStale_ = true;
      changed_ = changed_ || !(area == bounds_);
      bounds_ = area;
      return;
    }
    case MapNotify:
      if (event.xmap.window == frame_) frameMapped_ = true;
      if (event.xmap.window == client_) clientMapped_ = true;
      if (event.xmap.window != frame_ && event.xmap.window != client_) return;
      pixmapStale_ = true;
      changed_ = true;
      return;
    case UnmapNotify:
      if (event.xunmap.window == frame_) frameMapped_ = false;
      if (event.xunmap.window == client_) clientMapped_ = false;
      return;
    case ReparentNotify:
      if (event.xreparent.window == client_) rebind_ = true;
      return;
    case DestroyNotify:
      if (event.xdestroywindow.window == client_) {
        destroyed_ = true;
      } else if (event.xdestroywindow.window == frame_) {
        // The window manager let the window go (it was withdrawn); it may come back in a new frame.
        frameMapped_ = false;
        rebind_ = true;
      }
      return;
    default:
      return;
  }
}

void WindowPicture::update() {
  if (!rebind_ || destroyed_) return;
  rebind_ = false;
  unbind();
  std::optional<Window> frame;
  {
    XErrorTrap trap(connection_.display());
    frame = topLevelAncestor(connection_.display(), client_);
  }
  if (frame) bind(*frame);
}

bool WindowPicture::readable() const {
  return !destroyed_ && frame_ != None && firstDamage_ && frameMapped_ && clientMapped_;
}

bool WindowPicture::takeChange() { return std::exchange(changed_, false); }

std::vector<PixelRect> WindowPicture::takeDamage(const PixelRect& area) {
  return damage_ ? damage_->take(area) : std::vector<PixelRect>{};
}

Result<SourcePicture> WindowPicture::read(const PixelRect& area) {
  if (pixmapStale_) {
    Result<NamedPixmap> named = namePixmap(connection_, frame_);
    if (!named) return named.error();
    freePixmap();
    pixmap_ = *named;
    pixmapStale_ = false;
  }
  const PixelRect inside = intersect(area, PixelRect{0, 0, pixmap_.width, pixmap_.height});
  if (inside.empty()) return x11Error("the window has no picture there");
  // A window destroyed meanwhile makes this read fail; its DestroyNotify then ends the stream.
  last_.reset();
  Result<BgrxView> picture = grabber_.grab(pixmap_.pixmap, pixmap_.depth, inside);
  if (!picture) return picture.error();
  last_ = SourcePicture{*picture, bounds_.x + inside.x, bounds_.y + inside.y};
  return *last_;
}

Result<bool> WindowPicture::reread(const std::vector<PixelRect>& boxes) {
  if (pixmapStale_ || !last_) return false;
  if (Result<void> read = grabber_.regrab(boxes); !read) return read.error();
  return true;
}

}  // namespace pelorin::platform::x11
