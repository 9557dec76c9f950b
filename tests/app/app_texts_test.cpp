// What the app engine reads and says: the sender's lines and command line, the code, the status
// and the errors a user meets.
#include <gtest/gtest.h>

#include <cerrno>

#include "app/app_status.h"
#include "app/app_test_support.h"
#include "app/error_texts.h"
#include "app/sender_host.h"
#include "app/status_text.h"
#include "platform/compression_session.h"
#include "platform/screen_capture.h"

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

TEST(SenderControl, StandardErrorReadsReactAsTheyComeEachMarkerOnceUpToAnError) {
  using R = StderrReaction;
  const R paired{R::paired, "Appairé. Préparation du partage…"}, sharing{R::sharing, "Partage en cours."};
  const std::pair<std::vector<std::string>, std::vector<std::vector<R>>> cases[] = {
      {{"pairing result=accepted\nstate=active\n"}, {{paired, sharing}}},
      {{"pairing result=accepted\nerror: code refusé\n"}, {{paired, {R::failed, "Erreur : error: code refusé"}}}},
      {{"x state=active\nerror: late\nstate=active\n"}, {{sharing, {R::failed, "Erreur : state=active"}}}},
      {{"x\nerror: boom\nmore detail\n\n"}, {{{R::failed, "Erreur : more detail"}}}},
      {{"error: sans fin de ligne"}, {{{R::failed, "Erreur : error: sans fin de ligne"}}}},
      {{"pairing result=acc", "epted\nerr", "or: coupé"}, {{}, {paired}, {{R::failed, "Erreur : error: coupé"}}}},
      {{"state=active", " encore\n", "progress 50%\n"}, {{sharing}, {}, {}}},
      {{"error: a", " b\n"}, {{{R::failed, "Erreur : error: a"}}, {}}},
  };
  for (const auto& [reads, expected] : cases) {
    StderrScanner scanner;
    std::vector<std::vector<R>> reactions;
    for (const auto& read : reads) reactions.push_back(scanner.scan(read));
    EXPECT_EQ(reactions, expected) << reads.front();
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

TEST(ValidatedCode, SixDecimalDigitsOfAnyScriptAndAReceiver) {
  const struct {
    const char* typed;
    std::size_t receivers;
    const char* failure;  // empty when accepted
  } cases[] = {
      {"000000", 3, ""}, {"٠١٢٣٤٥", 1, ""}, {"１２３４５６", 1, ""},  // Arabic-Indic and full-width digits
      {"12345", 1, badCodeFailure},  {"1234567", 1, badCodeFailure}, {" 123456", 1, badCodeFailure},  // no trimming
      {"12345½", 1, badCodeFailure},  // numerals that are not decimal digits
      {"12345\u0301" "6", 1, badCodeFailure},  // a digit carrying a combining mark
      {"12345\xff", 1, badCodeFailure},        // not UTF-8
      {"123456", 0, noReceiverFailure}, {"12345", 0, badCodeFailure},  // the code is checked first
  };
  for (const auto& c : cases) {
    const CodeCheck check = validatedCode(c.typed, c.receivers);
    EXPECT_EQ(check.failure, c.failure) << c.typed;
    // Accepted codes reach the sender as typed.
    EXPECT_EQ(check.code, *c.failure ? std::nullopt : std::optional<std::string>(c.typed)) << c.typed;
  }
}

TEST(StatusText, WrapsAtSpacesIntoThreeLinesAtMostAndCutsTheRestWithAnEllipsis) {
  const auto characters = [](std::string_view text) {  // one unit a character
    return static_cast<double>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
  };
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"Partage en cours.", "Partage en\ncours.", false},
      {"Erreur : la fenêtre partagée a été fermée", "Erreur :\nla fenêtre\npartagée…", true},
      {"aaaa bbbb cccc dddd", "aaaa bbbb\ncccc dddd", false},
      {"/très/long/chemin/du/sender/pelorin", "/très/long\n/chemin/du\n/sender/p…", true},
      {"éééééé ééééééééééé", "éééééé\néééééééééé\né", false},
  };
  for (const auto& [text, shown, cut] : cases) {
    const WrappedStatus wrapped = wrappedStatus(text, 10, 3, characters);
    EXPECT_EQ(std::tie(wrapped.text, wrapped.cut), std::tie(shown, cut)) << text;
  }
}

TEST(StatusText, ErrorsAUserCanMeetSayInFrenchWhatHappenedOthersKeepTheirWords) {
  namespace status = platform::captureStatus;
  const std::pair<Error, const char*> cases[] = {
      {{senderStartDomain, ENOENT, "/opt/pelorin/bin/pelorin"}, "le sender est introuvable : /opt/pelorin/bin/pelorin"},
      {{senderStartDomain, ENOEXEC, "/x/pelorin"}, "le sender n’a pas pu démarrer (erreur système 8) : /x/pelorin"},
      {{"X11Capture", status::windowClosed, "the window was closed (6291457)"}, "la fenêtre partagée a été fermée"},
      {{"X11Capture", status::displayDisconnected, "the display was disconnected (LEFT)"},
       "l’écran partagé a été débranché"},
      {{"VideoToolbox", platform::noUsableEncoderStatus, "hardware encoder unavailable: no render node"},
       "aucun encodeur vidéo matériel disponible, installez le pilote VA-API de la carte graphique"},
      {{"Pelorin", -1, "ressources de l’app absentes"}, "ressources de l’app absentes"},
      {{"X11Capture", -1, "the screen could not be read"}, "the screen could not be read"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(userDescription(error), text) << error.message;
}

}  // namespace
}  // namespace pelorin::app
