#include "app/app_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace pelorin::app {
namespace {

std::string contents(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(AppLog, LineRules) {
  struct Case {
    std::string message;
    std::string records;
  } cases[] = {
      {"a\n\nb\n", "T a\nT b\n"},
      {"", ""},
      {"\n\n", ""},
      {"x\r\ny", "T x\r\nT y\n"},
      {"one", "T one\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(logRecords(c.message, "T"), c.records) << c.message;
  EXPECT_EQ(iso8601(std::chrono::system_clock::from_time_t(1796494881) + std::chrono::milliseconds(999)),
            "2026-12-05T18:21:21Z");
}

class AppLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelorin-log-XXXXXX";
    root_ = mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::filesystem::path root_;
};

TEST_F(AppLogFile, AppendsStampedGroupsWholeAfterEarlierRuns) {
  const auto file = root_ / "state" / "Pelorin" / "Pelorin.log";
  { AppLog first(file); }  // creates the directories
  { std::ofstream(file, std::ios::app) << "earlier run\n"; }
  {
    AppLog log(file);
    log.write("");
    std::thread other([&] {
      for (int i = 0; i < 50; ++i) log.write("b1\nb2\nb3");
    });
    for (int i = 0; i < 50; ++i) log.write("a1\na2\na3\n");
    other.join();
  }
  const std::string text = contents(file);
  ASSERT_TRUE(text.starts_with("earlier run\n"));
  std::istringstream lines(text.substr(12));
  const std::regex stamped(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ ([ab])([123]))");
  std::string line;
  int count = 0;
  char group = 0;
  while (std::getline(lines, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, stamped)) << line;
    const int position = count % 3 + 1;
    if (position == 1) group = m[1].str()[0];
    EXPECT_EQ(m[1].str()[0], group) << "groups mixed at line " << count;
    EXPECT_EQ(m[2].str(), std::to_string(position));
    ++count;
  }
  EXPECT_EQ(count, 300);
}

TEST_F(AppLogFile, StaysSilentWhenTheFileCannotBeOpened) {
  if (geteuid() == 0) {
    // Permissions do not stop root: make the log's place a file instead of a directory.
    std::ofstream(root_ / "Pelorin") << "not a directory";
  } else {
    chmod(root_.c_str(), 0500);
  }
  {
    AppLog log(root_ / "Pelorin" / "Pelorin.log");
    log.write("lost\n");
    log.drain();
  }
  chmod(root_.c_str(), 0700);
  EXPECT_FALSE(std::filesystem::exists(root_ / "Pelorin" / "Pelorin.log"));
}

}  // namespace
}  // namespace pelorin::app
