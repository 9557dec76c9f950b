// The discovery rules a loopback-only daemon cannot show: several reports and addresses of one
// instance, the preferred address, IPv6 destinations, and a connection denied by local policy.
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

// What discovery asked of the scripted browser and connector; the test answers by index.
struct Requests {
  std::mutex mutex;
  platform::ServiceBrowser::Events events;
  std::vector<platform::ServiceBrowser::ResolveDone> resolves;
  std::vector<std::pair<std::string, platform::TcpConnector::Done>> connects;

  template <class T>
  std::uint64_t add(std::vector<T>& list, T item) {
    std::lock_guard lock(mutex);
    list.push_back(std::move(item));
    return list.size() - 1;
  }
  bool counts(std::size_t resolveCount, std::size_t connectCount) {
    return eventually([&] {
      std::lock_guard lock(mutex);
      return resolves.size() == resolveCount && connects.size() == connectCount;
    });
  }
  std::string target(std::size_t i) {
    std::lock_guard lock(mutex);
    return connects.at(i).first;
  }
  template <class T>
  T at(const std::vector<T>& list, std::size_t i) {
    std::lock_guard lock(mutex);
    return list.at(i);
  }
};

struct FakeBrowser : platform::ServiceBrowser {
  explicit FakeBrowser(Requests& r) : r(r) {}
  void start(const std::string&, Events events) override { r.events = std::move(events); }
  std::uint64_t resolve(const ServiceReport&, ResolveDone done) override { return r.add(r.resolves, std::move(done)); }
  void cancelResolve(std::uint64_t) override {}
  Requests& r;
};

struct FakeConnector : platform::TcpConnector {
  explicit FakeConnector(Requests& r) : r(r) {}
  std::uint64_t connect(const std::string& host, std::uint16_t port, Done done) override {
    return r.add(r.connects, {host + "/" + std::to_string(port), std::move(done)});
  }
  void cancel(std::uint64_t) override {}
  Requests& r;
};

ServiceReport report(int interfaceIndex, int protocol) {
  return {{"Salon", "_vantrel-cast._tcp", "local"}, interfaceIndex, protocol};
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    discovery_ = std::make_unique<ReceiverDiscovery>(std::make_unique<FakeBrowser>(r_),
                                                     std::make_unique<FakeConnector>(r_), main_.poster(), log_.log());
    discovery_->onChange = [this](const std::vector<ReceiverAddress>& list) { lists_.push_back(list); };
    discovery_->onLocalNetworkDenied = [this] { ++denied_; };
    discovery_->start();
  }
  void resolve(std::size_t i, const std::string& host) { r_.at(r_.resolves, i)(platform::ServiceAddress{host, 7000}); }
  void connect(std::size_t i, const ConnectOutcome& outcome) { r_.at(r_.connects, i).second(outcome); }
  static ConnectOutcome failure(ConnectFailure why) { return ConnectOutcome{std::nullopt, why, 1}; }

  Requests r_;
  test::PumpedMain main_;
  test::LogFile log_;
  std::vector<std::vector<ReceiverAddress>> lists_;
  std::atomic<int> denied_{0};
  std::unique_ptr<ReceiverDiscovery> discovery_;
};

TEST_F(Discovery, OneReceiverPerInstanceReachedByThePreferredAddressThatAnswers) {
  const auto v6 = report(2, 1), v4 = report(2, 0), other = report(3, 0);
  r_.events.added(v6);
  ASSERT_TRUE(r_.counts(1, 0));
  resolve(0, "fe80::1%eth0");
  ASSERT_TRUE(r_.counts(1, 1));
  for (const auto& r : {v4, other, v4}) r_.events.added(r);  // the repeated report asks nothing
  ASSERT_TRUE(r_.counts(3, 1));
  resolve(1, "fe80::2%eth0");
  resolve(2, "192.168.1.20");
  connect(0, failure(ConnectFailure::unreachable));
  ASSERT_TRUE(r_.counts(3, 2));
  EXPECT_EQ(r_.target(1), "192.168.1.20/7000");  // IPv4 before the link-local address waiting longer
  connect(1, failure(ConnectFailure::refused));
  ASSERT_TRUE(r_.counts(3, 3));
  EXPECT_EQ(r_.target(2), "fe80::2%eth0/7000");
  connect(2, ConnectOutcome{platform::ConnectedEnds{"fe80::2%eth0", 7000, "fe80::9%eth0"}});
  const std::vector<ReceiverAddress> salon{{"Salon._vantrel-cast._tcp.local", "[fe80::2]:7000", "fe80::9"}};
  ASSERT_TRUE(main_.runUntil([&] { return lists_.size() == 1; }));
  EXPECT_EQ(lists_.back(), salon);

  r_.events.removed(v6);
  r_.events.removed(v4);
  main_.runFor(100ms);
  EXPECT_EQ(lists_.size(), 1u);  // still announced on interface 3
  r_.events.removed(other);
  ASSERT_TRUE(main_.runUntil([&] { return lists_.size() == 2; }));
  EXPECT_TRUE(lists_.back().empty());
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(Discovery, LocalPolicyDenialIsReportedAndTheServiceResolvedAnewWhenAnnouncedAgain) {
  r_.events.added(report(2, 0));
  ASSERT_TRUE(r_.counts(1, 0));
  resolve(0, "10.0.0.7");
  ASSERT_TRUE(r_.counts(1, 1));
  connect(0, failure(ConnectFailure::denied));
  ASSERT_TRUE(eventually([&] { return denied_ == 1; }));
  EXPECT_EQ(log_.lines(),
            std::vector<std::string>{"discovery local_network=denied endpoint=Salon._vantrel-cast._tcp.local"});
  r_.events.added(report(3, 0));
  EXPECT_TRUE(r_.counts(2, 1));
}

}  // namespace
}  // namespace pelorin::app
