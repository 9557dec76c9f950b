// pelorin-encoder capturing the test display as a host runs it: a monitor, a window by its title,
// and a portion chosen and dragged with the XTest keyboard and mouse (xdotool) under the window
// manager, as a user would; its lines in order, how runs end, and every record decoded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <future>

#include "platform/x11_test_helpers.h"
#include "support/decoded_stream.h"
#include "support/process.h"

namespace pelorin::test {
namespace {

using namespace std::chrono_literals;

constexpr unsigned long red = 0xC03020, grey = 0x808080;

// A still monitor gives its first picture and then a frame only when a line asks for one: the
// RESUME after a PAUSE and a KEYFRAME each bring a key frame. The end of the input does not end the
// run. (What a pause withholds is the screen output's, pinned by its own test.)
TEST(DisplayCapture, OnAStillScreenResumeAndKeyframeLinesEachBringAKeyFrameAndTheRunLastsItsDuration) {
  Painter painter;
  ASSERT_TRUE(haveDisplay() && painter.ok()) << "this test needs an X display";
  const std::string right = std::to_string(XInternAtom(painter.display(), "RIGHT", True));
  ASSERT_NE(right, "0");
  painter.fill(0, 0, 1920, 1200, red);
  painter.fill(1920, 0, 1920, 1080, grey);
  painter.warpPointer(10, 10);
  const ProcessResult run = runProcess(
      binaryPath("pelorin-encoder"),
      {.arguments = {"--display-id", right, "--width", "640", "--height", "360", "--duration", "4"},
       .setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}},
       .timedInput = {{1200ms, "PAUSE"}, {2700ms, "RESUME"}, {3300ms, "KEYFRAME"}},
       .closeInputAt = 3500ms});
  EXPECT_GE(run.elapsed, 3900ms);  // its duration, though its input closed earlier
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  const std::vector<DecodedRecord> records = expectDecodes(run);
  ASSERT_FALSE(records.empty());
  ASSERT_EQ(run.timedInputWrittenAt.size(), 3u);
  EXPECT_LE(records.size(), 6u) << "a still screen kept producing frames";
  // Each before the next line (less a frame of slack: one captured just before a line may be
  // submitted after it).
  for (std::size_t i : {1, 2}) {
    const std::uint64_t from = run.timedInputWrittenAt[i] - 40'000'000;
    const std::uint64_t to = i == 1 ? run.timedInputWrittenAt[2] : UINT64_MAX;
    EXPECT_TRUE(std::ranges::any_of(records, [&](const DecodedRecord& r) {
      return r.record.keyFrame && r.record.captureNanoseconds > from && r.record.captureNanoseconds < to;
    })) << "no key frame after line " << i;
  }
  ASSERT_TRUE(records.back().picture);
  const auto& last = *records.back().picture;
  EXPECT_EQ(std::pair(last.width, last.height), std::pair(640, 360));
  for (auto [x, y] : {std::pair{320, 180}, {4, 4}, {636, 356}}) expectColour(last, x, y, grey, "the still monitor");

  std::vector<std::string> events;
  for (const auto& line : splitLines(run.err)) {
    if (line.starts_with("capture_frame_info ")) continue;
    events.push_back(line.starts_with("capture_window ") ? line : line.substr(0, line.find(' ')));
    if (line.starts_with("capture_clock_anchor ")) events.back() += " " + keyValues(line).at("phase");
    if (line.starts_with("capture_start ")) {
      EXPECT_EQ(line, "capture_start capture=x11 width=640 height=360 fps=30 abs_capture_time_source=capture "
                      "queue_capacity=3");
    }
  }
  EXPECT_EQ(events, (std::vector<std::string>{"capture_encoder", "capture_clock_anchor start", "capture_start",
                                              "capture_window paused=true", "capture_window paused=false",
                                              "capture_clock_anchor end", "native_encoder_summary"}))
      << run.err;
}

// A window found by a marker in its title shows its client area exactly, under decorations whose
// bottom differs from their sides (openbox: 1, 1, 20, 5), also after a CROP line. Its top rows are
// green: a crop placed too low loses them and shows the frame's bottom edge.
TEST(WindowCapture, ByTitleMarkerShowsTheClientAreaWithoutDecorations) {
  Painter painter;
  ASSERT_TRUE(haveDisplay() && painter.ok()) << "this test needs an X display";
  const Window window = painter.create({.width = 400, .height = 300, .rgb = 0x2040d0, .title = "tab [marker]"});
  XSetWindowAttributes green{.background_pixel = 0x20c040};
  XMapWindow(painter.display(), XCreateWindow(painter.display(), window, 0, 0, 400, 4, 0, CopyFromParent, InputOutput,
                                              CopyFromParent, CWBackPixel, &green));
  painter.warpPointer(3800, 1190);
  const ProcessResult run = runProcess(
      binaryPath("pelorin-encoder"),
      {.arguments = {"--source", "window", "--window-title", "[marker]", "--content-width", "400", "--content-height",
                     "300", "--width", "400", "--height", "300", "--duration", "2"},
       .setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}},
       .timedInput = {{1000ms, "CROP 400 300"}}});
  const std::vector<DecodedRecord> records = expectDecodes(run);
  ASSERT_TRUE(run.exitStatus == 0 && !records.empty() && records.front().picture && records.back().picture) << run.err;
  for (const auto* picture : {&*records.front().picture, &*records.back().picture}) {
    for (auto [y, rgb] : {std::pair{1, 0x20c040ul}, {150, 0x2040d0ul}, {298, 0x2040d0ul}}) {
      expectColour(*picture, 200, y, rgb, "the client area");
    }
  }
}

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
