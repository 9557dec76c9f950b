#pragma once

// The X11 screen capture service and window server. Free of X11 headers.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/thread_annotations.h"
#include "platform/screen_capture.h"
#include "platform/x11/capture_stream_x11.h"

namespace pelorin::platform::x11 {

class XConnection;

class X11ScreenCaptureService final : public ScreenCaptureService {
 public:
  // Opens a connection to the display named in the options (DISPLAY when empty).
  static Result<std::unique_ptr<X11ScreenCaptureService>> create(X11CaptureOptions options = {});
  ~X11ScreenCaptureService() override;

  Result<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
  ContentFilter displayFilter(const ShareableDisplay& display, std::vector<WindowID> excluding = {}) override;
  ContentFilter displayFilterIncluding(const ShareableDisplay& display, std::vector<WindowID> including) override;
  ContentFilter windowFilter(const ShareableWindow& window) override;
  Result<std::unique_ptr<CaptureStream>> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    StreamDelegate* delegate) override;
  Result<Image> captureImage(const ContentFilter& filter, const ScreenshotConfiguration& configuration) override;

 private:
  X11ScreenCaptureService(X11CaptureOptions options, std::unique_ptr<XConnection> connection);

  X11CaptureOptions options_;
  Mutex mutex_;  // the connection is used by one caller at a time
  std::unique_ptr<XConnection> connection_ PT_GUARDED_BY(mutex_);
};

class X11WindowServer final : public WindowServer {
 public:
  // Opens its own connection to the display (DISPLAY when the name is empty).
  static Result<std::unique_ptr<X11WindowServer>> create(const std::string& displayName = {});
  ~X11WindowServer() override;

  std::vector<Rect> displayFrames() override;
  std::optional<WindowBounds> windowBounds(WindowID window) override;

 private:
  explicit X11WindowServer(std::unique_ptr<XConnection> connection);

  Mutex mutex_;
  std::unique_ptr<XConnection> connection_ PT_GUARDED_BY(mutex_);
  unsigned long frameExtents_;  // the _NET_FRAME_EXTENTS atom
  std::vector<Rect> displayFrames_ GUARDED_BY(mutex_);  // as last read
  std::optional<std::chrono::steady_clock::time_point> framesReadAt_ GUARDED_BY(mutex_);
};

}  // namespace pelorin::platform::x11
