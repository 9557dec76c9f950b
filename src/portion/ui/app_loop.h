#pragma once

#include <functional>

#include "base/error.h"
#include "capture/portion_stream_controller.h"

namespace pelorin::portion {

// Hands tasks to the running Qt event loop's thread.
capture::MainThreadPost qtMainThreadPost();

// Runs `body` on a thread of its own while this (main) thread runs Qt's event loop; the body
// touches windows only through qtMainThreadPost. When the body returns, the status is 0; when it
// fails, its error line is written to errorFd and the status is 1. Returns that status once the
// loop has ended, with every window the body left open.
int runOnAppKitLoop(int& argc, char** argv, int errorFd, const std::function<Result<void>()>& body);

}  // namespace pelorin::portion
