#include "support/temp_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>

namespace pelorin::test {

CapturedFd::CapturedFd() : fd_(memfd_create("pelorin-test", MFD_CLOEXEC)) {
  if (fd_ < 0) throw std::runtime_error("memfd_create failed");
}

CapturedFd::~CapturedFd() { close(fd_); }

std::string CapturedFd::contents() const {
  std::string out;
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(fd_, buffer, sizeof buffer, offset);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
  return out;
}

}  // namespace pelorin::test
