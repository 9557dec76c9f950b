#pragma once

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app_log.h"

namespace pelorin::test {

// An AppLog on a file of its own, read back without the time stamps.
class LogFile {
 public:
  LogFile() : path_(std::filesystem::temp_directory_path() / ("pelorin-app-" + std::to_string(getpid()) + "-" +
                                                               std::to_string(counter()++) + ".log")),
              log_(path_) {}
  ~LogFile() { std::filesystem::remove(path_); }
  app::AppLog& log() { return log_; }

  std::vector<std::string> lines() {
    log_.drain();
    std::ifstream in(path_);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line.substr(line.find(' ') + 1));
    return out;
  }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  std::filesystem::path path_;
  app::AppLog log_;
};

// Polls a condition that another thread makes true.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace pelorin::test
