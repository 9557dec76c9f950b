#pragma once

#include <functional>
#include <string>
#include <thread>

#include "base/wakeup.h"

namespace pelorin::portion {

constexpr double portionSelectionTimeout = 120;

// Watches a selection's host: `input` reaching its end ("portion_parent_gone") or `timeout`
// seconds passing ("portion_timeout"). `onEnd` is called at most once, from the watch's thread,
// with the first reason. The destructor ends the watch and joins its thread.
class PortionSelectionWatch {
 public:
  PortionSelectionWatch(int input, double timeout, std::function<void(const std::string&)> onEnd);
  ~PortionSelectionWatch();
  PortionSelectionWatch(const PortionSelectionWatch&) = delete;
  PortionSelectionWatch& operator=(const PortionSelectionWatch&) = delete;

 private:
  Wakeup stop_;
  std::thread thread_;
};

}  // namespace pelorin::portion
