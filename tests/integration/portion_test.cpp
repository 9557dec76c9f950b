// pelorin-encoder choosing a portion on the test display, driven by the XTest keyboard (xdotool)
// under the window manager, as a user would; its standard error holds its own lines only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

#include "platform/x11_test_helpers.h"
#include "support/process.h"

namespace pelorin::test {
namespace {

TEST(Portion, SelectionOnTheMonitorUnderTheMouseEndsFromTheKeyboardOrWhenTheHostGoes) {
  platform::x11::test::Painter painter;
  ASSERT_TRUE(platform::x11::test::haveDisplay() && painter.ok()) << "this test needs an X display";
  const std::string right = std::to_string(XInternAtom(painter.display(), "RIGHT", True));
  const std::string centred = R"({"display_id":)" + right + R"(,"x":640,"y":360,"width":640,"height":360})" "\n";
  const struct {
    std::string keys;  // none: the host closes standard input at once
    int status;
    std::string out, err;
  } cases[] = {
      {"key Return", 0, centred, ""},
      {"key Tab key Tab key space", 0, centred, ""},
      {"key Escape", 1, "", "native_encoder_error reason=portion_cancelled\n"},
      {"", 1, "", "native_encoder_error reason=portion_parent_gone\n"},
  };
  for (const auto& c : cases) {
    painter.warpPointer(1920 + 400, 300);
    // Once the selection window shows, the user presses the keys.
    std::future<bool> acted;
    if (!c.keys.empty()) {
      acted = std::async(std::launch::async, [&c, &painter] {
        return painter.waitFocusedWindowTitled("Ajustez la portion") != None &&
               std::system(("xdotool " + c.keys).c_str()) == 0;
      });
    }
    const ProcessResult r = runProcess(binaryPath("pelorin-encoder"),
                                       {.arguments = {"--select-portion"},
                                        .unsetEnvironment = {"XDG_RUNTIME_DIR"},  // as a service's host runs it
                                        .closeInputAt = std::chrono::seconds(c.keys.empty() ? 0 : 60)});
    if (acted.valid()) {
      EXPECT_TRUE(acted.get()) << c.keys;
    }
    EXPECT_EQ(std::tuple(r.exitStatus, r.out, r.err), std::tuple(c.status, c.out, c.err)) << c.keys;
    if (c.keys.empty()) {
      EXPECT_LT(r.elapsed, std::chrono::seconds(5));
    }
  }
}

}  // namespace
}  // namespace pelorin::test
