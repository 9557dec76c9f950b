#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/app_log.h"
#include "app/sender_host.h"
#include "support/wait_until.h"

namespace pelorin::test {

// An AppLog on a file of its own, read back without the time stamps.
struct LogFile {
  ~LogFile() { std::filesystem::remove(path); }
  std::vector<std::string> lines() {
    log.drain();
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line.substr(line.find(' ') + 1));
    return out;
  }
  bool has(const std::string& line) {
    return waitUntil([&] { return std::ranges::count(lines(), line) > 0; });
  }
  std::filesystem::path path = std::filesystem::temp_directory_path() /
                               ("pelorin-app-" + std::to_string(getpid()) + "-" + std::to_string(std::uintptr_t(this)));
  app::AppLog log{path};
};

// Sender events written down as text ("ready 1280x720 high", "keyframe", "progress …", "failed …").
inline app::SenderEvents recordedEvents(std::vector<std::string>& out) {
  return {.ready = [&out](const app::ReadyLine& r) {
            out.push_back("ready " + std::to_string(r.width) + "x" + std::to_string(r.height) + " " + r.profile);
          },
          .keyframe = [&out] { out.push_back("keyframe"); },
          .progress = [&out](const std::string& text) { out.push_back("progress " + text); },
          .failed = [&out](const std::string& text) { out.push_back("failed " + text); }};
}

}  // namespace pelorin::test
