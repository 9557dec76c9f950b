// pelorin-encoder on the headless Wayland session of scripts/lib/wayland.sh (sway with the outputs
// HEADLESS-1 1920x1080 and HEADLESS-2 1280x720, the portal sharing HEADLESS-1 without a chooser):
// permission, listing and capture as a host runs them, the stream decoded, then the compositor's end.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/decoded_stream.h"
#include "support/process.h"
#include "support/x11_windows.h"

namespace pelorin::test {
namespace {

using namespace std::chrono_literals;

constexpr unsigned long blue = 0x2040d0, red = 0xc03020, grey = 0x808080;

// scripts/lib/wayland.sh with these words, against the running session.
void session(std::vector<std::string> words) {
  words.insert(words.begin(), PELORIN_SOURCE_DIR "/scripts/lib/wayland.sh");
  const ProcessResult run = runProcess("/bin/bash", {.arguments = words});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
}

void setColour(unsigned long rgb) {
  char colour[8];
  session({"set-colour", (std::snprintf(colour, sizeof colour, "#%06lx", rgb), colour)});
}

bool atCentre(const DecodedRecord& r, unsigned long rgb) {  // shows the colour
  return r.picture && shows(*r.picture, r.picture->width / 2, r.picture->height / 2, rgb);
}

std::string lastLine(const ProcessResult& run) {
  const auto lines = splitLines(run.err);
  return lines.empty() ? "" : lines.back();
}

// One scenario in the order a host meets it; the compositor's end comes last, as it ends the session.
TEST(WaylandCapture, PermissionListingCaptureAndTheCompositorsEnd) {
  ASSERT_NE(std::getenv("PELORIN_WAYLAND_DIR"), nullptr) << "this test needs the session of scripts/lib/wayland.sh";
  char pattern[] = "/tmp/pelorin-wayland-state.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string state = pattern;  // XDG_STATE_HOME: no token yet
  auto encoder = [&](std::vector<std::string> arguments, std::vector<TimedLine> input = {},
                     std::chrono::milliseconds closeAt = 0ms, std::function<void()> whenStarted = {}) {
    if (!input.empty()) closeAt = input.back().at + 500ms;
    // What a test does to the screen runs on a thread of its own once the encoder says
    // capture_start: while the capture runs, however long its start took.
    std::future<void> acting;
    const auto startedLine = [&](const std::string& line) {
      if (whenStarted && !acting.valid() && line.starts_with("capture_start ")) {
        acting = std::async(std::launch::async, whenStarted);
      }
    };
    const ProcessResult run = runProcess(binaryPath("pelorin-encoder"),
        {.arguments = std::move(arguments),
         .setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}, {"XDG_STATE_HOME", state}},
         .timedInput = std::move(input), .closeInputAt = closeAt, .onErrorLine = startedLine});
    if (acting.valid()) acting.get();
    return run;
  };
  const std::string executable = std::filesystem::weakly_canonical(binaryPath("pelorin-encoder")).string();
  EXPECT_EQ(encoder({"--preflight"}).out, "screen_capture_preflight allowed=false executable=" + executable + "\n");
  const ProcessResult refused = encoder({"--duration", "1"});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_TRUE(lastLine(refused).starts_with("native_encoder_error reason=screen_capture_permission_missing"))
      << refused.err;

  const ProcessResult granted = encoder({"--request-permission"});
  EXPECT_EQ(granted.out, "screen_capture_request allowed=true executable=" + executable + "\n") << granted.err;
  struct stat token {};
  EXPECT_EQ(::stat((state + "/Pelorin/portal-restore-token").c_str(), &token), 0) << "no restore token stored";
  EXPECT_EQ(token.st_mode & 0777, 0600u);
  EXPECT_EQ(encoder({"--preflight"}).out, "screen_capture_preflight allowed=true executable=" + executable + "\n");

  // The portal's first stream of an output gets its picture at once; a later one gets nothing until
  // the screen changes while it runs: a still screen is then listed without a thumbnail (after a
  // bounded wait), a changing one with it.
  std::map<std::pair<int, int>, std::string> ids;  // by size
  for (const auto& [changing, thumbnail] : {std::pair{false, true}, {false, false}, {true, true}}) {
    SCOPED_TRACE(changing ? "changing" : thumbnail ? "first" : "still");
    std::atomic<bool> listed{false};
    std::thread painter([&, changing = changing] {  // a copy: clang 14 cannot capture a structured binding
      for (unsigned long c = 0; changing && !listed; ++c) setColour(c % 2 ? blue : grey);
    });
    const ProcessResult listing = encoder({"--list-sources"});
    listed = true;
    painter.join();
    ASSERT_EQ(listing.exitStatus, 0) << listing.err;
    const auto sources = nlohmann::json::parse(listing.out);
    EXPECT_EQ(sources.at("windows"), nlohmann::json::array());
    for (const auto& display : sources.at("displays")) {
      ids[{display.at("width"), display.at("height")}] = std::to_string(display.at("id").get<std::uint64_t>());
      const bool shared = display.at("width") == 1920;  // the only output the stored choice covers
      EXPECT_EQ(display.at("thumbnail").is_string(), shared && thumbnail) << listing.out;
    }
    ASSERT_TRUE(ids.size() == 2 && ids.contains({1920, 1080}) && ids.contains({1280, 720})) << listing.out;
  }
  setColour(blue);
  const std::string first = ids[{1920, 1080}], second = ids[{1280, 720}];

  // The second output exists but the stored choice does not restore it.
  const ProcessResult absent = encoder({"--display-id", second, "--duration", "1"});
  EXPECT_EQ(absent.exitStatus, 1);
  EXPECT_EQ(lastLine(absent), "native_encoder_error reason=display_not_found__" + second + "_") << absent.err;

  // Colours change after Start (a second session on a still screen gets no first frame), then the
  // screen stands still and a KEYFRAME must repeat the last picture at once.
  std::uint64_t redAt = 0;
  const ProcessResult run = encoder({"--display-id", first, "--width", "640", "--height", "360", "--duration", "5"},
                                    {{4000ms, "KEYFRAME"}}, 0ms, [&] {
                                      std::this_thread::sleep_for(500ms);  // some blue pictures first
                                      redAt = unixNanoseconds();
                                      setColour(red);
                                      std::this_thread::sleep_for(1000ms);
                                      setColour(grey);
                                    });
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(run.err.find("capture_start capture=portal width=640 height=360 fps=30 "), std::string::npos) << run.err;
  const std::vector<DecodedRecord> records = expectDecodes(run);
  // However long a change takes to show, the colours come in order (a picture caught between two
  // counts as none): blue, if anything, until red is asked for, then red, then grey to the end.
  std::vector<unsigned long> order;  // the colours shown, repeats dropped
  std::string seen;
  for (const auto& r : records) {
    const std::uint64_t t = r.record.captureNanoseconds;
    const unsigned long shown = atCentre(r, blue) ? blue : atCentre(r, red) ? red : atCentre(r, grey) ? grey : 0;
    EXPECT_TRUE(t >= redAt || shown == blue) << "captured before the change to red, at " << t;
    if (shown != 0 && (order.empty() || order.back() != shown)) order.push_back(shown);
    seen += " " + std::to_string((static_cast<std::int64_t>(t - redAt)) / 1'000'000) + "ms:" +
            (shown == blue ? "blue" : shown == red ? "red" : shown == grey ? "grey" : "other");
  }
  if (!order.empty() && order.front() == blue) order.erase(order.begin());
  EXPECT_EQ(order, (std::vector<unsigned long>{red, grey})) << "records by time from the change to red:" << seen;
  // Nothing changes on the screen after grey: a key frame after the KEYFRAME line is its repeat.
  const std::uint64_t requested = run.timedInputWrittenAt.at(0);
  const auto key = std::find_if(records.begin(), records.end(), [&](const DecodedRecord& r) {
    return r.record.keyFrame && r.record.captureNanoseconds > requested - 40'000'000;
  });
  ASSERT_NE(key, records.end()) << "no key frame after the KEYFRAME line on a still screen";
  const auto& last = records.back().picture;
  ASSERT_TRUE(last && last->width == 640 && last->height == 360);
  for (auto [x, y] : {std::pair{320, 180}, {4, 4}, {636, 356}}) expectColour(*last, x, y, grey, "the last picture");

  // The selection through XWayland: a window of the asked size in the middle of the output (a tiling
  // compositor must not stretch it), Return confirms.
  std::thread presser([] {
    TestDisplay xwayland;
    if (xwayland.ok() && xwayland.waitFocusedWindowTitled("Ajustez") != None) {
      runProcess("/usr/bin/xdotool", {.arguments = {"key", "Return"}});
    }
  });
  const ProcessResult selected = encoder({"--select-portion"}, {}, 30s);
  presser.join();
  EXPECT_EQ(selected.out, "{\"display_id\":" + first + ",\"x\":640,\"y\":360,\"width\":640,\"height\":360}\n")
      << selected.err;
  // A portion as a host runs it, off the middle where a compositor would put a managed frame: a crop
  // of the monitor stream that the frame (a band just outside it) never enters. Its input stays open.
  const std::vector<std::string> portion = {"--source", "portion", "--display-id", first, "--portion", "320,180,640,360"};
  auto portionArguments = portion;
  portionArguments.insert(portionArguments.end(), {"--width", "640", "--height", "360", "--duration", "3"});
  // The frame is up before capture_start: the change that brings the compositor's pictures comes then.
  const ProcessResult portionRun = encoder(portionArguments, {}, 20s, [] { setColour(blue); });
  ASSERT_EQ(portionRun.exitStatus, 0) << portionRun.err;
  const auto portionRecords = expectDecodes(portionRun);
  ASSERT_FALSE(portionRecords.empty());
  const auto& cropped = portionRecords.back().picture;
  ASSERT_TRUE(cropped && cropped->width == 640 && cropped->height == 360);
  for (int y = 1; y < 360 && !HasFailure(); y += 17)  // a grid, so that a frame anywhere in it shows
    for (int x = 1; x < 640 && !HasFailure(); x += 17) expectColour(*cropped, x, y, blue, "the portion");
  // Without XWayland the portion windows cannot be shown: refused at once.
  const ProcessResult noX = runProcess(binaryPath("pelorin-encoder"),
                                       {.arguments = portion, .setEnvironment = {{"XDG_STATE_HOME", state}},
                                        .unsetEnvironment = {"DISPLAY"}});
  EXPECT_EQ(noX.exitStatus, 1);
  EXPECT_EQ(noX.err, "native_encoder_error reason=portion_windows_need_XWayland__DISPLAY__on_a_Wayland_session\n");

  // The compositor goes away mid-run: status 1, one error line, the last one.
  const ProcessResult ended =
      encoder({"--display-id", first, "--duration", "20"}, {}, 0ms, [] { session({"stop-compositor"}); });
  EXPECT_EQ(ended.exitStatus, 1);  // 0 had it run its 20 seconds
  EXPECT_TRUE(lastLine(ended).starts_with("native_encoder_error reason=")) << ended.err;
  EXPECT_EQ(std::ranges::count_if(splitLines(ended.err), [](const std::string& l) { return l.starts_with("native_"); }), 1)
      << ended.err;
  std::filesystem::remove_all(state);
}

}  // namespace
}  // namespace pelorin::test
