#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/geometry.h"
#include "platform/screen_capture.h"

namespace pelorin::platform::portal {

// One monitor as the compositor announces it.
struct WaylandOutput {
  std::uint32_t globalName = 0;  // the wl_output's registry name: non-zero, stable while the compositor runs
  std::string name;              // the connector, "HDMI-A-1"
  std::string description;       // a human-readable name; may be empty
  Rect logicalFrame;             // in the compositor's global logical space (points)
  int pixelWidth = 0;            // the current mode; 0 when the compositor sent none
};

// The monitors of the compositor named by WAYLAND_DISPLAY, in the order it announced them.
Result<std::vector<WaylandOutput>> listWaylandOutputs();

// The output as a shareable display, and its pixels per point (1 when its mode is unknown).
ShareableDisplay shareableDisplay(const WaylandOutput& output);
double pixelScale(const WaylandOutput& output);

}  // namespace pelorin::platform::portal
