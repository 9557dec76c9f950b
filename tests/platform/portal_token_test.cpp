#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/portal/restore_token_store.h"
#include "platform/portal/screencast_session.h"
#include "support/wait_until.h"

namespace pelorin::platform::portal {
namespace {

namespace fs = std::filesystem;

struct stat statOf(const fs::path& path) {
  struct stat s {};
  ::stat(path.c_str(), &s);
  return s;
}

// Whether a lock request on `file` waits in the kernel: /proc/locks lists a blocked one with "->".
bool lockAwaited(const fs::path& file) {
  std::ifstream locks("/proc/locks");
  const std::string inode = ":" + std::to_string(statOf(file).st_ino) + " ";
  for (std::string line; std::getline(locks, line);) {
    if (line.find(" -> ") != std::string::npos && line.find(inode) != std::string::npos) return true;
  }
  return false;
}

class TokenDirectory : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelorin-token-XXXXXX";
    root_ = ::mkdtemp(pattern);
    directory_ = root_ / "state" / "Pelorin";  // not there yet
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_, directory_;
};

TEST_F(TokenDirectory, TokenIsPrivateReplacedWholeAndRotatedUnderTheLease) {
  EXPECT_FALSE(storedRestoreToken(directory_));
  EXPECT_FALSE(fs::exists(directory_)) << "a preflight creates nothing";

  {
    Result<RestoreTokenLease> first = RestoreTokenLease::acquire(directory_);
    ASSERT_TRUE(first) << first.error().message;
    EXPECT_EQ(first->token(), "");
    // A crashed write's leftover keeps its mode through O_TRUNC: the token must not inherit it.
    std::ofstream(directory_ / "portal-restore-token.new") << "half";
    fs::permissions(directory_ / "portal-restore-token.new", fs::perms(0644));
    ASSERT_TRUE(first->replace("token-a"));
    EXPECT_EQ(first->token(), "token-a");
  }
  EXPECT_EQ(storedRestoreToken(directory_), "token-a");
  EXPECT_EQ(statOf(directory_ / "portal-restore-token").st_mode & 0777, 0600u);
  EXPECT_FALSE(fs::exists(directory_ / "portal-restore-token.new"));

  // A second user of the token waits for the first to store its new one, then reads that.
  std::atomic<bool> acquired{false};
  std::string seen;
  std::thread second;
  {
    Result<RestoreTokenLease> holder = RestoreTokenLease::acquire(directory_);
    ASSERT_TRUE(holder);
    second = std::thread([&] {
      Result<RestoreTokenLease> lease = RestoreTokenLease::acquire(directory_);
      acquired = true;
      if (lease) seen = lease->token();
    });
    // It waits in the kernel for the lock, or (wrongly) gets the token at once.
    pelorin::test::waitUntil([&] { return acquired || lockAwaited(directory_ / "portal-restore-token.lock"); });
    EXPECT_FALSE(acquired) << "two sessions would spend the same token";
    EXPECT_TRUE(holder->replace("token-b"));
  }
  second.join();
  EXPECT_EQ(seen, "token-b");
  EXPECT_EQ(storedRestoreToken(directory_), "token-b");

  // A file where the directory should be: an error, not a token.
  std::ofstream(root_ / "file") << "not a directory";
  Result<RestoreTokenLease> lease = RestoreTokenLease::acquire(root_ / "file");
  ASSERT_FALSE(lease);
  EXPECT_NE(lease.error().message.find("restore token"), std::string::npos);
  EXPECT_FALSE(storedRestoreToken(root_ / "file"));
}

TEST(StreamForMonitor, MatchesPositionAndSizeElseTheOnlyStreamOfThatSize) {
  const std::vector<PortalStream> placed = {{31, {{0, 0}}, {{1920, 1080}}}, {32, {{1920, 0}}, {{1920, 1080}}}};
  const std::vector<PortalStream> unplaced = {{41, {}, {{1920, 1080}}}, {42, {}, {{1280, 720}}}};
  const std::vector<PortalStream> twins = {{51, {}, {{1920, 1080}}}, {52, {}, {{1920, 1080}}}};
  struct Case {
    const std::vector<PortalStream>* streams;
    Rect frame;
    std::uint32_t node;  // 0: none
  } cases[] = {
      {&placed, {1920, 0, 1920, 1080}, 32},
      {&placed, {0, 0, 1920, 1080}, 31},
      {&placed, {0, 1080, 1920, 1080}, 0},  // right size, wrong place: another monitor
      {&placed, {0, 0, 1280, 720}, 0},
      {&unplaced, {1920, 0, 1280, 720}, 42},
      {&unplaced, {0, 0, 2560, 1440}, 0},
      {&twins, {0, 0, 1920, 1080}, 0},  // cannot tell the two apart
  };
  for (const Case& c : cases) {
    const auto found = streamForMonitor(*c.streams, c.frame);
    EXPECT_EQ(found ? found->nodeId : 0u, c.node) << c.frame.x << "," << c.frame.y << " " << c.frame.width;
  }
}

}  // namespace
}  // namespace pelorin::platform::portal
