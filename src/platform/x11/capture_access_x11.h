#pragma once

#include "platform/capture_access.h"

namespace pelorin::platform::x11 {

// On X11 there is no permission prompt: capture is allowed when the display named by DISPLAY
// can be opened and its root window's pixels can be read.
class X11CaptureAccess final : public CaptureAccess {
 public:
  bool preflight() override;
  bool request() override { return preflight(); }
};

}  // namespace pelorin::platform::x11
