#include "base/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

extern char** environ;

namespace pelorin {
namespace {

Error posixError(int code, const std::string& what) { return Error{"POSIX", code, what + ": " + std::strerror(code)}; }

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

void closeAll(std::initializer_list<int> fds) {
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
}

// Owns the spawn attributes and file actions for the length of one spawn.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;

  SpawnSetup(const int childEnds[3], const std::vector<int>& closed) {
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) {
      if (std::find(closed.begin(), closed.end(), fd) != closed.end()) {
        posix_spawn_file_actions_addclose(&actions, fd);
      } else {
        posix_spawn_file_actions_adddup2(&actions, childEnds[fd], fd);
      }
    }
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

Result<ChildPipes> spawnWithPipes(const std::string& program, const std::vector<std::string>& arguments,
                                  const SpawnOptions& options) {
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    const int code = errno;
    closeAll({in[0], in[1], out[0], out[1], err[0], err[1]});
    return posixError(code, "pipe");
  }
  if (options.nonBlockingOutput) fcntl(out[1], F_SETFL, fcntl(out[1], F_GETFL) | O_NONBLOCK);
  auto argv = pointers(arguments);
  auto envp = pointers(options.environment);
  pid_t pid = -1;
  int spawned = 0;
  {
    const int childEnds[3] = {in[0], out[1], err[1]};
    SpawnSetup setup(childEnds, options.closedDescriptors);
    spawned = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(),
                          options.environment.empty() ? environ : envp.data());
  }
  closeAll({in[0], out[1], err[1]});
  if (spawned != 0) {
    closeAll({in[1], out[0], err[0]});
    return posixError(spawned, program);
  }
  return ChildPipes{pid, in[1], out[0], err[0]};
}

}  // namespace pelorin
