#include "sources/source_list.h"

#include <gtest/gtest.h>

#include "sources/display_choice.h"
#include "sources/thumbnail.h"
#include "support/fake_screen_capture.h"
#include "support/temp_file.h"

namespace pelorin::sources {
namespace {

using platform::ContentFilter;
using platform::ShareableDisplay;
using platform::ShareableWindow;
using test::FakeCapture;

// "JPEG" of an image is its size as text, so the URL shows which picture was encoded.
class FakeEncoding final : public platform::ImageEncoding {
 public:
  std::optional<std::vector<std::uint8_t>> jpeg(const platform::Image& image, double quality) override {
    EXPECT_DOUBLE_EQ(quality, 0.7);
    const std::string text = std::to_string(image.width) + "x" + std::to_string(image.height);
    return std::vector<std::uint8_t>(text.begin(), text.end());
  }
  std::string base64(std::span<const std::uint8_t> bytes) override { return std::string(bytes.begin(), bytes.end()) + "/="; }
};

ShareableWindow window(platform::WindowID id, std::optional<std::string> title, double width, double height,
                       std::optional<platform::RunningApplication> app = platform::RunningApplication{42, "Editor"},
                       int layer = 0) {
  ShareableWindow w;
  w.windowID = id;
  w.title = std::move(title);
  w.frame = Rect{10, 20, width, height};
  w.windowLayer = layer;
  w.owningApplication = std::move(app);
  return w;
}

TEST(SourcesJSON, IsOneCompactLineWithSortedKeysEscapedSlashesAndNulls) {
  EXPECT_EQ(sourcesJSON({}, {}), R"({"displays":[],"portion":true,"windows":[]})");
  const std::string json = sourcesJSON({{69, "DELL U2720Q", 3840, 2160, "data:image/jpeg;base64,ab/+="}, {70, "Écran 2", 1, 2, {}}},
                                       {{4294967295u, "Café/Thé", "naïve – “quoted” \\ \"x\"", std::nullopt}});
  EXPECT_EQ(json,
            R"({"displays":[{"height":2160,"id":69,"name":"DELL U2720Q","thumbnail":"data:image\/jpeg;base64,ab\/+=","width":3840},)"
            R"({"height":2,"id":70,"name":"Écran 2","thumbnail":null,"width":1}],"portion":true,)"
            R"("windows":[{"app":"Café\/Thé","id":4294967295,"thumbnail":null,"title":"naïve – “quoted” \\ \"x\""}]})");
}

TEST(SourcesJSON, InvalidUtf8InATitleIsReplacedInsteadOfFailing) {
  const std::string json = sourcesJSON({}, {{1, "", std::string("bad\xFF") + "byte", std::nullopt}});
  EXPECT_NE(json.find("bad\xEF\xBF\xBD" "byte"), std::string::npos) << json;
}

TEST(WindowFilter, KeepsOnlyNamedNormalWindowsOfOtherProcessesFromTheMinimumSize) {
  const std::int32_t self = 777;
  struct Case {
    ShareableWindow window;
    bool listed;
    const char* why;
  };
  const std::vector<Case> cases = {
      {window(1, "Doc", 120, 80), true, "exactly the minimum"},
      {window(2, "Doc", 119, 80), false, "one point too narrow"},
      {window(3, "Doc", 120, 79), false, "one point too low"},
      {window(4, "Doc", 800, 600, std::nullopt), true, "title without application"},
      {window(5, "", 800, 600), true, "application name without title"},
      {window(6, std::nullopt, 800, 600, platform::RunningApplication{42, ""}), false, "neither name"},
      {window(7, std::nullopt, 800, 600, std::nullopt), false, "nothing at all"},
      {window(8, "Doc", 800, 600, platform::RunningApplication{self, "pelorin-encoder"}), false, "own window"},
      {window(9, "Dock", 800, 600, platform::RunningApplication{42, "Panel"}, 20), false, "another layer"},
  };
  for (const auto& c : cases) EXPECT_EQ(isListedWindow(c.window, self), c.listed) << c.why;
}

TEST(DisplayName, UsesTheWindowSystemsNameElseNumbersFromOne) {
  const std::vector<ShareableDisplay> screens = {{5, {}, 0, 0, "LEFT"}, {6, {}, 0, 0, ""}};
  EXPECT_EQ(displayName(5, 0, screens), "LEFT");
  EXPECT_EQ(displayName(6, 1, screens), "Écran 2");
  EXPECT_EQ(displayName(9, 0, screens), "Écran 1");
}

TEST(ThumbnailHeight, FollowsTheWorkedSizes) {
  EXPECT_EQ(thumbnailHeight(1920, 1080), 180);
  EXPECT_EQ(thumbnailHeight(500.5, 333.7), 213);
  EXPECT_EQ(thumbnailHeight(0.5, 10), 3200);
  EXPECT_EQ(thumbnailHeight(0, 10), 3200);
  EXPECT_EQ(thumbnailHeight(-40, 10), 3200);
  EXPECT_EQ(thumbnailHeight(10000, 5), 1);
  EXPECT_EQ(thumbnailHeight(320, 0), 1);
}

TEST(ListSources, WritesDisplaysThenKeptWindowsWithTheirThumbnails) {
  FakeCapture capture;
  platform::ShareableContent content;
  content.displays = {{11, Rect{0, 0, 1920, 1200}, 1920, 1200, "LEFT"}, {12, Rect{1920, 0, 1920, 1080}, 1920, 1080, ""}};
  content.windows = {window(21, "Notes", 500.5, 333.7), window(22, "Tiny", 100, 100), window(23, "Gone", 640, 480)};
  capture.contentResult = content;
  capture.failingWindows = {23};
  FakeEncoding encoding;
  test::CapturedFd out;

  ASSERT_TRUE(listSources({&capture, &encoding, 777, out.fd()}).ok());
  EXPECT_EQ(capture.queries, (std::vector<std::pair<bool, bool>>{{false, true}}));
  EXPECT_EQ(out.contents(),
            R"({"displays":[{"height":1200,"id":11,"name":"LEFT","thumbnail":"data:image\/jpeg;base64,320x200\/=","width":1920},)"
            R"({"height":1080,"id":12,"name":"Écran 2","thumbnail":"data:image\/jpeg;base64,320x180\/=","width":1920}],)"
            R"("portion":true,"windows":[{"app":"Editor","id":21,"thumbnail":"data:image\/jpeg;base64,320x213\/=","title":"Notes"},)"
            R"({"app":"Editor","id":23,"thumbnail":null,"title":"Gone"}]})"
            "\n");
  ASSERT_EQ(capture.screenshots.size(), 4u);
  EXPECT_TRUE(capture.screenshots[0].first.windows.empty());
  EXPECT_FALSE(capture.screenshots[0].second.showsCursor);
  EXPECT_EQ(capture.screenshots[2].first.kind, ContentFilter::Kind::Window);
  EXPECT_EQ(capture.screenshots[2].first.windowID, 21u);
}

TEST(ListSources, AFailedQueryWritesNothing) {
  FakeCapture capture;
  capture.contentResult = Error{"X11Capture", 3, "cannot open the X display"};
  FakeEncoding encoding;
  test::CapturedFd out;
  const Result<void> listed = listSources({&capture, &encoding, 1, out.fd()});
  ASSERT_FALSE(listed.ok());
  EXPECT_EQ(listed.error().message, "cannot open the X display");
  EXPECT_EQ(out.contents(), "");
}

TEST(ResolveDisplayIndex, TakesTheFirstMatchOrTheFirstDisplay) {
  EXPECT_EQ(resolveDisplayIndex(std::nullopt, {}), std::nullopt);
  EXPECT_EQ(resolveDisplayIndex(std::nullopt, {7, 8}), 0u);
  EXPECT_EQ(resolveDisplayIndex(8, {7, 8, 8}), 1u);
  EXPECT_EQ(resolveDisplayIndex(9, {7, 8}), std::nullopt);
}

}  // namespace
}  // namespace pelorin::sources
