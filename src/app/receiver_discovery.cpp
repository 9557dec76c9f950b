#include "app/receiver_discovery.h"

#include <algorithm>
#include <cctype>

#include "base/sanitize.h"

namespace pelorin::app {
namespace {

// DNS-SD presentation form: "." and "\\" escaped, spaces and control bytes as \DDD, so the
// identifier stays one word in log lines.
std::string escapedLabel(const std::string& name) {
  std::string out;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7f) {
      const std::string digits = std::to_string(byte);
      out += "\\" + std::string(3 - digits.size(), '0') + digits;
      continue;
    }
    if (c == '.' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

bool isLinkLocal(const std::string& host) {
  const std::string bare = hostAddress(host);
  if (bare.find(':') == std::string::npos) return bare.starts_with("169.254.");
  // fe80::/10
  if (bare.size() < 4 || std::tolower(bare[0]) != 'f' || std::tolower(bare[1]) != 'e') return false;
  const char third = static_cast<char>(std::tolower(bare[2]));
  return third == '8' || third == '9' || third == 'a' || third == 'b';
}

const char* stateWord(platform::ConnectFailure failure) {
  switch (failure) {
    case platform::ConnectFailure::refused:
      return "refused";
    case platform::ConnectFailure::unreachable:
      return "unreachable";
    default:
      return "failed";
  }
}

}  // namespace

std::string receiverIdentifier(const platform::ServiceInstance& instance) {
  return escapedLabel(instance.name) + "." + instance.type + "." + instance.domain;
}

ReceiverDiscovery::ReceiverDiscovery(std::unique_ptr<platform::ServiceBrowser> browser,
                                     std::unique_ptr<platform::TcpConnector> connector, MainPoster toMain, AppLog& log,
                                     std::chrono::steady_clock::duration unreachableAfter)
    : browser_(std::move(browser)),
      connector_(std::move(connector)),
      toMain_(std::move(toMain)),
      log_(log),
      unreachableAfter_(unreachableAfter),
      self_(std::make_shared<ReceiverDiscovery*>(this)) {}

ReceiverDiscovery::~ReceiverDiscovery() {
  // Both platform threads end here; what they already queued finds the discovery gone.
  queue_.sync([this] {
    self_.reset();
    browser_.reset();
    connector_.reset();
  });
}

std::function<void()> ReceiverDiscovery::onQueue(std::function<void()> task) {
  return [alive = std::weak_ptr<ReceiverDiscovery*>(self_), task = std::move(task)] {
    if (alive.lock()) task();
  };
}

void ReceiverDiscovery::start() {
  platform::ServiceBrowser::Events events;
  events.added = [this](const platform::ServiceReport& report) {
    queue_.post(onQueue([this, report] { added(report); }));
  };
  events.removed = [this](const platform::ServiceReport& report) {
    queue_.post(onQueue([this, report] { removed(report); }));
  };
  events.state = [this](bool running, const std::string& reason) {
    queue_.post(onQueue([this, running, reason] { browsingChanged(running, reason); }));
  };
  queue_.sync([&] { browser_->start(receiverServiceType, std::move(events)); });
}

void ReceiverDiscovery::added(const platform::ServiceReport& report) {
  const std::string identifier = receiverIdentifier(report.instance);
  auto [entry, isNew] = resolvers_.try_emplace(identifier);
  Resolution& resolution = entry->second;
  if (isNew) {
    resolution.generation = nextGeneration_++;
    queue_.postAfter(unreachableAfter_, onQueue([this, identifier, generation = resolution.generation] {
                       timedOut(identifier, generation);
                     }));
  }
  if (!resolution.reports.insert(report).second || resolution.listed) return;
  // Each report of an instance may add an address until one of them connects.
  resolve(identifier, resolution, report);
}

void ReceiverDiscovery::removed(const platform::ServiceReport& report) {
  const std::string identifier = receiverIdentifier(report.instance);
  const auto found = resolvers_.find(identifier);
  if (found != resolvers_.end()) {
    found->second.reports.erase(report);
    if (!found->second.reports.empty()) return;  // still announced elsewhere
    forget(found->second);
    resolvers_.erase(found);
  }
  directory_.remove(identifier);
  publish();
}

void ReceiverDiscovery::browsingChanged(bool running, const std::string& reason) {
  if (running) {
    browserFailed_ = false;
    return;
  }
  if (browserFailed_) return;
  browserFailed_ = true;
  log_.write("discovery browser_failed reason=" + sanitized(reason));
  // Every report is void now; services come back as new ones when browsing resumes.
  for (auto& [identifier, resolution] : resolvers_) forget(resolution);
  resolvers_.clear();
  directory_.receivers.clear();
  publish();
}

void ReceiverDiscovery::resolve(const std::string& identifier, Resolution& resolution,
                                const platform::ServiceReport& report) {
  // The id is known once resolve() returns, before any answer can be handled on this queue.
  auto id = std::make_shared<std::uint64_t>(0);
  *id = browser_->resolve(report, [this, identifier, id](Result<platform::ServiceAddress> result) {
    queue_.post(onQueue([this, identifier, id, result = std::move(result)] {
      const auto found = resolvers_.find(identifier);
      if (found == resolvers_.end() || !found->second.pendingResolves.erase(*id)) return;
      if (result) addressResolved(identifier, *result);
    }));
  });
  resolution.pendingResolves.insert(*id);
}

void ReceiverDiscovery::addressResolved(const std::string& identifier, const platform::ServiceAddress& address) {
  Resolution& resolution = resolvers_.at(identifier);
  if (resolution.listed) return;
  // IPv4 and global addresses first; a link-local one only when nothing better answers.
  auto& untried = resolution.untried;
  const auto before = isLinkLocal(address.host) ? untried.end()
                                                : std::find_if(untried.begin(), untried.end(),
                                                               [](const auto& a) { return isLinkLocal(a.host); });
  untried.insert(before, address);
  if (!resolution.connection) connectNext(identifier, resolution);
}

void ReceiverDiscovery::connectNext(const std::string& identifier, Resolution& resolution) {
  if (resolution.untried.empty()) return;
  const platform::ServiceAddress next = resolution.untried.front();
  resolution.untried.erase(resolution.untried.begin());
  auto attempt = std::make_shared<std::uint64_t>(0);
  *attempt =
      connector_->connect(next.host, next.port, [this, identifier, attempt](const platform::ConnectOutcome& outcome) {
        queue_.post(onQueue([this, identifier, attempt, outcome] { connected(identifier, *attempt, outcome); }));
      });
  resolution.connection = *attempt;
}

void ReceiverDiscovery::connected(const std::string& identifier, std::uint64_t attempt,
                                  const platform::ConnectOutcome& outcome) {
  const auto found = resolvers_.find(identifier);
  if (found == resolvers_.end() || found->second.connection != attempt) return;
  Resolution& resolution = found->second;
  resolution.connection.reset();
  if (outcome.ends) {
    resolution.listed = true;
    directory_.update(ReceiverAddress{identifier, socketAddress(outcome.ends->remoteHost, outcome.ends->remotePort),
                                      hostAddress(outcome.ends->localHost)});
    publish();
    return;
  }
  if (outcome.failure == platform::ConnectFailure::denied) {
    log_.write("discovery local_network=denied endpoint=" + identifier);
    // Only the resolver goes: a later announcement of the same instance is resolved anew.
    forget(resolution);
    resolvers_.erase(found);
    if (onLocalNetworkDenied) onLocalNetworkDenied();
    return;
  }
  resolution.lastFailure = stateWord(outcome.failure);
  connectNext(identifier, resolution);
}

void ReceiverDiscovery::timedOut(const std::string& identifier, std::uint64_t generation) {
  const auto found = resolvers_.find(identifier);
  if (found == resolvers_.end() || found->second.generation != generation || found->second.listed) return;
  if (!directory_.receivers.empty()) return;
  const Resolution& resolution = found->second;
  const bool trying = resolution.connection || !resolution.pendingResolves.empty();
  log_.write("discovery unreachable endpoint=" + identifier +
             " state=" + (trying ? "connecting" : resolution.lastFailure));
  if (onLocalNetworkDenied) onLocalNetworkDenied();
}

void ReceiverDiscovery::publish() {
  toMain_([alive = std::weak_ptr<ReceiverDiscovery*>(self_), this, snapshot = directory_.receivers] {
    if (alive.lock() && onChange) onChange(snapshot);
  });
}

void ReceiverDiscovery::forget(Resolution& resolution) {
  for (const auto id : resolution.pendingResolves) browser_->cancelResolve(id);
  if (resolution.connection) connector_->cancel(*resolution.connection);
  resolution.pendingResolves.clear();
  resolution.connection.reset();
}

}  // namespace pelorin::app
