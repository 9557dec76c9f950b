// Receiver discovery against a real avahi-daemon on the loopback interface (started by
// scripts/lib/avahi.sh), services published with avahi-publish and real TCP listeners.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/app_test_support.h"
#include "app/receiver_discovery.h"
#include "base/child_process.h"
#include "platform/avahi/service_browser_avahi.h"
#include "platform/posix/tcp_connector_posix.h"
#include "support/pumped_main.h"

namespace pelorin::app {
namespace {

using namespace std::chrono_literals;

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

// A loopback TCP listener on a free port. With `backlog` 0 and one connection already waiting, a
// further connection attempt hangs in its handshake.
class Listener {
 public:
  explicit Listener(int backlog = 16) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(listen(fd_, backlog), 0);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// avahi-publish of one service while the object lives.
class Published {
 public:
  Published(const std::string& name, int port) {
    auto child = spawnWithPipes("/usr/bin/avahi-publish",
                                {"avahi-publish", "-s", name, receiverServiceType, std::to_string(port)});
    EXPECT_TRUE(child.ok());
    if (!child) return;
    // Its pipes stay open while it runs: avahi-publish reports on standard output.
    child_ = *child;
  }
  ~Published() { stop(); }
  void stop() {
    if (child_.pid <= 0) return;
    kill(child_.pid, SIGTERM);
    waitpid(child_.pid, nullptr, 0);
    for (int fd : {child_.input, child_.output, child_.error}) close(fd);
    child_.pid = -1;
  }

 private:
  ChildPipes child_;
};

int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto address = loopback(port);
  EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// A port nobody listens on (bound and released at once).
int unusedPort() { return Listener().port(); }

std::string identifier(const std::string& name) {
  std::string escaped;
  for (char c : name) escaped += c == ' ' ? std::string("\\032") : std::string(1, c);
  return escaped + "._vantrel-cast._tcp.local";
}

void avahiDaemon(const std::string& action) {
  const std::string script = std::string(PELORIN_SOURCE_DIR) + "/scripts/lib/avahi.sh";
  ASSERT_EQ(std::system(("bash " + script + " " + action).c_str()), 0) << action;
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("PELORIN_AVAHI_DIR"), nullptr) << "run with scripts/lib/avahi.sh started";
    discovery_ = std::make_unique<ReceiverDiscovery>(std::make_unique<platform::avahi::ServiceBrowserAvahi>(),
                                                     std::make_unique<platform::posix::TcpConnectorPosix>(),
                                                     main_.poster(), log_.log(), 1s);
    discovery_->onChange = [this](const std::vector<ReceiverAddress>& list) {
      list_ = list;
      ++changes_;
    };
    discovery_->onLocalNetworkDenied = [this] { ++denied_; };
    discovery_->start();
  }
  bool listed(const std::vector<ReceiverAddress>& expected, std::chrono::milliseconds limit = 10s) {
    return main_.runUntil([&] { return list_ == expected; }, limit);
  }
  // Unique to the test: the daemon may still remember an earlier test's service of the same name.
  std::string name(const std::string& base) {
    return base + " " + std::to_string(getpid()) + "-" + std::to_string(serial_);
  }
  bool logged(const std::string& line) {
    return test::eventually([&] {
      const auto lines = log_.lines();
      return std::find(lines.begin(), lines.end(), line) != lines.end();
    });
  }

  test::PumpedMain main_;
  test::LogFile log_;
  std::vector<ReceiverAddress> list_;
  int changes_ = 0;
  const int serial_ = [] {
    static int next = 0;
    return next++;
  }();
  std::atomic<int> denied_{0};
  std::unique_ptr<ReceiverDiscovery> discovery_;
};

TEST_F(Discovery, PublishedServicesAreListedOnceAndLeaveWhenRemoved) {
  Listener listener;
  const ReceiverAddress salon{identifier(name("Salon")), "127.0.0.1:" + std::to_string(listener.port()), "127.0.0.1"};
  auto first = std::make_unique<Published>(name("Salon"), listener.port());
  ASSERT_TRUE(listed({salon}));
  auto twice = std::make_unique<Published>(name("Salon"), listener.port());
  main_.runFor(1500ms);
  EXPECT_EQ(list_, std::vector<ReceiverAddress>{salon});
  first.reset();
  twice.reset();
  EXPECT_TRUE(listed({}));
  EXPECT_TRUE(log_.lines().empty());
  EXPECT_EQ(denied_, 0);
}

TEST_F(Discovery, UnreachableOnlyWhileNoReceiverIsKnownAndRemovedWhileConnectingNeverAppears) {
  Listener full(0);
  const int waiting = connectTo(full.port());  // fills the accept queue: the next handshake hangs
  const int closedPort = unusedPort();
  auto occupied = std::make_unique<Published>(name("Occupe"), full.port());
  Published refusing(name("Ferme"), closedPort);
  ASSERT_TRUE(logged("discovery unreachable endpoint=" + identifier(name("Occupe")) + " state=connecting"));
  ASSERT_TRUE(logged("discovery unreachable endpoint=" + identifier(name("Ferme")) + " state=refused"));
  EXPECT_EQ(denied_, 2);

  changes_ = 0;
  occupied.reset();
  ASSERT_TRUE(main_.runUntil([&] { return changes_ > 0; }));
  close(waiting);  // had the connection survived, its next handshake would now succeed

  Listener listener;
  Published salon(name("Salon"), listener.port());
  ASSERT_TRUE(listed({{identifier(name("Salon")), "127.0.0.1:" + std::to_string(listener.port()), "127.0.0.1"}}));
  Published alsoRefusing(name("Ferme bis"), closedPort);
  main_.runFor(3500ms);
  EXPECT_EQ(list_.size(), 1u);
  EXPECT_EQ(log_.lines().size(), 2u);
  EXPECT_EQ(denied_, 2);
}

TEST_F(Discovery, FollowsTheDaemonThroughAStopAndARestart) {
  Listener listener;
  const ReceiverAddress salon{identifier(name("Salon")), "127.0.0.1:" + std::to_string(listener.port()), "127.0.0.1"};
  {
    Published published(name("Salon"), listener.port());
    ASSERT_TRUE(listed({salon}));
    avahiDaemon("stop-daemon");
    EXPECT_TRUE(listed({}));
  }
  avahiDaemon("start-daemon");
  Published again(name("Salon"), listener.port());
  EXPECT_TRUE(listed({salon}, 15s));
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);  // one line for the whole outage
  EXPECT_EQ(lines[0], "discovery browser_failed reason=Daemon_connection_failed");
}

TEST(DiscoveryWithoutBus, AMissingSystemBusIsABrowserFailure) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/pelorin-bus", 1);
  test::PumpedMain main;
  test::LogFile log;
  ReceiverDiscovery discovery(std::make_unique<platform::avahi::ServiceBrowserAvahi>(),
                              std::make_unique<platform::posix::TcpConnectorPosix>(), main.poster(), log.log());
  bool emptied = false;
  discovery.onChange = [&](const std::vector<ReceiverAddress>& list) { emptied = list.empty(); };
  discovery.start();
  ASSERT_TRUE(main.runUntil([&] { return emptied; }));
  main.runFor(2500ms);  // retried meanwhile, logged once
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("discovery browser_failed reason=")) << lines[0];
}

}  // namespace
}  // namespace pelorin::app
