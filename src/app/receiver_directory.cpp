#include "app/receiver_directory.h"

#include <algorithm>

namespace pelorin::app {

void ReceiverDirectory::update(const ReceiverAddress& address) {
  const auto found = std::find_if(receivers.begin(), receivers.end(),
                                  [&](const ReceiverAddress& entry) { return entry.identifier == address.identifier; });
  if (found != receivers.end()) {
    *found = address;
  } else {
    receivers.push_back(address);
  }
}

void ReceiverDirectory::remove(std::string_view identifier) {
  std::erase_if(receivers, [&](const ReceiverAddress& entry) { return entry.identifier == identifier; });
}

std::string hostAddress(std::string_view host) { return std::string(host.substr(0, host.find('%'))); }

std::string socketAddress(std::string_view host, std::uint16_t port) {
  const std::string bare = hostAddress(host);
  const std::string shown = bare.find(':') != std::string::npos ? "[" + bare + "]" : bare;
  return shown + ":" + std::to_string(port);
}

}  // namespace pelorin::app
