#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/screen_capture.h"

namespace pelorin::app {

// What the picker hands on: what to capture, whether the capture follows a window's size, and
// the entry's label, which names what is shared.
struct PickerChoice {
  platform::ContentFilter filter;
  bool followsWindow = false;
  std::string label;
};

// The picker's entries, in order: every display, then every application with windows, then every
// window (layer 0 only), leaving out the windows of `ownProcess` (the app and its picker). An
// application is shown alone on the display holding most of its largest window.
struct PickerEntry {
  enum class Kind { display, application, window } kind;
  PickerChoice choice;
};
std::vector<PickerEntry> pickerEntries(const platform::ShareableContent& content,
                                       platform::ScreenCaptureService& capture, std::int32_t ownProcess);

// What a display share names: "Écran : " and the display's name.
std::string displayLabel(const platform::ShareableDisplay& display);
// What a portion share names: "Portion de l’écran " and the display's name.
std::string portionLabel(const platform::ShareableDisplay& display);

}  // namespace pelorin::app
