#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/app_log.h"
#include "app/main_poster.h"
#include "app/receiver_directory.h"
#include "base/serial_queue.h"
#include "platform/service_browser.h"
#include "platform/tcp_connector.h"

namespace pelorin::app {

inline constexpr const char* receiverServiceType = "_vantrel-cast._tcp";

// The identifier of a receiver: its service instance as "name.type.domain", the name in DNS-SD
// presentation form ("Salon 2" gives "Salon\0322._vantrel-cast._tcp.local").
std::string receiverIdentifier(const platform::ServiceInstance& instance);

// Finds receivers: browses the service type, resolves each announced instance, and learns its
// destination and this machine's address towards it from a short TCP connection. Everything
// runs on the "pelorin.browse" queue; onChange runs on the main thread.
class ReceiverDiscovery {
 public:
  ReceiverDiscovery(std::unique_ptr<platform::ServiceBrowser> browser,
                    std::unique_ptr<platform::TcpConnector> connector, MainPoster toMain, AppLog& log,
                    std::chrono::steady_clock::duration unreachableAfter = std::chrono::seconds(5));
  ~ReceiverDiscovery();
  ReceiverDiscovery(const ReceiverDiscovery&) = delete;
  ReceiverDiscovery& operator=(const ReceiverDiscovery&) = delete;

  // Set both before start(). onChange gets the whole list, on the main thread; onLocalNetworkDenied
  // runs on the discovery queue.
  std::function<void(const std::vector<ReceiverAddress>&)> onChange;
  std::function<void()> onLocalNetworkDenied;

  void start();

 private:
  // One announced instance while it is announced: its reports, its addresses and its connection.
  struct Resolution {
    std::uint64_t generation = 0;
    std::set<platform::ServiceReport> reports;
    std::set<std::uint64_t> pendingResolves;
    std::vector<platform::ServiceAddress> untried;  // best first
    std::optional<std::uint64_t> connection;
    std::string lastFailure = "connecting";
    bool listed = false;
  };

  void added(const platform::ServiceReport& report);
  void removed(const platform::ServiceReport& report);
  void browsingChanged(bool running, const std::string& reason);
  void resolve(const std::string& identifier, Resolution& resolution, const platform::ServiceReport& report);
  void addressResolved(const std::string& identifier, const platform::ServiceAddress& address);
  void connectNext(const std::string& identifier, Resolution& resolution);
  void connected(const std::string& identifier, std::uint64_t attempt, const platform::ConnectOutcome& outcome);
  void timedOut(const std::string& identifier, std::uint64_t generation);
  void forget(Resolution& resolution);
  void publish();
  // Runs the task on the queue unless the discovery is gone.
  std::function<void()> onQueue(std::function<void()> task);

  std::unique_ptr<platform::ServiceBrowser> browser_;
  std::unique_ptr<platform::TcpConnector> connector_;
  MainPoster toMain_;
  AppLog& log_;
  std::chrono::steady_clock::duration unreachableAfter_;
  // Queue-confined state.
  ReceiverDirectory directory_;
  std::map<std::string, Resolution> resolvers_;
  std::uint64_t nextGeneration_ = 1;
  bool browserFailed_ = false;
  // Cleared on destruction; tasks that outlive the object see it gone.
  std::shared_ptr<ReceiverDiscovery*> self_;
  SerialQueue queue_{"pelorin.browse"};
};

}  // namespace pelorin::app
