#pragma once

#include <string>

namespace pelorin::test {

// An anonymous in-memory file to hand to code that writes to a descriptor.
class CapturedFd {
 public:
  CapturedFd();
  ~CapturedFd();
  CapturedFd(const CapturedFd&) = delete;
  CapturedFd& operator=(const CapturedFd&) = delete;

  int fd() const { return fd_; }
  // Everything written so far.
  std::string contents() const;

 private:
  int fd_;
};

}  // namespace pelorin::test
