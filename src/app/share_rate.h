#pragma once

#include "platform/media_time.h"

namespace pelorin::app {

// The rate every share is captured and encoded at; the sender is told it as its --fps.
inline constexpr platform::FrameRate shareFrameRate{30, 1};

}  // namespace pelorin::app
