#pragma once

#include <string>
#include <vector>

namespace pelorin::bench {

struct ChildCost {
  int exitStatus = -1;
  double cpuSeconds = 0;   // user + system
  double wallSeconds = 0;
};

// Runs a program to its end with standard input and output on /dev/null (standard error kept
// when `keepStderr`), with extra "NAME=value" environment entries, and measures what it cost.
ChildCost runMeasured(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment = {},
                      bool keepStderr = false);

// Path of a program built next to this benchmark.
std::string builtProgram(const char* self, const std::string& name);

}  // namespace pelorin::bench
