#pragma once

#include <string_view>

namespace pelorin {

// Whether `text` contains `part` under canonical equivalence (both taken in NFC, so a composed and
// a decomposed accented letter match), case-sensitively. An empty part is contained in nothing.
bool containsCanonically(std::string_view text, std::string_view part);

}  // namespace pelorin
