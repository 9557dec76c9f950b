#include "base/decimal.h"

#include <charconv>
#include <limits>
#include <utility>

namespace pelorin {
namespace {

// The sign and the magnitude of a complete decimal integer; nothing unless the text is an
// optional sign and one or more digits whose value fits 64 unsigned bits.
struct SignedMagnitude {
  bool negative = false;
  std::uint64_t magnitude = 0;
};

std::optional<SignedMagnitude> signedMagnitude(std::string_view text) {
  SignedMagnitude value;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    value.negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value.magnitude);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::int64_t> parseInt64(std::string_view text) {
  // The magnitude is unsigned so that INT64_MIN is representable.
  const auto parsed = signedMagnitude(text);
  if (!parsed) return std::nullopt;
  const auto [negative, magnitude] = *parsed;
  constexpr std::uint64_t maxPositive = std::numeric_limits<std::int64_t>::max();
  if (!negative) {
    if (magnitude > maxPositive) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > maxPositive + 1) return std::nullopt;
  return magnitude == maxPositive + 1 ? std::numeric_limits<std::int64_t>::min()
                                      : -static_cast<std::int64_t>(magnitude);
}

std::optional<std::uint32_t> parseUInt32(std::string_view text) {
  const auto parsed = signedMagnitude(text);
  if (!parsed) return std::nullopt;
  const auto [negative, magnitude] = *parsed;
  if (negative) {
    // "-0" is the only negative spelling inside the unsigned range.
    if (magnitude != 0) return std::nullopt;
    return 0u;
  }
  if (magnitude > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(magnitude);
}

}  // namespace pelorin
