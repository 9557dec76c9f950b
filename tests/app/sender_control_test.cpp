#include <gtest/gtest.h>

#include "app/app_test_support.h"
#include "app/sender_host.h"

namespace pelorin::app {
namespace {

TEST(SenderControl, LinesAreAssembledAcrossReadsAndOnlyExactCommandsAct) {
  const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
      {{"REA", "DY 1280 7", "20 high\n"}, {"ready 1280x720 high"}},
      {{"READY  1280   720  high\n"}, {"ready 1280x720 high"}},
      {{"READY 1280 720\nREADY 1280 720 high extra\nREADY 12x0 720 high\nREADY 1 99999999999 high\n"}, {}},
      {{"KEYFRAME\r\n", " KEYFRAME\n"}, {}},
      {{"KEYFRAME\nREADY 640 360 main\nKEY", "FRAME\n"}, {"keyframe", "ready 640x360 main", "keyframe"}},
      {{"READY 1 2 " + std::string(70000, 'x'), "\nKEYFRAME\n"}, {"keyframe"}},  // an overlong line is dropped
  };
  test::LogFile log;
  for (const auto& [reads, expected] : cases) {
    std::vector<std::string> actions;
    SenderHost host([](auto) {}, log.log, test::recordedEvents(actions));
    for (const auto& read : reads) host.consumeControl(read);
    EXPECT_EQ(actions, expected) << reads.front().substr(0, 40);
  }
}

TEST(SenderControl, StandardErrorMarkersInOrderOfPrecedence) {
  const std::tuple<std::string, StderrReaction::Kind, std::string> cases[] = {
      {"pairing result=accepted\nstate=active\n", StderrReaction::paired, "Appairé. Préparation du partage…"},
      {"x state=active\nerror: late\n", StderrReaction::sharing, "Partage en cours."},
      {"x\nerror: boom\nmore detail\n\n", StderrReaction::failed, "Erreur : more detail"},
      {"progress 50%\n", StderrReaction::none, ""},
  };
  for (const auto& [text, kind, status] : cases) {
    const auto reaction = reactToStderr(text);
    EXPECT_EQ(reaction.kind, kind) << text;
    EXPECT_EQ(reaction.status, status) << text;
  }
}

TEST(SenderControl, CommandLineCarriesEveryReceiverInOrder) {
  const std::vector<ReceiverAddress> receivers{{"a", "192.168.1.20:7000", "192.168.1.5"},
                                               {"b", "[fe80::1]:7001", "fe80::5"}};
  EXPECT_EQ(senderArguments("042917", "/ca.pem", 1280, 720, receivers),
            (std::vector<std::string>{"--frames-stdin", "--pairing-code", "042917", "--public-ip", "192.168.1.5",
                                      "--tls-ca", "/ca.pem", "--width", "1280", "--height", "720", "--fps", "30",
                                      "--duration", "86400", "--destination", "192.168.1.20:7000",
                                      "--destination", "[fe80::1]:7001"}));
  EXPECT_EQ(senderLaunchLine(1280, 720, receivers),
            "sender_launch width=1280 height=720 destinations=192.168.1.20:7000,[fe80::1]:7001");
}

}  // namespace
}  // namespace pelorin::app
