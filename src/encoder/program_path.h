#pragma once

#include <string>
#include <string_view>

namespace pelorin::encoder {

// The program's first command-line word as an absolute path with "." and ".." removed;
// a relative word is taken relative to currentDirectory.
std::string standardizedProgramPath(std::string_view word, std::string_view currentDirectory);

}  // namespace pelorin::encoder
