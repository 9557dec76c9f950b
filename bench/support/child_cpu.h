#pragma once

#include <spawn.h>

#include <string>
#include <vector>

namespace pelorin::bench {

struct ChildCost {
  int exitStatus = -1;
  double cpuSeconds = 0;   // user + system
  double wallSeconds = 0;
};

// Starts argv[0] with this process's environment plus "NAME=value" `extraEnvironment` entries
// (which take precedence) and the given file actions. Returns the process id, or -1.
pid_t spawnChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                 const posix_spawn_file_actions_t* actions);

// Runs a program to its end with standard input and output on /dev/null (standard error kept
// when `keepStderr`), with extra "NAME=value" environment entries, and measures what it cost.
ChildCost runMeasured(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment = {},
                      bool keepStderr = false);

// Path of a program built next to this benchmark.
std::string builtProgram(const char* self, const std::string& name);

}  // namespace pelorin::bench
