#pragma once

#include "capture/portion_capture.h"

namespace pelorin::portion {

// The window side of a portion capture on Qt: shows the border frame around the portion on the
// display's screen and lets a stream controller follow it. Called off the main thread while Qt's
// event loop runs; waits for the main thread to have done it.
Result<void> showPortionFrame(const capture::PortionFrameSetup& setup);

}  // namespace pelorin::portion
