#include "sources/source_list.h"

#include <gtest/gtest.h>

namespace pelorin::sources {
namespace {

using platform::RunningApplication;
using platform::ShareableWindow;

const RunningApplication editor{42, "Editor"};

TEST(SourcesJSON, IsOneCompactLineWithSortedKeysEscapedSlashesAndNulls) {
  EXPECT_EQ(sourcesJSON({}, {}), R"({"displays":[],"portion":true,"windows":[]})");
  EXPECT_EQ(sourcesJSON({{69, "DELL U2720Q", 3840, 2160, "data:image/jpeg;base64,ab/+="}, {70, "Écran 2", 1, 2, {}}},
                        {{4294967295u, "Café/Thé", "naïve – “quoted” \\ \"x\"", std::nullopt}}),
            R"({"displays":[{"height":2160,"id":69,"name":"DELL U2720Q","thumbnail":"data:image\/jpeg;base64,ab\/+=","width":3840},)"
            R"({"height":2,"id":70,"name":"Écran 2","thumbnail":null,"width":1}],"portion":true,)"
            R"("windows":[{"app":"Café\/Thé","id":4294967295,"thumbnail":null,"title":"naïve – “quoted” \\ \"x\""}]})");
  // Invalid UTF-8 in a title is replaced instead of failing.
  EXPECT_NE(sourcesJSON({}, {{1, "", "bad\xFF" "byte", std::nullopt}}).find("bad\xEF\xBF\xBD" "byte"), std::string::npos);
}

TEST(WindowFilter, KeepsOnlyNamedNormalWindowsOfOtherProcessesFromTheMinimumSize) {
  const std::int32_t self = 777;
  const struct {
    ShareableWindow window;
    bool listed;
    const char* why;
  } cases[] = {
      {{1, "Doc", {10, 20, 120, 80}, 0, true, editor}, true, "exactly the minimum"},
      {{2, "Doc", {10, 20, 119, 80}, 0, true, editor}, false, "one point too narrow"},
      {{3, "Doc", {10, 20, 120, 79}, 0, true, editor}, false, "one point too low"},
      {{4, "Doc", {10, 20, 800, 600}, 0, true, std::nullopt}, true, "title without application"},
      {{5, "", {10, 20, 800, 600}, 0, true, editor}, true, "application name without title"},
      {{6, std::nullopt, {10, 20, 800, 600}, 0, true, RunningApplication{42, ""}}, false, "neither name"},
      {{8, "Doc", {10, 20, 800, 600}, 0, true, RunningApplication{self, "pelorin-encoder"}}, false, "own window"},
      {{9, "Dock", {10, 20, 800, 600}, 20, true, RunningApplication{42, "Panel"}}, false, "another layer"},
  };
  for (const auto& c : cases) EXPECT_EQ(isListedWindow(c.window, self), c.listed) << c.why;
}

TEST(DisplayName, TheMonitorsNameOrItsPlaceInTheList) {
  const std::vector<platform::ShareableDisplay> screens = {{5, {}, 0, 0, "LEFT"}, {6, {}, 0, 0, ""}};
  EXPECT_EQ(displayName(5, 0, screens), "LEFT");
  EXPECT_EQ(displayName(6, 1, screens), "Écran 2");
  EXPECT_EQ(displayName(9, 0, screens), "Écran 1");
}

}  // namespace
}  // namespace pelorin::sources
