#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace pelorin {

// Splits a byte stream, read in pieces of any size, into lines ending at a line feed. Memory is
// bounded: a line longer than the limit is dropped whole, and only the bytes of one line up to the
// limit are ever held. Linear in its input.
class LineAssembler {
 public:
  using LineHandler = std::function<void(std::string_view line)>;

  explicit LineAssembler(std::size_t maxLineBytes = 65536) : maxLineBytes_(maxLineBytes) {}

  // Calls onLine for every line completed by `bytes`, without its line feed (a carriage return
  // before it is kept).
  void feed(std::string_view bytes, const LineHandler& onLine);
  // At the end of the input: the last line, which had no line feed, if there is one.
  void finish(const LineHandler& onLine);
  // The bytes held of the line not yet complete.
  std::string_view pending() const { return pending_; }

 private:
  void append(std::string_view piece);

  const std::size_t maxLineBytes_;
  std::string pending_;
  bool overlong_ = false;  // the current line passed the limit: its rest is skipped
};

}  // namespace pelorin
