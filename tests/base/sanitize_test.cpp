#include "base/sanitize.h"

#include <gtest/gtest.h>

#include "base/error.h"

namespace pelorin {
namespace {

TEST(Sanitized, KeepsAtMost160UserPerceivedCharactersReplacingAllButTheAllowedAscii) {
  std::string accented;
  for (int i = 0; i < 170; ++i) accented += "\xC3\xA9";
  const std::pair<std::string, std::string> cases[] = {
      {"a b=c", "a_b_c"},
      {"Az09-_:/.", "Az09-_:/."},
      {"\"quoted\"\ttab", "_quoted__tab"},
      {std::string("nul\0byte", 8), "nul_byte"},
      {"\xC3\x89" "cran 1", "_cran_1"},   // precomposed É
      {"E\xCC\x81" "cran 1", "_cran_1"},  // E + combining acute: one character
      {"line\r\nbreak", "line_break"},    // CR LF is one character
      {"line\n\rbreak", "line__break"},   // LF CR are two
      {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD!", "__"},  // emoji with skin tone, then !
      {"bad\xFF" "byte", "bad_byte"},
      {std::string(200, 'x'), std::string(160, 'x')},
      {accented, std::string(160, '_')},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(sanitized(text), expected) << text;
}

TEST(Error, DescriptionIsTheMessageOrNamesDomainAndCode) {
  EXPECT_EQ((Error{"Arguments", -1, "invalid arguments"}).description(), "invalid arguments");
  EXPECT_EQ((Error{"VideoToolbox", -12902, ""}).description(),
            "The operation couldn\u2019t be completed. (VideoToolbox error -12902.)");
}

}  // namespace
}  // namespace pelorin
