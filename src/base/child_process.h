#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/error.h"

namespace pelorin {

// A started child and the parent's ends of its three standard-stream pipes. Every end is
// close-on-exec, so a later child never inherits another child's pipes.
struct ChildPipes {
  pid_t pid = -1;
  int input = -1;   // write end of the child's standard input
  int output = -1;  // read end of its standard output
  int error = -1;   // read end of its standard error
};

struct SpawnOptions {
  std::vector<std::string> environment;  // "NAME=value" entries; the parent's when empty
  std::vector<int> closedDescriptors;    // of 0, 1, 2: the child starts with these closed
  bool nonBlockingOutput = false;        // the child's end of its standard output is non-blocking
};

// Starts `program` with `arguments` (the first being the program's name as it sees it). The
// child starts with every signal at its default disposition and none blocked, whatever the parent
// ignores. Errors: domain "POSIX", the errno of the failed step.
Result<ChildPipes> spawnWithPipes(const std::string& program, const std::vector<std::string>& arguments,
                                  const SpawnOptions& options = {});

}  // namespace pelorin
