// The log-value sanitizer on any bytes.
#include <algorithm>
#include <cctype>

#include "base/sanitize.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzzText(data, size);
  const auto isKept = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("-_:/.").find(c) != std::string_view::npos;
  };
  const std::string out = pelorin::sanitized(input);
  // Every character takes at least one byte, and becomes exactly one.
  fuzzCheck(out.size() <= std::min<std::size_t>(160, input.size()), "at most 160 characters, one per character");
  fuzzCheck(std::all_of(out.begin(), out.end(), isKept), "only kept characters");
  fuzzCheck(pelorin::sanitized(out) == out, "a sanitized text stays as it is");
  // The kept ASCII characters of the head of the input come through in place.
  const auto plainAscii = [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != '\r'; };
  if (std::all_of(input.begin(), input.end(), plainAscii)) {
    fuzzCheck(out.size() == std::min<std::size_t>(160, input.size()), "one character per ASCII byte");
    for (std::size_t i = 0; i < out.size(); ++i) {
      fuzzCheck(out[i] == (isKept(input[i]) ? input[i] : '_'), "ASCII kept in place, the rest as _");
    }
  }
  return 0;
}
