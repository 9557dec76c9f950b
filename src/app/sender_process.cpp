#include "app/sender_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "base/child_process.h"
#include "base/fd_output.h"
#include "base/thread_name.h"

namespace pelorin::app {
namespace {

constexpr Seconds killAfterTerminate{2.0};
// How long the exit report waits for output that something else keeps open.
constexpr std::chrono::seconds outputGrace{1};

int statusNumber(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return status;
}

}  // namespace

Result<std::shared_ptr<SenderProcess>> SenderProcess::start(const std::string& program,
                                                            const std::vector<std::string>& arguments,
                                                            Handlers handlers) {
  // A sender that goes away must turn writes to its input into errors, not kill the app.
  ignoreBrokenPipeSignal();
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  auto child = spawnWithPipes(program, argv);
  if (!child) return child.error();
  std::shared_ptr<SenderProcess> process(new SenderProcess(child->pid, child->input, std::move(handlers)));
  process->outputReader_ = std::thread([p = process.get(), fd = child->output] { p->readLoop(fd, false); });
  process->errorReader_ = std::thread([p = process.get(), fd = child->error] { p->readLoop(fd, true); });
  process->exitWatcher_ = std::thread([p = process.get()] { p->watchExit(); });
  return process;
}

SenderProcess::SenderProcess(pid_t pid, int input, Handlers handlers)
    : pid_(pid), handlers_(std::move(handlers)), stopFd_(eventfd(0, EFD_CLOEXEC)), input_(input) {}

SenderProcess::~SenderProcess() {
  signal(SIGKILL);  // nothing once it has exited
  {
    // What the sender wrote before it ended is still read and handled.
    MutexLock lock(mutex_);
    changed_.waitFor(lock, outputGrace, [this]() REQUIRES(mutex_) { return openOutputs_ == 0; });
  }
  const std::uint64_t one = 1;
  (void)::write(stopFd_, &one, sizeof one);
  for (auto* thread : {&outputReader_, &errorReader_, &exitWatcher_}) {
    if (thread->joinable()) thread->join();
  }
  closeInput();
  ::close(stopFd_);
}

int SenderProcess::inputFd() const {
  MutexLock lock(mutex_);
  return input_;
}

void SenderProcess::closeInput() {
  MutexLock lock(mutex_);
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

bool SenderProcess::waitForExit(Seconds grace) {
  MutexLock lock(mutex_);
  return changed_.waitFor(lock, grace, [this]() REQUIRES(mutex_) { return exited_; });
}

void SenderProcess::signal(int number) {
  // The watcher reaps under the same lock, so the pid cannot belong to another process here.
  MutexLock lock(mutex_);
  if (!exited_) ::kill(pid_, number);
}

void SenderProcess::readLoop(int fd, bool isError) {
  nameThisThread(isError ? "pelorin.stderr" : "pelorin.stdout");
  char buffer[65536];
  for (;;) {
    pollfd watched[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[1].revents) break;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    auto& handler = isError ? handlers_.errorOutput : handlers_.output;
    if (handler) handler(std::string(buffer, static_cast<std::size_t>(n)));
  }
  if (isError && handlers_.errorOutput) handlers_.errorOutput({});
  ::close(fd);
  MutexLock lock(mutex_);
  --openOutputs_;
  changed_.notifyAll();
}

void SenderProcess::watchExit() {
  nameThisThread("pelorin.exit");
  siginfo_t info{};
  // Wait without reaping, then reap under the lock that signal() takes.
  while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  int status = 0;
  {
    MutexLock lock(mutex_);
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    exited_ = true;
    changed_.notifyAll();
    changed_.waitFor(lock, outputGrace, [this]() REQUIRES(mutex_) { return openOutputs_ == 0; });
  }
  if (handlers_.exited) handlers_.exited(statusNumber(status));
}

bool stopSender(const std::function<void()>& closeInput, const std::function<bool(Seconds)>& waitForExit,
                const std::function<void()>& forceStop, Seconds grace) {
  closeInput();
  const bool exited = waitForExit(grace);
  if (!exited) forceStop();
  return exited;
}

namespace {

void forceStop(SenderProcess& sender) {
  sender.signal(SIGTERM);
  if (!sender.waitForExit(killAfterTerminate)) sender.signal(SIGKILL);
}

}  // namespace

bool stopSender(SenderProcess& sender, Seconds grace) {
  return stopSender([&] { sender.closeInput(); }, [&](Seconds wait) { return sender.waitForExit(wait); },
                    [&] { forceStop(sender); }, grace);
}

void finishThenStop(SenderProcess& sender, const std::function<void()>& finish, Seconds grace) {
  Mutex mutex;
  CondVar changed;
  bool finished = false;  // guarded by mutex
  std::thread watchdog([&] {
    nameThisThread("pelorin.finish");
    MutexLock lock(mutex);
    const bool inTime = changed.waitFor(lock, grace, [&] { return finished; });
    lock.unlock();
    if (!inTime) forceStop(sender);
  });
  finish();
  {
    MutexLock lock(mutex);
    finished = true;
  }
  changed.notifyAll();
  watchdog.join();
  stopSender(sender, grace);
}

}  // namespace pelorin::app
