#include "platform/x11/cursor_watch.h"

namespace pelorin::platform::x11 {

CursorWatch::CursorWatch(XConnection& connection) : connection_(connection) {
  if (connection_.hasFixes()) {
    XFixesSelectCursorInput(connection_.display(), connection_.root(), XFixesDisplayCursorNotifyMask);
  }
}

bool CursorWatch::handle(const XEvent& event) {
  if (!connection_.hasFixes() || event.type != connection_.fixesEventBase() + XFixesCursorNotify) return false;
  shapeChanged_ = true;
  return true;
}

const std::optional<CursorPicture>& CursorWatch::look() {
  if (!connection_.hasFixes() || connection_.broken()) {
    cursor_.reset();
    return cursor_;
  }
  Window root = None;
  Window child = None;
  int x = 0;
  int y = 0;
  int windowX = 0;
  int windowY = 0;
  unsigned int buttons = 0;
  // A pointer on another screen has no place on this root: the image fetched tells where it is.
  const bool placed = !shapeChanged_ && cursor_ &&
                      XQueryPointer(connection_.display(), connection_.root(), &root, &child, &x, &y, &windowX,
                                    &windowY, &buttons);
  if (placed) {
    cursor_->x = x - cursor_->hotX;
    cursor_->y = y - cursor_->hotY;
    return cursor_;
  }
  // Cleared before the fetch: a change the fetch misses comes as an event and is fetched next.
  shapeChanged_ = false;
  cursor_ = fetchCursor(connection_);
  return cursor_;
}

}  // namespace pelorin::platform::x11
