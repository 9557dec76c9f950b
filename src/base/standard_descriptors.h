#pragma once

namespace pelorin {

// Which of descriptors 0, 1 and 2 were closed when the process started.
struct ClosedStandardDescriptors {
  bool input = false;
  bool output = false;
  bool error = false;
};

// Occupies any of descriptors 0-2 that is closed, so that nothing the process opens later (the
// display connection, a log file) can take its number and receive what belongs on a standard
// stream: 0 and 2 with /dev/null, 1 with /dev/null opened read-only so that every write to it
// fails. Call first thing in main, before anything opens a file or a socket.
ClosedStandardDescriptors occupyClosedStandardDescriptors();

}  // namespace pelorin
