// Control input as the reader gets it: pieces of any size assembled into bounded lines, each
// line (without a carriage return before its line feed) parsed as a command.
#include <fuzzer/FuzzedDataProvider.h>

#include "base/line_assembler.h"
#include "capture/control_channel.h"
#include "fuzz_check.h"

using namespace pelorin;
using capture::ControlCommand;

namespace {

std::string textOf(const ControlCommand& c) {
  switch (c.kind) {
    case ControlCommand::Kind::keyframe: return "KEYFRAME";
    case ControlCommand::Kind::pause: return "PAUSE";
    case ControlCommand::Kind::resume: return "RESUME";
    case ControlCommand::Kind::crop: return "CROP " + std::to_string(c.width) + " " + std::to_string(c.height);
  }
  return "";
}

void checkCommand(std::string_view line) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  const auto command = capture::parseControlLine(line);
  if (!command) return;
  fuzzCheck(command->kind != ControlCommand::Kind::crop || (command->width >= 2 && command->height >= 2),
            "a crop is at least 2 x 2");
  fuzzCheck(capture::parseControlLine(textOf(*command)) == command, "a command printed back parses to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::size_t limit = provider.ConsumeIntegralInRange<std::size_t>(1, 64);
  const auto pieceSizes = provider.ConsumeBytes<std::uint8_t>(provider.ConsumeIntegralInRange(0, 16));
  const std::string input = provider.ConsumeRemainingBytesAsString();

  LineAssembler assembler(limit);
  std::vector<std::string> lines;
  const auto onLine = [&](std::string_view line) {
    fuzzCheck(line.size() <= limit && line.find('\n') == std::string_view::npos, "a line is within the limit");
    lines.emplace_back(line);
    checkCommand(line);
  };
  std::string_view rest = input;
  for (std::size_t i = 0; !rest.empty(); ++i) {
    const std::size_t piece = pieceSizes.empty() ? rest.size() : 1 + pieceSizes[i % pieceSizes.size()] % 32;
    assembler.feed(rest.substr(0, piece), onLine);
    rest.remove_prefix(std::min(piece, rest.size()));
    fuzzCheck(assembler.pending().size() <= limit, "the assembler holds no more than its limit");
  }
  assembler.finish(onLine);
  // The lines of the whole input split in one go, whatever the pieces were.
  std::vector<std::string> expected = splitAt(input, '\n');
  if (expected.back().empty()) expected.pop_back();
  std::erase_if(expected, [&](const std::string& line) { return line.size() > limit; });
  fuzzCheck(lines == expected, "pieces give the lines of the whole input");
  return 0;
}
