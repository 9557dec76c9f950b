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

bool CursorWatch::locate() {
  hotSpot_.reset();
  if (!connection_.hasFixes() || connection_.broken()) return false;
  Window root = None;
  Window child = None;
  int x = 0;
  int y = 0;
  int windowX = 0;
  int windowY = 0;
  unsigned int buttons = 0;
  // A pointer on another screen has no place on this root: the image fetched tells where it is.
  if (XQueryPointer(connection_.display(), connection_.root(), &root, &child, &x, &y, &windowX, &windowY, &buttons)) {
    hotSpot_.emplace(x, y);
  }
  return true;
}

const std::optional<CursorPicture>& CursorWatch::look() {
  if (!connection_.hasFixes() || connection_.broken()) {
    cursor_.reset();
    return cursor_;
  }
  if (!shapeChanged_ && cursor_ && hotSpot_) {
    cursor_->x = hotSpot_->first - cursor_->hotX;
    cursor_->y = hotSpot_->second - cursor_->hotY;
    return cursor_;
  }
  // Cleared before the fetch: a change the fetch misses comes as an event and is fetched next.
  shapeChanged_ = false;
  cursor_ = fetchCursor(connection_);
  return cursor_;
}

}  // namespace pelorin::platform::x11
