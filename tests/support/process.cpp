#include "support/process.h"

#include "base/child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace pelorin::test {
namespace {

std::vector<std::string> childEnvironment(const ProcessOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& name : options.unsetEnvironment) env.erase(name);
  for (const auto& [name, value] : options.setEnvironment) env[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : env) out.push_back(name + "=" + value);
  return out;
}

}  // namespace

std::uint64_t unixNanoseconds() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

std::string binaryPath(const std::string& name) {
  const char* dir = std::getenv("PELORIN_BIN_DIR");
  return std::string(dir ? dir : "build/bin") + "/" + name;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::map<std::string, std::string> keyValues(const std::string& line) {
  std::map<std::string, std::string> out;
  std::istringstream words(line);
  std::string word;
  while (words >> word) {
    const auto eq = word.find('=');
    if (eq != std::string::npos) out[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return out;
}

ProcessResult runProcess(const std::string& program, const ProcessOptions& options) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
  auto child =
      spawnWithPipes(program, argv, {childEnvironment(options), options.closedDescriptors, options.nonBlockingOutput});
  if (!child) throw std::runtime_error("cannot start " + child.error().message);
  const pid_t pid = child->pid;

  if (options.input) {
    const std::string& data = *options.input;
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = write(child->input, data.data() + done, data.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  }
  int inputFd = child->input;
  if (!options.keepInputOpen && options.timedInput.empty() && !options.closeInputAt) {
    close(inputFd);
    inputFd = -1;
  }

  ProcessResult result;
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + options.timeout;
  std::size_t nextLine = 0;
  int outFd = child->output, errFd = child->error;
  bool outputRead = true;  // false once the reader stops reading, as a hung host would
  bool signalSent = false;
  char buffer[65536];
  while ((outFd >= 0 && outputRead) || errFd >= 0) {
    const auto now = std::chrono::steady_clock::now();
    if (options.signalAt && !signalSent && started + options.signalAt->first <= now) {
      kill(pid, options.signalAt->second);
      signalSent = true;
    }
    for (; nextLine < options.timedInput.size() && started + options.timedInput[nextLine].at <= now; ++nextLine) {
      const std::string line = options.timedInput[nextLine].text + "\n";
      result.timedInputWrittenAt.push_back(unixNanoseconds());
      if (write(inputFd, line.data(), line.size()) < 0) break;
    }
    if (options.closeInputAt && inputFd >= 0 && nextLine == options.timedInput.size() &&
        started + *options.closeInputAt <= now) {
      close(inputFd);
      inputFd = -1;
    }
    auto wakeAt = deadline;
    if (options.closeInputAt && inputFd >= 0) wakeAt = std::min(wakeAt, started + *options.closeInputAt);
    if (nextLine < options.timedInput.size()) wakeAt = std::min(wakeAt, started + options.timedInput[nextLine].at);
    if (options.signalAt && !signalSent) wakeAt = std::min(wakeAt, started + options.signalAt->first);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (left.count() <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count() + 1;
    pollfd fds[2] = {{outputRead ? outFd : -1, POLLIN, 0}, {errFd, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(wait)) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? outFd : errFd;
      if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fd);
        fd = -1;
        continue;
      }
      (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      if (i == 0 && options.closeOutputAfter && result.out.size() >= *options.closeOutputAfter) {
        close(fd);
        fd = -1;
      }
      if (i == 0 && options.stopReadingOutputAfter && result.out.size() >= *options.stopReadingOutputAfter) {
        outputRead = false;
      }
    }
  }
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  if (inputFd >= 0) close(inputFd);

  int status = 0;
  if (result.timedOut) {
    waitpid(pid, &status, 0);
    return result;
  }
  // Output closed early: the child may still be running; give it until the deadline.
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return result;
    }
    usleep(2000);
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace pelorin::test
