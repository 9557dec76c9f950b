#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pelorin::sources {

// The index of the display to capture: the first one when none is requested, else the first
// position of the requested identifier; nothing when there is no such display.
std::optional<std::size_t> resolveDisplayIndex(std::optional<std::uint32_t> requested,
                                               const std::vector<std::uint32_t>& available);

}  // namespace pelorin::sources
