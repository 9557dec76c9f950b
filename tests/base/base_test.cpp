// The base library's text and bytes: log values, error descriptions, Annex-B units.
#include <gtest/gtest.h>

#include "base/error.h"
#include "base/h264_nal.h"
#include "base/sanitize.h"

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

using Bytes = std::vector<std::uint8_t>;

TEST(SplitAnnexB, SplitsOnBothStartCodesDroppingGarbageTrailingZerosAndEmptyUnits) {
  const std::pair<Bytes, std::vector<Bytes>> cases[] = {
      {{0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4}, {{0x67, 1, 2}, {0x68, 3}, {0x65, 4}}},
      {{9, 9, 0, 0, 1, 0x41, 7, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0x41, 8, 0, 0}, {{0x41, 7}, {0x41, 8}}},
      {{0, 0, 1, 0x65, 0, 0, 3, 1, 5}, {{0x65, 0, 0, 3, 1, 5}}},  // emulation prevention bytes stay
      {{}, {}},
      {{0x41, 1, 2}, {}},
      {{0, 0, 1}, {}},
  };
  for (const auto& [stream, expected] : cases) {
    std::vector<Bytes> units;
    for (ByteSpan u : splitAnnexB(stream)) units.emplace_back(u.begin(), u.end());
    EXPECT_EQ(units, expected) << stream.size();
  }
  EXPECT_TRUE(nalType(Bytes{0x65}) == nal::sliceIdr && nalType(Bytes{0x67}) == nal::sps && nalType(Bytes{}) == -1);
}

}  // namespace
}  // namespace pelorin
