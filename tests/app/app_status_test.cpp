#include "app/app_status.h"

#include <gtest/gtest.h>

namespace pelorin::app {
namespace {

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
