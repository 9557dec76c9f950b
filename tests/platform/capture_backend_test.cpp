#include "platform/capture_backend.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace pelorin::platform {
namespace {

using Word = std::optional<std::string>;

TEST(CaptureBackend, OverrideFirstThenWaylandSessionThenX11) {
  struct Case {
    Word override, sessionType, waylandDisplay;
    std::string expected;  // "x11", "portal" or "error"
  };
  const Case cases[] = {
      {{}, {}, {}, "x11"},
      {{}, "x11", {}, "x11"},
      {{}, "tty", "", "x11"},          // an empty WAYLAND_DISPLAY names no compositor
      {{}, "wayland", {}, "portal"},
      {{}, {}, "wayland-0", "portal"},
      {{}, "x11", "wayland-1", "portal"},
      {"x11", "wayland", "wayland-0", "x11"},
      {"portal", "x11", {}, "portal"},
      {"", "wayland", {}, "portal"},  // set but empty: no override
      {"Portal", {}, {}, "error"},
      {"pipewire", "wayland", {}, "error"},
  };
  for (const Case& c : cases) {
    const Result<CaptureBackend> chosen = chooseCaptureBackend({c.override, c.sessionType, c.waylandDisplay});
    const std::string got = !chosen ? "error" : *chosen == CaptureBackend::Portal ? "portal" : "x11";
    EXPECT_EQ(got, c.expected) << c.override.value_or("-") << " " << c.sessionType.value_or("-") << " "
                               << c.waylandDisplay.value_or("-");
    if (!chosen) EXPECT_NE(chosen.error().message.find(*c.override), std::string::npos);
  }
}

}  // namespace
}  // namespace pelorin::platform
