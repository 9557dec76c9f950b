// `pelorin-encoder --list-sources` against the test display (Xvfb with the monitors LEFT
// 1920x1200+0+0 and RIGHT 1920x1080+1920+0, managed by openbox): real managed windows made here,
// the printed JSON parsed and its thumbnails decoded.

#include <gtest/gtest.h>

#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/x11_windows.h"

namespace pelorin::test {
namespace {

constexpr unsigned long red = 0xd02020, blue = 0x2040d0, yellow = 0xe0d020, purple = 0x9030b0, teal = 0x20a0a0;

std::string encoder() { return binaryPath("pelorin-encoder"); }

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgb;

  unsigned long at(int x, int y) const {
    const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
    return (static_cast<unsigned long>(rgb[i]) << 16) | (rgb[i + 1] << 8) | rgb[i + 2];
  }
};

// A "data:image/jpeg;base64," URL (Base64 decoded by coreutils) decoded to RGB pixels.
std::optional<Picture> decodeThumbnail(const nlohmann::json& value) {
  const std::string prefix = "data:image/jpeg;base64,";
  if (!value.is_string() || value.get<std::string>().rfind(prefix, 0) != 0) return std::nullopt;
  const ProcessResult jpeg =
      runProcess("/usr/bin/base64", {.arguments = {"-d"}, .input = value.get<std::string>().substr(prefix.size())});
  const auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.out.data());
  tjhandle handle = tjInitDecompress();
  Picture picture;
  int subsampling = 0, colourspace = 0;
  bool ok = jpeg.exitStatus == 0 && tjDecompressHeader3(handle, bytes, jpeg.out.size(), &picture.width,
                                                         &picture.height, &subsampling, &colourspace) == 0;
  if (ok) {
    picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
    ok = tjDecompress2(handle, bytes, jpeg.out.size(), picture.rgb.data(), picture.width, 0, picture.height, TJPF_RGB,
                       0) == 0;
  }
  tjDestroy(handle);
  if (!ok) return std::nullopt;
  return picture;
}

// JPEG blurs the edges of flat areas a little.
::testing::AssertionResult colourNear(unsigned long actual, unsigned long expected) {
  if (rgbNear(actual, expected, 12)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << std::hex << actual << " is not near " << expected;
}

struct Listing {
  ProcessResult process;
  nlohmann::json document;
};

// The listing; with `own`, that window is first marked as the encoder's: a shell sets its pid
// on it, then becomes the encoder.
Listing listSources(std::optional<Window> own = std::nullopt) {
  ProcessOptions options{.arguments = {"--list-sources"}};
  if (own) {
    options.arguments = {"-c",
                         "xprop -id " + std::to_string(*own) +
                             " -f _NET_WM_PID 32c -set _NET_WM_PID $$ && exec \"$0\" --list-sources",
                         encoder()};
  }
  Listing listing{runProcess(own ? "/bin/sh" : encoder(), options), nullptr};
  listing.document = nlohmann::json::parse(listing.process.out, nullptr, false);
  // One line of JSON on standard output, nothing on standard error.
  EXPECT_EQ(listing.process.exitStatus, 0) << listing.process.err;
  EXPECT_EQ(listing.process.err, "");
  EXPECT_EQ(std::count(listing.process.out.begin(), listing.process.out.end(), '\n'), 1);
  EXPECT_TRUE(listing.document.is_object() && listing.document["displays"].is_array() &&
              listing.document["windows"].is_array())
      << listing.process.out.substr(0, 400);
  return listing;
}

class ListSources : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(haveDisplay()) << "these tests need an X display (scripts/test starts one)";
    ASSERT_TRUE(windows_.ok());
    windows_.warpPointer(3, 1197);  // out of the thumbnails' centres
  }

  TestDisplay windows_;
};

// Every window lies under covers of the whole screen: each thumbnail shows its own pixels.
TEST_F(ListSources, ListsTheMonitorsAndTheWindowsAUserWouldPickWithTheirOwnPictures) {
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);
  const struct {
    const char* what;
    NewWindow window;
    bool listed;
    std::string title, app;
  } cases[] = {
      {"titled", {.width = 600, .height = 400, .rgb = yellow, .title = "Pelorin titled", .wmClass = "PelorinOwn", .pid = 1},
       true, "Pelorin titled", "PelorinOwn"},
      {"untitled", {.rgb = teal, .wmClass = "PelorinNoTitle"}, true, "", "PelorinNoTitle"},
      {"application from the pid", {.rgb = blue, .title = "Pelorin by pid", .pid = getpid()}, true, "Pelorin by pid",
       comm},
      {"dock", {.title = "Pelorin dock", .wmClass = "D", .type = "_NET_WM_WINDOW_TYPE_DOCK"}, false},
      {"the encoder's own", {.title = "Pelorin own", .wmClass = "PelorinOwn"}, false},
  };
  std::vector<Window> made;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    made.push_back(windows_.create(c.window, false));
    if (c.window.type == "_NET_WM_WINDOW_TYPE_DOCK") {
      // Openbox lists docks among its clients, unframed; left out of that list the case would prove nothing.
      ASSERT_TRUE(waitUntil([&] { return windows_.viewable(made.back()) && windows_.inClientList(made.back()); }));
    } else {
      ASSERT_TRUE(windows_.waitManaged(made.back()));
    }
  }
  int x = 0, y = 0;
  Window child = None;
  XTranslateCoordinates(windows_.display(), made[0], DefaultRootWindow(windows_.display()), 0, 0, &x, &y, &child);
  windows_.fill(0, 0, 1920, 1200, purple);
  windows_.fill(1920, 0, 1920, 1080, teal);

  const Listing listing = listSources(made.back());
  ASSERT_FALSE(testing::Test::HasFailure());

  const nlohmann::json& displays = listing.document["displays"];
  ASSERT_EQ(displays.size(), 2u);
  const struct {
    const char* name;
    int width, height, thumbnailHeight;
    unsigned long rgb;
  } monitors[] = {{"LEFT", 1920, 1200, 200, purple}, {"RIGHT", 1920, 1080, 180, teal}};
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(monitors[i].name);
    const nlohmann::json& d = displays[i];
    EXPECT_EQ(d["id"].get<unsigned long>(), windows_.atom(monitors[i].name));
    EXPECT_EQ(d["name"], monitors[i].name);
    EXPECT_TRUE(d["width"] == monitors[i].width && d["height"] == monitors[i].height) << d.dump().substr(0, 100);
    std::optional<Picture> thumbnail = decodeThumbnail(d["thumbnail"]);
    ASSERT_TRUE(thumbnail);
    EXPECT_EQ(std::pair(thumbnail->width, thumbnail->height), std::pair(320, monitors[i].thumbnailHeight));
    EXPECT_TRUE(colourNear(thumbnail->at(160, thumbnail->height / 2), monitors[i].rgb));
  }
  // The cover works: LEFT shows it where the first window lies.
  const int cx = std::min(1919, x + 300), cy = std::min(1199, y + 200);
  EXPECT_TRUE(colourNear(decodeThumbnail(displays[0]["thumbnail"])->at(cx * 320 / 1920, cy * 200 / 1200), purple));

  for (std::size_t i = 0; i < made.size(); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.what);
    const nlohmann::json& windows = listing.document["windows"];
    const auto item = std::find_if(windows.begin(), windows.end(), [&](const auto& w) { return w.value("id", 0ul) == made[i]; });
    ASSERT_EQ(item != windows.end(), c.listed) << listing.process.out.substr(0, 2000);
    if (item == windows.end()) continue;
    EXPECT_EQ((*item)["title"], c.title);
    EXPECT_EQ((*item)["app"], c.app);
    std::optional<Picture> thumbnail = decodeThumbnail((*item)["thumbnail"]);
    ASSERT_TRUE(thumbnail);
    const FrameSize frame = windows_.frameSize(made[i]);
    EXPECT_EQ(std::pair(thumbnail->width, thumbnail->height), std::pair(320, frame.height * 320 / frame.width));
    // At the centre and below the title bar, well inside the client area.
    EXPECT_TRUE(colourNear(thumbnail->at(160, thumbnail->height / 2), c.window.rgb));
    EXPECT_TRUE(colourNear(thumbnail->at(80, thumbnail->height * 3 / 4), c.window.rgb));
  }
}

// Windows that go before the list is read or while their thumbnails are made are left out.
TEST_F(ListSources, WindowsDestroyedWhileListedNeverBreakTheListing) {
  std::vector<Window> made;
  for (int i = 0; i < 40; ++i) made.push_back(windows_.create({.rgb = (i % 2) ? red : blue}, false));
  ASSERT_TRUE(waitUntil([&] { return windows_.inClientList(made.back()); }));
  std::thread destroyer([&] {
    for (Window window : made) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      windows_.destroy(window);
    }
  });
  const Listing listing = listSources();
  destroyer.join();
  for (const auto& item : listing.document["windows"]) {
    EXPECT_TRUE(item["thumbnail"].is_null() || decodeThumbnail(item["thumbnail"]).has_value());
  }
  // Without a display: one error line and nothing listed.
  const ProcessResult r = runProcess(encoder(), {.arguments = {"--list-sources"}, .unsetEnvironment = {"DISPLAY"}});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(splitLines(r.err).size(), 1u) << r.err;
  EXPECT_EQ(r.err.rfind("native_encoder_error reason=", 0), 0u) << r.err;
}

}  // namespace
}  // namespace pelorin::test
