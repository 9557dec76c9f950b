#include "base/utf8.h"

#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

namespace pelorin {

std::string utf8WithReplacements(std::string_view bytes) {
  // ICU substitutes U+FFFD for each maximal ill-formed subpart, as Unicode recommends.
  const auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())));
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace pelorin
