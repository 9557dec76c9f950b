#pragma once

#include <string_view>
#include <vector>

namespace pelorin {

// The words of a line separated by spaces; a run of spaces counts as one separator, and spaces at
// either end make no empty word.
std::vector<std::string_view> spaceSeparatedWords(std::string_view line);

}  // namespace pelorin
