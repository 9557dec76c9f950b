#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace pelorin::test {

// A wait's bound only turns a hang into a failure: on a starved machine things can take seconds.
inline constexpr std::chrono::seconds waitBound{60};

// Polls `done` every 20 ms until it holds or `timeout` passes; a last look after the time is up.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = waitBound) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;  // asked no more: a check may take what it finds (an event)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

}  // namespace pelorin::test
