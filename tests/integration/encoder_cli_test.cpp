// The built pelorin-encoder's standard streams and exit status, for the modes that answer at once
// and for runs that cannot start.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/process.h"

namespace pelorin::test {
namespace {

std::string encoder() { return binaryPath("pelorin-encoder"); }

ProcessResult runEncoder(const std::string& program, std::vector<std::string> arguments,
                         std::map<std::string, std::string> set = {}, std::vector<std::string> unset = {}) {
  return runProcess(program, {.arguments = std::move(arguments), .setEnvironment = std::move(set),
                              .unsetEnvironment = std::move(unset)});
}

const std::vector<std::string> noDisplay = {"DISPLAY", "WAYLAND_DISPLAY"};

TEST(EncoderCli, ModesThatAnswerAtOnceAndRunsThatCannotStart) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "this test needs an X display (scripts/test starts one)";
  const std::filesystem::path bin = std::filesystem::absolute(encoder()).lexically_normal();
  // Started through a path with "." and ".." in it.
  const std::string roundabout =
      (bin.parent_path() / "." / ".." / bin.parent_path().filename() / bin.filename()).string();
  const struct {
    std::string mode;
    std::map<std::string, std::string> set;
    std::vector<std::string> unset;
    std::string out;
  } cases[] = {
      {"--preflight", {}, {}, "screen_capture_preflight allowed=true"},
      {"--request-permission", {}, {}, "screen_capture_request allowed=true"},
      {"--preflight", {}, noDisplay, "screen_capture_preflight allowed=false"},
      {"--request-permission", {}, noDisplay, "screen_capture_request allowed=false"},
      {"--preflight", {{"DISPLAY", ":987"}}, {}, "screen_capture_preflight allowed=false"},
  };
  for (const auto& c : cases) {
    const ProcessResult r = runEncoder(roundabout, {c.mode}, c.set, c.unset);
    EXPECT_EQ(r.exitStatus, 0) << c.out;
    EXPECT_EQ(r.out, c.out + " executable=" + bin.string() + "\n");
    EXPECT_EQ(r.err, "") << c.out;
  }

  const ProcessResult help = runEncoder(encoder(), {"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: pelorin-encoder")) << help.out;
  EXPECT_NE(help.out.find("PELORIN_VIDEO_ENCODER"), std::string::npos);
  EXPECT_EQ(help.err, "");

  // A run that cannot start ends with exit status 1, nothing on standard output and the error as the
  // last line; a command line refused before anything starts writes that line alone.
  const std::map<std::string, std::string> software = {{"PELORIN_VIDEO_ENCODER", "software"}};
  const struct {
    std::vector<std::string> words;
    std::string reason;
    bool alone = true;   // the error is the only line
    bool prefix = false;  // the reason starts with `reason`
    std::map<std::string, std::string> set;
    std::vector<std::string> unset;
  } cases[] = {
      {{"--width"}, "--width_requires_a_value"},
      {{"--portion", "1,2 ,4,4"}, "invalid_--portion_1_2__4_4"},
      {{"--display-id", "12345", "--duration", "1"}, "display_not_found__12345_", false, false, software},
      {{"--source", "window", "--window-id", "123456789", "--duration", "5"}, "window_not_found__id_", false, false,
       software},
      {{"--duration", "1"}, "screen_capture_permission_missing_executable_/", false, true, software, noDisplay},
      // Without a hardware encoder and without choosing the software one; the rest says why.
      {{"--source", "synthetic", "--duration", "1"}, "hardware_encoder_unavailable:_", true, true, {},
       {"PELORIN_VIDEO_ENCODER"}},
      {{"--source", "synthetic", "--duration", "1"}, "hardware_encoder_unavailable:_", true, true,
       {{"PELORIN_VIDEO_ENCODER", "vaapi"}, {"PELORIN_VAAPI_DEVICE", "/nonexistent/renderD128"}}},
  };
  for (const auto& c : cases) {
    const ProcessResult r = runEncoder(encoder(), c.words, c.set, c.unset);
    if (c.reason.starts_with("hardware") && r.exitStatus == 0) GTEST_SKIP() << "this machine has a hardware encoder";
    const std::string want = "native_encoder_error reason=" + c.reason;
    EXPECT_EQ(r.exitStatus, 1) << want;
    EXPECT_EQ(r.out, "") << want;
    const auto lines = splitLines(r.err);
    ASSERT_FALSE(lines.empty()) << want;
    if (c.alone) EXPECT_EQ(lines.size(), 1u) << r.err;
    if (c.prefix) {
      EXPECT_TRUE(lines.back().starts_with(want)) << lines.back();
      EXPECT_GT(lines.back().size(), want.size() + 5) << lines.back();
    } else {
      EXPECT_EQ(lines.back(), want);
    }
    EXPECT_TRUE(r.err.ends_with("\n")) << want;
  }
}

}  // namespace
}  // namespace pelorin::test
