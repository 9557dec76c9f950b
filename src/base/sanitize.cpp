#include "base/sanitize.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <memory>

namespace pelorin {
namespace {

constexpr std::size_t maxLength = 160;

bool isKept(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == ':' || c == '/' || c == '.';
}

// Fast path: printable ASCII without CR has one character per byte, no ICU needed.
bool isSimpleAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80 || c == '\r') return false;
  }
  return true;
}

std::string sanitizedAscii(std::string_view text) {
  std::string out;
  const std::size_t n = std::min(text.size(), maxLength);
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(isKept(text[i]) ? text[i] : '_');
  return out;
}

}  // namespace

std::string sanitized(std::string_view text) {
  if (isSimpleAscii(text)) return sanitizedAscii(text);

  UErrorCode status = U_ZERO_ERROR;
  // ICU replaces invalid UTF-8 sequences with U+FFFD, which then becomes one "_".
  const icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !characters) return sanitizedAscii(text);
  characters->setText(unicode);

  std::string out;
  int32_t start = characters->first();
  for (int32_t end = characters->next(); end != icu::BreakIterator::DONE && out.size() < maxLength;
       start = end, end = characters->next()) {
    const bool single = end - start == 1;
    const char16_t unit = unicode.charAt(start);
    out.push_back(single && unit < 0x80 && isKept(static_cast<char>(unit)) ? static_cast<char>(unit)
                                                                            : '_');
  }
  return out;
}

}  // namespace pelorin
