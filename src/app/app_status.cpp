#include "app/app_status.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

namespace pelorin::app {

void AppStatusState::automatic(const std::string& text) {
  if (!failure) message = text;
}

void AppStatusState::failed(const std::string& text) {
  failure = text;
  message = text;
}

void AppStatusState::userAction(const std::string& text) {
  failure.reset();
  message = text;
}

std::string errorStatus(const std::string& description) { return "Erreur : " + description; }

std::string availabilityStatus(std::size_t receiverCount) {
  if (receiverCount == 0) return searchingStatus;
  const char* plural = receiverCount >= 2 ? "s" : "";
  return std::to_string(receiverCount) + " receiver" + plural + " trouvé" + plural + ". Saisissez le code.";
}

namespace {

// A cluster passes when it is one code point of general category Nd: a digit with a combining
// mark, or a numeral such as ½, is not a digit the user can mean.
bool isDigitCluster(const icu::UnicodeString& text, int32_t start, int32_t end) {
  const UChar32 c = text.char32At(start);
  return start + U16_LENGTH(c) == end && u_charType(c) == U_DECIMAL_DIGIT_NUMBER;
}

}  // namespace

bool isPairingCode(const std::string& typed) {
  const auto text = icu::UnicodeString::fromUTF8(typed);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> clusters(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return false;
  clusters->setText(text);
  int count = 0;
  for (int32_t start = clusters->first(), end = clusters->next(); end != icu::BreakIterator::DONE;
       start = end, end = clusters->next()) {
    if (++count > 6 || !isDigitCluster(text, start, end)) return false;
  }
  return count == 6;
}

CodeCheck validatedCode(const std::string& typed, std::size_t receiverCount) {
  if (!isPairingCode(typed)) return {std::nullopt, badCodeFailure};
  if (receiverCount == 0) return {std::nullopt, noReceiverFailure};
  return {typed, {}};
}

}  // namespace pelorin::app
