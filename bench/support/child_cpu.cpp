#include "support/child_cpu.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

extern char** environ;

namespace pelorin::bench {

pid_t spawnChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                 const posix_spawn_file_actions_t* actions) {
  std::vector<std::string> environment(extraEnvironment);
  for (char** e = environ; *e; ++e) environment.emplace_back(*e);
  std::vector<char*> args, env;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  env.push_back(nullptr);
  pid_t pid = 0;
  return posix_spawn(&pid, args[0], actions, nullptr, args.data(), env.data()) == 0 ? pid : -1;
}

ChildCost runMeasured(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                      bool keepStderr) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (!keepStderr) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

  ChildCost cost;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = spawnChild(argv, extraEnvironment, &actions);
  posix_spawn_file_actions_destroy(&actions);
  if (pid < 0) return cost;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return cost;
  cost.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cost.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  cost.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  return cost;
}

std::string builtProgram(const char* self, const std::string& name) {
  return (std::filesystem::absolute(self).parent_path() / name).string();
}

}  // namespace pelorin::bench
