#include "app/app_status.h"

#include <gtest/gtest.h>

#include <functional>

namespace pelorin::app {
namespace {

// One user's afternoon: a failure survives every automatic update until the next user action.
TEST(AppStatusState, AFailureStaysUntilTheNextUserAction) {
  using Step = std::function<void(AppStatusState&)>;
  const std::string exited = "Erreur du sender (code 1).";
  const std::tuple<Step, std::string, std::optional<std::string>> steps[] = {
      {[&](auto& s) { s.automatic(availabilityStatus(1)); }, "1 receiver trouvé. Saisissez le code.", std::nullopt},
      {[&](auto& s) { s.failed(badCodeFailure); }, badCodeFailure, badCodeFailure},
      {[&](auto& s) { s.automatic(availabilityStatus(2)); }, badCodeFailure, badCodeFailure},
      {[&](auto& s) { s.userAction(pairingStatus); }, pairingStatus, std::nullopt},
      {[&](auto& s) { s.failed(exited); }, exited, exited},
      {[&](auto& s) { s.userAction(stoppedStatus); }, stoppedStatus, std::nullopt},
      {[&](auto& s) { s.automatic(availabilityStatus(0)); }, searchingStatus, std::nullopt},
      {[&](auto& s) { s.automatic(availabilityStatus(12)); }, "12 receivers trouvés. Saisissez le code.", std::nullopt},
  };
  AppStatusState state(searchingStatus);
  int index = 0;
  for (const auto& [apply, message, failure] : steps) {
    apply(state);
    EXPECT_EQ(std::tie(state.message, state.failure), std::tie(message, failure)) << "step " << index++;
  }
}

TEST(ValidatedCode, SixDecimalDigitsOfAnyScriptAndAReceiver) {
  const struct {
    const char* typed;
    std::size_t receivers;
    const char* failure;  // empty when accepted
  } cases[] = {
      {"000000", 3, ""},         {"٠١٢٣٤٥", 1, ""},  // Arabic-Indic digits
      {"１２３４５６", 1, ""},   // full-width digits
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

}  // namespace
}  // namespace pelorin::app
