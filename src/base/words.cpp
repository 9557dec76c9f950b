#include "base/words.h"

#include <algorithm>

namespace pelorin {

std::vector<std::string_view> spaceSeparatedWords(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t start = 0;
  while (start < line.size()) {
    const std::size_t end = std::min(line.find(' ', start), line.size());
    if (end > start) words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

}  // namespace pelorin
