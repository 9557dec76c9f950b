#pragma once

#include <memory>
#include <mutex>
#include <optional>

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
  std::mutex mutex_;
  std::unique_ptr<X11ScreenCaptureService> service_;
  std::optional<Error> failure_;
};

}  // namespace pelorin::platform::x11
