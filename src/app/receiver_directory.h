#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::app {

// One discovered receiver.
struct ReceiverAddress {
  std::string identifier;              // the announced service instance, as receiverIdentifier() writes it
  std::string destination;             // "host:port" ("[v6host]:port") as reached on the resolving connection
  std::string publicIP = "127.0.0.1";  // this machine's address on the path to the receiver
  bool operator==(const ReceiverAddress&) const = default;
};

// Receivers in the order they were first resolved; identifiers are unique.
struct ReceiverDirectory {
  std::vector<ReceiverAddress> receivers;

  // Replaces the entry with the same identifier in place, or appends.
  void update(const ReceiverAddress& address);
  // Removes every entry with this identifier.
  void remove(std::string_view identifier);
};

// A numeric host without its zone ("fe80::1%eth0" gives "fe80::1").
std::string hostAddress(std::string_view host);
// "host:port", an IPv6 host in brackets, the zone removed.
std::string socketAddress(std::string_view host, std::uint16_t port);

}  // namespace pelorin::app
