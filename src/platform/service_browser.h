#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <string>

#include "base/error.h"

namespace pelorin::platform {

// One announced DNS-SD service instance.
struct ServiceInstance {
  std::string name;
  std::string type;
  std::string domain;
  auto operator<=>(const ServiceInstance&) const = default;
};

// A service as seen on one network interface over one protocol: one instance may be reported
// several times.
struct ServiceReport {
  ServiceInstance instance;
  int interfaceIndex = -1;
  int protocol = -1;
  auto operator<=>(const ServiceReport&) const = default;
};

// Where a resolved report can be reached. `host` is numeric; a link-local IPv6 host carries its
// zone ("fe80::1%eth0") so that it can be connected to.
struct ServiceAddress {
  std::string host;
  std::uint16_t port = 0;
};

// Browses the local network for one service type. Every callback runs on the browser's own
// thread, never from within a call to the browser; callbacks must not call back into it.
class ServiceBrowser {
 public:
  struct Events {
    std::function<void(const ServiceReport&)> added;
    std::function<void(const ServiceReport&)> removed;
    // Browsing became possible (`running`) or stopped (with a short reason). After a stop, every
    // report made before it is void; a later start reports the services again.
    std::function<void(bool running, const std::string& reason)> state;
  };
  using ResolveDone = std::function<void(Result<ServiceAddress>)>;

  virtual ~ServiceBrowser() = default;
  // Starts browsing `type` in the default domain; keeps trying while the service is unavailable.
  virtual void start(const std::string& type, Events events) = 0;
  // Resolves one report once; `done` is called at most once, never after cancelResolve.
  virtual std::uint64_t resolve(const ServiceReport& report, ResolveDone done) = 0;
  virtual void cancelResolve(std::uint64_t id) = 0;
};

}  // namespace pelorin::platform
