#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "base/thread_annotations.h"
#include "platform/screen_capture.h"

namespace pelorin::platform::portal {

class ScreenCastSession;

// Why a window cannot be captured here; the encoder gives it before starting anything.
Error windowCaptureRefused();

// Capture on a Wayland desktop: the monitors as the compositor announces them, pictures through
// ScreenCast portal sessions restored with the stored token, and PipeWire streams. The portal
// shares monitors only: window filters are refused, and there are no windows to list.
class PortalScreenCaptureService final : public ScreenCaptureService {
 public:
  explicit PortalScreenCaptureService(std::filesystem::path tokenDirectory);
  ~PortalScreenCaptureService() override;

  Result<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
  ContentFilter displayFilter(const ShareableDisplay& display, std::vector<WindowID> excluding = {}) override;
  ContentFilter displayFilterIncluding(const ShareableDisplay& display, std::vector<WindowID> including) override;
  ContentFilter windowFilter(const ShareableWindow& window) override;
  Result<std::unique_ptr<CaptureStream>> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    StreamDelegate* delegate) override;
  // From a short stream of a session kept for the next pictures, so a listing starts one
  // session for all its thumbnails.
  Result<Image> captureImage(const ContentFilter& filter, const ScreenshotConfiguration& configuration) override;

 private:
  // Pixels per point of the display, as last listed; 1 before.
  double pixelScale(DisplayID display);
  // A session restored with the stored token; the token it hands out replaces the stored one.
  Result<std::shared_ptr<ScreenCastSession>> restoredSession(bool embedCursor);

  std::filesystem::path tokenDirectory_;
  Mutex mutex_;
  std::map<DisplayID, double> pixelScales_ GUARDED_BY(mutex_);  // from the last listing
  std::shared_ptr<ScreenCastSession> pictureSession_ GUARDED_BY(mutex_);
  std::optional<Error> pictureFailure_ GUARDED_BY(mutex_);
};

}  // namespace pelorin::platform::portal
