#include "platform/x11/screen_capture_x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <xcb/xcb.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

#include "platform/x11/window_picture.h"
#include "platform/x11/window_redraw.h"
#include "platform/x11/window_text.h"
#include "platform/x11/x11_display.h"
#include "platform/x11/x_error_trap.h"

namespace pelorin::platform::x11 {
namespace {

// A thumbnail waits no longer than this for a window's client to redraw what was covered.
constexpr std::chrono::milliseconds longestRedrawWait{200};

Rect toRect(const PixelRect& r) {
  return {static_cast<double>(r.x), static_cast<double>(r.y), static_cast<double>(r.width),
          static_cast<double>(r.height)};
}

// A window property as raw items; empty when absent or of another type.
struct Property {
  bool present = false;              // the window has the property, of whatever type
  std::vector<unsigned char> bytes;  // format 8
  std::vector<unsigned long> items;  // formats 16 and 32, as Xlib widens them
};

Property readProperty(Display* display, Window window, Atom name, Atom type) {
  Property property;
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, name, 0, 1 << 16, False, type, &actualType, &format, &count, &remaining,
                         &data) == Success &&
      actualType != None) {
    property.present = true;
  }
  if (property.present && data && (type == AnyPropertyType || actualType == type)) {
    if (format == 8) {
      property.bytes.assign(data, data + count);
    } else if (format == 16 || format == 32) {
      const auto* words = reinterpret_cast<const unsigned long*>(data);
      if (format == 16) {
        const auto* shorts = reinterpret_cast<const unsigned short*>(data);
        for (unsigned long i = 0; i < count; ++i) property.items.push_back(shorts[i]);
      } else {
        property.items.assign(words, words + count);
      }
    }
  }
  if (data) XFree(data);
  return property;
}

struct Atoms {
  explicit Atoms(Display* d)
      : clientListStacking(XInternAtom(d, "_NET_CLIENT_LIST_STACKING", False)),
        clientList(XInternAtom(d, "_NET_CLIENT_LIST", False)),
        frameExtents(XInternAtom(d, "_NET_FRAME_EXTENTS", False)),
        wmPid(XInternAtom(d, "_NET_WM_PID", False)),
        windowType(XInternAtom(d, "_NET_WM_WINDOW_TYPE", False)),
        typeNormal(XInternAtom(d, "_NET_WM_WINDOW_TYPE_NORMAL", False)),
        typeDialog(XInternAtom(d, "_NET_WM_WINDOW_TYPE_DIALOG", False)),
        typeDesktop(XInternAtom(d, "_NET_WM_WINDOW_TYPE_DESKTOP", False)),
        typeDock(XInternAtom(d, "_NET_WM_WINDOW_TYPE_DOCK", False)),
        wmState(XInternAtom(d, "_NET_WM_STATE", False)),
        stateHidden(XInternAtom(d, "_NET_WM_STATE_HIDDEN", False)) {}
  Atom clientListStacking, clientList, frameExtents, wmPid, windowType, typeNormal, typeDialog,
      typeDesktop, typeDock, wmState, stateHidden;
};

// The bounds of a client window whose area is `client` (root coordinates): its frame is the
// client grown by the decorations the window manager reports (left, right, top, bottom), or where
// it reports none, the top-level window that holds the client, border included, as its picture
// shows it.
WindowBounds boundsAround(Display* display, Window window, const Rect& client, const std::vector<unsigned long>& extents) {
  if (extents.size() >= 4) {
    const auto [left, right, top, bottom] = std::array{static_cast<double>(extents[0]), static_cast<double>(extents[1]),
                                                       static_cast<double>(extents[2]), static_cast<double>(extents[3])};
    return {{client.x - left, client.y - top, client.width + left + right, client.height + top + bottom}, client};
  }
  XWindowAttributes holder{};
  int x = 0, y = 0;
  Window child = None;
  const std::optional<Window> top = topLevelAncestor(display, window);
  if (!top || *top == window || !XGetWindowAttributes(display, *top, &holder) ||
      !XTranslateCoordinates(display, *top, DefaultRootWindow(display), 0, 0, &x, &y, &child)) {
    return {client, client};
  }
  const int border = holder.border_width;
  return {{static_cast<double>(x - border), static_cast<double>(y - border),
           static_cast<double>(holder.width + 2 * border), static_cast<double>(holder.height + 2 * border)},
          client};
}

// The window's bounds in root coordinates.
std::optional<WindowBounds> windowBounds(Display* display, Window window, const Atoms& atoms, bool* viewable = nullptr) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes)) return std::nullopt;
  int x = 0;
  int y = 0;
  Window child = None;
  if (!XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child)) return std::nullopt;
  if (viewable) *viewable = attributes.map_state == IsViewable;
  const Rect client{static_cast<double>(x), static_cast<double>(y), static_cast<double>(attributes.width),
                    static_cast<double>(attributes.height)};
  return boundsAround(display, window, client, readProperty(display, window, atoms.frameExtents, XA_CARDINAL).items);
}

int windowLayer(const Property& types, const Atoms& atoms) {
  for (unsigned long type : types.items) {
    if (type == atoms.typeNormal || type == atoms.typeDialog) return 0;
    if (type == atoms.typeDesktop) return -1;
    if (type == atoms.typeDock) return 20;
  }
  // Untyped windows are normal ones; other types (menus, toolbars, splashes) sit above them.
  return types.items.empty() ? 0 : 3;
}

bool contains(const Property& property, unsigned long item) {
  return std::find(property.items.begin(), property.items.end(), item) != property.items.end();
}

// The process's name as the kernel keeps it, when the process runs on this machine.
std::string processName(std::int32_t pid) {
  if (pid <= 0) return {};
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// Without a window manager there is no client list: the mapped top-level windows, bottom to top
// as XQueryTree gives them. Override-redirect ones are menus and tooltips, not applications.
std::vector<unsigned long> mappedTopLevelWindows(Display* display, Window root) {
  std::vector<unsigned long> windows;
  Window rootReturn = None;
  Window parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, root, &rootReturn, &parent, &children, &count)) return windows;
  for (unsigned int i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, children[i], &attributes)) continue;
    if (attributes.map_state != IsViewable || attributes.override_redirect || attributes.c_class != InputOutput) {
      continue;
    }
    windows.push_back(children[i]);
  }
  if (children) XFree(children);
  return windows;
}

std::vector<ShareableWindow> listWindows(Display* display, bool excludingDesktopWindows, bool onScreenOnly) {
  const Atoms atoms(display);
  const Window root = DefaultRootWindow(display);
  Property stacking = readProperty(display, root, atoms.clientListStacking, XA_WINDOW);
  if (!stacking.present) stacking = readProperty(display, root, atoms.clientList, XA_WINDOW);
  if (!stacking.present) stacking.items = mappedTopLevelWindows(display, root);
  std::vector<ShareableWindow> windows;
  // The stacking list runs bottom to top.
  for (auto it = stacking.items.rbegin(); it != stacking.items.rend(); ++it) {
    const Window window = *it;
    bool viewable = false;
    std::optional<WindowBounds> bounds = windowBounds(display, window, atoms, &viewable);
    if (!bounds) continue;  // gone meanwhile
    const Property types = readProperty(display, window, atoms.windowType, XA_ATOM);
    if (excludingDesktopWindows && (contains(types, atoms.typeDesktop) || contains(types, atoms.typeDock))) continue;
    const bool hidden = contains(readProperty(display, window, atoms.wmState, XA_ATOM), atoms.stateHidden);
    ShareableWindow shareable;
    shareable.windowID = static_cast<WindowID>(window);
    shareable.title = windowTitle(display, window);
    shareable.frame = bounds->frame;
    shareable.client = bounds->client;
    shareable.windowLayer = windowLayer(types, atoms);
    shareable.onScreen = viewable && !hidden;
    if (onScreenOnly && !shareable.onScreen) continue;
    RunningApplication application;
    const Property pid = readProperty(display, window, atoms.wmPid, XA_CARDINAL);
    if (!pid.items.empty()) application.processID = static_cast<std::int32_t>(pid.items[0]);
    XClassHint hint{};
    if (XGetClassHint(display, window, &hint)) {
      if (hint.res_class) application.applicationName = hint.res_class;
      if (hint.res_name) XFree(hint.res_name);
      if (hint.res_class) XFree(hint.res_class);
    }
    if (application.applicationName.empty()) application.applicationName = processName(application.processID);
    if (application.processID != 0 || !application.applicationName.empty()) shareable.owningApplication = application;
    windows.push_back(std::move(shareable));
  }
  return windows;
}

// Scales a grabbed picture to the configuration's size (its own size where that is 0) as an
// opaque BGRA image.
Image makeImage(const BgrxView& picture, const ScreenshotConfiguration& configuration) {
  Image image;
  image.width = configuration.width > 0 ? configuration.width : picture.width;
  image.height = configuration.height > 0 ? configuration.height : picture.height;
  image.bytesPerRow = static_cast<std::size_t>(image.width) * 4;
  image.pixels.resize(image.bytesPerRow * static_cast<std::size_t>(image.height));
  if (image.width == picture.width && image.height == picture.height) {
    for (int row = 0; row < image.height; ++row) {
      std::memcpy(image.pixels.data() + row * image.bytesPerRow, picture.pixels + row * picture.bytesPerRow,
                  image.bytesPerRow);
    }
  } else {
    scaleBgrx(picture, image.width, image.height, image.pixels.data(), image.bytesPerRow);
  }
  // The X server leaves the fourth byte undefined; an image's alpha is opaque.
  for (std::size_t i = 3; i < image.pixels.size(); i += 4) image.pixels[i] = 0xff;
  return image;
}

// Hands `use` a top-level window's own pixels, whatever covers it, with their place on the root:
// the window is redirected off-screen for the moment of the grab unless something (a compositor)
// already did.
using WindowPictureUse = std::function<void(ScreenGrabber& grabber, const BgrxView& picture, int rootX, int rootY)>;
Result<void> grabWindow(XConnection& connection, WindowID windowID, bool useSharedMemory, const WindowPictureUse& use) {
  if (!connection.hasComposite()) return x11Error("window capture needs the Composite extension");
  if (connection.broken()) return connectionLost();
  Display* display = connection.display();
  const Window window = static_cast<Window>(windowID);
  std::optional<Window> frame;
  XWindowAttributes attributes{};
  int x = 0;
  int y = 0;
  {
    XErrorTrap trap(display);
    frame = topLevelAncestor(display, window);
    XWindowAttributes own{};
    if (!frame || !XGetWindowAttributes(display, window, &own) || !XGetWindowAttributes(display, *frame, &attributes)) {
      return windowNotFound(windowID);
    }
    // The client counts too: a window manager unmaps a hidden client's frame only afterwards.
    if (own.map_state != IsViewable || attributes.map_state != IsViewable) {
      return x11Error("the window is not shown (" + std::to_string(windowID) + ")");
    }
    Window child = None;
    XTranslateCoordinates(display, *frame, connection.root(), 0, 0, &x, &y, &child);
  }
  const int border = attributes.border_width;
  RedrawWatch redraw(connection, *frame,
                     PixelRect{x - border, y - border, attributes.width + 2 * border, attributes.height + 2 * border},
                     window);
  Result<bool> redirected = redirectWindow(connection, *frame);
  if (!redirected) return redirected.error();
  // What the screen did not show is blank in the new pixmap until the client draws it again.
  if (*redirected) redraw.await(longestRedrawWait);
  Result<NamedPixmap> named = namePixmap(connection, *frame);
  Result<void> result =
      x11Error("the window vanished (" + std::to_string(windowID) + ")", named ? -1 : named.error().code);
  if (named) {
    // Outside a trap: the grabber sets up shared memory under its own, and a failed read of a
    // window destroyed meanwhile shows as a failed grab.
    ScreenGrabber grabber(connection, useSharedMemory);
    Result<BgrxView> picture = grabber.grab(named->pixmap, named->depth, PixelRect{0, 0, named->width, named->height});
    if (picture) {
      use(grabber, *picture, x - border, y - border);
      result = {};
    } else {
      result = picture.error();
    }
  }
  // Errors here only mean the window went away meanwhile; no trap collects them.
  if (named) XFreePixmap(display, named->pixmap);
  if (*redirected) XCompositeUnredirectWindow(display, *frame, CompositeRedirectAutomatic);
  XFlush(display);
  return result;
}

void drawCursor(XConnection& connection, std::uint8_t* pixels, const BgrxView& picture, int rootX, int rootY) {
  if (std::optional<CursorPicture> cursor = fetchCursor(connection)) {
    compositeCursor(pixels, picture.bytesPerRow, picture.width, picture.height, rootX, rootY, *cursor);
  }
}

Result<Image> captureWindowImage(XConnection& connection, WindowID windowID, bool useSharedMemory,
                                 const ScreenshotConfiguration& configuration) {
  Image image;
  Result<void> grabbed = grabWindow(connection, windowID, useSharedMemory,
                                    [&](ScreenGrabber& grabber, const BgrxView& picture, int rootX, int rootY) {
                                      if (configuration.showsCursor) {
                                        drawCursor(connection, grabber.mutablePixels(), picture, rootX, rootY);
                                      }
                                      image = makeImage(picture, configuration);
                                    });
  if (!grabbed) return grabbed.error();
  return image;
}

// A monitor showing only the filter's windows, each from its own pixels at its place, black
// elsewhere, as a stream of that filter shows it. Windows not shown are left out.
Result<Image> captureWindowsOnDisplayImage(XConnection& connection, const ContentFilter& filter, bool useSharedMemory,
                                           const ScreenshotConfiguration& configuration) {
  const Result<Monitor> monitor = findMonitor(connection, filter.displayID);
  if (!monitor) return monitor.error();
  const PixelRect area = intersect(monitor->frame, connection.rootBounds());
  const std::size_t stride = static_cast<std::size_t>(area.width) * 4;
  std::vector<std::uint8_t> canvas(stride * static_cast<std::size_t>(area.height), 0);
  const auto offset = [](std::size_t bytesPerRow, int x, int y) {
    return static_cast<std::size_t>(y) * bytesPerRow + static_cast<std::size_t>(x) * 4;
  };
  int shown = 0;
  // The filter lists windows front to back; they are drawn back to front.
  for (auto id = filter.windows.rbegin(); id != filter.windows.rend(); ++id) {
    const auto copy = [&](ScreenGrabber&, const BgrxView& picture, int rootX, int rootY) {
      const PixelRect part = intersect(area, {rootX, rootY, picture.width, picture.height});
      for (int row = 0; !part.empty() && row < part.height; ++row) {
        std::memcpy(canvas.data() + offset(stride, part.x - area.x, part.y - area.y + row),
                    picture.pixels + offset(picture.bytesPerRow, part.x - rootX, part.y - rootY + row),
                    static_cast<std::size_t>(part.width) * 4);
      }
    };
    if (grabWindow(connection, *id, useSharedMemory, copy)) ++shown;
  }
  if (shown == 0) return x11Error("none of the windows is shown");
  const BgrxView picture{canvas.data(), stride, area.width, area.height};
  if (configuration.showsCursor) drawCursor(connection, canvas.data(), picture, area.x, area.y);
  return makeImage(picture, configuration);
}

}  // namespace

Result<std::unique_ptr<X11ScreenCaptureService>> X11ScreenCaptureService::create(X11CaptureOptions options) {
  Result<std::unique_ptr<XConnection>> connection = XConnection::open(options.displayName);
  if (!connection) return connection.error();
  // Streams open their own connections to the very display this one reached.
  if (options.displayName.empty()) options.displayName = (*connection)->name();
  return std::unique_ptr<X11ScreenCaptureService>(
      new X11ScreenCaptureService(std::move(options), std::move(*connection)));
}

X11ScreenCaptureService::X11ScreenCaptureService(X11CaptureOptions options, std::unique_ptr<XConnection> connection)
    : options_(std::move(options)), connection_(std::move(connection)) {}

X11ScreenCaptureService::~X11ScreenCaptureService() = default;

Result<ShareableContent> X11ScreenCaptureService::shareableContent(bool excludingDesktopWindows,
                                                                   bool onScreenWindowsOnly) {
  MutexLock lock(mutex_);
  ShareableContent content;
  for (const Monitor& monitor : queryMonitors(*connection_)) {
    content.displays.push_back({static_cast<DisplayID>(monitor.id), toRect(monitor.frame), monitor.frame.width,
                                monitor.frame.height, monitor.name});
  }
  {
    // Windows may be destroyed while they are read; those errors only drop the window.
    XErrorTrap trap(connection_->display());
    content.windows = listWindows(connection_->display(), excludingDesktopWindows, onScreenWindowsOnly);
  }
  if (connection_->broken()) return connectionLost();
  return content;
}

ContentFilter X11ScreenCaptureService::displayFilter(const ShareableDisplay& display, std::vector<WindowID> excluding) {
  return makeDisplayFilter(display, std::move(excluding));
}

ContentFilter X11ScreenCaptureService::displayFilterIncluding(const ShareableDisplay& display,
                                                              std::vector<WindowID> including) {
  return makeDisplayFilter(display, std::move(including), ContentFilter::Kind::DisplayIncludingWindows);
}

ContentFilter X11ScreenCaptureService::windowFilter(const ShareableWindow& window) { return makeWindowFilter(window); }

Result<std::unique_ptr<CaptureStream>> X11ScreenCaptureService::makeStream(const ContentFilter& filter,
                                                                           const StreamConfiguration& configuration,
                                                                           StreamDelegate* delegate) {
  // The root window holds every window's pixels; leaving some out would need compositing.
  if (filter.kind == ContentFilter::Kind::Display && !filter.windows.empty()) {
    return x11Error("leaving windows out of a display is not available");
  }
  if (Result<void> valid = validateConfiguration(configuration); !valid) return valid.error();
  MutexLock lock(mutex_);
  if (filter.kind != ContentFilter::Kind::Display && !connection_->hasComposite()) {
    return x11Error("window capture needs the Composite extension");
  }
  if (filter.kind == ContentFilter::Kind::Window) {
    XErrorTrap trap(connection_->display());
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(connection_->display(), static_cast<Window>(filter.windowID), &attributes)) {
      return windowNotFound(filter.windowID);
    }
    return std::unique_ptr<CaptureStream>(std::make_unique<X11CaptureStream>(options_, filter, configuration, delegate));
  }
  const Result<Monitor> monitor = findMonitor(*connection_, filter.displayID);
  if (!monitor) return monitor.error();
  if (Result<FrameLayout> layout = computeLayout(monitor->frame.width, monitor->frame.height, configuration); !layout) {
    return layout.error();
  }
  return std::unique_ptr<CaptureStream>(std::make_unique<X11CaptureStream>(options_, filter, configuration, delegate));
}

Result<Image> X11ScreenCaptureService::captureImage(const ContentFilter& filter,
                                                    const ScreenshotConfiguration& configuration) {
  if (configuration.width < 0 || configuration.height < 0) return x11Error("the image size is negative");
  if (filter.kind == ContentFilter::Kind::Window) {
    MutexLock lock(mutex_);
    return captureWindowImage(*connection_, filter.windowID, options_.useSharedMemory, configuration);
  }
  if (filter.kind == ContentFilter::Kind::DisplayIncludingWindows) {
    MutexLock lock(mutex_);
    return captureWindowsOnDisplayImage(*connection_, filter, options_.useSharedMemory, configuration);
  }
  // The root window holds every window's pixels; leaving some out would need compositing.
  if (!filter.windows.empty()) return x11Error("leaving windows out of a display is not available");
  MutexLock lock(mutex_);
  const Result<Monitor> monitor = findMonitor(*connection_, filter.displayID);
  if (!monitor) return monitor.error();
  const PixelRect area = intersect(monitor->frame, connection_->rootBounds());
  ScreenGrabber grabber(*connection_, options_.useSharedMemory);
  Result<BgrxView> picture = grabber.grab(area);
  if (!picture) return picture.error();
  if (configuration.showsCursor) drawCursor(*connection_, grabber.mutablePixels(), *picture, area.x, area.y);
  return makeImage(*picture, configuration);
}

Result<std::unique_ptr<X11WindowServer>> X11WindowServer::create(const std::string& displayName) {
  Result<std::unique_ptr<XConnection>> connection = XConnection::open(displayName);
  if (!connection) return connection.error();
  return std::unique_ptr<X11WindowServer>(new X11WindowServer(std::move(*connection)));
}

X11WindowServer::X11WindowServer(std::unique_ptr<XConnection> connection)
    : connection_(std::move(connection)),
      frameExtents_(XInternAtom(connection_->display(), "_NET_FRAME_EXTENTS", False)) {
  if (connection_->hasRandr()) XRRSelectInput(connection_->display(), connection_->root(), RRScreenChangeNotifyMask);
}

X11WindowServer::~X11WindowServer() = default;

std::vector<Rect> X11WindowServer::displayFrames() {
  MutexLock lock(mutex_);
  // Monitors change rarely: asked again when RandR reports a change, and twice a second anyway.
  Display* display = connection_->display();
  bool changed = false;
  while (!connection_->broken() && XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (connection_->hasRandr() && event.type == connection_->randrEventBase() + RRScreenChangeNotify) {
      XRRUpdateConfiguration(&event);
      changed = true;
    }
  }
  const auto now = std::chrono::steady_clock::now();
  if (changed || !framesReadAt_ || now - *framesReadAt_ >= std::chrono::milliseconds(500)) {
    displayFrames_.clear();
    for (const PixelRect& frame : monitorFrames(*connection_)) displayFrames_.push_back(toRect(frame));
    framesReadAt_ = now;
  }
  return displayFrames_;
}

std::optional<WindowBounds> X11WindowServer::windowBounds(WindowID window) {
  MutexLock lock(mutex_);
  if (connection_->broken()) return std::nullopt;
  // The tracker asks every 20 ms: the three questions go out together and cost one round trip.
  xcb_connection_t* xcb = XGetXCBConnection(connection_->display());
  const auto geometry = xcb_get_geometry(xcb, window);
  const auto place = xcb_translate_coordinates(xcb, window, static_cast<xcb_window_t>(connection_->root()), 0, 0);
  const auto extents = xcb_get_property(xcb, 0, window, static_cast<xcb_atom_t>(frameExtents_), XCB_ATOM_CARDINAL, 0, 4);
  xcb_generic_error_t* error = nullptr;
  std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> size(xcb_get_geometry_reply(xcb, geometry, &error),
                                                                        &std::free);
  std::free(error);
  std::unique_ptr<xcb_translate_coordinates_reply_t, decltype(&std::free)> origin(
      xcb_translate_coordinates_reply(xcb, place, &error), &std::free);
  std::free(error);
  std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> frame(xcb_get_property_reply(xcb, extents, &error),
                                                                         &std::free);
  std::free(error);
  if (!size || !origin) return std::nullopt;
  std::vector<unsigned long> items;
  if (frame && frame->format == 32 && xcb_get_property_value_length(frame.get()) >= 16) {
    const auto* e = static_cast<const std::uint32_t*>(xcb_get_property_value(frame.get()));
    items.assign(e, e + 4);
  }
  const Rect client{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                    static_cast<double>(size->width), static_cast<double>(size->height)};
  // A window gone meanwhile only fails the look for its holder: the connection ignores the error.
  return boundsAround(connection_->display(), window, client, items);
}

}  // namespace pelorin::platform::x11
