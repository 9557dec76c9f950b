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
using Area = std::array<int, 4>;

bool run(std::string command, unsigned long window = None) {
  for (std::size_t at; (at = command.find("%w")) != std::string::npos;) command.replace(at, 2, std::to_string(window));
  return std::system(command.c_str()) == 0;
}

std::string selection(const std::string& display, Area a) {
  return R"({"display_id":)" + display + R"(,"x":)" + std::to_string(a[0]) + R"(,"y":)" + std::to_string(a[1]) +
         R"(,"width":)" + std::to_string(a[2]) + R"(,"height":)" + std::to_string(a[3]) + "}\n";
}

TEST(Portion, SelectionOnTheScreenHoldingMostOfItEndsFromTheKeyboardTheCloseBoxOrWhenTheHostGoes) {
  Painter painter;
  ASSERT_TRUE(haveDisplay() && painter.ok()) << "this test needs an X display";
  const std::string right = std::to_string(XInternAtom(painter.display(), "RIGHT", True));
  const std::string centred = selection(right, {640, 360, 640, 360});
  const std::string cancelled = "native_encoder_error reason=portion_cancelled\n";
  const Area shown{2560, 360, 640, 360};  // centred on the right monitor
  const struct {
    std::string setup;  // run on the window once it has the focus (%w: its id)
    Area at;            // where the window's content then is
    std::string keys;   // pressed once it has the focus again; none and no setup: the host goes away
    int status;
    std::string out, err;
  } cases[] = {
      {"", shown, "key Return", 0, centred, ""},
      {"", shown, "key Tab key Tab key space", 0, centred, ""},
      {"", shown, "key Escape", 1, "", cancelled},
      {"wmctrl -i -c %w", shown, "", 1, "", cancelled},  // the close box cancels
      {"xdotool windowminimize %w", shown, "key Return", 0, centred, ""},  // and comes back
      // The centre lies below the right monitor, on none: the part on it counts, too little is too small.
      {"xdotool windowmove %w 2240 950", {2240, 950, 640, 360}, "key Return", 0, selection(right, {320, 950, 640, 130}), ""},
      {"xdotool windowsize %w 640 120 windowmove %w 2240 1079", {2240, 1079, 640, 120}, "key Return", 1, "",
       "native_encoder_error reason=portion_too_small\n"},
      {"", shown, "", 1, "", "native_encoder_error reason=portion_parent_gone\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setup + c.keys);
    painter.warpPointer(1920 + 400, 300);
    const bool hostGoes = c.setup.empty() && c.keys.empty();
    Window window = None;
    std::future<bool> acted;
    if (!hostGoes) {
      acted = std::async(std::launch::async, [&] {
        Painter user;
        const auto focusedAt = [&](const Area& at) {
          return user.waitFocusedWindowTitled("Ajustez la portion") == window &&
                 waitUntil([&] { return user.area(window) == at; });
        };
        window = user.waitFocusedWindowTitled("Ajustez la portion");
        if (!window || !focusedAt(shown)) return false;
        // The window manager's answer to the setup (an event, or the window moved), then its state.
        const long answers = StructureNotifyMask | PropertyChangeMask;
        XSelectInput(user.display(), window, answers);
        XSync(user.display(), False);
        XEvent event;
        return run(c.setup, window) && waitUntil([&] {
                 return c.setup.empty() || (c.at != shown && user.area(window) == c.at) ||
                        XCheckWindowEvent(user.display(), window, answers, &event);
               }) && (c.keys.empty() || (focusedAt(c.at) && run("xdotool " + c.keys)));
      });
    }
    const ProcessResult r = runProcess(binaryPath("pelorin-encoder"),
                                       {.arguments = {"--select-portion"},
                                        .unsetEnvironment = {"XDG_RUNTIME_DIR"},  // as a service's host runs it
                                        // the host stays until the run ends, however long the user takes
                                        .closeInputAt = hostGoes ? 0ms : never});
    EXPECT_TRUE(hostGoes || acted.get());
    EXPECT_EQ(std::tuple(r.exitStatus, r.out, r.err), std::tuple(c.status, c.out, c.err));
    // The next case must not find this window.
    EXPECT_TRUE(waitUntil([&] { return !painter.inClientList(window); }));
  }
}

// Over a focused full-screen window, the frame shows and lets clicks through its
// interior; then drags in every direction, a corner resize, a push against the screen's edge, a
// jump and clicks that move nothing: the band never shows in the picture, the capture follows to
// the last portion (green), and no drag brings a burst of key frames.
TEST(Portion, FrameAboveAFullScreenWindowStaysOutOfThePictureWhichFollowsItsDrags) {
  Painter painter;
  ASSERT_TRUE(haveDisplay() && painter.ok()) << "this test needs an X display";
  const std::string left = std::to_string(XInternAtom(painter.display(), "LEFT", True));
  const Window screen = painter.create({.rgb = 0x808080, .title = "full screen"});
  XSetWindowAttributes green{.background_pixel = 0x20c040};
  XMapWindow(painter.display(), XCreateWindow(painter.display(), screen, 1200, 500, 640, 360, 0, CopyFromParent,
                                              InputOutput, CopyFromParent, CWBackPixel, &green));
  ASSERT_TRUE(run("wmctrl -i -r %w -b add,fullscreen && wmctrl -i -a %w", screen));
  ASSERT_TRUE(waitUntil([&] { return painter.area(screen) == Area{0, 0, 1920, 1200}; }));
  std::uint64_t squareFrom = 0, squareTo = 0;
  auto user = std::async(std::launch::async, [&] {
    Painter user;
    if (!waitUntil([&] { return rgbNear(user.pixel(597, 500), 0xff3b30, 8); })) return "no frame above it";
    XSelectInput(user.display(), screen, ButtonPressMask);
    XSync(user.display(), False);
    XEvent press;
    if (!run("xdotool mousemove 900 600 click 1") ||
        !waitUntil([&] { return XCheckWindowEvent(user.display(), screen, ButtonPressMask, &press); })) {
      return "a click in the frame went nowhere";
    }
    // The sleeps inside xdotool's commands are the pace of the user's hand (a drag in steps, presses
    // without movement), which is what is under test; every wait for an outcome is on the records.
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
       .closeInputAt = never});  // a run that waited for its input to end would be killed
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
