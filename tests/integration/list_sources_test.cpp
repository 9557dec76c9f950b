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

// The listing, checked to be one line of JSON on standard output and nothing on standard error;
// with `own`, that window is first marked as the encoder's: a shell sets its pid on it, then
// becomes the encoder.
nlohmann::json listSources(std::optional<Window> own = std::nullopt) {
  ProcessOptions options{.arguments = {"--list-sources"}};
  if (own) {
    options.arguments = {"-c",
                         "xprop -id " + std::to_string(*own) +
                             " -f _NET_WM_PID 32c -set _NET_WM_PID $$ && exec \"$0\" --list-sources",
                         encoder()};
  }
  const ProcessResult run = runProcess(own ? "/bin/sh" : encoder(), options);
  const nlohmann::json document = nlohmann::json::parse(run.out, nullptr, false);
  EXPECT_EQ(std::tuple(run.exitStatus, run.err, std::count(run.out.begin(), run.out.end(), '\n')), std::tuple(0, "", 1));
  EXPECT_TRUE(document.is_object() && document["displays"].is_array() && document["windows"].is_array())
      << run.out.substr(0, 400);
  return document;
}

// Every window lies under covers of the whole screen: each thumbnail shows its own pixels. Then
// windows that go before the list is read or while their thumbnails are made are left out.
TEST(ListSources, ListsTheMonitorsAndTheWindowsAUserWouldPickWithTheirOwnPicturesWhileWindowsCome) {
  TestDisplay windows;
  ASSERT_TRUE(haveDisplay() && windows.ok()) << "this test needs an X display (scripts/test starts one)";
  windows.warpPointer(3, 1197);  // out of the thumbnails' centres
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
    made.push_back(windows.create(c.window, false));
    // Openbox lists docks among its clients, unframed; left out of that list the case would prove nothing.
    ASSERT_TRUE(c.window.type ? waitUntil([&] { return windows.viewable(made.back()) && windows.inClientList(made.back()); })
                              : windows.waitManaged(made.back()));
  }
  const auto [x, y, width, height] = windows.area(made[0]);
  windows.fill(0, 0, 1920, 1200, purple);
  windows.fill(1920, 0, 1920, 1080, teal);

  const nlohmann::json listing = listSources(made.back());
  ASSERT_FALSE(testing::Test::HasFailure());
  const nlohmann::json& displays = listing["displays"];
  ASSERT_EQ(displays.size(), 2u);
  const struct {
    const char* name;
    int width, height, thumbnailHeight;
    unsigned long rgb;
  } monitors[] = {{"LEFT", 1920, 1200, 200, purple}, {"RIGHT", 1920, 1080, 180, teal}};
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(monitors[i].name);
    const nlohmann::json& d = displays[i];
    EXPECT_TRUE(d["id"] == windows.atom(monitors[i].name) && d["name"] == monitors[i].name &&
                d["width"] == monitors[i].width && d["height"] == monitors[i].height)
        << d.dump().substr(0, 100);
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
    const auto item = std::find_if(listing["windows"].begin(), listing["windows"].end(),
                                   [&](const auto& w) { return w.value("id", 0ul) == made[i]; });
    ASSERT_EQ(item != listing["windows"].end(), c.listed) << listing.dump().substr(0, 2000);
    if (!c.listed) continue;
    EXPECT_TRUE((*item)["title"] == c.title && (*item)["app"] == c.app) << item->dump().substr(0, 200);
    std::optional<Picture> thumbnail = decodeThumbnail((*item)["thumbnail"]);
    ASSERT_TRUE(thumbnail);
    const FrameSize frame = windows.frameSize(made[i]);
    EXPECT_EQ(std::pair(thumbnail->width, thumbnail->height), std::pair(320, frame.height * 320 / frame.width));
    // At the centre, well inside the client area.
    EXPECT_TRUE(colourNear(thumbnail->at(160, thumbnail->height / 2), c.window.rgb));
  }

  // Windows destroyed one after another (a pace, not a wait) while the listing runs.
  std::vector<Window> going;
  for (int i = 0; i < 40; ++i) going.push_back(windows.create({.rgb = (i % 2) ? red : blue}, false));
  ASSERT_TRUE(waitUntil([&] { return windows.inClientList(going.back()); }));
  std::thread destroyer([&] {
    for (Window window : going) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      windows.destroy(window);
    }
  });
  const nlohmann::json racing = listSources();
  destroyer.join();
  for (const auto& item : racing["windows"]) {
    EXPECT_TRUE(item["thumbnail"].is_null() || decodeThumbnail(item["thumbnail"]).has_value());
  }
  // Without a display: one error line and nothing listed.
  const ProcessResult r = runProcess(encoder(), {.arguments = {"--list-sources"}, .unsetEnvironment = {"DISPLAY"}});
  EXPECT_EQ(std::tuple(r.exitStatus, r.out, splitLines(r.err).size()), std::tuple(1, "", 1u)) << r.err;
  EXPECT_TRUE(r.err.starts_with("native_encoder_error reason=")) << r.err;
}

}  // namespace
}  // namespace pelorin::test
