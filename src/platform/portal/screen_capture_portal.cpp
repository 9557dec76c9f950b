#include "platform/portal/screen_capture_portal.h"

#include "platform/pipewire/pipewire_stream.h"
#include "platform/portal/restore_token_store.h"
#include "platform/portal/screencast_session.h"
#include "platform/portal/wayland_outputs.h"

namespace pelorin::platform::portal {
namespace {

// A still screen sends nothing: a thumbnail gives up after this.
constexpr std::chrono::milliseconds pictureTimeout{2000};

Error lookupError(std::string message) { return Error{"ScreenCaptureKit", -1, std::move(message)}; }

Error permissionMissing() {
  return lookupError("screen capture permission missing: no screencast portal restore token (run --request-permission)");
}

// The portal streams whole monitors: it can neither show one window nor leave windows out.
std::optional<Error> unsupportedFilter(const ContentFilter& filter) {
  if (filter.kind != ContentFilter::Kind::Display) return windowCaptureRefused();
  if (!filter.windows.empty()) return lookupError("leaving windows out of a display is not available on a Wayland session");
  return std::nullopt;
}

}  // namespace

Error windowCaptureRefused() {
  return lookupError("window capture is not available on a Wayland session: the screencast portal shares monitors only");
}

PortalScreenCaptureService::PortalScreenCaptureService(std::filesystem::path tokenDirectory)
    : tokenDirectory_(std::move(tokenDirectory)) {}

PortalScreenCaptureService::~PortalScreenCaptureService() = default;

Result<ShareableContent> PortalScreenCaptureService::shareableContent(bool, bool) {
  // As on any desktop, nothing is shareable before the user has allowed it.
  if (!storedRestoreToken(tokenDirectory_)) return permissionMissing();
  Result<std::vector<WaylandOutput>> outputs = listWaylandOutputs();
  if (!outputs) return outputs.error();
  ShareableContent content;
  MutexLock lock(mutex_);
  for (const WaylandOutput& o : *outputs) {
    content.displays.push_back(shareableDisplay(o));
    pixelScales_[o.globalName] = portal::pixelScale(o);
  }
  return content;
}

double PortalScreenCaptureService::pixelScale(DisplayID display) {
  MutexLock lock(mutex_);
  const auto scale = pixelScales_.find(display);
  return scale == pixelScales_.end() ? 1.0 : scale->second;
}

ContentFilter PortalScreenCaptureService::displayFilter(const ShareableDisplay& display, std::vector<WindowID> excluding) {
  return makeDisplayFilter(display, std::move(excluding), ContentFilter::Kind::Display, pixelScale(display.displayID));
}

ContentFilter PortalScreenCaptureService::displayFilterIncluding(const ShareableDisplay& display,
                                                                 std::vector<WindowID> including) {
  return makeDisplayFilter(display, std::move(including), ContentFilter::Kind::DisplayIncludingWindows,
                           pixelScale(display.displayID));
}

ContentFilter PortalScreenCaptureService::windowFilter(const ShareableWindow& window) { return makeWindowFilter(window); }

Result<std::shared_ptr<ScreenCastSession>> PortalScreenCaptureService::restoredSession(bool embedCursor) {
  Result<RestoreTokenLease> lease = RestoreTokenLease::acquire(tokenDirectory_);
  if (!lease) return lease.error();
  // Without a token the portal would ask the user, and the host may have nobody to answer.
  if (lease->token().empty()) return permissionMissing();
  SessionOptions options;
  options.restoreToken = lease->token();
  options.embedCursor = embedCursor;
  Result<std::unique_ptr<ScreenCastSession>> session = ScreenCastSession::start(options);
  if (!session) return session.error();
  if (!(*session)->restoreToken().empty()) {
    if (Result<void> stored = lease->replace((*session)->restoreToken()); !stored) return stored.error();
  }
  return std::shared_ptr<ScreenCastSession>(std::move(*session));
}

namespace {

// The PipeWire side of the stream showing the filter's monitor in `session`.
Result<pipewire::PipeWireSource> monitorSource(const std::shared_ptr<ScreenCastSession>& session,
                                               const ContentFilter& filter) {
  const std::optional<PortalStream> stream = streamForMonitor(session->streams(), filter.contentRect);
  // The token restores the monitors the user chose, maybe not this one.
  if (!stream) return lookupError("display not found (" + std::to_string(filter.displayID) + ")");
  Result<int> fd = session->openPipeWireRemote();
  if (!fd) return fd.error();
  return pipewire::PipeWireSource{*fd, stream->nodeId, filter.contentRect, session};
}

}  // namespace

Result<std::unique_ptr<CaptureStream>> PortalScreenCaptureService::makeStream(const ContentFilter& filter,
                                                                              const StreamConfiguration& configuration,
                                                                              StreamDelegate* delegate) {
  if (auto refused = unsupportedFilter(filter)) return *refused;
  Result<std::shared_ptr<ScreenCastSession>> session = restoredSession(configuration.showsCursor);
  if (!session) return session.error();
  Result<pipewire::PipeWireSource> source = monitorSource(*session, filter);
  if (!source) return source.error();
  return pipewire::makePipeWireStream(std::move(*source), filter, configuration, delegate);
}

Result<Image> PortalScreenCaptureService::captureImage(const ContentFilter& filter,
                                                       const ScreenshotConfiguration& configuration) {
  if (auto refused = unsupportedFilter(filter)) return *refused;
  std::shared_ptr<ScreenCastSession> session;
  {
    MutexLock lock(mutex_);
    // One try per process: every try spends the token.
    if (!pictureSession_ && !pictureFailure_) {
      Result<std::shared_ptr<ScreenCastSession>> started = restoredSession(configuration.showsCursor);
      if (started) pictureSession_ = *started;
      else pictureFailure_ = started.error();
    }
    if (pictureFailure_) return *pictureFailure_;
    session = pictureSession_;
  }
  Result<pipewire::PipeWireSource> source = monitorSource(session, filter);
  if (!source) return source.error();
  return pipewire::grabPipeWireImage(std::move(*source), configuration, pictureTimeout);
}

}  // namespace pelorin::platform::portal
