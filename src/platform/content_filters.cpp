#include "platform/screen_capture.h"

namespace pelorin::platform {

ContentFilter makeDisplayFilter(const ShareableDisplay& display, std::vector<WindowID> windows, ContentFilter::Kind kind,
                                double pointPixelScale) {
  ContentFilter filter;
  filter.kind = kind;
  filter.displayID = display.displayID;
  filter.windows = std::move(windows);
  filter.pointPixelScale = pointPixelScale;
  filter.contentRect = display.frame;
  return filter;
}

ContentFilter makeWindowFilter(const ShareableWindow& window) {
  ContentFilter filter;
  filter.kind = ContentFilter::Kind::Window;
  filter.windowID = window.windowID;
  filter.contentRect = window.frame;
  return filter;
}

}  // namespace pelorin::platform
