#include "platform/portal/content_chooser_portal.h"

#include <cmath>

#include "platform/pipewire/pipewire_stream.h"
#include "platform/portal/screencast_session.h"
#include "platform/portal/wayland_outputs.h"

namespace pelorin::platform::portal {
namespace {

// The user may take a while; the wait ends sooner when the chooser's owner abandons it.
constexpr std::chrono::minutes chooserTimeout{10};

Error chosenError(std::string message) { return Error{"PortalCapture", -1, std::move(message)}; }

// The monitor a stream shows: the one at its position and of its size, else the only one of its
// size (xdg-desktop-portal-wlr puts every monitor at 0,0 and gives its size in pixels).
std::optional<WaylandOutput> outputShowing(const std::vector<WaylandOutput>& outputs, const PortalStream& stream) {
  if (!stream.size) return std::nullopt;
  const int width = stream.size->first, height = stream.size->second;
  const auto sized = [&](const WaylandOutput& o) {
    const bool logical = std::lround(o.logicalFrame.width) == width && std::lround(o.logicalFrame.height) == height;
    const bool pixels = o.pixelWidth == width && o.logicalFrame.width > 0 &&
                        std::lround(o.logicalFrame.height * o.pixelWidth / o.logicalFrame.width) == height;
    return logical || pixels;
  };
  for (const WaylandOutput& o : outputs) {
    if (stream.position && sized(o) && std::lround(o.logicalFrame.x) == stream.position->first &&
        std::lround(o.logicalFrame.y) == stream.position->second) {
      return o;
    }
  }
  std::optional<WaylandOutput> found;
  for (const WaylandOutput& o : outputs) {
    if (!sized(o)) continue;
    if (found) return std::nullopt;
    found = o;
  }
  return found;
}

// Streams the one source of a chooser's session: its node, whatever the filter names.
class ChosenStreamCapture final : public ScreenCaptureService {
 public:
  ChosenStreamCapture(std::shared_ptr<ScreenCastSession> session, PortalStream stream, ContentFilter chosen,
                      std::optional<ShareableDisplay> display)
      : session_(std::move(session)), stream_(stream), chosen_(std::move(chosen)), display_(std::move(display)) {}

  Result<ShareableContent> shareableContent(bool, bool) override {
    ShareableContent content;
    if (display_) content.displays.push_back(*display_);
    return content;
  }
  ContentFilter displayFilter(const ShareableDisplay& display, std::vector<WindowID> excluding) override {
    return makeDisplayFilter(display, std::move(excluding), ContentFilter::Kind::Display, chosen_.pointPixelScale);
  }
  ContentFilter displayFilterIncluding(const ShareableDisplay& display, std::vector<WindowID> including) override {
    return makeDisplayFilter(display, std::move(including), ContentFilter::Kind::DisplayIncludingWindows,
                             chosen_.pointPixelScale);
  }
  ContentFilter windowFilter(const ShareableWindow& window) override { return makeWindowFilter(window); }

  Result<std::unique_ptr<CaptureStream>> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    StreamDelegate* delegate) override {
    if (filter.displayID != chosen_.displayID || !filter.windows.empty()) {
      return chosenError("the screen cast shows only what was chosen in the desktop's chooser");
    }
    Result<int> fd = session_->openPipeWireRemote();
    if (!fd) return fd.error();
    return pipewire::makePipeWireStream({*fd, stream_.nodeId, chosen_.contentRect, session_, stream_.window}, filter,
                                        configuration, delegate);
  }

  Result<Image> captureImage(const ContentFilter&, const ScreenshotConfiguration&) override {
    return chosenError("no still pictures of a chooser's source");
  }

 private:
  std::shared_ptr<ScreenCastSession> session_;
  PortalStream stream_;
  ContentFilter chosen_;
  std::optional<ShareableDisplay> display_;
};

}  // namespace

Result<std::optional<ChosenContent>> PortalContentChooser::choose(bool offerWindows) {
  SessionOptions options;
  options.startTimeout = chooserTimeout;
  options.offerWindows = offerWindows;
  options.persistent = false;
  options.abandon = &abandon_;
  Result<std::unique_ptr<ScreenCastSession>> started = ScreenCastSession::start(options);
  if (!started) {
    const Error& error = started.error();
    if (error.domain == "PortalCapture" && error.code == chooserCancelled) return std::optional<ChosenContent>();
    return error;
  }
  std::shared_ptr<ScreenCastSession> session = std::move(*started);
  const PortalStream stream = session->streams().front();
  ChosenContent chosen;
  chosen.isWindow = stream.window;
  std::optional<ShareableDisplay> display;
  if (stream.window) {
    // The window's node is a picture of its own, as a display of the window's size would be.
    if (!stream.size) return chosenError("the screen cast portal gave no size for the window");
    chosen.filter.contentRect = {0, 0, static_cast<double>(stream.size->first), static_cast<double>(stream.size->second)};
  } else {
    Result<std::vector<WaylandOutput>> outputs = listWaylandOutputs();
    if (!outputs) return outputs.error();
    const std::optional<WaylandOutput> output = outputShowing(*outputs, stream);
    if (!output) return chosenError("the monitor chosen in the desktop's chooser is not among the compositor's");
    display = shareableDisplay(*output);
    chosen.display = *display;
    chosen.filter = makeDisplayFilter(*display, {}, ContentFilter::Kind::Display, pixelScale(*output));
  }
  chosen.capture = std::make_shared<ChosenStreamCapture>(std::move(session), stream, chosen.filter, display);
  return std::optional<ChosenContent>(std::move(chosen));
}

}  // namespace pelorin::platform::portal
