#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/service_browser.h"

struct AvahiClient;
struct AvahiServiceBrowser;
struct AvahiServiceResolver;
struct AvahiThreadedPoll;
struct AvahiTimeout;

namespace pelorin::platform::avahi {

// DNS-SD through avahi-daemon on the D-Bus system bus. Avahi's threaded poll is the browser's
// thread: the object owns it and stops it when destroyed. A daemon that goes away is waited for;
// a bus that is missing, or a client that failed, is retried every second.
class ServiceBrowserAvahi final : public ServiceBrowser {
 public:
  ServiceBrowserAvahi();
  ~ServiceBrowserAvahi() override;
  ServiceBrowserAvahi(const ServiceBrowserAvahi&) = delete;
  ServiceBrowserAvahi& operator=(const ServiceBrowserAvahi&) = delete;

  void start(const std::string& type, Events events) override;
  std::uint64_t resolve(const ServiceReport& report, ResolveDone done) override;
  void cancelResolve(std::uint64_t id) override;

  // Everything below runs on the poll thread with its lock held; public for Avahi's C callbacks.
  void onClientState(AvahiClient* client, int state);
  void onBrowse(int interfaceIndex, int protocol, int event, const char* name, const char* type, const char* domain);
  void onResolved(AvahiServiceResolver* resolver, int interfaceIndex, int event, const void* address,
                  std::uint16_t port);
  void connectClient();

 private:
  struct Resolve {
    AvahiServiceResolver* resolver = nullptr;
    ResolveDone done;
  };
  // Reports the stop; `retry` makes a new client a second later.
  void goDown(const std::string& reason, bool retry);
  void freeLookups();

  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiServiceBrowser* browser_ = nullptr;
  AvahiTimeout* retry_ = nullptr;
  std::string type_;
  Events events_;
  bool up_ = false;
  std::map<std::uint64_t, Resolve> resolves_;
  std::uint64_t nextId_ = 1;
};

}  // namespace pelorin::platform::avahi
