#pragma once

namespace pelorin {

// SIGTERM and SIGINT are how a host stops a capture early. Blocked in every thread (call this
// before any thread starts: threads inherit the mask), they stay pending until a capture run reads
// them and ends like a completed run, instead of killing the process in the middle of a record.
void blockTerminationSignals();

// A descriptor that becomes readable when SIGTERM or SIGINT is pending; -1 on failure. The caller
// closes it.
int openTerminationSignalDescriptor();

// Takes one pending termination signal from the descriptor; returns its number, or 0.
int readTerminationSignal(int fd);

}  // namespace pelorin
