#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "platform/image_encoding.h"
#include "platform/screen_capture.h"

namespace pelorin::sources {

struct SourceDisplay {
  std::uint64_t id = 0;
  std::string name;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::optional<std::string> thumbnail;
};

struct SourceWindow {
  std::uint64_t id = 0;
  std::string app;
  std::string title;
  std::optional<std::string> thumbnail;
};

// The source list as one line of JSON without the line feed: sorted keys, no spaces, "/" written
// "\/", non-ASCII text as UTF-8 (invalid UTF-8 replaced), absent thumbnails as null.
std::string sourcesJSON(const std::vector<SourceDisplay>& displays, const std::vector<SourceWindow>& windows);

// The name of the display at `index`: the one the window system gives it, else "Écran N".
std::string displayName(std::uint32_t displayID, std::size_t index, const std::vector<platform::ShareableDisplay>& screens);

// Whether a window belongs in the list: normal layer, at least 120 x 80 points, not one of the
// encoder's own windows, and named by its title or its application.
bool isListedWindow(const platform::ShareableWindow& window, std::int32_t ownProcessID);

struct SourceListServices {
  platform::ScreenCaptureService* capture = nullptr;
  platform::ImageEncoding* encoding = nullptr;
  std::int32_t ownProcessID = 0;
  int outputFd = 1;
};

// Lists the displays and windows with thumbnails and writes the source list and a line feed to
// the output. A failed shareable-content query is returned and nothing is written.
Result<void> listSources(const SourceListServices& services);

}  // namespace pelorin::sources
