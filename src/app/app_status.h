#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace pelorin::app {

// The status line: an automatic update never hides a failure; only a user action clears it.
struct AppStatusState {
  std::string message;
  std::optional<std::string> failure;

  explicit AppStatusState(std::string text = {}) : message(std::move(text)) {}
  bool operator==(const AppStatusState&) const = default;

  void automatic(const std::string& text);
  void failed(const std::string& text);
  void userAction(const std::string& text);
};

inline constexpr const char* searchingStatus = "Recherche d’un receiver…";
inline constexpr const char* pickerPromptStatus = "Sélectionnez l’écran ou la fenêtre à partager.";
inline constexpr const char* portionPromptStatus = "Ajustez la portion à partager.";
inline constexpr const char* cancelledStatus = "Sélection annulée.";
inline constexpr const char* pairingStatus = "Appairage en cours…";
inline constexpr const char* stoppedStatus = "Partage arrêté.";
inline constexpr const char* quittingStatus = "Arrêt du partage…";
inline constexpr const char* badCodeFailure = "Erreur : le code doit contenir exactement 6 chiffres.";
inline constexpr const char* noReceiverFailure = "Recherche du receiver en cours.";
// No privacy switch exists on Linux: what the user can check is the firewall and the network.
inline constexpr const char* localNetworkFailure =
    "Receiver trouvé mais injoignable : vérifiez que le pare-feu autorise Pelorin et que cet "
    "ordinateur est sur le même réseau local, puis relancez l’app.";

// "Erreur : " + description.
std::string errorStatus(const std::string& description);

// The automatic status while no sender runs.
std::string availabilityStatus(std::size_t receiverCount);

// The code to use, as typed, or the failure to show.
struct CodeCheck {
  std::optional<std::string> code;
  std::string failure;
};
// Exactly six user-perceived characters, each a decimal digit of any script, and a receiver known.
CodeCheck validatedCode(const std::string& typed, std::size_t receiverCount);
bool isPairingCode(const std::string& typed);

}  // namespace pelorin::app
