#include "platform/x11/lazy_screen_capture_x11.h"

namespace pelorin::platform::x11 {

Result<X11ScreenCaptureService*> LazyX11ScreenCaptureService::service() {
  MutexLock lock(mutex_);
  if (!service_ && !failure_) {
    Result<std::unique_ptr<X11ScreenCaptureService>> created = X11ScreenCaptureService::create(options_);
    if (created) {
      service_ = std::move(created).value();
    } else {
      failure_ = created.error();
    }
  }
  if (failure_) return *failure_;
  return service_.get();
}

Result<ShareableContent> LazyX11ScreenCaptureService::shareableContent(bool excludingDesktopWindows,
                                                                       bool onScreenWindowsOnly) {
  Result<X11ScreenCaptureService*> s = service();
  if (!s) return s.error();
  return (*s)->shareableContent(excludingDesktopWindows, onScreenWindowsOnly);
}

// Filters are made from content the service listed, so it is connected by then; without a
// connection the filter is a plain one that any later call will refuse.
ContentFilter LazyX11ScreenCaptureService::displayFilter(const ShareableDisplay& display,
                                                         std::vector<WindowID> excluding) {
  Result<X11ScreenCaptureService*> s = service();
  return s ? (*s)->displayFilter(display, std::move(excluding)) : ContentFilter{};
}

ContentFilter LazyX11ScreenCaptureService::displayFilterIncluding(const ShareableDisplay& display,
                                                                  std::vector<WindowID> including) {
  Result<X11ScreenCaptureService*> s = service();
  return s ? (*s)->displayFilterIncluding(display, std::move(including)) : ContentFilter{};
}

ContentFilter LazyX11ScreenCaptureService::windowFilter(const ShareableWindow& window) {
  Result<X11ScreenCaptureService*> s = service();
  return s ? (*s)->windowFilter(window) : ContentFilter{};
}

Result<std::unique_ptr<CaptureStream>> LazyX11ScreenCaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration, StreamDelegate* delegate) {
  Result<X11ScreenCaptureService*> s = service();
  if (!s) return s.error();
  return (*s)->makeStream(filter, configuration, delegate);
}

Result<Image> LazyX11ScreenCaptureService::captureImage(const ContentFilter& filter,
                                                        const ScreenshotConfiguration& configuration) {
  Result<X11ScreenCaptureService*> s = service();
  if (!s) return s.error();
  return (*s)->captureImage(filter, configuration);
}

}  // namespace pelorin::platform::x11
