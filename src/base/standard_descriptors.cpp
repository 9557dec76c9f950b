#include "base/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace pelorin {
namespace {

bool isClosed(int fd) { return fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

// open() returns the lowest free number, so descriptors are filled in order.
bool occupy(int fd, int flags) {
  if (!isClosed(fd)) return false;
  const int opened = ::open("/dev/null", flags);
  if (opened >= 0 && opened != fd) {
    ::dup2(opened, fd);
    ::close(opened);
  }
  return true;
}

}  // namespace

ClosedStandardDescriptors occupyClosedStandardDescriptors() {
  ClosedStandardDescriptors closed;
  closed.input = occupy(0, O_RDONLY);
  closed.output = occupy(1, O_RDONLY);
  closed.error = occupy(2, O_WRONLY);
  return closed;
}

}  // namespace pelorin
