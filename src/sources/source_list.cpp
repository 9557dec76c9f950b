#include "sources/source_list.h"

#include <nlohmann/json.hpp>

#include "base/fd_output.h"
#include "sources/thumbnail.h"

namespace pelorin::sources {
namespace {

nlohmann::json thumbnailValue(const std::optional<std::string>& thumbnail) {
  return thumbnail ? nlohmann::json(*thumbnail) : nlohmann::json(nullptr);
}

std::string escapeSlashes(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    if (c == '/') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::uint32_t pixels(int points) { return points > 0 ? static_cast<std::uint32_t>(points) : 0; }

}  // namespace

std::string sourcesJSON(const std::vector<SourceDisplay>& displays, const std::vector<SourceWindow>& windows) {
  // nlohmann::json keeps object keys in a std::map: ascending byte order.
  nlohmann::json document = {{"displays", nlohmann::json::array()}, {"portion", true}, {"windows", nlohmann::json::array()}};
  for (const auto& d : displays) {
    document["displays"].push_back(
        {{"height", d.height}, {"id", d.id}, {"name", d.name}, {"thumbnail", thumbnailValue(d.thumbnail)}, {"width", d.width}});
  }
  for (const auto& w : windows) {
    document["windows"].push_back(
        {{"app", w.app}, {"id", w.id}, {"thumbnail", thumbnailValue(w.thumbnail)}, {"title", w.title}});
  }
  // Outside strings the document has no "/", so every one of them is inside a string.
  return escapeSlashes(document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::string displayName(std::uint32_t displayID, std::size_t index, const std::vector<platform::ShareableDisplay>& screens) {
  for (const auto& screen : screens) {
    if (screen.displayID == displayID && !screen.name.empty()) return screen.name;
  }
  return "Écran " + std::to_string(index + 1);
}

bool isListedWindow(const platform::ShareableWindow& window, std::int32_t ownProcessID) {
  if (window.windowLayer != 0) return false;
  if (window.frame.width < 120 || window.frame.height < 80) return false;
  const auto& app = window.owningApplication;
  if (app && app->processID == ownProcessID) return false;
  return (window.title && !window.title->empty()) || (app && !app->applicationName.empty());
}

Result<void> listSources(const SourceListServices& services) {
  Result<platform::ShareableContent> content = services.capture->shareableContent(false, true);
  if (!content) return content.error();

  std::vector<SourceDisplay> displays;
  for (std::size_t i = 0; i < content->displays.size(); ++i) {
    const platform::ShareableDisplay& display = content->displays[i];
    const platform::ContentFilter filter = services.capture->displayFilter(display, {});
    displays.push_back(SourceDisplay{display.displayID, displayName(display.displayID, i, content->displays),
                                     pixels(display.width), pixels(display.height),
                                     captureThumbnail(*services.capture, *services.encoding, filter, display.width,
                                                      display.height)});
  }
  std::vector<SourceWindow> windows;
  for (const platform::ShareableWindow& window : content->windows) {
    if (!isListedWindow(window, services.ownProcessID)) continue;
    const platform::ContentFilter filter = services.capture->windowFilter(window);
    windows.push_back(SourceWindow{window.windowID,
                                   window.owningApplication ? window.owningApplication->applicationName : "",
                                   window.title.value_or(""),
                                   captureThumbnail(*services.capture, *services.encoding, filter, window.frame.width,
                                                    window.frame.height)});
  }
  const std::string text = sourcesJSON(displays, windows) + "\n";
  return writeAll(services.outputFd, text.data(), text.size());
}

}  // namespace pelorin::sources
