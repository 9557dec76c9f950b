#pragma once

// Internal to the X11 backend: the picture sources of whole monitors.

#include <chrono>
#include <memory>
#include <vector>

#include "platform/x11/picture_source.h"

namespace pelorin::platform::x11 {

// Follows one RandR monitor: its frame, and whether it is still there. The monitor list is read
// again when RandR reports a change and every half second anyway.
class MonitorWatch {
 public:
  MonitorWatch(XConnection& connection, unsigned long monitorID);
  Result<void> open();
  void handle(const XEvent& event);
  // The monitor now, or "the display was disconnected".
  Result<Monitor> check();
  const Monitor& monitor() const { return monitor_; }
  // Whether RandR reported a change since the last call.
  bool takeChange();

 private:
  XConnection& connection_;
  unsigned long id_;
  Monitor monitor_;
  bool changed_ = false;
  bool reported_ = false;
  std::chrono::steady_clock::time_point nextCheck_;
};

// The damage of one drawable, collected until taken.
class DamageWatch {
 public:
  DamageWatch(XConnection& connection, Drawable drawable);
  ~DamageWatch();
  DamageWatch(const DamageWatch&) = delete;
  DamageWatch& operator=(const DamageWatch&) = delete;

  bool active() const { return damage_ != 0; }
  // Whether the event was this watch's; notes that there is damage to take.
  bool handle(const XEvent& event);
  bool pending() const { return pending_; }
  // The damage reported since the last take, cut to `area` (drawable coordinates).
  std::vector<PixelRect> take(const PixelRect& area);
  // Stops watching; with the connection still up, the server forgets the damage object.
  void release();

 private:
  XConnection& connection_;
  Damage damage_ = 0;
  XserverRegion region_ = 0;
  bool pending_ = true;
};

std::unique_ptr<PictureSource> makeDisplaySource(XConnection& connection, const ContentFilter& filter,
                                                 const X11CaptureOptions& options);

}  // namespace pelorin::platform::x11
