#include "app/sender_files.h"

#include <cstdlib>
#include <system_error>

namespace pelorin::app {
namespace {

Error missingResources() { return Error{"Pelorin", -1, "ressources de l’app absentes"}; }

}  // namespace

Result<SenderFiles> senderFilesBeside(const std::filesystem::path& executable) {
  const auto directory = executable.parent_path();
  const auto authority = (directory / ".." / "share" / "pelorin" / "VantrelCA.pem").lexically_normal();
  std::error_code error;
  if (directory.empty() || !std::filesystem::is_regular_file(authority, error)) return missingResources();
  const char* replacement = std::getenv("PELORIN_SENDER");
  const std::string sender = replacement && *replacement ? replacement : (directory / "pelorin").string();
  return SenderFiles{sender, authority.string()};
}

Result<SenderFiles> locateSenderFiles() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return missingResources();
  return senderFilesBeside(executable);
}

}  // namespace pelorin::app
