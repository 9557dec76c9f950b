#pragma once

#include <optional>
#include <string>

#include "base/error.h"

namespace pelorin::platform {

// The capture services a process runs on: the X server, or the desktop portal and PipeWire of a
// Wayland session.
enum class CaptureBackend { X11, Portal };

// The environment words that decide it, each absent when unset.
struct CaptureBackendEnvironment {
  std::optional<std::string> override;  // PELORIN_CAPTURE
  std::optional<std::string> sessionType;  // XDG_SESSION_TYPE
  std::optional<std::string> waylandDisplay;  // WAYLAND_DISPLAY
};

// PELORIN_CAPTURE ("x11" or "portal") decides when set; otherwise a Wayland session takes the
// portal, anything else X11. An unknown override is an error rather than a guess.
Result<CaptureBackend> chooseCaptureBackend(const CaptureBackendEnvironment& environment);

// The same from this process's environment.
Result<CaptureBackend> chooseCaptureBackend();

// Whether this process can show X11 windows (the portion's selection window and frame): always on
// X11; on a Wayland session through XWayland when DISPLAY names it, and then Qt is told to make
// every window of the process an X11 one, so that they share one coordinate space.
bool useX11Windows(CaptureBackend backend);

}  // namespace pelorin::platform
