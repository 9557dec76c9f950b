#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace pelorin::test {

// An anonymous in-memory file to hand to code that writes to a descriptor.
class CapturedFd {
 public:
  CapturedFd() : fd_(memfd_create("pelorin-test", MFD_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("memfd_create failed");
  }
  ~CapturedFd() { close(fd_); }
  CapturedFd(const CapturedFd&) = delete;
  CapturedFd& operator=(const CapturedFd&) = delete;

  int fd() const { return fd_; }
  std::string contents() const {  // everything written so far
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = pread(fd_, buffer, sizeof buffer, static_cast<off_t>(out.size()))) > 0;) {
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  int fd_;
};

}  // namespace pelorin::test
