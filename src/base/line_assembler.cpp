#include "base/line_assembler.h"

namespace pelorin {

void LineAssembler::append(std::string_view piece) {
  if (overlong_) return;
  if (pending_.size() + piece.size() > maxLineBytes_) {
    overlong_ = true;
    pending_.clear();
    pending_.shrink_to_fit();
    return;
  }
  pending_.append(piece);
}

void LineAssembler::feed(std::string_view bytes, const LineHandler& onLine) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) {
      append(bytes);
      return;
    }
    const std::string_view piece = bytes.substr(0, end);
    bytes.remove_prefix(end + 1);
    // A line that arrives whole in one piece is handed on without a copy.
    if (pending_.empty() && !overlong_) {
      if (piece.size() <= maxLineBytes_) onLine(piece);
      continue;
    }
    append(piece);
    const bool dropped = overlong_;
    overlong_ = false;
    if (!dropped) onLine(pending_);
    pending_.clear();
  }
}

void LineAssembler::finish(const LineHandler& onLine) {
  if (!overlong_ && !pending_.empty()) onLine(pending_);
  pending_.clear();
  overlong_ = false;
}

}  // namespace pelorin
