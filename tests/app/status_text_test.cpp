#include <gtest/gtest.h>

#include <cerrno>

#include "app/error_texts.h"
#include "app/status_text.h"
#include "platform/compression_session.h"
#include "platform/screen_capture.h"

namespace pelorin::app {
namespace {

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
