#pragma once

#include <string>
#include <string_view>

namespace pelorin {

// The text as valid UTF-8: every ill-formed sequence becomes U+FFFD, valid text is unchanged.
std::string utf8WithReplacements(std::string_view bytes);

}  // namespace pelorin
