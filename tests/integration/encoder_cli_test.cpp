// The built pelorin-encoder's standard streams and exit status, for the modes that answer at once
// and for runs that cannot start.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/process.h"

namespace pelorin::test {
namespace {

using Environment = std::map<std::string, std::string>;
using Names = std::vector<std::string>;

ProcessResult runEncoder(const std::string& program, Names arguments, Environment set = {}, Names unset = {}) {
  return runProcess(program, {.arguments = std::move(arguments), .setEnvironment = std::move(set),
                              .unsetEnvironment = std::move(unset)});
}

TEST(EncoderCli, ModesThatAnswerAtOnceAndRunsThatCannotStart) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "this test needs an X display (scripts/test starts one)";
  const Names noDisplay = {"DISPLAY", "WAYLAND_DISPLAY"};
  const std::filesystem::path bin = std::filesystem::absolute(binaryPath("pelorin-encoder")).lexically_normal();
  // Started through a path with "." and ".." in it, each names the program by its standard path.
  const std::string roundabout =
      (bin.parent_path() / "." / ".." / bin.parent_path().filename() / bin.filename()).string();
  const struct {
    std::string mode;
    Environment set;
    Names unset;
    std::string out;
  } answers[] = {
      {"--preflight", {}, {}, "screen_capture_preflight allowed=true"},
      {"--request-permission", {}, {}, "screen_capture_request allowed=true"},
      {"--preflight", {}, noDisplay, "screen_capture_preflight allowed=false"},
      {"--request-permission", {}, noDisplay, "screen_capture_request allowed=false"},
      {"--preflight", {{"DISPLAY", ":987"}}, {}, "screen_capture_preflight allowed=false"},
      // A Wayland session goes through the portal, whatever DISPLAY says; here no portal answers.
      {"--preflight", {{"XDG_SESSION_TYPE", "wayland"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}}, {},
       "screen_capture_preflight allowed=false"},
      {"--request-permission", {{"PELORIN_CAPTURE", "portal"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}},
       {}, "screen_capture_request allowed=false"},
      {"--preflight", {{"PELORIN_CAPTURE", "x11"}, {"XDG_SESSION_TYPE", "wayland"}}, {},
       "screen_capture_preflight allowed=true"},
  };
  for (const auto& c : answers) {
    const ProcessResult r = runEncoder(roundabout, {c.mode}, c.set, c.unset);
    EXPECT_EQ(std::tuple(r.exitStatus, r.out, r.err), std::tuple(0, c.out + " executable=" + bin.string() + "\n", ""));
  }

  // Exit status 1, nothing on standard output and the error as the last line; a command line
  // refused before anything starts writes that line alone.
  const Environment software = {{"PELORIN_VIDEO_ENCODER", "software"}};
  const struct {
    Names words;
    std::string reason;
    bool alone = true;    // the error is the only line
    bool prefix = false;  // the reason starts with `reason`
    Environment set;
    Names unset;
  } refused[] = {
      {{"--width"}, "--width_requires_a_value"},
      {{"--display-id", "12345", "--duration", "1"}, "display_not_found__12345_", false, false, software},
      {{"--source", "window", "--window-id", "123456789", "--duration", "5"}, "window_not_found__id_", false, false,
       software},
      {{"--duration", "1"}, "screen_capture_permission_missing_executable_/", false, true, software, noDisplay},
      {{"--preflight"}, "unknown_PELORIN_CAPTURE_wayland", true, true, {{"PELORIN_CAPTURE", "wayland"}}},
      {{"--source", "window", "--window-id", "5", "--duration", "1"},
       "window_capture_is_not_available_on_a_Wayland_session", false, true,
       {{"PELORIN_VIDEO_ENCODER", "software"}, {"PELORIN_CAPTURE", "portal"}}},
      // Without a hardware encoder and without choosing the software one; the rest says why.
      {{"--source", "synthetic", "--duration", "1"}, "hardware_encoder_unavailable:_", true, true, {},
       {"PELORIN_VIDEO_ENCODER"}},
  };
  for (const auto& c : refused) {
    const ProcessResult r = runEncoder(bin, c.words, c.set, c.unset);
    if (c.reason.starts_with("hardware") && r.exitStatus == 0) GTEST_SKIP() << "this machine has a hardware encoder";
    const std::string want = "native_encoder_error reason=" + c.reason;
    EXPECT_EQ(std::pair(r.exitStatus, r.out), std::pair(1, std::string())) << want;
    const auto lines = splitLines(r.err);
    ASSERT_FALSE(lines.empty()) << want;
    if (c.alone) EXPECT_EQ(lines.size(), 1u) << r.err;
    EXPECT_TRUE(c.prefix ? lines.back().starts_with(want) && lines.back().size() > want.size() + 5
                         : lines.back() == want)
        << lines.back();
    EXPECT_TRUE(r.err.ends_with("\n")) << want;
  }
}

}  // namespace
}  // namespace pelorin::test
