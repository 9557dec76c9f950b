#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/thread_annotations.h"

namespace pelorin::app {

using Seconds = std::chrono::duration<double>;

// One running sender: its three pipes, a reader thread for standard output and one for standard
// error, and an exit watcher. The object owns the threads: they end when the child's output ends
// and it has exited, or when the object is destroyed, which kills a child still running and reads
// what it wrote (for at most a second, should something else hold its output open).
class SenderProcess {
 public:
  // Called on the process's own threads. `exited` comes after both outputs ended (or after a
  // second, if something else keeps them open), so it follows the sender's last words.
  struct Handlers {
    std::function<void(std::string bytes)> output;
    std::function<void(std::string bytes)> errorOutput;  // empty bytes: standard error ended
    std::function<void(int status)> exited;              // the exit code, or the signal's number
  };

  static Result<std::shared_ptr<SenderProcess>> start(const std::string& program,
                                                      const std::vector<std::string>& arguments, Handlers handlers);
  ~SenderProcess();
  SenderProcess(const SenderProcess&) = delete;
  SenderProcess& operator=(const SenderProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The write end of the sender's standard input, -1 once closed.
  int inputFd() const;
  void closeInput();
  // Whether the sender has exited within `grace`.
  bool waitForExit(Seconds grace);
  void signal(int number);

 private:
  SenderProcess(pid_t pid, int input, Handlers handlers);
  void readLoop(int fd, bool isError);
  void watchExit();

  const pid_t pid_;
  Handlers handlers_;
  int stopFd_ = -1;  // wakes the readers when the object goes away
  mutable Mutex mutex_;
  CondVar changed_;
  int input_ GUARDED_BY(mutex_) = -1;
  int openOutputs_ GUARDED_BY(mutex_) = 2;
  bool exited_ GUARDED_BY(mutex_) = false;
  std::thread outputReader_;
  std::thread errorReader_;
  std::thread exitWatcher_;
};

// The stop sequence: close the input, wait up to `grace` for the exit, force the stop if it did
// not come. Returns whether the process exited by itself.
bool stopSender(const std::function<void()>& closeInput, const std::function<bool(Seconds)>& waitForExit,
                const std::function<void()>& forceStop, Seconds grace = Seconds(5.0));

// The stop sequence for a sender: SIGTERM when the grace has passed, SIGKILL 2 s after that, so a
// sender that ignores SIGTERM cannot hold up the app.
bool stopSender(SenderProcess& sender, Seconds grace = Seconds(5.0));

// The end of a share in its order: `finish` (the capture and the encoder, whose last records go to
// the sender's input), then the stop sequence. A sender that no longer reads would hold `finish`
// for ever: past `grace` it is made to leave as above, which fails those writes.
void finishThenStop(SenderProcess& sender, const std::function<void()>& finish, Seconds grace = Seconds(5.0));

}  // namespace pelorin::app
