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

// A loopback listener on a free port.
struct Listener {
  Listener() {
    sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    listen(fd, 16);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
  }
  ~Listener() { close(fd); }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = 0;
};

// Names unique to this run: the daemon may still remember an earlier run's services.
std::string unique(const std::string& base) { return base + "-" + std::to_string(getpid()); }

ReceiverAddress receiver(const std::string& base, int port) {
  return {unique(base) + "._vantrel-cast._tcp.local", "127.0.0.1:" + std::to_string(port), "127.0.0.1"};
}

// avahi-publish of one service while the object lives (its pipes stay open: it reports on them).
struct Published {
  Published(const std::string& base, int port)
      : child(*spawnWithPipes("/usr/bin/avahi-publish",
                              {"avahi-publish", "-s", unique(base), receiverServiceType, std::to_string(port)})) {}
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

TEST(Discovery, ListsReachableReceiversOnceReportsUnreachableOnesAndFollowsTheDaemonThroughARestart) {
  ASSERT_NE(std::getenv("PELORIN_AVAHI_DIR"), nullptr) << "start scripts/lib/avahi.sh first";
  test::PumpedMain main;
  test::LogFile log;
  std::vector<ReceiverAddress> list;
  std::atomic<int> denied{0};
  ReceiverDiscovery discovery(std::make_unique<platform::avahi::ServiceBrowserAvahi>(),
                              std::make_unique<platform::posix::TcpConnectorPosix>(), main.poster(), log.log, 1s);
  discovery.onChange = [&](const std::vector<ReceiverAddress>& now) { list = now; };
  discovery.onLocalNetworkDenied = [&] { ++denied; };
  discovery.start();
  const auto listed = [&](const std::vector<ReceiverAddress>& expected) {
    return main.runUntil([&] { return list == expected; }, 15s);
  };

  Listener good;
  std::optional<Published> salon;
  {
    const int closedPort = Listener().port;
    Published refusing("Ferme", closedPort);
    ASSERT_TRUE(log.has("discovery unreachable endpoint=" + receiver("Ferme", 0).identifier + " state=refused"));
    EXPECT_EQ(denied, 1);
    salon.emplace("Salon", good.port);
    ASSERT_TRUE(listed({receiver("Salon", good.port)}));
    Published alsoRefusing("FermeBis", closedPort);  // not reported while a receiver is known
    main.runFor(3500ms);
    EXPECT_EQ(list, std::vector<ReceiverAddress>{receiver("Salon", good.port)});
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(denied, 1);
  }
  avahiDaemon("stop-daemon");
  EXPECT_TRUE(listed({}));
  salon.reset();
  avahiDaemon("start-daemon");
  {
    Published again("Salon2", good.port);
    EXPECT_TRUE(listed({receiver("Salon2", good.port)}));
  }
  EXPECT_TRUE(listed({}));  // gone when removed
  // One line for the whole outage, though the client is retried meanwhile.
  EXPECT_EQ(log.lines().back(), "discovery browser_failed reason=Daemon_connection_failed");
  EXPECT_EQ(log.lines().size(), 2u);
}

}  // namespace
}  // namespace pelorin::app
