#include "sources/display_choice.h"

#include <algorithm>

namespace pelorin::sources {

std::optional<std::size_t> resolveDisplayIndex(std::optional<std::uint32_t> requested,
                                               const std::vector<std::uint32_t>& available) {
  if (!requested) {
    if (available.empty()) return std::nullopt;
    return 0;
  }
  const auto found = std::find(available.begin(), available.end(), *requested);
  if (found == available.end()) return std::nullopt;
  return static_cast<std::size_t>(found - available.begin());
}

}  // namespace pelorin::sources
