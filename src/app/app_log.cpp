#include "app/app_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <system_error>

#include "base/fd_output.h"
#include "base/state_directory.h"

namespace pelorin::app {

AppLog& AppLog::shared() {
  static AppLog* const instance = new AppLog(appLogPath());
  return *instance;
}

AppLog::AppLog(const std::filesystem::path& file) {
  std::error_code ignored;
  std::filesystem::create_directories(file.parent_path(), ignored);
  // O_APPEND keeps every write at the end, after what earlier runs wrote.
  handle_ = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

AppLog::~AppLog() {
  queue_.sync([this] {
    if (handle_ >= 0) ::close(handle_);
    handle_ = -1;
  });
}

void AppLog::write(std::string_view message) {
  std::string text = logRecords(message, iso8601(std::chrono::system_clock::now()));
  queue_.post([this, text = std::move(text)] {
    if (handle_ < 0 || text.empty()) return;
    (void)writeAll(handle_, text.data(), text.size());  // nowhere to report a failed write
  });
}

void AppLog::drain() {
  queue_.sync([] {});
}

std::filesystem::path appLogPath() { return pelorinStateDirectory() / "Pelorin.log"; }

std::string iso8601(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string logRecords(std::string_view message, std::string_view stamp) {
  std::string out;
  std::size_t start = 0;
  while (start < message.size()) {
    std::size_t end = message.find('\n', start);
    if (end == std::string_view::npos) end = message.size();
    if (end > start) {
      out.append(stamp).push_back(' ');
      out.append(message.substr(start, end - start)).push_back('\n');
    }
    start = end + 1;
  }
  return out;
}

}  // namespace pelorin::app
