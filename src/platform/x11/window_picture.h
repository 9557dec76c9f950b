#pragma once

// Internal to the X11 backend: a top-level window's own pixels through XComposite, whatever
// covers it, for thumbnails and streams.

#include <memory>
#include <optional>

#include "platform/x11/display_source.h"
#include "platform/x11/picture_source.h"
#include "platform/x11/x11_display.h"

namespace pelorin::platform::x11 {

// The root's child holding `window`: the frame a reparenting window manager made, else the
// window itself. Nothing when the window is gone.
std::optional<Window> topLevelAncestor(Display* display, Window window);

// Redirects `frame` off-screen (automatic: the server still shows it). Returns whether this
// client did it and so must undo it; false when a compositor already had.
Result<bool> redirectWindow(XConnection& connection, Window frame);

struct NamedPixmap {
  Pixmap pixmap = None;
  int width = 0;  // the window's size with its border
  int height = 0;
  int depth = 0;  // 24, or 32 for windows with an ARGB visual
};

// A new name for the redirected window's pixmap: one named earlier keeps the contents of a window
// since resized or unmapped. Fails (BadMatch) while the window is unmapped.
Result<NamedPixmap> namePixmap(XConnection& connection, Window frame);

// One client window followed while a stream shows it: its frame (re-found when the window
// manager reparents it), the frame's place and size, whether it is shown or destroyed, its
// damage, and its pixmap, named afresh after every resize and every time it is shown again.
// Window managers hide a window by unmapping its client and its frame, one after the other: the
// window counts as shown only while both are mapped.
class WindowPicture {
 public:
  WindowPicture(XConnection& connection, Window client, bool useSharedMemory, bool useDamage);
  ~WindowPicture();
  WindowPicture(const WindowPicture&) = delete;
  WindowPicture& operator=(const WindowPicture&) = delete;

  // Fails when the window does not exist.
  Result<void> open();
  void close();
  void handle(const XEvent& event);
  // Catches up with a new frame after the window manager reparented the window.
  void update();

  bool destroyed() const { return destroyed_; }
  // Something can be read: the window is shown and the first damage after the redirection came.
  bool readable() const;
  // The window's area with its border, in root coordinates.
  PixelRect bounds() const { return bounds_; }
  // Whether the window was shown again, moved or resized since the last call.
  bool takeChange();
  bool reportsDamage() const { return damage_ && damage_->active(); }
  // The damage since the last take, cut to `area` (window coordinates).
  std::vector<PixelRect> takeDamage(const PixelRect& area);
  // Reads `area` (window coordinates) of the pixmap, cut to it.
  Result<SourcePicture> read(const PixelRect& area);
  // Reads `boxes` (window coordinates) again into the last read's picture; false when the pixmap
  // was named afresh since, and only a whole read will do.
  Result<bool> reread(const std::vector<PixelRect>& boxes);
  // The last read, while its pixmap stands.
  std::optional<SourcePicture> lastRead() const { return pixmapStale_ ? std::nullopt : last_; }
  std::uint8_t* mutablePixels() const { return grabber_.mutablePixels(); }

 private:
  void bind(Window frame);
  void unbind();
  void freePixmap();

  XConnection& connection_;
  const Window client_;
  const bool useDamage_;
  bool open_ = false;
  Window frame_ = None;
  PixelRect bounds_;
  bool frameMapped_ = false;
  bool clientMapped_ = false;
  bool destroyed_ = false;
  bool redirected_ = false;  // by this client
  bool firstDamage_ = false;
  bool rebind_ = false;
  bool changed_ = false;
  bool pixmapStale_ = true;
  NamedPixmap pixmap_;
  std::optional<SourcePicture> last_;
  std::unique_ptr<DamageWatch> damage_;
  ScreenGrabber grabber_;
};

}  // namespace pelorin::platform::x11
