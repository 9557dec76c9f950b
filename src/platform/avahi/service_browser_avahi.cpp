#include "platform/avahi/service_browser_avahi.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <net/if.h>

#include <algorithm>

#include "base/thread_name.h"

namespace pelorin::platform::avahi {
namespace {

constexpr unsigned retryMilliseconds = 1000;

// Keeps the poll thread out while the caller touches Avahi objects.
class PollLock {
 public:
  explicit PollLock(AvahiThreadedPoll* poll) : poll_(poll) { avahi_threaded_poll_lock(poll_); }
  ~PollLock() { avahi_threaded_poll_unlock(poll_); }
  PollLock(const PollLock&) = delete;
  PollLock& operator=(const PollLock&) = delete;

 private:
  AvahiThreadedPoll* poll_;
};

void armTimeout(AvahiThreadedPoll* poll, AvahiTimeout* timeout, unsigned milliseconds) {
  timeval when{};
  avahi_threaded_poll_get(poll)->timeout_update(timeout, avahi_elapse_time(&when, milliseconds, 0));
}

bool isLinkLocal(const AvahiAddress& address) {
  const auto* bytes = address.data.ipv6.address;
  return address.proto == AVAHI_PROTO_INET6 && bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
}

// Numeric host; a link-local IPv6 host needs its interface to be reachable.
std::string hostText(const AvahiAddress& address, int interfaceIndex) {
  char text[AVAHI_ADDRESS_STR_MAX] = "";
  avahi_address_snprint(text, sizeof text, &address);
  std::string host = text;
  char zone[IF_NAMESIZE] = "";
  if (isLinkLocal(address) && if_indextoname(static_cast<unsigned>(interfaceIndex), zone))
    host += std::string("%") + zone;
  return host;
}

void clientCallback(AvahiClient* client, AvahiClientState state, void* self) {
  static_cast<ServiceBrowserAvahi*>(self)->onClientState(client, state);
}

void browseCallback(AvahiServiceBrowser*, AvahiIfIndex interfaceIndex, AvahiProtocol protocol, AvahiBrowserEvent event,
                    const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* self) {
  static_cast<ServiceBrowserAvahi*>(self)->onBrowse(interfaceIndex, protocol, event, name, type, domain);
}

void resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex interfaceIndex, AvahiProtocol,
                     AvahiResolverEvent event, const char*, const char*, const char*, const char*,
                     const AvahiAddress* address, uint16_t port, AvahiStringList*, AvahiLookupResultFlags, void* self) {
  static_cast<ServiceBrowserAvahi*>(self)->onResolved(resolver, interfaceIndex, event, address, port);
}

// The poll thread's first event (start() arms it at once): Avahi starts that thread without a name.
void retryCallback(AvahiTimeout*, void* self) {
  nameThisThread("pelorin.avahi");
  static_cast<ServiceBrowserAvahi*>(self)->connectClient();
}

}  // namespace

ServiceBrowserAvahi::ServiceBrowserAvahi() : poll_(avahi_threaded_poll_new()) {}

ServiceBrowserAvahi::~ServiceBrowserAvahi() {
  if (!poll_) return;
  avahi_threaded_poll_stop(poll_);
  freeLookups();
  if (client_) avahi_client_free(client_);
  avahi_threaded_poll_free(poll_);  // frees the retry timeout too
}

void ServiceBrowserAvahi::start(const std::string& type, Events events) {
  if (!poll_) {
    if (events.state) events.state(false, "avahi poll unavailable");
    return;
  }
  type_ = type;
  events_ = std::move(events);
  // The client is made on the poll thread, so that no event runs inside start().
  retry_ = avahi_threaded_poll_get(poll_)->timeout_new(avahi_threaded_poll_get(poll_), nullptr, retryCallback, this);
  armTimeout(poll_, retry_, 0);
  avahi_threaded_poll_start(poll_);
}

void ServiceBrowserAvahi::connectClient() {
  if (client_) {
    freeLookups();
    avahi_client_free(client_);
    client_ = nullptr;
  }
  int error = 0;
  // NO_FAIL: without a daemon the client waits for one (CONNECTING) instead of failing.
  client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, clientCallback, this, &error);
  if (!client_) goDown(avahi_strerror(error), true);
}

void ServiceBrowserAvahi::onClientState(AvahiClient* client, int state) {
  switch (state) {
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_RUNNING:
    case AVAHI_CLIENT_S_COLLISION:
      if (browser_) return;
      browser_ = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type_.c_str(), nullptr,
                                           AvahiLookupFlags(0), browseCallback, this);
      if (!browser_) return goDown(avahi_strerror(avahi_client_errno(client)), true);
      up_ = true;
      if (events_.state) events_.state(true, {});
      return;
    case AVAHI_CLIENT_CONNECTING:
      return goDown("avahi-daemon not running", false);
    default:
      return goDown(avahi_strerror(avahi_client_errno(client)), true);
  }
}

void ServiceBrowserAvahi::goDown(const std::string& reason, bool retry) {
  freeLookups();
  // A failed client cannot recover by itself, and cannot be freed inside its own callback: a new
  // one is made later. A waiting (CONNECTING) client follows the daemon by itself.
  if (retry) armTimeout(poll_, retry_, retryMilliseconds);
  up_ = false;
  if (events_.state) events_.state(false, reason);
}

void ServiceBrowserAvahi::freeLookups() {
  for (auto& [id, pending] : resolves_) avahi_service_resolver_free(pending.resolver);
  resolves_.clear();
  if (browser_) avahi_service_browser_free(browser_);
  browser_ = nullptr;
}

void ServiceBrowserAvahi::onBrowse(int interfaceIndex, int protocol, int event, const char* name, const char* type,
                                   const char* domain) {
  if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE) {
    if (event == AVAHI_BROWSER_FAILURE) goDown(avahi_strerror(avahi_client_errno(client_)), true);
    return;
  }
  const ServiceReport report{ServiceInstance{name, type, domain}, interfaceIndex, protocol};
  const auto& handler = event == AVAHI_BROWSER_NEW ? events_.added : events_.removed;
  if (handler) handler(report);
}

std::uint64_t ServiceBrowserAvahi::resolve(const ServiceReport& report, ResolveDone done) {
  PollLock lock(poll_);
  const std::uint64_t id = nextId_++;
  if (!client_ || !up_) return id;  // the stop was reported; nothing will come of this one
  const auto& instance = report.instance;
  auto* resolver = avahi_service_resolver_new(client_, report.interfaceIndex, report.protocol, instance.name.c_str(),
                                              instance.type.c_str(), instance.domain.c_str(), AVAHI_PROTO_UNSPEC,
                                              AvahiLookupFlags(0), resolveCallback, this);
  if (!resolver) return id;
  resolves_.emplace(id, Resolve{resolver, std::move(done)});
  return id;
}

void ServiceBrowserAvahi::cancelResolve(std::uint64_t id) {
  PollLock lock(poll_);
  const auto found = resolves_.find(id);
  if (found == resolves_.end()) return;
  avahi_service_resolver_free(found->second.resolver);
  resolves_.erase(found);
}

void ServiceBrowserAvahi::onResolved(AvahiServiceResolver* resolver, int interfaceIndex, int event, const void* address,
                                     std::uint16_t port) {
  const auto found = std::find_if(resolves_.begin(), resolves_.end(),
                                  [&](const auto& entry) { return entry.second.resolver == resolver; });
  if (found == resolves_.end()) return;
  auto done = std::move(found->second.done);
  // Avahi allows freeing a resolver inside its own callback.
  avahi_service_resolver_free(resolver);
  resolves_.erase(found);
  if (event != AVAHI_RESOLVER_FOUND) {
    const int code = avahi_client_errno(client_);
    return done(Error{"Avahi", code, avahi_strerror(code)});
  }
  done(ServiceAddress{hostText(*static_cast<const AvahiAddress*>(address), interfaceIndex), port});
}

}  // namespace pelorin::platform::avahi
