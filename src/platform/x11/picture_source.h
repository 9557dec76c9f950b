#pragma once

// Internal to the X11 backend: what a capture stream reads, one kind of content each (a monitor,
// one window, a monitor showing only some windows). The stream's thread owns the source and calls
// it between ticks; the source never blocks for long.

#include <memory>
#include <vector>

#include "platform/screen_capture.h"
#include "platform/x11/x11_display.h"

namespace pelorin::platform::x11 {

struct X11CaptureOptions;

// The content as it stands at one tick.
struct ContentState {
  int width = 0;  // pixels; the frame layout follows them
  int height = 0;
  int rootX = 0;  // where the content's top-left lies on the root, for the cursor
  int rootY = 0;
  // Nothing can be read yet (a window waiting for its first picture or never shown so far): the
  // tick gives an idle sample.
  bool readable = true;
  // Changed in a way damage may not report (shown again, moved, the screen reconfigured): the
  // next tick delivers a complete frame.
  bool refreshed = false;
};

// One read: the pixels and where their top-left lies on the root.
struct SourcePicture {
  BgrxView picture;
  int rootX = 0;
  int rootY = 0;
};

class PictureSource {
 public:
  virtual ~PictureSource() = default;

  // Takes what the source needs on the stream's connection; fails when the content is not there.
  virtual Result<void> open() = 0;
  // Gives it back while the connection still works.
  virtual void close() = 0;
  // Every event read from the connection passes here.
  virtual void handle(const XEvent& event) = 0;
  // After the events of a tick: the content now, or the error that stops the stream (the window
  // was destroyed, the monitor went away).
  virtual Result<ContentState> check() = 0;
  // Whether the server reports changes; without, the stream compares pictures.
  virtual bool reportsDamage() const = 0;
  // Where the content changed within `area` (content pixels) since the last call.
  virtual std::vector<PixelRect> takeDamage(const PixelRect& area) = 0;
  // Reads `area` (content pixels, within the content); valid until the next read.
  virtual Result<SourcePicture> read(const PixelRect& area) = 0;
  // The last read's pixels, for drawing the cursor into.
  virtual std::uint8_t* mutablePixels() = 0;
  // Reads `boxes` (content pixels, within the area last read) again into the last read's
  // picture. False when this source reads only whole pictures: then nothing was read.
  virtual Result<bool> reread(const std::vector<PixelRect>& /*boxes*/) { return false; }
  // Reads the area last read again and brings the picture up to date, for damage that was never
  // reported; the parts that differed (content pixels). Nothing where the source cannot tell.
  virtual Result<std::vector<PixelRect>> recheck() { return std::vector<PixelRect>{}; }
};

// The source showing `filter`'s content on `connection`.
std::unique_ptr<PictureSource> makePictureSource(XConnection& connection, const ContentFilter& filter,
                                                 const X11CaptureOptions& options);

}  // namespace pelorin::platform::x11
