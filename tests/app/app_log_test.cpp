#include "app/app_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

namespace pelorin::app {
namespace {

TEST(AppLog, StampsEachLineAndAppendsWholeGroupsAfterEarlierRunsAndIsSilentWhenItCannotOpen) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\n\nb\n", "T a\nT b\n"}, {"\n\n", ""}, {"x\r\ny", "T x\r\nT y\n"}, {"one", "T one\n"}};
  for (const auto& [message, records] : cases) EXPECT_EQ(logRecords(message, "T"), records) << message;
  EXPECT_EQ(iso8601(std::chrono::system_clock::from_time_t(1796494881) + std::chrono::milliseconds(999)),
            "2026-12-05T18:21:21Z");

  char pattern[] = "/tmp/pelorin-log-XXXXXX";
  const std::filesystem::path root = mkdtemp(pattern);
  const auto file = root / "state" / "Pelorin" / "Pelorin.log";
  { AppLog first(file); }  // creates the directories
  std::ofstream(file, std::ios::app) << "earlier run\n";
  {
    AppLog log(file);
    std::thread other([&] {
      for (int i = 0; i < 50; ++i) log.write("b1\nb2\nb3");
    });
    for (int i = 0; i < 50; ++i) log.write("a1\na2\na3\n");
    other.join();
  }
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "earlier run");
  const std::regex stamped(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ ([ab])([123]))");
  int count = 0;
  std::string group;
  for (std::smatch m; std::getline(in, line); ++count) {
    ASSERT_TRUE(std::regex_match(line, m, stamped)) << line;
    if (count % 3 == 0) group = m[1];
    EXPECT_EQ(m[1].str() + m[2].str(), group + std::to_string(count % 3 + 1)) << "groups mixed at line " << count;
  }
  EXPECT_EQ(count, 300);

  AppLog blocked(file / "Pelorin.log");  // a file stands where its directory should be, even for root
  blocked.write("lost\n");
  blocked.drain();
  EXPECT_FALSE(std::filesystem::exists(file / "Pelorin.log"));
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace pelorin::app
