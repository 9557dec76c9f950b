#include "base/termination_signals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>

namespace pelorin {
namespace {

sigset_t terminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void blockTerminationSignals() {
  const sigset_t set = terminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int openTerminationSignalDescriptor() {
  const sigset_t set = terminationSignals();
  return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

int readTerminationSignal(int fd) {
  signalfd_siginfo info{};
  if (::read(fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  return static_cast<int>(info.ssi_signo);
}

}  // namespace pelorin
