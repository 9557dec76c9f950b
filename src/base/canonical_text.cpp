#include "base/canonical_text.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace pelorin {
namespace {

icu::UnicodeString nfc(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  const icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  if (U_FAILURE(status)) return source;
  icu::UnicodeString normalized = normalizer->normalize(source, status);
  return U_FAILURE(status) ? source : normalized;
}

}  // namespace

bool containsCanonically(std::string_view text, std::string_view part) {
  if (part.empty()) return false;
  return nfc(text).indexOf(nfc(part)) >= 0;
}

}  // namespace pelorin
