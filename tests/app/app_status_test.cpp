#include "app/app_status.h"

#include <gtest/gtest.h>

#include <functional>

namespace pelorin::app {
namespace {

// One user's afternoon: a failure survives every automatic update until the next user action.
TEST(AppStatusState, AFailureStaysUntilTheNextUserAction) {
  using Step = std::function<void(AppStatusState&)>;
  const std::string found1 = availabilityStatus(1), found2 = availabilityStatus(2);
  const std::string exited = "Erreur du sender (code 1).";
  const std::tuple<Step, std::string, std::optional<std::string>> steps[] = {
      {[](auto&) {}, searchingStatus, std::nullopt},
      {[&](auto& s) { s.automatic(found1); }, "1 receiver trouvé. Saisissez le code.", std::nullopt},
      {[&](auto& s) { s.failed(badCodeFailure); }, badCodeFailure, badCodeFailure},
      {[&](auto& s) { s.automatic(found2); }, badCodeFailure, badCodeFailure},
      {[&](auto& s) { s.userAction(pairingStatus); }, pairingStatus, std::nullopt},
      {[&](auto& s) { s.automatic("Partage en cours."); }, "Partage en cours.", std::nullopt},
      {[&](auto& s) { s.failed(exited); }, exited, exited},
      {[&](auto& s) { s.failed(noReceiverFailure); }, noReceiverFailure, noReceiverFailure},
      {[&](auto& s) { s.automatic(found1); }, noReceiverFailure, noReceiverFailure},
      {[&](auto& s) { s.userAction(stoppedStatus); }, stoppedStatus, std::nullopt},
      {[&](auto& s) { s.automatic(availabilityStatus(0)); }, searchingStatus, std::nullopt},
  };
  AppStatusState state(searchingStatus);
  int index = 0;
  for (const auto& [apply, message, failure] : steps) {
    apply(state);
    EXPECT_EQ(state.message, message) << "step " << index;
    EXPECT_EQ(state.failure, failure) << "step " << index++;
  }
}

TEST(AppStatusState, AvailabilityTexts) {
  const std::pair<std::size_t, std::string> cases[] = {
      {0, "Recherche d’un receiver…"},
      {1, "1 receiver trouvé. Saisissez le code."},
      {2, "2 receivers trouvés. Saisissez le code."},
      {3, "3 receivers trouvés. Saisissez le code."},
      {12, "12 receivers trouvés. Saisissez le code."},
  };
  for (const auto& [count, text] : cases) EXPECT_EQ(availabilityStatus(count), text) << count;
}

TEST(ValidatedCode, SixDecimalDigitsOfAnyScriptAndAReceiver) {
  struct Case {
    const char* typed;
    std::size_t receivers;
    bool accepted;
    const char* failure;
  };
  const Case cases[] = {
      {"123456", 1, true, ""},
      {"000000", 3, true, ""},
      {"٠١٢٣٤٥", 1, true, ""},             // Arabic-Indic digits
      {"१२३४५६", 1, true, ""},             // Devanagari digits
      {"１２３４５６", 1, true, ""},       // full-width digits
      {"12345", 1, false, badCodeFailure},
      {"1234567", 1, false, badCodeFailure},
      {"", 1, false, badCodeFailure},
      {"123 456", 1, false, badCodeFailure},
      {" 123456", 1, false, badCodeFailure},  // no trimming
      {"12345a", 1, false, badCodeFailure},
      {"12345½", 1, false, badCodeFailure},   // a numeral, not a decimal digit
      {"12345Ⅻ", 1, false, badCodeFailure},
      {"12345²", 1, false, badCodeFailure},
      {"12345\u0301" "6", 1, false, badCodeFailure},  // a digit carrying a combining mark
      {"12345\xff", 1, false, badCodeFailure},        // not UTF-8
      {"123456", 0, false, noReceiverFailure},
      {"12345", 0, false, badCodeFailure},  // the code is checked first
  };
  for (const auto& c : cases) {
    const CodeCheck check = validatedCode(c.typed, c.receivers);
    EXPECT_EQ(check.code.has_value(), c.accepted) << c.typed;
    if (c.accepted) {
      EXPECT_EQ(*check.code, c.typed) << "the code reaches the sender as typed";
    }
    EXPECT_EQ(check.failure, c.failure) << c.typed;
  }
}

}  // namespace
}  // namespace pelorin::app
