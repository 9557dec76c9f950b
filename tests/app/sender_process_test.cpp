#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>

#include "app/app_test_support.h"
#include "app/error_texts.h"
#include "base/fd_output.h"
#include "media/frame_stream.h"
#include "support/process.h"  // binaryPath
#include "support/pumped_main.h"

namespace pelorin::app {
namespace {

using namespace std::chrono_literals;

// A sender host whose sender is a shell script or a built program; events are recorded as text.
class SenderFixture : public ::testing::Test {
 protected:
  SenderHost& hostFor(const std::string& script) {
    const auto& path = scripts_.emplace_back(std::filesystem::temp_directory_path() /
                                             ("pelorin-sender-" + std::to_string(getpid()) + "-" + std::to_string(scripts_.size())));
    std::ofstream(path) << "#!/bin/sh\n" << script << "\n";
    chmod(path.c_str(), 0755);
    return hostRunning(path);
  }
  SenderHost& hostRunning(const std::string& program) {
    host_ = std::make_unique<SenderHost>(main_.poster(), log_.log, test::recordedEvents(events_),
                                         [program] { return Result<SenderFiles>(SenderFiles{program, "/ca.pem"}); });
    EXPECT_TRUE(host_->launchSender("123456", 1280, 720, {{"r", "127.0.0.1:5000", "127.0.0.1"}}).ok());
    return *host_;
  }
  bool loggedExit(const std::string& status) { return log_.has("sender_exit status=" + status); }
  bool saw(const std::string& event) { return std::ranges::count(events_, event) > 0; }
  void TearDown() override { for (const auto& path : scripts_) std::filesystem::remove(path); }

  test::PumpedMain main_;
  test::LogFile log_;
  std::vector<std::string> events_;
  std::unique_ptr<SenderHost> host_;
  std::vector<std::filesystem::path> scripts_;
};

TEST_F(SenderFixture, StopClosesInputThenTerminatesThenKills) {
  // Started in this order, so the later senders could hold the first one's input if pipes leaked.
  // Each one's status names the step that ended it; its time, that the step before had its grace.
  const std::tuple<std::string, bool, double, std::string> cases[] = {
      {"exec cat >/dev/null", true, 0.0, "0"},
      {"exec sleep 30", false, 5.0, "15"},
      {"trap '' TERM; exec sleep 30", false, 7.0, "9"},
  };
  std::vector<std::future<std::pair<bool, double>>> stops;
  for (const auto& c : cases) {
    stops.push_back(std::async(std::launch::async, [sender = hostFor(std::get<0>(c)).release()] {
      const auto start = std::chrono::steady_clock::now();
      const bool byItself = stopSender(*sender);
      return std::pair{byItself, Seconds(std::chrono::steady_clock::now() - start).count()};
    }));
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& [script, exitsByItself, atLeast, status] = cases[i];
    const auto [byItself, seconds] = stops[i].get();
    EXPECT_EQ(byItself, exitsByItself) << script;
    EXPECT_GE(seconds, atLeast) << script;
    EXPECT_TRUE(loggedExit(status)) << script;
  }
  main_.runFor(100ms);
  EXPECT_TRUE(events_.empty());  // a released sender's exit shows nothing
}

// A sender that no longer reads cannot hold its share's end: past the grace it is made to leave,
// which fails the last writes to its input.
TEST_F(SenderFixture, ASenderThatStopsReadingIsMadeToLeave) {
  const std::string megabyte(1 << 20, 'x');
  const auto sender = hostFor("exec sleep 30").release();
  bool written = true;
  finishThenStop(*sender, [&] { written = writeAll(sender->inputFd(), megabyte.data(), megabyte.size()).ok(); },
                 Seconds(0.2));
  EXPECT_FALSE(written);
  EXPECT_TRUE(loggedExit("15"));
}

TEST_F(SenderFixture, LoopbackSenderAnswersKeyFrameRequestsAndSavesTheStreamAsSentAndAMissingOneIsNamed) {
  const auto output = std::filesystem::temp_directory_path() / ("pelorin-loopback-" + std::to_string(getpid()));
  setenv("PELORIN_LOOPBACK_OUTPUT", output.c_str(), 1);
  auto& host = hostRunning(test::binaryPath("loopback-sender"));
  ASSERT_TRUE(main_.runUntil([&] { return saw("ready 1280x720 high"); }));
  kill(host.process()->pid(), SIGUSR1);
  ASSERT_TRUE(main_.runUntil([&] { return saw("keyframe"); }));

  media::ByteBuffer stream;  // a key frame with its parameter sets, then a delta frame
  const media::ByteBuffer key{0, 0, 0, 1, 0x67, 1, 0, 0, 0, 1, 0x68, 2, 0, 0, 0, 1, 0x65, 3}, delta{0, 0, 0, 1, 0x41, 4};
  media::appendFrameHeader(stream, key.size(), 10, true);
  stream.insert(stream.end(), key.begin(), key.end());
  media::appendFrameHeader(stream, delta.size(), 20, false);
  stream.insert(stream.end(), delta.begin(), delta.end());
  ASSERT_TRUE(writeAll(host.process()->inputFd(), stream.data(), stream.size()).ok());
  EXPECT_TRUE(stopSender(*host.release()));
  std::ifstream in(output, std::ios::binary);
  EXPECT_EQ(media::ByteBuffer(std::istreambuf_iterator<char>(in), {}), stream);
  unsetenv("PELORIN_LOOPBACK_OUTPUT");
  std::filesystem::remove(output);

  // A sender that is not there is named, in French.
  SenderHost missing(main_.poster(), log_.log, {}, [] { return Result<SenderFiles>(SenderFiles{"/nowhere/pelorin", ""}); });
  const Result<void> launched = missing.launchSender("123456", 64, 64, {{"r", "127.0.0.1:5000", "127.0.0.1"}});
  EXPECT_EQ(userDescription(launched.error()), "le sender est introuvable : /nowhere/pelorin");
}

}  // namespace
}  // namespace pelorin::app
