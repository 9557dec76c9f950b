#include "base/sanitize.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

TEST(Sanitized, KeepsTheAllowedAsciiAndReplacesEverythingElse) {
  EXPECT_EQ(sanitized("a b=c"), "a_b_c");
  EXPECT_EQ(sanitized("Az09-_:/."), "Az09-_:/.");
  EXPECT_EQ(sanitized("\"quoted\"\ttab"), "_quoted__tab");
  EXPECT_EQ(sanitized(""), "");
  EXPECT_EQ(sanitized(std::string("nul\0byte", 8)), "nul_byte");
}

TEST(Sanitized, CountsUserPerceivedCharacters) {
  EXPECT_EQ(sanitized("\xC3\x89" "cran 1"), "_cran_1");        // precomposed É
  EXPECT_EQ(sanitized("E\xCC\x81" "cran 1"), "_cran_1");       // E + combining acute: one character
  EXPECT_EQ(sanitized("line\r\nbreak"), "line_break");        // CR LF is one character
  EXPECT_EQ(sanitized("line\n\rbreak"), "line__break");       // LF CR are two
  EXPECT_EQ(sanitized("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD!"), "__");  // emoji with skin tone, then !
  EXPECT_EQ(sanitized("bad\xFF" "byte"), "bad_byte");
}

TEST(Sanitized, KeepsAtMost160Characters) {
  EXPECT_EQ(sanitized(std::string(200, 'x')), std::string(160, 'x'));
  EXPECT_EQ(sanitized(std::string(160, 'y')), std::string(160, 'y'));
  std::string accented;
  for (int i = 0; i < 170; ++i) accented += "\xC3\xA9";
  EXPECT_EQ(sanitized(accented), std::string(160, '_'));
}

}  // namespace
}  // namespace pelorin
