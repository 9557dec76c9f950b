#include "encoder/program_path.h"

#include <filesystem>

namespace pelorin::encoder {

std::string standardizedProgramPath(std::string_view word, std::string_view currentDirectory) {
  namespace fs = std::filesystem;
  fs::path path(word);
  if (path.is_relative()) path = fs::path(currentDirectory) / path;
  std::string text = path.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace pelorin::encoder
