#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pelorin {

// A complete decimal integer: an optional "+" or "-", then one or more ASCII digits and nothing
// else, within the type's range.
std::optional<std::int64_t> parseInt64(std::string_view text);
std::optional<std::uint32_t> parseUInt32(std::string_view text);

}  // namespace pelorin
