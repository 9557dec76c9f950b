#include "support/process.h"

#include "base/child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace pelorin::test {
namespace {

std::vector<std::string> childEnvironment(const ProcessOptions& options) {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e), name = entry.substr(0, entry.find('='));
    const auto& unset = options.unsetEnvironment;
    if (!options.setEnvironment.contains(name) && std::find(unset.begin(), unset.end(), name) == unset.end()) {
      out.push_back(entry);
    }
  }
  for (const auto& [name, value] : options.setEnvironment) out.push_back(name + "=" + value);
  return out;
}

void writeAll(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void closeOnce(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
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
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::map<std::string, std::string> keyValues(const std::string& line) {
  std::map<std::string, std::string> out;
  std::istringstream words(line);
  for (std::string word; words >> word;) {
    const auto eq = word.find('=');
    if (eq != std::string::npos) out[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return out;
}

ProcessResult runProcess(const std::string& program, const ProcessOptions& options) {
  using namespace std::chrono;
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
  auto child =
      spawnWithPipes(program, argv, {childEnvironment(options), options.closedDescriptors, options.nonBlockingOutput});
  if (!child) throw std::runtime_error("cannot start " + child.error().message);
  int inputFd = child->input, fds[2] = {child->output, child->error};
  if (options.input) writeAll(inputFd, *options.input);

  ProcessResult result;
  const auto started = steady_clock::now();
  const auto at = [&](milliseconds offset) { return started + offset; };
  const auto deadline = at(options.timeout);
  const std::vector<TimedLine>& lines = options.timedInput;
  std::size_t nextLine = 0, errorSeen = 0;
  bool reading = true;  // false once the reader stops reading, as a hung host would
  bool signalDue = options.signalAt.has_value(), timedOut = false;
  while ((fds[0] >= 0 && reading) || fds[1] >= 0) {
    const auto now = steady_clock::now();
    if ((timedOut = now >= deadline)) break;
    if (signalDue && at(options.signalAt->first) <= now) {
      kill(child->pid, options.signalAt->second);
      signalDue = false;
    }
    for (; nextLine < lines.size() && at(lines[nextLine].at) <= now; ++nextLine) {
      result.timedInputWrittenAt.push_back(unixNanoseconds());
      writeAll(inputFd, lines[nextLine].text + "\n");
    }
    if (nextLine == lines.size() && at(options.closeInputAt) <= now) closeOnce(inputFd);
    auto wakeAt = deadline;
    if (inputFd >= 0) wakeAt = std::min(wakeAt, at(options.closeInputAt));
    if (nextLine < lines.size()) wakeAt = std::min(wakeAt, at(lines[nextLine].at));
    if (signalDue) wakeAt = std::min(wakeAt, at(options.signalAt->first));
    pollfd polled[2] = {{reading ? fds[0] : -1, POLLIN, 0}, {fds[1], POLLIN, 0}};
    const auto wait = std::max<long long>(0, duration_cast<milliseconds>(wakeAt - now).count() + 1);
    if (poll(polled, 2, static_cast<int>(wait)) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i], buffer, sizeof buffer);
      std::string& text = i == 0 ? result.out : result.err;
      if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; i == 1 && options.onErrorLine && (end = text.find('\n', errorSeen)) != std::string::npos;) {
        options.onErrorLine(text.substr(errorSeen, end - errorSeen));
        errorSeen = end + 1;
      }
      if (n <= 0 || (i == 0 && options.closeOutputAfter && text.size() >= *options.closeOutputAfter)) {
        closeOnce(fds[i]);
      }
      if (i == 0 && options.stopReadingOutputAfter && text.size() >= *options.stopReadingOutputAfter) reading = false;
    }
  }
  result.elapsed = duration_cast<milliseconds>(steady_clock::now() - started);
  for (int* fd : {&fds[0], &fds[1], &inputFd}) closeOnce(*fd);

  // Output closed early: the child may still be running; give it until the deadline.
  int status = 0;
  while (waitpid(child->pid, &status, WNOHANG) != child->pid) {
    if (timedOut || steady_clock::now() > deadline) {
      kill(child->pid, SIGKILL);
      waitpid(child->pid, &status, 0);
      return result;
    }
    usleep(2000);
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

}  // namespace pelorin::test
