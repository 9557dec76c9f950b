#pragma once

#include <functional>

#include "base/error.h"

namespace pelorin::portion {

// Keeps Qt's own messages off standard error, whose lines are the host's key=value records: debug,
// info and warning messages are dropped (written as they are when PELORIN_QT_LOG=1); the first
// critical one fails the run through the sink of setQtFailureSink (kept until there is one), so
// its reason ends up in the error line; a fatal one is written as the error line before Qt aborts.
void routeQtMessages(int errorFd);

void setQtFailureSink(std::function<void(const Error&)> fail);

}  // namespace pelorin::portion
