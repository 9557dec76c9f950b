#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/error.h"
#include "platform/screen_capture.h"

namespace pelorin::platform {

// What the user chose in the desktop's chooser, and a capture service that streams that and
// nothing else.
struct ChosenContent {
  ContentFilter filter;
  bool isWindow = false;
  ShareableDisplay display;  // the monitor chosen; unset for a window
  std::shared_ptr<ScreenCaptureService> capture;
};

// The desktop's own chooser of what to share, where the platform has one (the ScreenCast portal's
// dialog on Wayland). It asks every time and replays no earlier choice.
class ContentChooser {
 public:
  virtual ~ContentChooser() = default;
  // Blocks until the user has answered: the choice, nothing when cancelled, or why it failed.
  // Windows are offered beside the monitors when asked for and the desktop has them.
  virtual Result<std::optional<ChosenContent>> choose(bool offerWindows) = 0;
  // Ends a choice in progress, and every later one, as cancelled: for the owner's end. Any thread.
  virtual void abandon() = 0;
};

}  // namespace pelorin::platform
