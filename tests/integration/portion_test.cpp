// pelorin-encoder choosing and capturing a portion on the test display, driven by the XTest
// keyboard and mouse (xdotool) under the window manager, as a user would; its standard error holds
// its own lines only, and every record is decoded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

#include "platform/x11_test_helpers.h"
#include "support/decoded_stream.h"
#include "support/process.h"

namespace pelorin::test {
namespace {

using namespace std::chrono_literals;
using platform::x11::test::Painter;
using Area = std::array<int, 4>;

bool run(std::string command, unsigned long window = None) {
  for (std::size_t at; (at = command.find("%w")) != std::string::npos;) command.replace(at, 2, std::to_string(window));
  return std::system(command.c_str()) == 0;
}

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

// Over a focused full-screen window, the frame shows and lets clicks through its
// interior; then drags in every direction, a corner resize, a push against the screen's edge, a
// jump and clicks that move nothing: the band never shows in the picture, the capture follows to
// the last portion (green), and no drag brings a burst of key frames.
TEST(Portion, FrameAboveAFullScreenWindowStaysOutOfThePictureWhichFollowsItsDrags) {
  Painter painter;
  ASSERT_TRUE(platform::x11::test::haveDisplay() && painter.ok()) << "this test needs an X display";
  const std::string left = std::to_string(XInternAtom(painter.display(), "LEFT", True));
  const Window screen = painter.create({.rgb = 0x808080, .title = "full screen"});
  XSetWindowAttributes green{.background_pixel = 0x20c040};
  XMapWindow(painter.display(), XCreateWindow(painter.display(), screen, 1200, 500, 640, 360, 0, CopyFromParent,
                                              InputOutput, CopyFromParent, CWBackPixel, &green));
  ASSERT_TRUE(run("wmctrl -i -r %w -b add,fullscreen && wmctrl -i -a %w", screen));
  ASSERT_TRUE(painter.waitUntil([&] { return painter.area(screen) == Area{0, 0, 1920, 1200}; }));
  std::uint64_t squareFrom = 0, squareTo = 0;
  auto user = std::async(std::launch::async, [&] {
    Painter user;
    if (!user.waitUntil([&] { return rgbNear(user.pixel(597, 500), 0xff3b30, 8); })) return "no frame above it";
    XSelectInput(user.display(), screen, ButtonPressMask);
    XSync(user.display(), False);
    XEvent press;
    if (!run("xdotool mousemove 900 600 click 1") ||
        !user.waitUntil([&] { return XCheckWindowEvent(user.display(), screen, ButtonPressMask, &press); })) {
      return "a click in the frame went nowhere";
    }
    const auto drag = [](int x, int y, std::vector<std::pair<int, int>> legs, int steps) {
      std::string command = "xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " mousedown 1";
      for (const auto& [dx, dy] : legs) {
        for (int i = 1; i <= steps; ++i) {
          command += " mousemove " + std::to_string(x + dx * i / steps) + " " + std::to_string(y + dy * i / steps) +
                     " sleep 0.02";
        }
        x += dx, y += dy;
      }
      return run(command + " mouseup 1");
    };
    squareFrom = unixNanoseconds();
    bool ok = drag(920, 397, {{300, 0}, {0, 200}, {-300, 0}, {0, -200}}, 25);  // the top edge, around a square
    squareTo = unixNanoseconds();
    ok = ok && drag(1243, 763, {{160, 90}, {-160, -90}}, 8);  // the bottom-right corner, out and back
    ok = ok && drag(920, 397, {{-900, 0}}, 45);                // against the left edge: the portion at x 0
    ok = ok && drag(320, 397, {{700, 250}}, 1);                // one jump
    ok = ok && run("xdotool mousemove 1020 647 click 1 sleep 0.3 click 1 sleep 0.3 click 1");
    ok = ok && drag(1020, 647, {{500, -150}}, 25);  // onto the green
    return ok ? "" : "a drag failed";
  });
  const ProcessResult r = runProcess(
      binaryPath("pelorin-encoder"),
      {.arguments = {"--source", "portion", "--display-id", left, "--portion", "600,400,640,360", "--width", "640",
                     "--height", "360", "--duration", "12"},
       .setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}},
       .closeInputAt = 30s});
  EXPECT_EQ(std::string(user.get()), "");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  const std::vector<DecodedRecord> records = expectDecodes(r);
  ASSERT_TRUE(!records.empty() && records.back().picture);
  int band = 0, keyFrames = 0;
  std::uint64_t last = squareFrom, gap = 0;
  for (const DecodedRecord& d : records) {
    band += d.picture && showsBand(d.picture->chromaU, d.picture->chromaV);
    keyFrames += d.record.keyFrame;
    const std::uint64_t t = d.record.captureNanoseconds;
    if (t > squareFrom && t < squareTo) gap = std::max(gap, t - std::exchange(last, t));
  }
  EXPECT_EQ(band, 0) << "records showing the band, of " << records.size();
  EXPECT_LT(std::max(gap, squareTo - last), 1'000'000'000u) << "the capture stopped following the drag";
  const double seconds = (records.back().record.captureNanoseconds - records.front().record.captureNanoseconds) / 1e9;
  // One a second of the encoder's own, the first, and one at the end of each of five drags.
  EXPECT_LE(keyFrames, seconds + 7) << "key frames in " << seconds << " s";
  for (auto [x, y] : {std::pair{4, 4}, {320, 180}, {636, 356}}) {
    expectColour(*records.back().picture, x, y, 0x20c040, "the last portion");
  }
}

}  // namespace
}  // namespace pelorin::test
