#include "base/decimal.h"

#include <charconv>
#include <limits>
#include <utility>

namespace pelorin {
namespace {

// Splits an optional sign from the digits; nullopt unless the rest is one or more digits.
std::optional<std::pair<bool, std::string_view>> signAndDigits(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  return std::pair{negative, text};
}

}  // namespace

std::optional<std::int64_t> parseInt64(std::string_view text) {
  const auto parts = signAndDigits(text);
  if (!parts) return std::nullopt;
  const auto [negative, digits] = *parts;
  // Parse the magnitude as unsigned so that INT64_MIN is representable.
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
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
  const auto parts = signAndDigits(text);
  if (!parts) return std::nullopt;
  const auto [negative, digits] = *parts;
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (negative) {
    // "-0" is the only negative spelling inside the unsigned range.
    if (magnitude != 0) return std::nullopt;
    return 0u;
  }
  if (magnitude > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(magnitude);
}

}  // namespace pelorin
