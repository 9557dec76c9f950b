// What a loopback-only daemon cannot show: several reports of one instance, IPv6, local denial.
#include "app/receiver_discovery.h"

#include <gtest/gtest.h>

#include <mutex>

#include "app/app_test_support.h"
#include "app/receiver_directory.h"
#include "support/pumped_main.h"

namespace pelorin::app {
namespace {

using namespace std::chrono_literals;
using platform::ConnectFailure;
using platform::ConnectOutcome;

TEST(ReceiverDirectory, UpdateReplacesInPlaceAndRemoveDropsEveryCopy) {
  const ReceiverAddress a{"a", "10.0.0.1:1", "10.0.0.9"}, a2{"a", "10.0.0.2:1", "10.0.0.9"};
  const ReceiverAddress b{"b", "10.0.0.3:1"}, c{"c", "10.0.0.3:1"};
  const std::pair<std::function<void(ReceiverDirectory&)>, std::vector<ReceiverAddress>> steps[] = {
      {[&](auto& d) { d.update(a), d.update(b), d.update(c); }, {a, b, c}},  // c: same place, other identifier
      {[&](auto& d) { d.update(a2); }, {a2, b, c}},
      {[&](auto& d) { d.remove("nobody"), d.remove("a"); }, {b, c}},
      {[&](auto& d) { d.update(a); }, {b, c, a}},  // announced again: at the end
      {[&](auto& d) { d.receivers.push_back(b), d.remove("b"); }, {c, a}},
  };
  ReceiverDirectory directory;
  int step = 0;
  for (const auto& [apply, expected] : steps) {
    apply(directory);
    EXPECT_EQ(directory.receivers, expected) << "step " << step++;
  }
}

// What discovery asked of the scripted browser and connector; the test answers by index.
struct Requests {
  template <class T>
  std::uint64_t add(std::vector<T>& list, T item) {
    std::lock_guard lock(mutex);
    list.push_back(std::move(item));
    return list.size() - 1;
  }
  template <class T>
  T at(std::vector<T>& list, std::size_t i) {
    std::lock_guard lock(mutex);
    return list.at(i);
  }
  bool counts(std::size_t resolveCount, std::size_t connectCount) {
    return test::waitUntil([&] {
      std::lock_guard lock(mutex);
      return resolves.size() == resolveCount && connects.size() == connectCount;
    });
  }
  void resolve(std::size_t i, const std::string& host) { at(resolves, i)(platform::ServiceAddress{host, 7000}); }
  // Answers connection i, after checking where it went.
  void connect(std::size_t i, const std::string& target, const ConnectOutcome& outcome) {
    const auto [to, done] = at(connects, i);
    EXPECT_EQ(to, target) << "connection " << i;
    done(outcome);
  }
  std::mutex mutex;
  platform::ServiceBrowser::Events events;
  std::vector<platform::ServiceBrowser::ResolveDone> resolves;
  std::vector<std::pair<std::string, platform::TcpConnector::Done>> connects;
};

struct FakeBrowser : platform::ServiceBrowser {
  explicit FakeBrowser(Requests& r) : r(r) {}
  void start(const std::string&, Events events) override { r.events = std::move(events); }
  std::uint64_t resolve(const platform::ServiceReport&, ResolveDone done) override { return r.add(r.resolves, done); }
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

ConnectOutcome failure(ConnectFailure why) { return ConnectOutcome{std::nullopt, why, 1}; }

TEST(ReceiverDiscovery, OneReceiverPerInstanceByThePreferredAddressThatAnswersAndLocalDenialReported) {
  Requests r;
  test::PumpedMain main;
  test::LogFile log;
  std::vector<std::vector<ReceiverAddress>> lists;
  std::atomic<int> denied{0};
  ReceiverDiscovery discovery(std::make_unique<FakeBrowser>(r), std::make_unique<FakeConnector>(r), main.poster(),
                              log.log);
  discovery.onChange = [&](const std::vector<ReceiverAddress>& list) { lists.push_back(list); };
  discovery.onLocalNetworkDenied = [&] { ++denied; };
  discovery.start();

  const platform::ServiceInstance salon{"Salon", "_vantrel-cast._tcp", "local"};
  const platform::ServiceReport v6{salon, 2, 1}, v4{salon, 2, 0}, other{salon, 3, 0};
  r.events.added(v6);
  ASSERT_TRUE(r.counts(1, 0));
  r.resolve(0, "fe80::1%eth0");
  ASSERT_TRUE(r.counts(1, 1));
  for (const auto& each : {v4, other, v4}) r.events.added(each);  // the repeated report asks nothing
  ASSERT_TRUE(r.counts(3, 1));
  r.resolve(1, "fe80::2%eth0");
  r.resolve(2, "192.168.1.20");
  r.connect(0, "fe80::1%eth0/7000", failure(ConnectFailure::unreachable));
  ASSERT_TRUE(r.counts(3, 2));
  // IPv4 before the link-local address waiting longer.
  r.connect(1, "192.168.1.20/7000", failure(ConnectFailure::refused));
  ASSERT_TRUE(r.counts(3, 3));
  r.connect(2, "fe80::2%eth0/7000", ConnectOutcome{platform::ConnectedEnds{"fe80::2%eth0", 7000, "fe80::9%eth0"}});
  ASSERT_TRUE(main.runUntil([&] { return lists.size() == 1; }));
  EXPECT_EQ(lists.back(), (std::vector<ReceiverAddress>{{"Salon._vantrel-cast._tcp.local", "[fe80::2]:7000", "fe80::9"}}));

  r.events.removed(v6);
  r.events.removed(v4);
  main.runFor(100ms);
  EXPECT_EQ(lists.size(), 1u);  // still announced on interface 3
  r.events.removed(other);
  ASSERT_TRUE(main.runUntil([&] { return lists.size() == 2; }));
  EXPECT_TRUE(lists.back().empty());
  EXPECT_TRUE(log.lines().empty());

  // Announced again, denied by local policy: reported, and resolved anew on the next report.
  r.events.added(v4);
  ASSERT_TRUE(r.counts(4, 3));
  r.resolve(3, "10.0.0.7");
  ASSERT_TRUE(r.counts(4, 4));
  r.connect(3, "10.0.0.7/7000", failure(ConnectFailure::denied));
  ASSERT_TRUE(test::waitUntil([&] { return denied == 1; }));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"discovery local_network=denied endpoint=Salon._vantrel-cast._tcp.local"});
  r.events.added(other);
  EXPECT_TRUE(r.counts(5, 4));
}

}  // namespace
}  // namespace pelorin::app
