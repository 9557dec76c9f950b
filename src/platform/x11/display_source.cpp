#include "platform/x11/display_source.h"

#include <utility>

#include "platform/screen_capture.h"
#include "platform/x11/capture_stream_x11.h"

namespace pelorin::platform::x11 {
namespace {

constexpr auto monitorCheckPeriod = std::chrono::milliseconds(500);

// A whole monitor read from the root window.
class DisplaySource final : public PictureSource {
 public:
  DisplaySource(XConnection& connection, unsigned long monitorID, const X11CaptureOptions& options)
      : connection_(connection), monitor_(connection, monitorID), useDamage_(options.useDamage),
        dropDamage_(options.dropDamageReports), grabber_(connection, options.useSharedMemory) {}

  Result<void> open() override {
    if (Result<void> opened = monitor_.open(); !opened) return opened;
    if (useDamage_ && connection_.hasDamage()) damage_ = std::make_unique<DamageWatch>(connection_, connection_.root());
    return {};
  }

  void close() override {
    if (damage_) damage_->release();
  }

  void handle(const XEvent& event) override {
    if (damage_ && damage_->handle(event)) {
      if (dropDamage_) damage_->take({});
      return;
    }
    monitor_.handle(event);
  }

  Result<ContentState> check() override {
    Result<Monitor> monitor = monitor_.check();
    if (!monitor) return monitor.error();
    // The screen's size may have changed under an unchanged monitor: look again.
    return ContentState{monitor->frame.width, monitor->frame.height, monitor->frame.x, monitor->frame.y, true,
                        monitor_.takeChange()};
  }

  bool reportsDamage() const override { return damage_ != nullptr; }

  std::vector<PixelRect> takeDamage(const PixelRect& area) override { return offRoot(damage_->take(onRoot(area))); }

  Result<SourcePicture> read(const PixelRect& area) override {
    // Past the root's edge a read fails with BadMatch.
    const PixelRect root = intersect(onRoot(area), connection_.rootBounds());
    if (root.empty()) return x11Error("the display " + monitor_.monitor().name + " lies outside the screen");
    Result<BgrxView> picture = grabber_.grab(root);
    if (!picture) return picture.error();
    return SourcePicture{*picture, root.x, root.y};
  }

  std::uint8_t* mutablePixels() override { return grabber_.mutablePixels(); }

  Result<bool> reread(const std::vector<PixelRect>& boxes) override {
    std::vector<PixelRect> root;
    for (const PixelRect& box : boxes) root.push_back(onRoot(box));
    if (Result<void> read = grabber_.regrab(root); !read) return read.error();
    return true;
  }

  Result<std::vector<PixelRect>> recheck() override {
    Result<std::vector<PixelRect>> changed = grabber_.refresh();
    if (!changed) return changed.error();
    return offRoot(*changed);
  }

 private:
  PixelRect onRoot(const PixelRect& area) const {
    const PixelRect& frame = monitor_.monitor().frame;
    return {frame.x + area.x, frame.y + area.y, area.width, area.height};
  }

  std::vector<PixelRect> offRoot(std::vector<PixelRect> rects) const {
    const PixelRect& frame = monitor_.monitor().frame;
    for (PixelRect& r : rects) {
      r.x -= frame.x;
      r.y -= frame.y;
    }
    return rects;
  }

  XConnection& connection_;
  MonitorWatch monitor_;
  bool useDamage_;
  bool dropDamage_;
  ScreenGrabber grabber_;
  std::unique_ptr<DamageWatch> damage_;
};

}  // namespace

MonitorWatch::MonitorWatch(XConnection& connection, unsigned long monitorID) : connection_(connection), id_(monitorID) {}

Result<void> MonitorWatch::open() {
  Result<Monitor> monitor = findMonitor(connection_, id_);
  if (!monitor) return monitor.error();
  monitor_ = std::move(*monitor);
  if (connection_.hasRandr()) XRRSelectInput(connection_.display(), connection_.root(), RRScreenChangeNotifyMask);
  nextCheck_ = std::chrono::steady_clock::now() + monitorCheckPeriod;
  return {};
}

void MonitorWatch::handle(const XEvent& event) {
  if (!connection_.hasRandr() || event.type != connection_.randrEventBase() + RRScreenChangeNotify) return;
  XEvent copy = event;
  XRRUpdateConfiguration(&copy);
  changed_ = true;
  reported_ = true;
}

bool MonitorWatch::takeChange() { return std::exchange(reported_, false); }

Result<Monitor> MonitorWatch::check() {
  const auto now = std::chrono::steady_clock::now();
  if (!changed_ && now < nextCheck_) return monitor_;
  nextCheck_ = now + monitorCheckPeriod;
  const Error disconnected =
      x11Error("the display was disconnected (" + monitor_.name + ")", captureStatus::displayDisconnected);
  if (!std::exchange(changed_, false)) {
    // Nothing reported: only the frame is looked at, in one round trip without the names.
    std::optional<PixelRect> frame = monitorFrame(connection_, id_);
    if (connection_.broken()) return connectionLost();
    if (!frame) return disconnected;
    monitor_.frame = *frame;
    return monitor_;
  }
  Result<Monitor> monitor = findMonitor(connection_, id_);
  if (connection_.broken()) return connectionLost();
  if (!monitor) return disconnected;
  monitor_ = std::move(*monitor);
  return monitor_;
}

DamageWatch::DamageWatch(XConnection& connection, Drawable drawable) : connection_(connection) {
  Display* display = connection.display();
  damage_ = XDamageCreate(display, drawable, XDamageReportNonEmpty);
  region_ = XFixesCreateRegion(display, nullptr, 0);
}

DamageWatch::~DamageWatch() { release(); }

void DamageWatch::release() {
  if (!damage_) return;
  if (!connection_.broken()) {
    // The damage object dies with its drawable; destroying it again is a harmless error.
    XDamageDestroy(connection_.display(), damage_);
    XFixesDestroyRegion(connection_.display(), region_);
  }
  damage_ = 0;
  region_ = 0;
}

bool DamageWatch::handle(const XEvent& event) {
  if (!damage_ || event.type != connection_.damageEventBase() + XDamageNotify) return false;
  if (reinterpret_cast<const XDamageNotifyEvent&>(event).damage != damage_) return false;
  pending_ = true;
  return true;
}

std::vector<PixelRect> DamageWatch::take(const PixelRect& area) {
  std::vector<PixelRect> touched;
  if (!pending_ || !damage_) return touched;
  pending_ = false;
  Display* display = connection_.display();
  XDamageSubtract(display, damage_, None, region_);
  int count = 0;
  XRectangle* rects = XFixesFetchRegion(display, region_, &count);
  for (int i = 0; rects && i < count; ++i) {
    const PixelRect inside = intersect(area, PixelRect{rects[i].x, rects[i].y, rects[i].width, rects[i].height});
    if (!inside.empty()) touched.push_back(inside);
  }
  if (rects) XFree(rects);
  return touched;
}

std::unique_ptr<PictureSource> makeDisplaySource(XConnection& connection, const ContentFilter& filter,
                                                 const X11CaptureOptions& options) {
  return std::make_unique<DisplaySource>(connection, filter.displayID, options);
}

}  // namespace pelorin::platform::x11
