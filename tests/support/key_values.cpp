#include "support/key_values.h"

#include <sstream>

namespace pelorin::test {

std::map<std::string, std::string> keyValues(const std::string& line) {
  std::map<std::string, std::string> out;
  std::istringstream words(line);
  std::string word;
  while (words >> word) {
    const auto eq = word.find('=');
    if (eq != std::string::npos) out[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return out;
}

std::optional<std::string> lineStarting(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const auto& line : lines) {
    if (line.starts_with(prefix)) return line;
  }
  return std::nullopt;
}

}  // namespace pelorin::test
