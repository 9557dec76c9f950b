#include "base/state_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace pelorin {
namespace {

std::filesystem::path homeDirectory() {
  // The account's home as the system records it, so the place does not follow a changed $HOME;
  // $HOME only when the account has none.
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && *entry->pw_dir) return entry->pw_dir;
  const char* home = std::getenv("HOME");
  return home ? home : "/";
}

}  // namespace

std::filesystem::path pelorinStateDirectory() {
  const char* state = std::getenv("XDG_STATE_HOME");
  const std::filesystem::path base =
      state && *state == '/' ? std::filesystem::path(state) : homeDirectory() / ".local" / "state";
  return base / "Pelorin";
}

}  // namespace pelorin
