#include "app/status_text.h"

#include <vector>

namespace pelorin::app {
namespace {

constexpr std::string_view ellipsis = "…";

// The byte length of the UTF-8 sequence that starts with `lead`.
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// The longest start of `text`, in whole characters, whose width with `suffix` fits.
std::size_t fittingPrefix(std::string_view text, std::string_view suffix, double lineWidth,
                          const std::function<double(std::string_view)>& width) {
  std::size_t fits = 0;
  for (std::size_t end = 0; end < text.size();) {
    end = std::min(text.size(), end + sequenceLength(static_cast<unsigned char>(text[end])));
    if (width(std::string(text.substr(0, end)) + std::string(suffix)) > lineWidth) break;
    fits = end;
  }
  return fits;
}

// The next line taken off the front of `rest`: whole words while they fit, else as much of the
// first word as fits (one character at least).
std::string_view takeLine(std::string_view& rest, double lineWidth,
                          const std::function<double(std::string_view)>& width) {
  std::size_t end = 0;
  for (std::size_t space = rest.find(' '); end < rest.size(); space = rest.find(' ', space + 1)) {
    const std::size_t wordEnd = std::min(space, rest.size());
    if (width(rest.substr(0, wordEnd)) > lineWidth) break;
    end = wordEnd;
    if (space == std::string_view::npos) break;
  }
  if (end == 0) end = std::max(fittingPrefix(rest, {}, lineWidth, width), sequenceLength(rest[0]));
  const std::string_view line = rest.substr(0, end);
  rest.remove_prefix(end);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  return line;
}

}  // namespace

WrappedStatus wrappedStatus(std::string_view text, double lineWidth, int maxLines,
                            const std::function<double(std::string_view)>& width) {
  std::vector<std::string_view> lines;
  std::string_view rest = text;
  while (!rest.empty() && static_cast<int>(lines.size()) < maxLines) lines.push_back(takeLine(rest, lineWidth, width));
  WrappedStatus wrapped;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) wrapped.text += '\n';
    if (i + 1 < lines.size() || rest.empty()) {
      wrapped.text += lines[i];
      continue;
    }
    // The last line holds the rest of the text, cut to fit with the ellipsis.
    const std::string_view last = text.substr(static_cast<std::size_t>(lines[i].data() - text.data()));
    std::string_view kept = last.substr(0, fittingPrefix(last, ellipsis, lineWidth, width));
    while (!kept.empty() && kept.back() == ' ') kept.remove_suffix(1);
    wrapped.text += std::string(kept) + std::string(ellipsis);
    wrapped.cut = true;
  }
  return wrapped;
}

}  // namespace pelorin::app
