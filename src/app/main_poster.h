#pragma once

#include <functional>

namespace pelorin::app {

// Hands a task to the main thread (the app's event loop; a MainQueue in tests).
using MainPoster = std::function<void(std::function<void()>)>;

}  // namespace pelorin::app
