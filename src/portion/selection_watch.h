#pragma once

#include <functional>
#include <string>

namespace pelorin::portion {

constexpr double portionSelectionTimeout = 120;

// Watches a selection's host: `input` reaching its end ("portion_parent_gone") or `timeout`
// seconds passing ("portion_timeout"). Returns at once; `onEnd` is called at most once, from a
// background thread, with the first reason. Neither watcher is ever cancelled: the process ends
// right after the selection, and each thread ends by itself (the input's end, the time-out).
void watchPortionSelection(int input, double timeout, std::function<void(const std::string&)> onEnd);

}  // namespace pelorin::portion
