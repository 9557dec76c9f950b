#include <algorithm>
#include <cstring>

#include "platform/screen_capture.h"
#include "platform/x11/capture_stream_x11.h"
#include "platform/x11/display_source.h"
#include "platform/x11/window_picture.h"

namespace pelorin::platform::x11 {
namespace {

Error windowClosed(WindowID id) { return x11Error("the window was closed (" + std::to_string(id) + ")", captureStatus::windowClosed); }

// One window alone, its decorations included.
class WindowSource final : public PictureSource {
 public:
  WindowSource(XConnection& connection, WindowID id, const X11CaptureOptions& options)
      : id_(id), window_(connection, static_cast<Window>(id), options.useSharedMemory, options.useDamage) {}

  Result<void> open() override { return window_.open(); }
  void close() override { window_.close(); }
  void handle(const XEvent& event) override { window_.handle(event); }

  Result<ContentState> check() override {
    window_.update();
    if (window_.destroyed()) return windowClosed(id_);
    const PixelRect bounds = window_.bounds();
    return ContentState{bounds.width, bounds.height, bounds.x, bounds.y, window_.readable(), window_.takeChange()};
  }

  bool reportsDamage() const override { return window_.reportsDamage(); }
  std::vector<PixelRect> takeDamage(const PixelRect& area) override { return window_.takeDamage(area); }
  Result<SourcePicture> read(const PixelRect& area) override { return window_.read(area); }
  std::uint8_t* mutablePixels() override { return window_.mutablePixels(); }
  Result<bool> reread(const std::vector<PixelRect>& boxes) override { return window_.reread(boxes); }

 private:
  WindowID id_;
  WindowPicture window_;
};

// A monitor showing only the given windows, each from its own pixels at its place, black
// elsewhere. The stream stops when the monitor or the last of the windows goes away.
class WindowsOnDisplaySource final : public PictureSource {
 public:
  WindowsOnDisplaySource(XConnection& connection, const ContentFilter& filter, const X11CaptureOptions& options)
      : monitor_(connection, filter.displayID), firstID_(filter.windows.empty() ? 0 : filter.windows.front()) {
    // The filter lists windows front to back; they are drawn back to front.
    for (auto id = filter.windows.rbegin(); id != filter.windows.rend(); ++id) {
      windows_.push_back(std::make_unique<WindowPicture>(connection, static_cast<Window>(*id), options.useSharedMemory,
                                                         options.useDamage));
    }
  }

  Result<void> open() override {
    if (Result<void> opened = monitor_.open(); !opened) return opened;
    for (auto& window : windows_) {
      if (Result<void> opened = window->open(); !opened) return opened;
    }
    if (windows_.empty()) return x11Error("no window to show");
    return {};
  }

  void close() override {
    for (auto& window : windows_) window->close();
  }

  void handle(const XEvent& event) override {
    monitor_.handle(event);
    for (auto& window : windows_) window->handle(event);
  }

  Result<ContentState> check() override {
    Result<Monitor> monitor = monitor_.check();
    if (!monitor) return monitor.error();
    bool readable = false;
    bool refreshed = monitor_.takeChange();
    for (auto& window : windows_) {
      window->update();
      if (window->destroyed()) continue;
      readable = readable || window->readable();
      refreshed = window->takeChange() || refreshed;
    }
    std::erase_if(windows_, [](const auto& window) { return window->destroyed(); });
    if (windows_.empty()) return windowClosed(firstID_);
    const PixelRect& frame = monitor->frame;
    return ContentState{frame.width, frame.height, frame.x, frame.y, readable, refreshed};
  }

  bool reportsDamage() const override {
    return std::all_of(windows_.begin(), windows_.end(), [](const auto& window) { return window->reportsDamage(); });
  }

  std::vector<PixelRect> takeDamage(const PixelRect& area) override {
    const PixelRect root = onRoot(area);
    const PixelRect& frame = monitor_.monitor().frame;
    std::vector<PixelRect> damaged;
    for (auto& window : windows_) {
      const PixelRect bounds = window->bounds();
      for (PixelRect r : window->takeDamage({root.x - bounds.x, root.y - bounds.y, root.width, root.height})) {
        damaged.push_back({r.x + bounds.x - frame.x, r.y + bounds.y - frame.y, r.width, r.height});
      }
    }
    return damaged;
  }

  Result<SourcePicture> read(const PixelRect& area) override {
    const PixelRect root = onRoot(area);
    const std::size_t stride = static_cast<std::size_t>(area.width) * 4;
    // Black, opaque.
    canvas_.assign(stride * static_cast<std::size_t>(area.height), 0);
    canvasArea_ = root;
    for (auto& window : windows_) {
      if (!window->readable()) continue;
      const PixelRect bounds = window->bounds();
      const PixelRect shown = intersect(root, bounds);
      if (shown.empty()) continue;
      Result<SourcePicture> part =
          window->read({shown.x - bounds.x, shown.y - bounds.y, shown.width, shown.height});
      if (!part) return part.error();
      copyInto(*part, root);
    }
    return SourcePicture{BgrxView{canvas_.data(), stride, area.width, area.height}, root.x, root.y};
  }

  std::uint8_t* mutablePixels() override { return canvas_.data(); }

  // Each window reads its part of the boxes again, and the boxes are drawn again from the
  // windows' pictures, back to front.
  Result<bool> reread(const std::vector<PixelRect>& boxes) override {
    std::vector<PixelRect> roots;
    for (const PixelRect& box : boxes) roots.push_back(intersect(onRoot(box), canvasArea_));
    for (auto& window : windows_) {
      if (!window->readable()) continue;
      const PixelRect bounds = window->bounds();
      std::vector<PixelRect> own;
      for (const PixelRect& r : roots) own.push_back({r.x - bounds.x, r.y - bounds.y, r.width, r.height});
      Result<bool> reread = window->reread(own);
      if (!reread || !*reread) return reread;
    }
    for (const PixelRect& r : roots) redraw(r);
    return true;
  }

 private:
  PixelRect onRoot(const PixelRect& area) const {
    const PixelRect& frame = monitor_.monitor().frame;
    return {frame.x + area.x, frame.y + area.y, area.width, area.height};
  }

  // Copies the part of `part` within `within` (root coordinates) to its place on the canvas.
  void copyInto(const SourcePicture& part, const PixelRect& within) {
    const PixelRect r = intersect(within, {part.rootX, part.rootY, part.picture.width, part.picture.height});
    const std::size_t stride = static_cast<std::size_t>(canvasArea_.width) * 4;
    for (int row = 0; row < r.height; ++row) {
      std::memcpy(canvas_.data() + static_cast<std::size_t>(r.y - canvasArea_.y + row) * stride +
                      static_cast<std::size_t>(r.x - canvasArea_.x) * 4,
                  part.picture.pixels + static_cast<std::size_t>(r.y - part.rootY + row) * part.picture.bytesPerRow +
                      static_cast<std::size_t>(r.x - part.rootX) * 4,
                  static_cast<std::size_t>(r.width) * 4);
    }
  }

  // Paints `area` (root coordinates, on the canvas) black, then each window's part of it.
  void redraw(const PixelRect& area) {
    const std::size_t stride = static_cast<std::size_t>(canvasArea_.width) * 4;
    for (int row = 0; row < area.height; ++row) {
      std::memset(canvas_.data() + static_cast<std::size_t>(area.y - canvasArea_.y + row) * stride +
                      static_cast<std::size_t>(area.x - canvasArea_.x) * 4,
                  0, static_cast<std::size_t>(area.width) * 4);
    }
    for (auto& window : windows_) {
      if (const std::optional<SourcePicture> part = window->lastRead(); part && window->readable()) copyInto(*part, area);
    }
  }

  MonitorWatch monitor_;
  WindowID firstID_;
  std::vector<std::unique_ptr<WindowPicture>> windows_;
  std::vector<std::uint8_t> canvas_;
  PixelRect canvasArea_;  // root coordinates
};

}  // namespace

std::unique_ptr<PictureSource> makePictureSource(XConnection& connection, const ContentFilter& filter,
                                                 const X11CaptureOptions& options) {
  switch (filter.kind) {
    case ContentFilter::Kind::Window:
      return std::make_unique<WindowSource>(connection, filter.windowID, options);
    case ContentFilter::Kind::DisplayIncludingWindows:
      return std::make_unique<WindowsOnDisplaySource>(connection, filter, options);
    case ContentFilter::Kind::Display:
      break;
  }
  return makeDisplaySource(connection, filter, options);
}

}  // namespace pelorin::platform::x11
