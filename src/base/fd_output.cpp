#include "base/fd_output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace pelorin {

Result<void> writeAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      // A non-blocking descriptor from the host: wait until it takes more, without changing its
      // flags, which the host shares.
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd ready{fd, POLLOUT, 0};
        if (::poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
      }
      const int code = errno;
      return Error{"POSIX", code, std::strerror(code)};
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return {};
}

void writeLine(int fd, std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  // A diagnostic that cannot be written has nowhere else to go.
  (void)writeAll(fd, line.data(), line.size());
}

void ignoreBrokenPipeSignal() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace pelorin
