#include "platform/posix/tcp_connector_posix.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/thread_name.h"

namespace pelorin::platform::posix {
namespace {

ConnectFailure failureOf(int code) {
  switch (code) {
    case ECONNREFUSED:
      return ConnectFailure::refused;
    case ENETUNREACH:
    case EHOSTUNREACH:
      return ConnectFailure::unreachable;
    case EACCES:
    case EPERM:
      return ConnectFailure::denied;
    default:
      return ConnectFailure::failed;
  }
}

ConnectOutcome failedWith(int code) { return ConnectOutcome{std::nullopt, failureOf(code), code}; }

// Numeric host of a socket address, with the zone of a scoped IPv6 address.
std::string hostText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    return text;
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
  inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
  std::string host = text;
  char zone[IF_NAMESIZE] = "";
  if (v6.sin6_scope_id != 0 && if_indextoname(v6.sin6_scope_id, zone)) host += std::string("%") + zone;
  return host;
}

std::uint16_t portOf(const sockaddr_storage& address) {
  return ntohs(address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(address).sin_port
                                            : reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

// The outcome of a socket whose connection attempt has settled.
ConnectOutcome settle(int fd) {
  int code = 0;
  socklen_t size = sizeof code;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &size) != 0) code = errno;
  if (code != 0) return failedWith(code);
  sockaddr_storage remote{}, local{};
  socklen_t remoteSize = sizeof remote, localSize = sizeof local;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0) {
    return failedWith(errno);
  }
  return ConnectOutcome{ConnectedEnds{hostText(remote), portOf(remote), hostText(local)}};
}

// Starts a non-blocking connection; returns the socket, or -errno.
int startConnection(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) return -EINVAL;
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int result = fd;
  if (fd < 0) {
    result = -errno;
  } else if (::connect(fd, found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS) {
    result = -errno;
    ::close(fd);
  }
  freeaddrinfo(found);
  return result;
}

}  // namespace

TcpConnectorPosix::TcpConnectorPosix() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), thread_([this] { run(); }) {}

TcpConnectorPosix::~TcpConnectorPosix() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake();
  thread_.join();
  for (auto& [id, attempt] : attempts_) ::close(attempt.fd);
  ::close(wakeFd_);
}

std::uint64_t TcpConnectorPosix::connect(const std::string& host, std::uint16_t port, Done done) {
  const int fd = startConnection(host, port);
  std::uint64_t id = 0;
  {
    MutexLock lock(mutex_);
    id = nextId_++;
    // A failure at once is reported from the thread too, so `done` never runs inside connect().
    attempts_.emplace(id, Attempt{fd, std::move(done)});
  }
  wake();
  return id;
}

void TcpConnectorPosix::cancel(std::uint64_t id) {
  MutexLock delivery(deliveryMutex_);
  MutexLock lock(mutex_);
  const auto found = attempts_.find(id);
  if (found == attempts_.end()) return;
  if (found->second.fd >= 0) ::close(found->second.fd);
  attempts_.erase(found);
}

void TcpConnectorPosix::wake() {
  const std::uint64_t one = 1;
  (void)::write(wakeFd_, &one, sizeof one);
}

void TcpConnectorPosix::finish(std::uint64_t id) {
  MutexLock delivery(deliveryMutex_);
  Done done;
  ConnectOutcome outcome;
  {
    MutexLock lock(mutex_);
    const auto found = attempts_.find(id);
    if (found == attempts_.end()) return;  // cancelled meanwhile
    const int fd = found->second.fd;
    outcome = fd < 0 ? failedWith(-fd) : settle(fd);
    if (fd >= 0) ::close(fd);
    done = std::move(found->second.done);
    attempts_.erase(found);
  }
  done(outcome);
}

void TcpConnectorPosix::run() {
  nameThisThread("pelorin.connect");
  for (;;) {
    std::vector<pollfd> watched{{wakeFd_, POLLIN, 0}};
    std::vector<std::uint64_t> ids{0};
    std::vector<std::uint64_t> failedAtStart;
    {
      MutexLock lock(mutex_);
      if (stopping_) return;
      for (const auto& [id, attempt] : attempts_) {
        if (attempt.fd < 0) {
          failedAtStart.push_back(id);
        } else {
          watched.push_back({attempt.fd, POLLOUT, 0});
          ids.push_back(id);
        }
      }
    }
    for (const auto id : failedAtStart) finish(id);
    if (!failedAtStart.empty()) continue;
    if (poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR) return;
    if (watched[0].revents & POLLIN) {
      std::uint64_t count = 0;
      (void)::read(wakeFd_, &count, sizeof count);
    }
    for (std::size_t i = 1; i < watched.size(); ++i) {
      if (watched[i].revents) finish(ids[i]);
    }
  }
}

}  // namespace pelorin::platform::posix
