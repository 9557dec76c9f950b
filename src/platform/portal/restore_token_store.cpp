#include "platform/portal/restore_token_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "base/fd_output.h"

namespace pelorin::platform::portal {
namespace {

constexpr const char* tokenFile = "portal-restore-token";
constexpr const char* lockFile = "portal-restore-token.lock";

Error storeError(const std::string& what) {
  return Error{"Pelorin", errno ? errno : -1, "restore token " + what + ": " + std::strerror(errno)};
}

// The lock file, locked as asked; -1 when it cannot be.
int openLocked(const std::filesystem::path& directory, int operation) {
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  const int fd = ::open((directory / lockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  while (::flock(fd, operation) != 0) {
    if (errno == EINTR) continue;
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string readToken(const std::filesystem::path& directory) {
  std::ifstream in(directory / tokenFile);
  std::string token;
  std::getline(in, token);
  return token;
}

}  // namespace

RestoreTokenLease::RestoreTokenLease(int lockFd, std::filesystem::path directory, std::string token)
    : lockFd_(lockFd), directory_(std::move(directory)), token_(std::move(token)) {}

RestoreTokenLease::RestoreTokenLease(RestoreTokenLease&& other) noexcept
    : lockFd_(other.lockFd_), directory_(std::move(other.directory_)), token_(std::move(other.token_)) {
  other.lockFd_ = -1;
}

RestoreTokenLease::~RestoreTokenLease() {
  if (lockFd_ >= 0) ::close(lockFd_);  // closing the last descriptor drops the lock
}

Result<RestoreTokenLease> RestoreTokenLease::acquire(const std::filesystem::path& directory) {
  const int fd = openLocked(directory, LOCK_EX);
  if (fd < 0) return storeError("lock in " + directory.string());
  return RestoreTokenLease(fd, directory, readToken(directory));
}

Result<void> RestoreTokenLease::replace(const std::string& token) {
  // Written beside the file and renamed over it: a reader sees the old token or the new one.
  const std::filesystem::path fresh = directory_ / (std::string(tokenFile) + ".new");
  const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return storeError("write");
  const std::string line = token + "\n";
  Result<void> written = writeAll(fd, line.data(), line.size());
  // Set explicitly: a leftover of a crashed write keeps its old mode through O_TRUNC.
  const bool ok = written && ::fchmod(fd, 0600) == 0 && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(fresh.c_str(), (directory_ / tokenFile).c_str()) != 0) return storeError("write");
  token_ = token;
  return {};
}

std::optional<std::string> storedRestoreToken(const std::filesystem::path& directory) {
  std::error_code ignored;
  if (!std::filesystem::exists(directory / tokenFile, ignored)) return std::nullopt;  // and creates nothing
  const int fd = openLocked(directory, LOCK_SH);
  if (fd < 0) return std::nullopt;
  std::string token = readToken(directory);
  ::close(fd);
  if (token.empty()) return std::nullopt;
  return token;
}

}  // namespace pelorin::platform::portal
