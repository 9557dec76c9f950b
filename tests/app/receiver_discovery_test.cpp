#include "app/receiver_discovery.h"

#include <gtest/gtest.h>

#include <mutex>

#include "app/app_test_support.h"
#include "support/pumped_main.h"

namespace pelorin::app {
namespace {

using namespace std::chrono_literals;
using platform::ConnectFailure;
using platform::ConnectOutcome;
using platform::ServiceReport;
using test::eventually;

// Scripted browser and connector: the test answers each request by its index.
struct Requests {
  std::mutex mutex;
  platform::ServiceBrowser::Events events;
  std::vector<std::pair<ServiceReport, platform::ServiceBrowser::ResolveDone>> resolves;
  std::vector<std::pair<std::string, platform::TcpConnector::Done>> connects;
  std::vector<std::uint64_t> cancelledConnects;

  std::size_t count(bool connections) {
    std::lock_guard lock(mutex);
    return connections ? connects.size() : resolves.size();
  }
  std::string connectedTo(std::size_t i) {
    std::lock_guard lock(mutex);
    return connects.at(i).first;
  }
  void resolve(std::size_t i, const std::string& host) {
    std::unique_lock lock(mutex);
    auto done = resolves.at(i).second;
    lock.unlock();
    done(platform::ServiceAddress{host, 7000});
  }
  void connect(std::size_t i, const ConnectOutcome& outcome) {
    std::unique_lock lock(mutex);
    auto done = connects.at(i).second;
    lock.unlock();
    done(outcome);
  }
};

class FakeBrowser : public platform::ServiceBrowser {
 public:
  explicit FakeBrowser(Requests& r) : r_(r) {}
  void start(const std::string& type, Events events) override {
    EXPECT_EQ(type, "_vantrel-cast._tcp");
    std::lock_guard lock(r_.mutex);
    r_.events = std::move(events);
  }
  std::uint64_t resolve(const ServiceReport& report, ResolveDone done) override {
    std::lock_guard lock(r_.mutex);
    r_.resolves.emplace_back(report, std::move(done));
    return r_.resolves.size() - 1;
  }
  void cancelResolve(std::uint64_t) override {}

 private:
  Requests& r_;
};

class FakeConnector : public platform::TcpConnector {
 public:
  explicit FakeConnector(Requests& r) : r_(r) {}
  std::uint64_t connect(const std::string& host, std::uint16_t port, Done done) override {
    std::lock_guard lock(r_.mutex);
    r_.connects.emplace_back(host + "/" + std::to_string(port), std::move(done));
    return r_.connects.size() - 1;
  }
  void cancel(std::uint64_t id) override {
    std::lock_guard lock(r_.mutex);
    r_.cancelledConnects.push_back(id);
  }

 private:
  Requests& r_;
};

ServiceReport report(const std::string& name, int interfaceIndex = 2, int protocol = 0) {
  return {{name, "_vantrel-cast._tcp", "local"}, interfaceIndex, protocol};
}

ConnectOutcome failure(ConnectFailure why) { return ConnectOutcome{std::nullopt, why, 1}; }
ConnectOutcome reached(const std::string& remote, const std::string& local) {
  return ConnectOutcome{platform::ConnectedEnds{remote, 7000, local}};
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    discovery_ = std::make_unique<ReceiverDiscovery>(std::make_unique<FakeBrowser>(requests_),
                                                     std::make_unique<FakeConnector>(requests_), main_.poster(),
                                                     log_.log(), 1s);
    discovery_->onChange = [this](const std::vector<ReceiverAddress>& list) { lists_.push_back(list); };
    discovery_->onLocalNetworkDenied = [this] { ++denied_; };
    discovery_->start();
  }
  void add(const ServiceReport& r) { requests_.events.added(r); }
  void remove(const ServiceReport& r) { requests_.events.removed(r); }
  // Answers resolve request `index` once it is made, then waits for `connections` attempts in all.
  void resolveAndAwait(std::size_t index, const std::string& host, std::size_t connections) {
    ASSERT_TRUE(eventually([&] { return requests_.count(false) > index; }));
    requests_.resolve(index, host);
    ASSERT_TRUE(eventually([&] { return requests_.count(true) == connections; }));
  }
  bool listed(const std::vector<ReceiverAddress>& expected) {
    return main_.runUntil([&] { return !lists_.empty() && lists_.back() == expected; }, 5s);
  }

  Requests requests_;
  test::PumpedMain main_;
  test::LogFile log_;
  std::vector<std::vector<ReceiverAddress>> lists_;
  std::atomic<int> denied_{0};
  std::unique_ptr<ReceiverDiscovery> discovery_;
};

TEST_F(Discovery, OneReceiverPerInstanceReachedByThePreferredAddressThatAnswers) {
  const auto v4 = report("Salon", 2, 0), v6 = report("Salon", 2, 1), other = report("Salon", 3, 0);
  add(v6);
  resolveAndAwait(0, "fe80::1%eth0", 1);
  add(v4);
  add(other);
  add(v4);  // a repeated report asks nothing more
  ASSERT_TRUE(eventually([&] { return requests_.count(false) == 3; }));
  requests_.resolve(1, "fe80::2%eth0");
  requests_.resolve(2, "192.168.1.20");
  requests_.connect(0, failure(ConnectFailure::unreachable));
  ASSERT_TRUE(eventually([&] { return requests_.count(true) == 2; }));
  EXPECT_EQ(requests_.connectedTo(1), "192.168.1.20/7000");  // IPv4 before the waiting link-local one
  requests_.connect(1, failure(ConnectFailure::refused));
  ASSERT_TRUE(eventually([&] { return requests_.count(true) == 3; }));
  EXPECT_EQ(requests_.connectedTo(2), "fe80::2%eth0/7000");
  requests_.connect(2, reached("fe80::2%eth0", "fe80::9%eth0"));
  const std::string id = "Salon._vantrel-cast._tcp.local";
  ASSERT_TRUE(listed({{id, "[fe80::2]:7000", "fe80::9"}}));

  remove(v6);
  remove(v4);
  main_.runFor(100ms);
  EXPECT_EQ(lists_.size(), 1u);  // still announced on interface 3
  remove(other);
  ASSERT_TRUE(listed({}));
  EXPECT_EQ(requests_.count(false), 3u);
  EXPECT_EQ(denied_, 0);
}

TEST_F(Discovery, RemovedWhileConnectingNeverAppearsAndIsCancelled) {
  add(report("Bureau"));
  resolveAndAwait(0, "10.0.0.7", 1);
  remove(report("Bureau"));
  ASSERT_TRUE(listed({}));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(requests_.mutex);
    return requests_.cancelledConnects == std::vector<std::uint64_t>{0};
  }));
  main_.runFor(1100ms);  // past the time-out: a removed service is silent
  EXPECT_EQ(lists_.size(), 1u);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(Discovery, UnreachableIsReportedOnlyWhileNoReceiverIsKnown) {
  add(report("Muet"));     // never resolves
  add(report("Refuse"));   // resolves, then refused
  resolveAndAwait(1, "10.0.0.8", 1);
  requests_.connect(0, failure(ConnectFailure::refused));
  ASSERT_TRUE(eventually([&] { return denied_ == 2; }));
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{"discovery unreachable endpoint=Muet._vantrel-cast._tcp.local state=connecting",
                                                    "discovery unreachable endpoint=Refuse._vantrel-cast._tcp.local state=refused"}));

  add(report("Cuisine"));
  add(report("Garage"));
  resolveAndAwait(2, "10.0.0.9", 2);
  resolveAndAwait(3, "10.0.0.10", 3);
  requests_.connect(1, reached("10.0.0.9", "10.0.0.2"));
  requests_.connect(2, failure(ConnectFailure::failed));
  ASSERT_TRUE(listed({{"Cuisine._vantrel-cast._tcp.local", "10.0.0.9:7000", "10.0.0.2"}}));
  main_.runFor(1100ms);
  EXPECT_EQ(log_.lines().size(), 2u);
  EXPECT_EQ(denied_, 2);
}

TEST_F(Discovery, LocalPolicyDenialIsReportedAndTheServiceResolvedAnewWhenAnnouncedAgain) {
  add(report("Salon"));
  resolveAndAwait(0, "10.0.0.7", 1);
  requests_.connect(0, failure(ConnectFailure::denied));
  ASSERT_TRUE(eventually([&] { return denied_ == 1; }));
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"discovery local_network=denied endpoint=Salon._vantrel-cast._tcp.local"});
  add(report("Salon", 3));
  ASSERT_TRUE(eventually([&] { return requests_.count(false) == 2; }));
}

TEST_F(Discovery, BrowserFailureEmptiesTheListLogsOnceAndBrowsingResumes) {
  add(report("Salon"));
  resolveAndAwait(0, "10.0.0.7", 1);
  requests_.connect(0, reached("10.0.0.7", "10.0.0.2"));
  ASSERT_TRUE(listed({{"Salon._vantrel-cast._tcp.local", "10.0.0.7:7000", "10.0.0.2"}}));
  requests_.events.state(false, "avahi-daemon not running");
  requests_.events.state(false, "avahi-daemon not running");
  ASSERT_TRUE(listed({}));
  requests_.events.state(true, "");
  add(report("Salon"));  // reported again by the new browser: resolved again
  ASSERT_TRUE(eventually([&] { return requests_.count(false) == 2; }));
  requests_.events.state(false, "Daemon connection failed");
  ASSERT_TRUE(eventually([&] { return log_.lines().size() == 2; }));
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{"discovery browser_failed reason=avahi-daemon_not_running",
                                                    "discovery browser_failed reason=Daemon_connection_failed"}));
}

}  // namespace
}  // namespace pelorin::app
