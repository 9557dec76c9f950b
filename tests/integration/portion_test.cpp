// pelorin-encoder's portion modes on the test display, driven by the XTest mouse and keyboard
// (xdotool) under the window manager, as a user would.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "platform/x11_test_helpers.h"
#include "support/decoded_stream.h"
#include "support/process.h"

namespace pelorin::test {
namespace {

using platform::x11::test::Painter;

constexpr unsigned long red = 0xC03020, blue = 0x2040C0;

// What a user does while the encoder runs: waits for the encoder's window named `name`, then runs
// `actions` with xdotool.
class User {
 public:
  User(const std::string& name, const std::string& actions)
      : thread_([=] {
          const std::string wait = "xdotool search --sync --onlyvisible --name '" + name + "' >/dev/null";
          ok_ = std::system(("timeout 20 " + wait + " && sleep 0.5 && xdotool " + actions).c_str()) == 0;
        }) {}
  ~User() { join(); }
  bool join() {
    if (thread_.joinable()) thread_.join();
    return ok_;
  }

 private:
  bool ok_ = false;
  std::thread thread_;
};

// --select-portion with its standard input kept open, or closed at once.
ProcessResult selectPortion(bool inputOpen = true) {
  ProcessOptions options{.arguments = {"--select-portion"}, .keepInputOpen = inputOpen};
  if (!inputOpen) options.input = "";
  return runProcess(binaryPath("pelorin-encoder"), options);
}

class Portion : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::x11::test::haveDisplay()) << "these tests need an X display (scripts/test starts one)";
    ASSERT_TRUE(painter.ok());
    left = std::to_string(XInternAtom(painter.display(), "LEFT", True));
    right = std::to_string(XInternAtom(painter.display(), "RIGHT", True));
  }

  Painter painter;
  std::string left, right;
};

TEST_F(Portion, SelectionOnTheMonitorUnderTheMouseEndsFromTheKeyboard) {
  const std::string centred = R"({"display_id":)" + right + R"(,"x":640,"y":360,"width":640,"height":360})" "\n";
  const struct {
    std::string keys;
    int status;
    std::string out, err;
  } cases[] = {
      {"key Return", 0, centred, ""},
      {"key Tab sleep 0.2 key Tab sleep 0.2 key space", 0, centred, ""},
      {"key Escape", 1, "", "native_encoder_error reason=portion_cancelled\n"},
  };
  for (const auto& c : cases) {
    painter.warpPointer(1920 + 400, 300);
    User user("Ajustez la portion", c.keys);
    const ProcessResult r = selectPortion();
    EXPECT_TRUE(user.join()) << c.keys;
    EXPECT_EQ(r.exitStatus, c.status) << c.keys << "\n" << r.err;
    EXPECT_EQ(r.out, c.out) << c.keys;
    EXPECT_EQ(r.err, c.err) << c.keys;
  }
}

TEST_F(Portion, SelectionEndsWhenTheHostClosesStandardInput) {
  const ProcessResult r = selectPortion(false);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "native_encoder_error reason=portion_parent_gone\n");
  EXPECT_LT(r.elapsed, std::chrono::seconds(5));
}

TEST_F(Portion, TheCaptureFollowsTheFrameOntoAnotherColourAndEndsWhenTheInputCloses) {
  // Red on the left of the left monitor, blue on its right, below every managed window.
  for (auto window : {painter.fill(0, 0, 960, 1200, red), painter.fill(960, 0, 960, 1200, blue)}) {
    XLowerWindow(painter.display(), window);
  }
  XSync(painter.display(), False);
  painter.warpPointer(1900, 1100);
  // The frame's top edge, in its middle, dragged 1000 pixels to the right.
  User user("Pelorin", "mousemove 420 97 mousedown 1 sleep 0.1 mousemove 920 97 sleep 0.1 mousemove 1420 97 mouseup 1");
  ProcessOptions options;
  options.arguments = {"--source", "portion", "--display-id", left, "--portion", "100,100,640,360",
                       "--width", "320", "--height", "180", "--fps", "30", "--duration", "20"};
  options.setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}};
  options.closeInputAt = std::chrono::milliseconds(4000);
  const ProcessResult r = runProcess(binaryPath("pelorin-encoder"), options);
  EXPECT_TRUE(user.join());
  // The end of the input ends the run at once, with whole records and without a summary.
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_LT(r.elapsed, std::chrono::seconds(8));
  EXPECT_EQ(r.err.find("native_encoder_summary"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\ncapture_start capture=x11 width=320 height=180 fps=30 "), std::string::npos) << r.err;
  const DecodedStream stream = decodeStream(r.out);
  ASSERT_FALSE(stream.fault) << *stream.fault;
  ASSERT_GE(stream.records.size(), 2u) << r.err;
  const auto& first = *stream.records.front().picture;
  const auto& last = *stream.records.back().picture;
  EXPECT_EQ(last.width, 320);
  EXPECT_EQ(last.height, 180);
  for (const auto& [picture, rgb, when] : {std::tuple{&first, red, "before"}, std::tuple{&last, blue, "after"}}) {
    for (auto [x, y] : {std::pair{4, 4}, {160, 90}, {315, 175}}) {
      const Yuv got = yuvAt(*picture, x, y), want = bt601(rgb);
      EXPECT_NEAR(got.y, want.y, 10) << when << " the drag at " << x << "," << y;
      EXPECT_NEAR(got.v, want.v, 10) << when << " the drag at " << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace pelorin::test
