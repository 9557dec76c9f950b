// Receiver discovery against the private avahi-daemon on the loopback interface that
// scripts/lib/avahi.sh starts, services published with avahi-publish, real TCP listeners.
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

// A loopback listener on a free port. With a backlog of 0 and one connection waiting in it, the
// next connection hangs in its handshake.
struct Listener {
  explicit Listener(int backlog = 16) {
    auto address = loopback(0);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    listen(fd, backlog);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
  }
  ~Listener() { close(fd); }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = 0;
};

// avahi-publish of one service while the object lives (its pipes stay open: it reports on them).
struct Published {
  Published(const std::string& name, int port)
      : child(*spawnWithPipes("/usr/bin/avahi-publish",
                              {"avahi-publish", "-s", name, receiverServiceType, std::to_string(port)})) {}
  ~Published() {
    kill(child.pid, SIGTERM);
    waitpid(child.pid, nullptr, 0);
    for (int fd : {child.input, child.output, child.error}) close(fd);
  }
  ChildPipes child;
};

void avahiDaemon(const std::string& action) {
  ASSERT_EQ(std::system(("bash " PELORIN_SOURCE_DIR "/scripts/lib/avahi.sh " + action).c_str()), 0) << action;
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("PELORIN_AVAHI_DIR"), nullptr) << "start scripts/lib/avahi.sh first";
    discovery_ = std::make_unique<ReceiverDiscovery>(std::make_unique<platform::avahi::ServiceBrowserAvahi>(),
                                                     std::make_unique<platform::posix::TcpConnectorPosix>(),
                                                     main_.poster(), log_.log(), 1s);
    discovery_->onChange = [this](const std::vector<ReceiverAddress>& list) { list_ = list, ++changes_; };
    discovery_->onLocalNetworkDenied = [this] { ++denied_; };
    discovery_->start();
  }
  bool listed(const std::vector<ReceiverAddress>& expected) {
    return main_.runUntil([&] { return list_ == expected; }, 15s);
  }
  // Unique names: the daemon may still remember an earlier test's service.
  std::string name(const std::string& base) {
    return base + " " + std::to_string(getpid()) + "-" + std::to_string(serial_);
  }
  ReceiverAddress receiver(const std::string& base, int port) {
    std::string id;
    for (char c : name(base)) id += c == ' ' ? std::string("\\032") : std::string(1, c);
    return {id + "._vantrel-cast._tcp.local", "127.0.0.1:" + std::to_string(port), "127.0.0.1"};
  }

  test::PumpedMain main_;
  test::LogFile log_;
  std::vector<ReceiverAddress> list_;
  int changes_ = 0;
  std::atomic<int> denied_{0};
  static inline int nextSerial_ = 0;
  const int serial_ = nextSerial_++;
  std::unique_ptr<ReceiverDiscovery> discovery_;
};

TEST_F(Discovery, ListedOnceWhenReachableUnreachableOnlyWhileNoReceiverIsKnownAndGoneWhenRemoved) {
  Listener full(0), good;
  const int waiting = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto address = loopback(full.port);
  ASSERT_EQ(connect(waiting, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const int closedPort = Listener().port;
  auto occupied = std::make_unique<Published>(name("Occupe"), full.port);
  Published refusing(name("Ferme"), closedPort);
  ASSERT_TRUE(log_.has("discovery unreachable endpoint=" + receiver("Occupe", 0).identifier + " state=connecting"));
  ASSERT_TRUE(log_.has("discovery unreachable endpoint=" + receiver("Ferme", 0).identifier + " state=refused"));
  EXPECT_EQ(denied_, 2);

  // Removed while connecting: never appears.
  occupied.reset();
  ASSERT_TRUE(main_.runUntil([&] { return changes_ > 0; }));
  close(waiting);  // had the connection survived, its next handshake would now succeed
  {
    Published salon(name("Salon"), good.port), twice(name("Salon"), good.port);
    ASSERT_TRUE(listed({receiver("Salon", good.port)}));
    Published alsoRefusing(name("Ferme bis"), closedPort);
    main_.runFor(3500ms);
    EXPECT_EQ(list_, std::vector<ReceiverAddress>{receiver("Salon", good.port)});
  }
  EXPECT_TRUE(listed({}));
  EXPECT_EQ(log_.lines().size(), 2u);
  EXPECT_EQ(denied_, 2);
}

TEST_F(Discovery, FollowsTheDaemonThroughAStopAndARestart) {
  Listener listener;
  {
    Published published(name("Salon"), listener.port);
    ASSERT_TRUE(listed({receiver("Salon", listener.port)}));
    avahiDaemon("stop-daemon");
    EXPECT_TRUE(listed({}));
  }
  avahiDaemon("start-daemon");
  Published again(name("Salon"), listener.port);
  EXPECT_TRUE(listed({receiver("Salon", listener.port)}));
  // One line for the whole outage, though the client is retried meanwhile.
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"discovery browser_failed reason=Daemon_connection_failed"});
}

}  // namespace
}  // namespace pelorin::app
