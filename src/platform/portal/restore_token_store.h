#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "base/error.h"

namespace pelorin::platform::portal {

// The portal's restore token, kept in one file (mode 0600) in `directory`. Every portal session
// started with it hands out a new one and spends the old, so whoever uses the token holds the
// lease (an exclusive lock) from reading it until the new one is stored: a listing and a
// capture, or two captures, take turns instead of spending the same token twice.
class RestoreTokenLease {
 public:
  static Result<RestoreTokenLease> acquire(const std::filesystem::path& directory);

  RestoreTokenLease(RestoreTokenLease&& other) noexcept;
  RestoreTokenLease& operator=(RestoreTokenLease&&) = delete;
  ~RestoreTokenLease();

  // Empty when none is stored.
  const std::string& token() const { return token_; }
  // Stores `token` in place of the old one, whole or not at all.
  Result<void> replace(const std::string& token);

 private:
  RestoreTokenLease(int lockFd, std::filesystem::path directory, std::string token);

  int lockFd_ = -1;
  std::filesystem::path directory_;
  std::string token_;
};

// The stored token, read under a shared lock; nothing when none is stored or it cannot be read.
std::optional<std::string> storedRestoreToken(const std::filesystem::path& directory);

}  // namespace pelorin::platform::portal
