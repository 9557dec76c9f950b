#pragma once

#include <memory>
#include <optional>

#include "base/thread_annotations.h"
#include "platform/x11/screen_capture_x11.h"

namespace pelorin::platform::x11 {

// The X11 capture service, connected on first use: modes that never capture (the permission
// checks, --help) open no display connection, and a missing display is reported by the calls
// that need one.
class LazyX11ScreenCaptureService final : public ScreenCaptureService {
 public:
  explicit LazyX11ScreenCaptureService(X11CaptureOptions options = {}) : options_(std::move(options)) {}

  Result<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
  ContentFilter displayFilter(const ShareableDisplay& display, std::vector<WindowID> excluding = {}) override;
  ContentFilter displayFilterIncluding(const ShareableDisplay& display, std::vector<WindowID> including) override;
  ContentFilter windowFilter(const ShareableWindow& window) override;
  Result<std::unique_ptr<CaptureStream>> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    StreamDelegate* delegate) override;
  Result<Image> captureImage(const ContentFilter& filter, const ScreenshotConfiguration& configuration) override;

 private:
  // The connected service, or why there is none.
  Result<X11ScreenCaptureService*> service();

  X11CaptureOptions options_;
  Mutex mutex_;
  std::unique_ptr<X11ScreenCaptureService> service_ GUARDED_BY(mutex_);
  std::optional<Error> failure_ GUARDED_BY(mutex_);
};

}  // namespace pelorin::platform::x11
