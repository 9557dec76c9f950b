#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace pelorin::app {

// The status as the window shows it: broken into lines no wider than the status line, at spaces
// (inside a word only when the word alone is too wide), and at most `maxLines` of them, the last
// ending in "…" when the text goes on.
struct WrappedStatus {
  std::string text;  // the lines, joined by line feeds
  bool cut = false;
};
// `width` returns the width of a UTF-8 text on one line, in the unit of `lineWidth`.
WrappedStatus wrappedStatus(std::string_view text, double lineWidth, int maxLines,
                            const std::function<double(std::string_view)>& width);

}  // namespace pelorin::app
