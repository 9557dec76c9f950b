#include "app/picker_entries.h"

#include <algorithm>
#include <map>

namespace pelorin::app {
namespace {

double overlap(const Rect& a, const Rect& b) {
  const double w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
  const double h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  return w > 0 && h > 0 ? w * h : 0;
}

const platform::ShareableDisplay* displayHolding(const Rect& frame, const platform::ShareableContent& content) {
  const platform::ShareableDisplay* best = nullptr;
  double bestArea = -1;
  for (const auto& display : content.displays) {
    if (const double area = overlap(frame, display.frame); area > bestArea) best = &display, bestArea = area;
  }
  return best;
}

std::string windowLabel(const platform::ShareableWindow& window) {
  std::string label = window.title.value_or("");
  if (window.owningApplication) label += (label.empty() ? "" : " — ") + window.owningApplication->applicationName;
  return "Fenêtre : " + (label.empty() ? std::to_string(window.windowID) : label);
}

std::string displayName(const platform::ShareableDisplay& display) {
  return display.name.empty() ? std::to_string(display.displayID) : display.name;
}

}  // namespace

std::string displayLabel(const platform::ShareableDisplay& display) { return "Écran : " + displayName(display); }

std::string portionLabel(const platform::ShareableDisplay& display) {
  return "Portion de l’écran " + displayName(display);
}

std::vector<PickerEntry> pickerEntries(const platform::ShareableContent& content,
                                       platform::ScreenCaptureService& capture, std::int32_t ownProcess) {
  std::vector<PickerEntry> entries;
  for (const auto& display : content.displays) {
    entries.push_back({PickerEntry::Kind::display, {capture.displayFilter(display), false, displayLabel(display)}});
  }
  std::vector<const platform::ShareableWindow*> windows;
  for (const auto& window : content.windows) {
    const bool own = window.owningApplication && window.owningApplication->processID == ownProcess;
    if (window.windowLayer == 0 && window.onScreen && !own) windows.push_back(&window);
  }
  // Applications in the order of their front-most window.
  std::vector<std::int32_t> order;
  std::map<std::int32_t, std::vector<const platform::ShareableWindow*>> byApplication;
  for (const auto* window : windows) {
    if (!window->owningApplication) continue;
    auto& owned = byApplication[window->owningApplication->processID];
    if (owned.empty()) order.push_back(window->owningApplication->processID);
    owned.push_back(window);
  }
  for (const auto pid : order) {
    const auto& owned = byApplication[pid];
    const auto* largest = owned.front();
    std::vector<platform::WindowID> ids;
    for (const auto* window : owned) {
      ids.push_back(window->windowID);
      if (window->frame.width * window->frame.height > largest->frame.width * largest->frame.height) largest = window;
    }
    const auto* display = displayHolding(largest->frame, content);
    if (!display) continue;
    entries.push_back({PickerEntry::Kind::application,
                       {capture.displayFilterIncluding(*display, ids), true,
                        "Application : " + owned.front()->owningApplication->applicationName}});
  }
  for (const auto* window : windows) {
    entries.push_back({PickerEntry::Kind::window, {capture.windowFilter(*window), true, windowLabel(*window)}});
  }
  return entries;
}

}  // namespace pelorin::app
