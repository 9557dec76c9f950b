#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <thread>

#include "app/main_poster.h"

namespace pelorin::app {

// The stops of ended shares, each on a thread of its own: a sender that takes its time leaving
// holds up only its own stop, never a later share's. Owned by the app until it quits; the
// destructor waits for every stop still running.
class ShareStops {
 public:
  explicit ShareStops(MainPoster toMain) : toMain_(std::move(toMain)) {}
  ~ShareStops();
  ShareStops(const ShareStops&) = delete;
  ShareStops& operator=(const ShareStops&) = delete;

  // Main thread: runs `stop` now on a new thread, then `done`, if any, on the main thread.
  void run(std::function<void()> stop, std::function<void()> done = nullptr);
  // Main thread: the stops not yet finished.
  std::size_t running();

 private:
  struct Stop {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  void joinFinished();

  MainPoster toMain_;
  std::list<Stop> stops_;  // main thread only
};

}  // namespace pelorin::app
