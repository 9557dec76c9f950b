#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>

#include "app/app_test_support.h"
#include "app/sender_host.h"
#include "base/fd_output.h"
#include "media/frame_stream.h"
#include "support/process.h"
#include "support/pumped_main.h"

namespace pelorin::app {
namespace {

using namespace std::chrono_literals;

// A sender host whose sender is a shell script or a built program; events are recorded as text.
class SenderFixture : public ::testing::Test {
 protected:
  SenderHost& hostFor(const std::string& script) {
    scripts_.push_back(std::filesystem::temp_directory_path() /
                       ("pelorin-sender-" + std::to_string(getpid()) + "-" + std::to_string(scripts_.size()) + ".sh"));
    std::ofstream(scripts_.back()) << "#!/bin/sh\n" << script << "\n";
    chmod(scripts_.back().c_str(), 0755);
    return hostRunning(scripts_.back().string());
  }
  SenderHost& hostRunning(const std::string& program) {
    // As the sharing flow does: a failure stops the share, so the sender is no longer current.
    host_ = std::make_unique<SenderHost>(main_.poster(), log_.log,
                                         test::recordedEvents(events_, [this] { stopped_.push_back(host_->release()); }),
                                         [program] { return Result<SenderFiles>(SenderFiles{program, "/ca.pem"}); });
    EXPECT_TRUE(host_->launchSender("123456", 1280, 720, {{"r", "127.0.0.1:5000", "127.0.0.1"}}).ok());
    return *host_;
  }
  bool loggedExit(const std::string& status) { return log_.has("sender_exit status=" + status); }
  bool saw(const std::string& event) { return std::ranges::count(events_, event) > 0; }
  void TearDown() override {
    for (const auto& path : scripts_) std::filesystem::remove(path);
  }

  test::PumpedMain main_;
  test::LogFile log_;
  std::vector<std::string> events_;
  std::vector<std::shared_ptr<SenderProcess>> stopped_;  // kept alive past their failure
  std::unique_ptr<SenderHost> host_;
  std::vector<std::filesystem::path> scripts_;
};

TEST_F(SenderFixture, FollowsSplitLinesMarkersStopsAtTheFirstErrorAndFailsOnlyOnANonZeroExit) {
  // SIGPIPE (bit 12 of the ignored mask) is ignored by the app, never by the sender.
  hostFor(R"sh(mask=$(sed -n "s/^SigIgn:\t//p" /proc/$$/status); echo "sigpipe_ignored=$(( 0x$mask >> 12 & 1 ))" >&2
printf 'pairing result=accepted\n' >&2; sleep 0.2
printf 'READY 1280 720 high\nKEYFRAME\n'; sleep 0.2
printf 'state=act' >&2; sleep 0.2; printf 'ive\n' >&2; sleep 0.2
printf 'caf\303' >&2; sleep 0.2; printf '\251 err' >&2; sleep 0.2; printf 'or: disk full\ndetail\n' >&2
sleep 0.2; exit 3)sh");
  ASSERT_TRUE(loggedExit("3"));
  main_.runFor(300ms);
  EXPECT_EQ(events_, (std::vector<std::string>{"progress Appairé. Préparation du partage…", "ready 1280x720 high",
                                               "keyframe", "progress Partage en cours.", "failed Erreur : detail"}));
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{"sender_launch width=1280 height=720 destinations=127.0.0.1:5000",
                                                    "sigpipe_ignored=0", "pairing result=accepted", "state=active",
                                                    "café error: disk full", "detail", "sender_exit status=3"}));
  events_.clear();
  hostFor("printf 'bye\\n' >&2; exit 0");
  ASSERT_TRUE(loggedExit("0"));
  main_.runFor(200ms);
  EXPECT_TRUE(events_.empty());
  hostFor("exec kill -USR1 $$");  // a signal's number stands for the status
  ASSERT_TRUE(main_.runUntil([&] { return !events_.empty(); }));
  EXPECT_EQ(events_, std::vector<std::string>{"failed Erreur du sender (code 10)."});
  EXPECT_TRUE(loggedExit("10"));
}

TEST_F(SenderFixture, StopClosesInputThenTerminatesThenKills) {
  // Started in this order, so the later senders could hold the first one's input if pipes leaked.
  const std::tuple<std::string, bool, double, double, std::string> cases[] = {
      {"exec cat >/dev/null", true, 0.0, 2.0, "0"},
      {"exec sleep 30", false, 5.0, 6.5, "15"},
      {"trap '' TERM; exec sleep 30", false, 7.0, 8.5, "9"},
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
    const auto& [script, exitsByItself, atLeast, atMost, status] = cases[i];
    const auto [byItself, seconds] = stops[i].get();
    EXPECT_EQ(byItself, exitsByItself) << script;
    EXPECT_TRUE(seconds >= atLeast && seconds <= atMost) << script << ": " << seconds << " s";
    EXPECT_TRUE(loggedExit(status)) << script;
  }
  main_.runFor(100ms);
  EXPECT_TRUE(events_.empty());  // a released sender's exit shows nothing
}

TEST_F(SenderFixture, LoopbackSenderAnswersKeyFrameRequestsAndSavesTheStreamAsSent) {
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
}

}  // namespace
}  // namespace pelorin::app
