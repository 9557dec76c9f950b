#pragma once

// Internal to the X11 backend: the cursor as the server shows it, its image fetched only when
// its shape changed.

#include <optional>
#include <utility>

#include "platform/x11/x11_display.h"

namespace pelorin::platform::x11 {

// The server reports a new shape (XFixes cursor notify); only then is the image fetched again.
// The place is asked for at each tick: a warped pointer makes no raw motion event, so motion
// events would miss it, and the pointer query is a short round trip with no image in it.
class CursorWatch {
 public:
  explicit CursorWatch(XConnection& connection);
  // Whether the event was the cursor's.
  bool handle(const XEvent& event);
  // Asks where the pointer is. Its answer comes after every event the server sent before it, and
  // those are then in the queue. False when nothing was asked.
  bool locate();
  // The cursor at the place last located, or nothing when XFixes is missing.
  const std::optional<CursorPicture>& look();

 private:
  XConnection& connection_;
  bool shapeChanged_ = true;
  std::optional<CursorPicture> cursor_;
  std::optional<std::pair<int, int>> hotSpot_;  // on this root, as last located
};

}  // namespace pelorin::platform::x11
