#include "app/error_texts.h"

#include <cerrno>
#include <string_view>

#include "platform/compression_session.h"
#include "platform/screen_capture.h"

namespace pelorin::app {
namespace {

struct KnownError {
  std::string_view domain;
  std::int64_t code;
  const char* text;
  bool withMessage;  // followed by " : " and the error's message
};

namespace status = platform::captureStatus;

constexpr KnownError knownErrors[] = {
    {senderStartDomain, ENOENT, "le sender est introuvable", true},
    {senderStartDomain, EACCES, "le sender n’est pas exécutable, vérifiez ses droits", true},
    {"X11Capture", status::windowClosed, "la fenêtre partagée a été fermée", false},
    {"X11Capture", status::displayDisconnected, "l’écran partagé a été débranché", false},
    {"X11Capture", status::serverLost, "la connexion au serveur d’affichage a été perdue", false},
    {"X11Capture", status::serverUnreachable, "l’affichage est inaccessible, vérifiez la variable DISPLAY", false},
    {"X11Capture", status::windowNotFound, "la fenêtre choisie n’existe plus, choisissez-en une autre", false},
    {"X11Capture", status::displayNotFound, "l’écran choisi n’existe plus, choisissez-en un autre", false},
    {"PipeWire", status::windowClosed, "la fenêtre partagée a été fermée", false},
    {"PipeWire", status::castEnded, "le bureau a mis fin au partage d’écran", false},
    {"VideoToolbox", platform::noUsableEncoderStatus,
     "aucun encodeur vidéo matériel disponible, installez le pilote VA-API de la carte graphique", false},
};

}  // namespace

std::string userDescription(const Error& error) {
  for (const auto& known : knownErrors) {
    if (known.domain != error.domain || known.code != error.code) continue;
    return known.withMessage ? std::string(known.text) + " : " + error.message : known.text;
  }
  if (error.domain == senderStartDomain) {
    return "le sender n’a pas pu démarrer (erreur système " + std::to_string(error.code) + ") : " + error.message;
  }
  return error.description();
}

}  // namespace pelorin::app
