#include "app/share_stops.h"

#include "base/thread_name.h"

namespace pelorin::app {

ShareStops::~ShareStops() {
  for (auto& stop : stops_) stop.thread.join();
}

void ShareStops::run(std::function<void()> stop, std::function<void()> done) {
  joinFinished();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([stop = std::move(stop), done = std::move(done), finished, toMain = toMain_]() mutable {
    nameThisThread("pelorin.stop");
    stop();
    finished->store(true);  // before `done`, which may look at running()
    if (done) toMain(std::move(done));
  });
  stops_.push_back({std::move(thread), std::move(finished)});
}

std::size_t ShareStops::running() {
  joinFinished();
  return stops_.size();
}

void ShareStops::joinFinished() {
  stops_.remove_if([](Stop& stop) {
    if (!stop.finished->load()) return false;
    stop.thread.join();
    return true;
  });
}

}  // namespace pelorin::app
