#include "platform/capture_backend.h"

#include <cstdlib>

namespace pelorin::platform {
namespace {

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace

Result<CaptureBackend> chooseCaptureBackend(const CaptureBackendEnvironment& environment) {
  if (environment.override && !environment.override->empty()) {
    if (*environment.override == "x11") return CaptureBackend::X11;
    if (*environment.override == "portal") return CaptureBackend::Portal;
    return Error{"Pelorin", -1, "unknown PELORIN_CAPTURE " + *environment.override + " (x11 or portal)"};
  }
  const bool wayland = environment.sessionType == "wayland" ||
                       (environment.waylandDisplay && !environment.waylandDisplay->empty());
  return wayland ? CaptureBackend::Portal : CaptureBackend::X11;
}

bool useX11Windows(CaptureBackend backend) {
  if (backend == CaptureBackend::X11) return true;
  const std::optional<std::string> display = variable("DISPLAY");
  if (!display || display->empty()) return false;
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  return true;
}

Result<CaptureBackend> chooseCaptureBackend() {
  return chooseCaptureBackend({variable("PELORIN_CAPTURE"), variable("XDG_SESSION_TYPE"), variable("WAYLAND_DISPLAY")});
}

}  // namespace pelorin::platform
