#include "app/receiver_directory.h"

#include <gtest/gtest.h>

namespace pelorin::app {
namespace {

TEST(ReceiverDirectory, UpdateReplacesInPlaceAndRemoveDropsEveryCopy) {
  const ReceiverAddress a{"a", "10.0.0.1:1", "10.0.0.9"}, a2{"a", "10.0.0.2:1", "10.0.0.9"};
  const ReceiverAddress b{"b", "10.0.0.3:1"}, c{"c", "10.0.0.3:1"};
  const std::pair<std::function<void(ReceiverDirectory&)>, std::vector<ReceiverAddress>> steps[] = {
      {[&](auto& d) { d.update(a); }, {a}},
      {[&](auto& d) { d.update(b); }, {a, b}},
      {[&](auto& d) { d.update(c); }, {a, b, c}},  // same place, other identifier: two entries
      {[&](auto& d) { d.update(a2); }, {a2, b, c}},
      {[&](auto& d) { d.remove("nobody"); }, {a2, b, c}},
      {[&](auto& d) { d.remove("a"); }, {b, c}},
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

}  // namespace
}  // namespace pelorin::app
