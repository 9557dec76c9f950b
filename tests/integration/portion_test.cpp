// pelorin-encoder's portion modes on the test display, driven by the XTest mouse and keyboard
// (xdotool) under the window manager, as a user would.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

#include "platform/x11_test_helpers.h"
#include "support/decoded_stream.h"
#include "support/process.h"

namespace pelorin::test {
namespace {

using platform::x11::test::Painter;

constexpr unsigned long red = 0xC03020, blue = 0x2040C0;

// What a user does while the encoder runs: waits for the encoder's window named `name`, then runs
// `actions` with xdotool; true when both succeeded.
std::future<bool> user(const std::string& name, const std::string& actions) {
  return std::async(std::launch::async, [=] {
    const std::string wait = "xdotool search --sync --onlyvisible --name '" + name + "' >/dev/null";
    return std::system(("timeout 20 " + wait + " && sleep 0.5 && xdotool " + actions).c_str()) == 0;
  });
}

class Portion : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::x11::test::haveDisplay() && painter.ok()) << "these tests need an X display";
    left = std::to_string(XInternAtom(painter.display(), "LEFT", True));
    right = std::to_string(XInternAtom(painter.display(), "RIGHT", True));
  }

  Painter painter;
  std::string left, right;
};

TEST_F(Portion, SelectionOnTheMonitorUnderTheMouseEndsFromTheKeyboardOrWhenTheHostGoes) {
  const std::string centred = R"({"display_id":)" + right + R"(,"x":640,"y":360,"width":640,"height":360})" "\n";
  const struct {
    std::string keys;  // none: the host closes standard input at once
    int status;
    std::string out, err;
  } cases[] = {
      {"key Return", 0, centred, ""},
      {"key Tab sleep 0.2 key Tab sleep 0.2 key space", 0, centred, ""},
      {"key Escape", 1, "", "native_encoder_error reason=portion_cancelled\n"},
      {"", 1, "", "native_encoder_error reason=portion_parent_gone\n"},
  };
  for (const auto& c : cases) {
    painter.warpPointer(1920 + 400, 300);
    std::future<bool> acted;
    if (!c.keys.empty()) acted = user("Ajustez la portion", c.keys);
    const ProcessResult r = runProcess(binaryPath("pelorin-encoder"),
                                       {.arguments = {"--select-portion"},
                                        .closeInputAt = std::chrono::seconds(c.keys.empty() ? 0 : 60)});
    if (acted.valid()) EXPECT_TRUE(acted.get()) << c.keys;
    EXPECT_EQ(r.exitStatus, c.status) << c.keys << "\n" << r.err;
    EXPECT_EQ(r.out, c.out) << c.keys;
    EXPECT_EQ(r.err, c.err) << c.keys;
    if (c.keys.empty()) EXPECT_LT(r.elapsed, std::chrono::seconds(5));
  }
}

TEST_F(Portion, TheCaptureFollowsTheFrameOntoAnotherColourAndEndsWhenTheInputCloses) {
  // Red on the left of the left monitor, blue on its right, below every managed window.
  for (auto window : {painter.fill(0, 0, 960, 1200, red), painter.fill(960, 0, 960, 1200, blue)}) {
    XLowerWindow(painter.display(), window);
  }
  XSync(painter.display(), False);
  painter.warpPointer(1900, 1100);
  // The frame's top edge, in its middle, dragged 1000 pixels to the right.
  std::future<bool> dragged =
      user("Pelorin", "mousemove 420 97 mousedown 1 sleep 0.1 mousemove 920 97 sleep 0.1 mousemove 1420 97 mouseup 1");
  const ProcessResult r = runProcess(
      binaryPath("pelorin-encoder"),
      {.arguments = {"--source", "portion", "--display-id", left, "--portion", "100,100,640,360", "--width", "320",
                     "--height", "180", "--fps", "30", "--duration", "20"},
       .setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}},
       .closeInputAt = std::chrono::milliseconds(4000)});
  EXPECT_TRUE(dragged.get());
  // The end of the input ends the run at once, with whole records and without a summary.
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_LT(r.elapsed, std::chrono::seconds(8));
  EXPECT_EQ(r.err.find("native_encoder_summary"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\ncapture_start capture=x11 width=320 height=180 fps=30 "), std::string::npos) << r.err;
  const DecodedStream stream = expectDecodes(r);
  ASSERT_GE(stream.records.size(), 2u) << r.err;
  const auto& first = *stream.records.front().picture;
  const auto& last = *stream.records.back().picture;
  EXPECT_EQ(last.width, 320);
  EXPECT_EQ(last.height, 180);
  for (const auto& [picture, rgb, when] : {std::tuple{&first, red, "before"}, std::tuple{&last, blue, "after"}}) {
    for (auto [x, y] : {std::pair{4, 4}, {160, 90}, {315, 175}}) expectColour(*picture, x, y, rgb, when);
  }
}

}  // namespace
}  // namespace pelorin::test
