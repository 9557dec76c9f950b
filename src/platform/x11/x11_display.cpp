#include "platform/x11/x11_display.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include "platform/screen_capture.h"
#include "platform/x11/x_error_trap.h"

namespace pelorin::platform::x11 {

Error x11Error(std::string message, std::int64_t code) { return Error{"X11Capture", code, std::move(message)}; }

Error windowNotFound(std::uint32_t id) {
  return x11Error("window not found (" + std::to_string(id) + ")", captureStatus::windowNotFound);
}

Error connectionLost() { return x11Error("the connection to the X server was lost", captureStatus::serverLost); }

Result<std::unique_ptr<XConnection>> XConnection::open(const std::string& name) {
  installErrorHandler();
  Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (!display) {
    return x11Error("cannot open the X display " + (name.empty() ? std::string("named by DISPLAY") : name),
                    captureStatus::serverUnreachable);
  }
  return std::unique_ptr<XConnection>(new XConnection(display));
}

XConnection::XConnection(Display* display) : display_(display) {
  // Without this Xlib exits the process when the server goes away.
  XSetIOErrorExitHandler(display_, &XConnection::onIOError, this);
  int major = 0;
  int minor = 0;
  Bool pixmaps = False;
  shm_ = XShmQueryVersion(display_, &major, &minor, &pixmaps) == True;
  int errorBase = 0;
  damage_ = XDamageQueryExtension(display_, &damageEventBase_, &errorBase) == True;
  fixes_ = XFixesQueryExtension(display_, &fixesEventBase_, &errorBase) == True;
  if (fixes_) {
    // XFixes regions (used with damage) need version 2; the request also announces our version.
    major = 5;
    minor = 0;
    fixes_ = XFixesQueryVersion(display_, &major, &minor) && major >= 2;
  }
  if (damage_) {
    major = 1;
    minor = 1;
    damage_ = fixes_ && XDamageQueryVersion(display_, &major, &minor);
  }
  if (XRRQueryExtension(display_, &randrEventBase_, &errorBase)) {
    major = 0;
    minor = 0;
    randr_ = XRRQueryVersion(display_, &major, &minor) && (major > 1 || (major == 1 && minor >= 5));
  }
  int compositeEvent = 0;
  if (XCompositeQueryExtension(display_, &compositeEvent, &errorBase)) {
    major = 0;
    minor = 2;
    composite_ = XCompositeQueryVersion(display_, &major, &minor) && (major > 0 || minor >= 2);
  }
}

XConnection::~XConnection() { XCloseDisplay(display_); }

void XConnection::onIOError(Display*, void* self) { static_cast<XConnection*>(self)->broken_ = true; }

std::string XConnection::name() const { return DisplayString(display_); }

PixelRect XConnection::rootBounds() const {
  const int screen = DefaultScreen(display_);
  return {0, 0, DisplayWidth(display_, screen), DisplayHeight(display_, screen)};
}

namespace {

std::optional<std::string> outputEdidName(Display* display, RROutput output) {
  const Atom edid = XInternAtom(display, "EDID", True);
  if (edid == None) return std::nullopt;
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  std::optional<std::string> name;
  if (XRRGetOutputProperty(display, output, edid, 0, 256, False, False, AnyPropertyType, &type, &format, &count,
                           &remaining, &data) == Success &&
      data && format == 8) {
    name = edidMonitorName(data, count);
  }
  if (data) XFree(data);
  return name;
}

}  // namespace

std::vector<Monitor> queryMonitors(XConnection& connection) {
  std::vector<Monitor> monitors;
  Display* display = connection.display();
  if (connection.broken()) return monitors;
  if (!connection.hasRandr()) {
    monitors.push_back({1, "screen", connection.rootBounds(), true});
    return monitors;
  }
  int count = 0;
  XRRMonitorInfo* info = XRRGetMonitors(display, connection.root(), True, &count);
  for (int i = 0; info && i < count; ++i) {
    Monitor monitor;
    monitor.id = info[i].name;
    monitor.frame = {info[i].x, info[i].y, info[i].width, info[i].height};
    monitor.primary = info[i].primary;
    for (int o = 0; o < info[i].noutput && monitor.name.empty(); ++o) {
      if (auto edidName = outputEdidName(display, info[i].outputs[o])) monitor.name = *edidName;
    }
    if (monitor.name.empty()) {
      if (char* atomName = XGetAtomName(display, info[i].name)) {
        monitor.name = atomName;
        XFree(atomName);
      }
    }
    monitors.push_back(std::move(monitor));
  }
  if (info) XRRFreeMonitors(info);
  return monitors;
}

std::vector<PixelRect> monitorFrames(XConnection& connection) {
  std::vector<PixelRect> frames;
  if (connection.broken()) return frames;
  if (!connection.hasRandr()) return {connection.rootBounds()};
  int count = 0;
  XRRMonitorInfo* info = XRRGetMonitors(connection.display(), connection.root(), True, &count);
  for (int i = 0; info && i < count; ++i) frames.push_back({info[i].x, info[i].y, info[i].width, info[i].height});
  if (info) XRRFreeMonitors(info);
  return frames;
}

std::optional<PixelRect> monitorFrame(XConnection& connection, unsigned long id) {
  if (connection.broken()) return std::nullopt;
  // Without RandR the one monitor is the screen, numbered 1.
  if (!connection.hasRandr()) return id == 1 ? std::optional(connection.rootBounds()) : std::nullopt;
  int count = 0;
  XRRMonitorInfo* info = XRRGetMonitors(connection.display(), connection.root(), True, &count);
  std::optional<PixelRect> frame;
  for (int i = 0; info && i < count; ++i) {
    if (info[i].name == id) frame = PixelRect{info[i].x, info[i].y, info[i].width, info[i].height};
  }
  if (info) XRRFreeMonitors(info);
  return frame;
}

Result<Monitor> findMonitor(XConnection& connection, unsigned long id) {
  for (Monitor& monitor : queryMonitors(connection)) {
    if (monitor.id == id) return std::move(monitor);
  }
  return x11Error("display not found (" + std::to_string(id) + ")", captureStatus::displayNotFound);
}

bool isBgrx(const XImage& image) {
  return image.bits_per_pixel == 32 && image.byte_order == LSBFirst && image.red_mask == 0xff0000 &&
         image.green_mask == 0xff00 && image.blue_mask == 0xff;
}

ScreenGrabber::ScreenGrabber(XConnection& connection, bool allowSharedMemory)
    : connection_(connection), shmUsable_(allowSharedMemory && connection.hasShm()) {}

ScreenGrabber::~ScreenGrabber() {
  releaseShm();
  if (plainImage_) XDestroyImage(plainImage_);
  if (pieceImage_) XDestroyImage(pieceImage_);
}

void ScreenGrabber::releaseShm() {
  if (!shmImage_) return;
  if (!connection_.broken()) {
    XShmDetach(connection_.display(), &segment_);
    XSync(connection_.display(), False);
  }
  shmdt(segment_.shmaddr);
  shmImage_->data = nullptr;
  XDestroyImage(shmImage_);
  shmImage_ = nullptr;
  segment_ = {};
}

bool ScreenGrabber::prepareShm(int width, int height, int depth) {
  if (shmImage_ && shmImage_->width == width && shmImage_->height == height && shmImage_->depth == depth) return true;
  releaseShm();
  Display* display = connection_.display();
  const int screen = DefaultScreen(display);
  // Depth 32 (ARGB windows) has the same 32-bit pixels as depth 24; the alpha byte is ignored.
  XImage* image = XShmCreateImage(display, DefaultVisual(display, screen), static_cast<unsigned>(depth), ZPixmap,
                                  nullptr, &segment_, width, height);
  if (!image) return false;
  // Twice the picture: parts read again land in the second half before they are copied in.
  const std::size_t bytes = static_cast<std::size_t>(image->bytes_per_line) * height * 2;
  segment_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (segment_.shmid < 0) {
    XDestroyImage(image);
    return false;
  }
  segment_.shmaddr = static_cast<char*>(shmat(segment_.shmid, nullptr, 0));
  if (segment_.shmaddr == reinterpret_cast<char*>(-1)) {
    shmctl(segment_.shmid, IPC_RMID, nullptr);
    XDestroyImage(image);
    return false;
  }
  segment_.readOnly = False;
  image->data = segment_.shmaddr;
  bool attached = false;
  {
    // A remote or sandboxed server refuses the segment with an error, not a reply.
    XErrorTrap trap(display);
    attached = XShmAttach(display, &segment_) && trap.sync() == 0;
  }
  // Marked for removal now so the segment cannot outlive the process; attached users keep it.
  shmctl(segment_.shmid, IPC_RMID, nullptr);
  if (!attached) {
    shmdt(segment_.shmaddr);
    image->data = nullptr;
    XDestroyImage(image);
    segment_ = {};
    return false;
  }
  shmImage_ = image;
  return true;
}

Result<BgrxView> ScreenGrabber::grab(const PixelRect& area) {
  return grab(connection_.root(), DefaultDepth(connection_.display(), DefaultScreen(connection_.display())), area);
}

Result<BgrxView> ScreenGrabber::grab(Drawable drawable, int depth, const PixelRect& area) {
  if (connection_.broken()) return connectionLost();
  if (area.empty()) return x11Error("nothing to capture");
  Display* display = connection_.display();
  last_ = nullptr;
  // The shared image must have the drawable's depth; only the 32-bit pixel depths are read over it.
  const bool shared = (depth == 24 || depth == 32) && shmUsable_;
  if (shared && !prepareShm(area.width, area.height, depth)) shmUsable_ = false;
  XImage* image = nullptr;
  if (shared && shmUsable_) {
    if (!XShmGetImage(display, drawable, shmImage_, area.x, area.y, AllPlanes)) {
      return x11Error("the screen could not be read");
    }
    image = shmImage_;
  } else {
    if (plainImage_) XDestroyImage(plainImage_);
    plainImage_ = XGetImage(display, drawable, area.x, area.y, static_cast<unsigned>(area.width),
                            static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
    if (!plainImage_) return x11Error("the screen could not be read");
    image = plainImage_;
  }
  // Reads of pixmaps carry no visual, so Xlib clears the masks: the pixels follow the screen's.
  if (image->red_mask == 0 && image->green_mask == 0 && image->blue_mask == 0) {
    const Visual* visual = DefaultVisual(display, DefaultScreen(display));
    image->red_mask = visual->red_mask;
    image->green_mask = visual->green_mask;
    image->blue_mask = visual->blue_mask;
  }
  if (!isBgrx(*image)) return x11Error("the screen's pixel format is not 32-bit BGRX");
  last_ = image;
  lastDrawable_ = drawable;
  lastArea_ = area;
  return BgrxView{reinterpret_cast<const std::uint8_t*>(image->data), static_cast<std::size_t>(image->bytes_per_line),
                  image->width, image->height};
}

Result<BgrxView> ScreenGrabber::readApart(const PixelRect& area) {
  Display* display = connection_.display();
  if (last_ == shmImage_) {
    // The same segment and format, another size and place: the server writes rows of the width
    // asked for, packed.
    XImage piece = *shmImage_;
    piece.width = area.width;
    piece.height = area.height;
    piece.bytes_per_line = area.width * 4;
    piece.data = shmImage_->data + static_cast<std::size_t>(shmImage_->bytes_per_line) * shmImage_->height;
    if (!XShmGetImage(display, lastDrawable_, &piece, area.x, area.y, AllPlanes)) {
      return x11Error("the screen could not be read");
    }
    return BgrxView{reinterpret_cast<const std::uint8_t*>(piece.data), static_cast<std::size_t>(piece.bytes_per_line),
                    area.width, area.height};
  }
  if (pieceImage_) XDestroyImage(pieceImage_);
  pieceImage_ = XGetImage(display, lastDrawable_, area.x, area.y, static_cast<unsigned>(area.width),
                          static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
  if (!pieceImage_ || pieceImage_->bits_per_pixel != 32) return x11Error("the screen could not be read");
  return BgrxView{reinterpret_cast<const std::uint8_t*>(pieceImage_->data),
                  static_cast<std::size_t>(pieceImage_->bytes_per_line), area.width, area.height};
}

Result<void> ScreenGrabber::regrab(const std::vector<PixelRect>& boxes) {
  if (connection_.broken()) return connectionLost();
  if (!last_) return x11Error("nothing was read before");
  for (const PixelRect& box : boxes) {
    const PixelRect inside = intersect(box, lastArea_);
    if (inside.empty()) continue;
    Result<BgrxView> piece = readApart(inside);
    if (!piece) return piece.error();
    const auto rowBytes = static_cast<std::size_t>(inside.width) * 4;
    for (int row = 0; row < inside.height; ++row) {
      std::memcpy(last_->data + static_cast<std::size_t>(inside.y - lastArea_.y + row) * last_->bytes_per_line +
                      static_cast<std::size_t>(inside.x - lastArea_.x) * 4,
                  piece->pixels + static_cast<std::size_t>(row) * piece->bytesPerRow, rowBytes);
    }
  }
  return {};
}

Result<std::vector<PixelRect>> ScreenGrabber::refresh() {
  if (connection_.broken()) return connectionLost();
  if (!last_) return x11Error("nothing was read before");
  Result<BgrxView> now = readApart(lastArea_);
  if (!now) return now.error();
  std::vector<PixelRect> changed;
  const auto rowBytes = static_cast<std::size_t>(lastArea_.width) * 4;
  for (int row = 0; row < lastArea_.height; ++row) {
    const std::uint8_t* fresh = now->pixels + static_cast<std::size_t>(row) * now->bytesPerRow;
    auto* kept = reinterpret_cast<std::uint8_t*>(last_->data) + static_cast<std::size_t>(row) * last_->bytes_per_line;
    if (std::memcmp(fresh, kept, rowBytes) == 0) continue;
    std::memcpy(kept, fresh, rowBytes);
    const PixelRect line{lastArea_.x, lastArea_.y + row, lastArea_.width, 1};
    // Rows that differ one after another make one rectangle.
    if (!changed.empty() && changed.back().y + changed.back().height == line.y) {
      ++changed.back().height;
    } else {
      changed.push_back(line);
    }
  }
  return changed;
}

std::uint8_t* ScreenGrabber::mutablePixels() const {
  return last_ ? reinterpret_cast<std::uint8_t*>(last_->data) : nullptr;
}

std::optional<CursorPicture> fetchCursor(XConnection& connection) {
  if (!connection.hasFixes() || connection.broken()) return std::nullopt;
  XFixesCursorImage* image = XFixesGetCursorImage(connection.display());
  if (!image) return std::nullopt;
  CursorPicture cursor;
  cursor.x = image->x - image->xhot;
  cursor.y = image->y - image->yhot;
  cursor.width = image->width;
  cursor.height = image->height;
  cursor.hotX = image->xhot;
  cursor.hotY = image->yhot;
  cursor.serial = image->cursor_serial;
  const std::size_t count = static_cast<std::size_t>(image->width) * image->height;
  cursor.argb.resize(count);
  // Xlib hands the 32-bit words over in longs, which are 64 bits wide here.
  for (std::size_t i = 0; i < count; ++i) cursor.argb[i] = static_cast<std::uint32_t>(image->pixels[i]);
  XFree(image);
  return cursor;
}

}  // namespace pelorin::platform::x11
