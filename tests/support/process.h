#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::test {

struct ProcessResult {
  int exitStatus = -1;  // -1 when the process did not exit normally
  std::string out, err;
  std::vector<std::uint64_t> timedInputWrittenAt;  // Unix nanoseconds at which each timed line was written
  std::chrono::milliseconds elapsed{0};  // from the start until both outputs ended
};

struct TimedLine {  // a line written to standard input this long after the start
  std::chrono::milliseconds at;
  std::string text;
};

inline constexpr std::chrono::milliseconds never = std::chrono::hours(24);  // beyond any timeout

struct ProcessOptions {
  std::vector<std::string> arguments;     // without the program
  std::map<std::string, std::string> setEnvironment;
  std::vector<std::string> unsetEnvironment;
  std::optional<std::string> input;       // written to standard input at the start
  std::vector<TimedLine> timedInput;      // written while the process runs
  // Standard input is closed this long after the start (at once by default), after its timed lines;
  // `never` keeps it open until the process ends or is killed at the timeout.
  std::chrono::milliseconds closeInputAt{0};
  std::chrono::milliseconds timeout{60000};
  std::optional<std::size_t> closeOutputAfter;        // after these bytes: a reader that goes away
  std::optional<std::size_t> stopReadingOutputAfter;  // after these bytes: a reader that hangs, output open
  bool nonBlockingOutput = false;     // the child's standard output is a non-blocking pipe
  std::vector<int> closedDescriptors;  // of 0, 1, 2: the child starts with these closed
  std::optional<std::pair<std::chrono::milliseconds, int>> signalAt;  // sent this long after the start
  std::function<void(const std::string&)> onErrorLine;  // each whole line of standard error, as it comes
};

// Runs a program to its end, collecting its output; kills it at the timeout.
ProcessResult runProcess(const std::string& program, const ProcessOptions& options = {});

// The wall clock as Unix time in nanoseconds, as the encoder stamps its records.
std::uint64_t unixNanoseconds();

// Path of a built program: $PELORIN_BIN_DIR/name.
std::string binaryPath(const std::string& name);

// The lines of a text, without their line feeds.
std::vector<std::string> splitLines(const std::string& text);

// The key=value words of a log line ("event a=1 b=2" gives {a: 1, b: 2}).
std::map<std::string, std::string> keyValues(const std::string& line);

}  // namespace pelorin::test
