#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace pelorin::platform {

// How an outgoing TCP connection ended when it did not connect.
enum class ConnectFailure {
  refused,      // nobody listens at the port
  unreachable,  // no route to the network or host
  denied,       // this host's own policy forbids it (EACCES, EPERM)
  failed,       // anything else
};

// Both ends of an established connection, numeric hosts (a link-local IPv6 host with its zone).
struct ConnectedEnds {
  std::string remoteHost;
  std::uint16_t remotePort = 0;
  std::string localHost;
};

struct ConnectOutcome {
  std::optional<ConnectedEnds> ends;  // set when connected
  ConnectFailure failure = ConnectFailure::failed;
  int code = 0;  // the errno behind a failure
};

// Opens short-lived TCP connections without blocking the caller. A connection that succeeds is
// closed as soon as its ends are known.
class TcpConnector {
 public:
  using Done = std::function<void(const ConnectOutcome&)>;
  virtual ~TcpConnector() = default;
  // `done` runs once on the connector's own thread, never after cancel().
  virtual std::uint64_t connect(const std::string& host, std::uint16_t port, Done done) = 0;
  virtual void cancel(std::uint64_t id) = 0;
};

}  // namespace pelorin::platform
