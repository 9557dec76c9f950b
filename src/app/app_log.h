#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/serial_queue.h"

namespace pelorin::app {

// The app's only diagnostic sink: every message becomes stamped lines appended to one file.
// write() returns at once; the file is written on the "pelorin.log" queue, one write per message.
class AppLog {
 public:
  // The one instance, on the file appLogPath() names; created on first use, never released.
  static AppLog& shared();

  // Opens (creating it and its directories) the file for appending; when it cannot be opened the
  // log stays silent for its whole life.
  explicit AppLog(const std::filesystem::path& file);
  ~AppLog();
  AppLog(const AppLog&) = delete;
  AppLog& operator=(const AppLog&) = delete;

  // Callable from any thread; every line of the message carries the current time.
  void write(std::string_view message);
  // Waits until every message written before the call has reached the file.
  void drain();

 private:
  int handle_ = -1;  // touched on the queue only, once open
  SerialQueue queue_{"pelorin.log"};
};

// $XDG_STATE_HOME/Pelorin/Pelorin.log, or ~/.local/state/Pelorin/Pelorin.log without it.
std::filesystem::path appLogPath();

// 2026-12-05T18:21:21Z: UTC, whole seconds.
std::string iso8601(std::chrono::system_clock::time_point time);

// "<stamp> <line>\n" for every non-empty piece between line feeds; carriage returns stay.
std::string logRecords(std::string_view message, std::string_view stamp);

}  // namespace pelorin::app
