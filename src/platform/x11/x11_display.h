#pragma once

// Internal to the X11 backend: one X connection with the extensions capture uses, the RandR
// monitors, and reading the screen. Includes Xlib, so it stays out of shared headers.

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "platform/x11/frame_render.h"

namespace pelorin::platform::x11 {

Error x11Error(std::string message, std::int64_t code = -1);
Error windowNotFound(std::uint32_t id);
Error connectionLost();

// An open display. A broken connection does not end the process: Xlib calls return nothing
// and broken() turns true.
class XConnection {
 public:
  static Result<std::unique_ptr<XConnection>> open(const std::string& name);
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  Display* display() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }
  bool broken() const { return broken_.load(); }
  std::string name() const;
  PixelRect rootBounds() const;

  bool hasShm() const { return shm_; }
  bool hasDamage() const { return damage_; }
  bool hasFixes() const { return fixes_; }
  bool hasRandr() const { return randr_; }
  // Composite 0.2 or later: window pixmaps can be named.
  bool hasComposite() const { return composite_; }
  int damageEventBase() const { return damageEventBase_; }
  int fixesEventBase() const { return fixesEventBase_; }
  int randrEventBase() const { return randrEventBase_; }

 private:
  explicit XConnection(Display* display);
  static void onIOError(Display* display, void* self);

  Display* display_;
  std::atomic<bool> broken_{false};
  bool shm_ = false;
  bool damage_ = false;
  bool fixes_ = false;
  bool randr_ = false;
  bool composite_ = false;
  int damageEventBase_ = 0;
  int fixesEventBase_ = 0;
  int randrEventBase_ = 0;
};

struct Monitor {
  unsigned long id = 0;  // the monitor's name atom
  std::string name;      // EDID product name, else the RandR name
  PixelRect frame;
  bool primary = false;
};

// The active RandR monitors in server order; the whole root as one monitor when RandR 1.5 is
// missing.
std::vector<Monitor> queryMonitors(XConnection& connection);

// Only the frames of the active monitors, in one round trip.
std::vector<PixelRect> monitorFrames(XConnection& connection);

// The frame of the active monitor named by `id`, in one round trip; nothing when it is not active.
std::optional<PixelRect> monitorFrame(XConnection& connection, unsigned long id);

// The active monitor named by `id`, or "display not found (id)".
Result<Monitor> findMonitor(XConnection& connection, unsigned long id);

// Reads rectangles of the root window into one reusable picture, over shared memory when the
// server offers it and Xlib's ordinary image transfer otherwise.
class ScreenGrabber {
 public:
  ScreenGrabber(XConnection& connection, bool allowSharedMemory);
  ~ScreenGrabber();
  ScreenGrabber(const ScreenGrabber&) = delete;
  ScreenGrabber& operator=(const ScreenGrabber&) = delete;

  // `area` in root coordinates, within the root. The view stays valid until the next grab.
  Result<BgrxView> grab(const PixelRect& area);
  // `area` of a drawable of `depth` (24 or 32) whose pixels are laid out as the screen's visual,
  // such as a window's pixmap.
  Result<BgrxView> grab(Drawable drawable, int depth, const PixelRect& area);
  // Writable pixels of the last grab (the cursor is drawn into them).
  std::uint8_t* mutablePixels() const;
  bool usesSharedMemory() const { return shmImage_ != nullptr || shmUsable_; }
  // Reads `boxes` (in the drawable's coordinates, within the last grab's area) again into the
  // last grab's picture, which stays where it is.
  Result<void> regrab(const std::vector<PixelRect>& boxes);
  // Reads the last grab's area again for changes nobody reported: the rows that differ are copied
  // into the picture, and returned as rectangles in the drawable's coordinates.
  Result<std::vector<PixelRect>> refresh();

 private:
  bool prepareShm(int width, int height, int depth);
  void releaseShm();
  // `area` read beside the picture: in the spare half of the shared segment, or a plain image.
  Result<BgrxView> readApart(const PixelRect& area);

  XConnection& connection_;
  bool shmUsable_;
  XImage* shmImage_ = nullptr;
  XShmSegmentInfo segment_{};
  XImage* plainImage_ = nullptr;
  XImage* pieceImage_ = nullptr;  // the last read apart without shared memory
  XImage* last_ = nullptr;  // the image of the last grab
  Drawable lastDrawable_ = None;
  PixelRect lastArea_;
};

// The cursor as the server shows it now, or nothing when XFixes is missing.
std::optional<CursorPicture> fetchCursor(XConnection& connection);

// The only picture layout captured: 32 bits per pixel, blue in the lowest byte.
bool isBgrx(const XImage& image);

}  // namespace pelorin::platform::x11
