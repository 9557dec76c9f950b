#include "app/receiver_directory.h"

#include <gtest/gtest.h>

namespace pelorin::app {
namespace {

TEST(ReceiverDirectory, UpdateReplacesInPlaceAndRemoveDropsEveryCopy) {
  const ReceiverAddress a{"a", "10.0.0.1:1", "10.0.0.9"}, a2{"a", "10.0.0.2:1", "10.0.0.9"};
  const ReceiverAddress b{"b", "10.0.0.3:1"}, c{"c", "10.0.0.3:1"};
  struct Step {
    std::function<void(ReceiverDirectory&)> apply;
    std::vector<ReceiverAddress> expected;
  } steps[] = {
      {[&](auto& d) { d.update(a); }, {a}},
      {[&](auto& d) { d.update(b); }, {a, b}},
      {[&](auto& d) { d.update(c); }, {a, b, c}},  // same place, other identifier: two entries
      {[&](auto& d) { d.update(a2); }, {a2, b, c}},
      {[&](auto& d) { d.remove("nobody"); }, {a2, b, c}},
      {[&](auto& d) { d.remove("a"); }, {b, c}},
      {[&](auto& d) { d.update(a); }, {b, c, a}},  // announced again: at the end
      {[&](auto& d) { d.receivers.push_back(b); d.remove("b"); }, {c, a}},
  };
  ReceiverDirectory directory;
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    steps[i].apply(directory);
    EXPECT_EQ(directory.receivers, steps[i].expected) << "step " << i;
  }
  EXPECT_EQ(b.publicIP, "127.0.0.1");
}

TEST(ReceiverDirectory, AddressesAreWrittenWithoutZonesAndWithBracketsForIPv6) {
  struct Case {
    std::string host;
    std::string destination;
    std::string bare;
  } cases[] = {
      {"192.168.1.20", "192.168.1.20:7000", "192.168.1.20"},
      {"fe80::1%en0", "[fe80::1]:7000", "fe80::1"},
      {"2001:db8::5", "[2001:db8::5]:7000", "2001:db8::5"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(socketAddress(c.host, 7000), c.destination);
    EXPECT_EQ(hostAddress(c.host), c.bare);
  }
}

}  // namespace
}  // namespace pelorin::app
