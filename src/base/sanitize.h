#pragma once

#include <string>
#include <string_view>

namespace pelorin {

// Turns any UTF-8 text into a log value: ASCII letters, digits and - _ : / . are kept, every
// other user-perceived character (grapheme cluster; CR LF is one) becomes a single "_", and at
// most the first 160 characters are kept. Invalid UTF-8 bytes count as one character each.
std::string sanitized(std::string_view text);

}  // namespace pelorin
