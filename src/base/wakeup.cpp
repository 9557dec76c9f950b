#include "base/wakeup.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace pelorin {

Wakeup::Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
  if (fd_ >= 0) ::close(fd_);
}

void Wakeup::wake() {
  const std::uint64_t one = 1;
  (void)!::write(fd_, &one, sizeof one);
}

Wakeup::Waited Wakeup::waitForInput(int fd, int timeoutMilliseconds) const {
  for (;;) {
    pollfd watched[2] = {{fd_, POLLIN, 0}, {fd, POLLIN, 0}};
    const int ready = ::poll(watched, 2, timeoutMilliseconds);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return Waited::timedOut;
    // Never read: once woken, it stays so.
    if (ready > 0 && watched[0].revents != 0) return Waited::woken;
    return Waited::input;  // a failed poll too: the read that follows sees why
  }
}

}  // namespace pelorin
