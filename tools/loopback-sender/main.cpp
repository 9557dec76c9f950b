// loopback-sender: a development stand-in for the sender. It speaks the sender's protocol to the
// app, checks every frame-stream record it is fed, and writes the stream to a file.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "base/fd_output.h"
#include "media/frame_stream.h"
#include "media/frame_stream_reader.h"

namespace {

constexpr const char* usage =
    "usage: loopback-sender --frames-stdin --pairing-code CODE --public-ip IP --tls-ca FILE --width W --height H\n"
    "                       --fps N --duration S --destination HOST:PORT...\n"
    "Writes the frame stream it reads to $PELORIN_LOOPBACK_OUTPUT (if set); SIGUSR1 asks for a key frame.\n"
    "Writes when it said READY and when the first and the last record arrived to $PELORIN_LOOPBACK_TIMES (if set).";

// The options that take a value; "--destination" may repeat.
const std::set<std::string> valued{"--pairing-code", "--public-ip", "--tls-ca",   "--width",
                                   "--height",       "--fps",       "--duration", "--destination"};

int fail(const std::string& message) {
  pelorin::writeLine(STDERR_FILENO, "error: " + message);
  return 1;
}

// The last value of every option, or nothing when the command line is not the sender's.
bool parse(int argc, char** argv, std::map<std::string, std::string>& values) {
  bool framesOnStdin = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--frames-stdin") {
      framesOnStdin = true;
    } else if (valued.count(word) && i + 1 < argc) {
      values[word] = argv[++i];
    } else {
      return false;
    }
  }
  for (const char* required : {"--pairing-code", "--width", "--height", "--destination"}) {
    if (!values.count(required)) return false;
  }
  return framesOnStdin;
}

std::int64_t nowNanoseconds() {
  return std::chrono::nanoseconds(std::chrono::system_clock::now().time_since_epoch()).count();
}

// "name=N" with N a wall-clock time in Unix nanoseconds, which a benchmark compares with its own.
void writeTime(int fd, const char* name, std::int64_t nanoseconds = nowNanoseconds()) {
  if (fd >= 0) pelorin::writeLine(fd, std::string(name) + "=" + std::to_string(nanoseconds));
}

void askForKeyFrame(int) {
  static const char line[] = "KEYFRAME\n";
  (void)!::write(STDOUT_FILENO, line, sizeof line - 1);  // write() is safe in a signal handler
}

// Copies every checked record into `output` (-1: nowhere); returns the exit status.
int relay(int output, int times) {
  pelorin::media::FrameStreamReader reader(STDIN_FILENO);
  std::uint64_t records = 0;
  std::int64_t lastRecord = 0;
  for (;;) {
    auto next = reader.next();
    if (!next) return fail(next.error().description());
    if (!*next) break;
    lastRecord = nowNanoseconds();
    if (records == 0) writeTime(times, "first_record_ns", lastRecord);
    const auto& record = **next;
    pelorin::media::ByteBuffer bytes;
    pelorin::media::appendFrameHeader(bytes, static_cast<std::uint32_t>(record.payload.size()),
                                      record.captureNanoseconds, record.keyFrame);
    bytes.insert(bytes.end(), record.payload.begin(), record.payload.end());
    if (output >= 0) {
      if (auto written = pelorin::writeAll(output, bytes.data(), bytes.size()); !written) {
        return fail("output: " + written.error().description());
      }
    }
    ++records;
  }
  if (records > 0) writeTime(times, "last_record_ns", lastRecord);
  pelorin::writeLine(STDERR_FILENO, "loopback_end records=" + std::to_string(records) +
                                        " bytes=" + std::to_string(reader.bytesRead()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  pelorin::ignoreBrokenPipeSignal();
  std::map<std::string, std::string> values;
  if (!parse(argc, argv, values)) return fail(usage);
  int output = -1;
  if (const char* path = std::getenv("PELORIN_LOOPBACK_OUTPUT"); path && *path) {
    output = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) return fail(std::string(path) + ": " + std::strerror(errno));
  }
  const char* timesPath = std::getenv("PELORIN_LOOPBACK_TIMES");
  const int times = timesPath && *timesPath ? ::open(timesPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
  struct sigaction action {};
  action.sa_handler = askForKeyFrame;
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, nullptr);

  pelorin::writeLine(STDERR_FILENO, "pairing result=accepted");
  pelorin::writeLine(STDOUT_FILENO, "READY " + values["--width"] + " " + values["--height"] + " high");
  writeTime(times, "ready_ns");
  pelorin::writeLine(STDERR_FILENO, "state=active");
  const int status = relay(output, times);
  if (output >= 0) ::close(output);
  if (times >= 0) ::close(times);
  return status;
}
