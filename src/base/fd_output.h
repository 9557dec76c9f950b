#pragma once

#include <cstddef>
#include <string_view>

#include "base/error.h"

namespace pelorin {

// Writes the whole buffer to fd, going on after EINTR and short writes, and waiting on a
// non-blocking descriptor until it takes more. A pipe whose reader is gone yields an error (EPIPE)
// rather than a signal, as long as SIGPIPE is ignored.
Result<void> writeAll(int fd, const void* data, std::size_t size);

// Writes one diagnostic line (the text plus a line feed) in a single write.
void writeLine(int fd, std::string_view text);

// Ignores SIGPIPE for the whole process, so that a closed pipe is an error value, not a crash.
void ignoreBrokenPipeSignal();

}  // namespace pelorin
