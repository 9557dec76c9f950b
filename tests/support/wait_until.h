#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace pelorin::test {

// Polls `done` every 20 ms until it holds or `timeout` passes; a last look after the time is up.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;  // asked no more: a check may take what it finds (an event)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

}  // namespace pelorin::test
