#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::test {

// The key=value words of a log line ("event a=1 b=2" gives {a: 1, b: 2}); words without "=" are
// left out.
std::map<std::string, std::string> keyValues(const std::string& line);

// The first line that starts with `prefix`, if any.
std::optional<std::string> lineStarting(const std::vector<std::string>& lines, const std::string& prefix);

}  // namespace pelorin::test
