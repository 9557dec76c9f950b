#pragma once

// Internal to the X11 backend: the cursor as the server shows it, its image fetched only when
// its shape changed.

#include <optional>

#include "platform/x11/x11_display.h"

namespace pelorin::platform::x11 {

// The server reports a new shape (XFixes cursor notify); only then is the image fetched again.
// The place is asked for at each look: a warped pointer makes no raw motion event, so motion
// events would miss it, and the pointer query is a short round trip with no image in it.
class CursorWatch {
 public:
  explicit CursorWatch(XConnection& connection);
  // Whether the event was the cursor's.
  bool handle(const XEvent& event);
  // The cursor now, or nothing when XFixes is missing.
  const std::optional<CursorPicture>& look();

 private:
  XConnection& connection_;
  bool shapeChanged_ = true;
  std::optional<CursorPicture> cursor_;
};

}  // namespace pelorin::platform::x11
