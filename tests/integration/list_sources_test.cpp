// `pelorin-encoder --list-sources` against the test display (Xvfb with the monitors LEFT
// 1920x1200+0+0 and RIGHT 1920x1080+1920+0, managed by openbox): real managed windows made here,
// the printed JSON parsed and its thumbnails decoded.

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11_test_helpers.h"
#include "support/process.h"
#include "support/x11_windows.h"

extern char** environ;

namespace pelorin::test {
namespace {

using namespace std::chrono_literals;
using platform::x11::test::Painter;

constexpr unsigned long red = 0xd02020;
constexpr unsigned long green = 0x20c040;
constexpr unsigned long blue = 0x2040d0;
constexpr unsigned long yellow = 0xe0d020;
constexpr unsigned long purple = 0x9030b0;
constexpr unsigned long teal = 0x20a0a0;

std::string encoder() { return binaryPath("pelorin-encoder"); }

// Standard Base64 with padding; nothing on a malformed text.
std::optional<std::vector<unsigned char>> decodeBase64(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<unsigned char> out;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        v[k] = 0;
        ++padding;
      } else if (padding > 0 || (v[k] = value(c)) < 0) {
        return std::nullopt;
      }
    }
    const unsigned triple = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out.push_back(static_cast<unsigned char>(triple >> 16));
    if (padding < 2) out.push_back(static_cast<unsigned char>(triple >> 8));
    if (padding < 1) out.push_back(static_cast<unsigned char>(triple));
  }
  return out;
}

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgb;

  unsigned long at(int x, int y) const {
    const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
    return (static_cast<unsigned long>(rgb[i]) << 16) | (rgb[i + 1] << 8) | rgb[i + 2];
  }
  unsigned long centre() const { return at(width / 2, height / 2); }
};

// A "data:image/jpeg;base64," URL decoded to RGB pixels.
std::optional<Picture> decodeThumbnail(const nlohmann::json& value) {
  if (!value.is_string()) return std::nullopt;
  const std::string url = value.get<std::string>();
  const std::string prefix = "data:image/jpeg;base64,";
  if (url.rfind(prefix, 0) != 0) return std::nullopt;
  std::optional<std::vector<unsigned char>> jpeg = decodeBase64(url.substr(prefix.size()));
  if (!jpeg) return std::nullopt;
  tjhandle handle = tjInitDecompress();
  Picture picture;
  int subsampling = 0;
  int colourspace = 0;
  bool ok = tjDecompressHeader3(handle, jpeg->data(), jpeg->size(), &picture.width, &picture.height, &subsampling,
                                &colourspace) == 0;
  if (ok) {
    picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
    ok = tjDecompress2(handle, jpeg->data(), jpeg->size(), picture.rgb.data(), picture.width, 0, picture.height,
                       TJPF_RGB, 0) == 0;
  }
  tjDestroy(handle);
  if (!ok) return std::nullopt;
  return picture;
}

::testing::AssertionResult colourNear(unsigned long actual, unsigned long expected, int tolerance = 12) {
  for (int shift : {16, 8, 0}) {
    const int a = static_cast<int>((actual >> shift) & 0xff);
    const int e = static_cast<int>((expected >> shift) & 0xff);
    if (std::abs(a - e) > tolerance) {
      char text[96];
      std::snprintf(text, sizeof text, "colour %06lx is not within %d of %06lx", actual, tolerance, expected);
      return ::testing::AssertionFailure() << text;
    }
  }
  return ::testing::AssertionSuccess();
}

// Windows whose creation fails the test when the window manager does not take them.
class Windows : public ManagedWindows {
 public:
  Window create(const NewWindow& wanted, bool wait = true) {
    const Window window = ManagedWindows::create(wanted, false);
    if (wait) {
      EXPECT_TRUE(waitManaged(window)) << "openbox did not manage window " << window;
    }
    return window;
  }
};

struct Listing {
  ProcessResult process;
  nlohmann::json document;
};

Listing parse(ProcessResult process) {
  Listing listing{std::move(process), nullptr};
  listing.document = nlohmann::json::parse(listing.process.out, nullptr, false);
  return listing;
}

Listing listSources() {
  ProcessOptions options;
  options.arguments = {"--list-sources"};
  return parse(runProcess(encoder(), options));
}

const nlohmann::json* findById(const nlohmann::json& items, unsigned long id) {
  for (const auto& item : items) {
    if (item.contains("id") && item["id"].get<unsigned long>() == id) return &item;
  }
  return nullptr;
}

int expectedThumbnailHeight(int width, int height) {
  return std::max(1, static_cast<int>(static_cast<double>(height) * 320.0 / static_cast<double>(width)));
}

class ListSources : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::x11::test::haveDisplay()) << "these tests need an X display (scripts/test starts one)";
    ASSERT_TRUE(windows_.ok());
    ASSERT_TRUE(painter_.ok());
    // The pointer stays out of the thumbnails' centres.
    painter_.warpPointer(3, 1197);
  }

  void expectValidOutput(const Listing& listing) {
    EXPECT_EQ(listing.process.exitStatus, 0) << listing.process.err;
    EXPECT_EQ(listing.process.err, "");
    ASSERT_FALSE(listing.process.out.empty());
    EXPECT_EQ(std::count(listing.process.out.begin(), listing.process.out.end(), '\n'), 1);
    EXPECT_EQ(listing.process.out.back(), '\n');
    ASSERT_FALSE(listing.document.is_discarded()) << listing.process.out.substr(0, 400);
    ASSERT_TRUE(listing.document["displays"].is_array());
    ASSERT_TRUE(listing.document["windows"].is_array());
  }

  Windows windows_;
  Painter painter_;
};

TEST_F(ListSources, DisplaysAreTheRandrMonitorsWithThumbnailsOfTheirContent) {
  painter_.fill(0, 0, 1920, 1200, red);
  painter_.fill(1920, 0, 1920, 1080, teal);
  const Listing listing = listSources();
  expectValidOutput(listing);
  EXPECT_NE(listing.process.out.find("\"portion\":true"), std::string::npos);
  EXPECT_NE(listing.process.out.find("\"thumbnail\":\"data:image\\/jpeg;base64,"), std::string::npos);
  EXPECT_EQ(listing.process.out.find("data:image/jpeg"), std::string::npos) << "slashes are escaped";

  const nlohmann::json& displays = listing.document["displays"];
  ASSERT_EQ(displays.size(), 2u);
  struct Expected {
    const char* name;
    int width, height, thumbnailHeight;
    unsigned long rgb;
  };
  const Expected expected[] = {{"LEFT", 1920, 1200, 200, red}, {"RIGHT", 1920, 1080, 180, teal}};
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(expected[i].name);
    const nlohmann::json& d = displays[i];
    EXPECT_EQ(d["id"].get<unsigned long>(), windows_.atom(expected[i].name));
    EXPECT_EQ(d["name"], expected[i].name);
    EXPECT_EQ(d["width"], expected[i].width);
    EXPECT_EQ(d["height"], expected[i].height);
    std::optional<Picture> thumbnail = decodeThumbnail(d["thumbnail"]);
    ASSERT_TRUE(thumbnail);
    EXPECT_EQ(thumbnail->width, 320);
    EXPECT_EQ(thumbnail->height, expected[i].thumbnailHeight);
    EXPECT_TRUE(colourNear(thumbnail->centre(), expected[i].rgb));
  }
}

TEST_F(ListSources, TitledWindowIsListedWithItsOwnPicture) {
  const Window window = windows_.create({.width = 500, .height = 260, .rgb = yellow, .title = "Pelorin titled",
                                         .wmClass = "PelorinTitled", .pid = 1});
  const FrameSize frame = windows_.frameSize(window);
  const Listing listing = listSources();
  expectValidOutput(listing);
  const nlohmann::json* item = findById(listing.document["windows"], window);
  ASSERT_NE(item, nullptr) << listing.process.out.substr(0, 2000);
  EXPECT_EQ((*item)["title"], "Pelorin titled");
  EXPECT_EQ((*item)["app"], "PelorinTitled");
  std::optional<Picture> thumbnail = decodeThumbnail((*item)["thumbnail"]);
  ASSERT_TRUE(thumbnail);
  EXPECT_EQ(thumbnail->width, 320);
  EXPECT_EQ(thumbnail->height, expectedThumbnailHeight(frame.width, frame.height));
  EXPECT_TRUE(colourNear(thumbnail->centre(), yellow));
}

TEST_F(ListSources, CoveredWindowStillShowsItsOwnColour) {
  const Window window = windows_.create({.width = 600, .height = 400, .rgb = green, .title = "Pelorin covered"});
  int x = 0;
  int y = 0;
  Window child = None;
  XTranslateCoordinates(windows_.display(), window, DefaultRootWindow(windows_.display()), 0, 0, &x, &y, &child);
  // Cover the whole screen, so the window is hidden wherever openbox placed it.
  painter_.fill(0, 0, 3840, 1200, purple);
  const Listing listing = listSources();
  expectValidOutput(listing);
  // The cover works: the display shows it where the window lies.
  const nlohmann::json& displays = listing.document["displays"];
  ASSERT_EQ(displays.size(), 2u);
  std::optional<Picture> left = decodeThumbnail(displays[0]["thumbnail"]);
  ASSERT_TRUE(left);
  const int cx = std::min(1919, x + 300);
  const int cy = std::min(1199, y + 200);
  EXPECT_TRUE(colourNear(left->at(cx * 320 / 1920, cy * 200 / 1200), purple));

  const nlohmann::json* item = findById(listing.document["windows"], window);
  ASSERT_NE(item, nullptr);
  std::optional<Picture> thumbnail = decodeThumbnail((*item)["thumbnail"]);
  ASSERT_TRUE(thumbnail);
  EXPECT_TRUE(colourNear(thumbnail->centre(), green));
  // Below the title bar, well inside the client area.
  EXPECT_TRUE(colourNear(thumbnail->at(thumbnail->width / 4, thumbnail->height * 3 / 4), green));
}

TEST_F(ListSources, SmallestListedFrameIs120By80) {
  const Window exact = windows_.create({.width = 200, .height = 150, .rgb = red, .title = "Pelorin exact"});
  const Window narrow = windows_.create({.width = 200, .height = 150, .rgb = red, .title = "Pelorin narrow"});
  const Window low = windows_.create({.width = 200, .height = 150, .rgb = red, .title = "Pelorin low"});
  ASSERT_TRUE(windows_.setFrameSize(exact, 120, 80));
  ASSERT_TRUE(windows_.setFrameSize(narrow, 119, 80));
  ASSERT_TRUE(windows_.setFrameSize(low, 120, 79));
  const Listing listing = listSources();
  expectValidOutput(listing);
  const nlohmann::json* item = findById(listing.document["windows"], exact);
  ASSERT_NE(item, nullptr);
  std::optional<Picture> thumbnail = decodeThumbnail((*item)["thumbnail"]);
  ASSERT_TRUE(thumbnail);
  EXPECT_EQ(thumbnail->width, 320);
  EXPECT_EQ(thumbnail->height, 213);  // trunc(80 * 320 / 120)
  EXPECT_EQ(findById(listing.document["windows"], narrow), nullptr);
  EXPECT_EQ(findById(listing.document["windows"], low), nullptr);
}

TEST_F(ListSources, UntitledWindowIsListedByItsApplication) {
  const Window untitled = windows_.create({.rgb = teal, .wmClass = "PelorinNoTitle"});
  const Window nameless = windows_.create({.rgb = teal});
  const Listing listing = listSources();
  expectValidOutput(listing);
  const nlohmann::json* item = findById(listing.document["windows"], untitled);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ((*item)["title"], "");
  EXPECT_EQ((*item)["app"], "PelorinNoTitle");
  // Neither a title nor an application: nothing to show the user.
  EXPECT_EQ(findById(listing.document["windows"], nameless), nullptr);
}

TEST_F(ListSources, ApplicationFallsBackToTheProcessName) {
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);
  ASSERT_FALSE(comm.empty());
  const Window window = windows_.create({.rgb = blue, .title = "Pelorin by pid", .pid = getpid()});
  const Listing listing = listSources();
  expectValidOutput(listing);
  const nlohmann::json* item = findById(listing.document["windows"], window);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ((*item)["app"], comm);
}

TEST_F(ListSources, DockWindowIsNotListed) {
  const Window dock = windows_.create({.width = 400, .height = 200, .rgb = red, .title = "Pelorin dock",
                                       .wmClass = "PelorinDock", .type = "_NET_WM_WINDOW_TYPE_DOCK"},
                                      false);
  const Window normal = windows_.create({.width = 400, .height = 200, .rgb = red, .title = "Pelorin normal",
                                         .wmClass = "PelorinNormal", .type = "_NET_WM_WINDOW_TYPE_NORMAL"});
  ASSERT_TRUE(Windows::waitUntil([&] { return windows_.viewable(dock) && windows_.inClientList(dock); }))
      << "openbox lists docks among its clients; left out of that list the case would prove nothing";
  const Listing listing = listSources();
  expectValidOutput(listing);
  EXPECT_EQ(findById(listing.document["windows"], dock), nullptr);
  EXPECT_NE(findById(listing.document["windows"], normal), nullptr);
}

// The encoder's own windows are left out. Its pid is known only once it runs: a shell prints
// its own pid, waits while the test marks a window with it, then becomes the encoder.
TEST_F(ListSources, OwnWindowsAreNotListed) {
  const Window own = windows_.create({.rgb = green, .title = "Pelorin own", .wmClass = "PelorinOwn"});
  const Window other = windows_.create({.rgb = green, .title = "Pelorin other", .wmClass = "PelorinOwn", .pid = 1});
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
  const std::string script = "echo $$; sleep 0.5; exec \"$0\" --list-sources";
  std::string program = encoder();
  std::vector<char*> argv = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(script.c_str()),
                             program.data(), nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, "/bin/sh", &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  std::string out;
  char buffer[65536];
  bool marked = false;
  for (;;) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
    const auto newline = out.find('\n');
    if (!marked && newline != std::string::npos) {
      windows_.setPid(own, std::stol(out.substr(0, newline)));
      out.erase(0, newline + 1);
      marked = true;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(marked);
  ASSERT_TRUE(WIFEXITED(status));
  ProcessResult result;
  result.exitStatus = WEXITSTATUS(status);
  result.out = out;
  const Listing listing = parse(result);
  expectValidOutput(listing);
  EXPECT_EQ(findById(listing.document["windows"], own), nullptr);
  EXPECT_NE(findById(listing.document["windows"], other), nullptr);
}

TEST_F(ListSources, WindowsDestroyedWhileListedNeverBreakTheListing) {
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<Window> made;
    for (int i = 0; i < 30; ++i) {
      made.push_back(windows_.create({.width = 200 + 13 * i, .height = 150 + 7 * i, .rgb = (i % 2) ? red : blue,
                                      .title = "Pelorin doomed " + std::to_string(i)},
                                     false));
    }
    ASSERT_TRUE(Windows::waitUntil([&] { return windows_.inClientList(made.back()); }));
    std::thread destroyer([&] {
      // Staggered over the run so some go before the list is read and some while thumbnails are made.
      for (Window window : made) {
        std::this_thread::sleep_for(std::chrono::milliseconds(round + 1));
        windows_.destroy(window);
      }
    });
    const Listing listing = listSources();
    destroyer.join();
    EXPECT_NE(listing.process.signal, SIGSEGV);
    expectValidOutput(listing);
    for (const auto& item : listing.document["windows"]) {
      EXPECT_TRUE(item["thumbnail"].is_null() || decodeThumbnail(item["thumbnail"]).has_value());
    }
  }
}

TEST(ListSourcesWithoutDisplay, FailsWithOneErrorLine) {
  ProcessOptions options;
  options.arguments = {"--list-sources"};
  options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
  const ProcessResult r = runProcess(encoder(), options);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  const std::vector<std::string> lines = splitLines(r.err);
  ASSERT_EQ(lines.size(), 1u) << r.err;
  EXPECT_EQ(lines[0].rfind("native_encoder_error reason=", 0), 0u) << lines[0];
  EXPECT_EQ(r.err.back(), '\n');
}

}  // namespace
}  // namespace pelorin::test
