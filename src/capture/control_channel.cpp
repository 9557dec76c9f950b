#include "capture/control_channel.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "base/decimal.h"
#include "base/fd_output.h"
#include "base/line_assembler.h"
#include "base/thread_name.h"
#include "base/words.h"

namespace pelorin::capture {
namespace {

void apply(const ControlCommand& command, int errorFd, media::HardwareEncoder& encoder,
           media::ScreenOutput* output, const CropHandler& crop) {
  switch (command.kind) {
    case ControlCommand::Kind::keyframe:
      // Through the output, so that a still screen sends its picture as that key frame.
      if (output) {
        output->requestKeyframe();
      } else {
        encoder.requestKeyframe();
      }
      break;
    case ControlCommand::Kind::pause:
      if (output) output->setPaused(true);
      writeLine(errorFd, "capture_window paused=true");
      break;
    case ControlCommand::Kind::resume:
      if (output) {
        output->setPaused(false);
        output->requestKeyframe();
      } else {
        encoder.requestKeyframe();
      }
      writeLine(errorFd, "capture_window paused=false");
      break;
    case ControlCommand::Kind::crop:
      if (crop) crop(command.width, command.height);
      break;
  }
}

// Control lines are short; a longer one is no command and is skipped without being held.
constexpr std::size_t maxControlLineBytes = 65536;

// Reads lines until the input ends or fails, handing each (without its ending) to `line`; false
// when woken by `stop` first.
bool readLines(int fd, const Wakeup& stop, const std::function<void(std::string_view)>& line) {
  LineAssembler lines(maxControlLineBytes);
  const auto withoutCarriageReturn = [&](std::string_view text) {
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    line(text);
  };
  char buffer[4096];
  for (;;) {
    if (stop.waitForInput(fd) == Wakeup::Waited::woken) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    lines.feed(std::string_view(buffer, static_cast<std::size_t>(n)), withoutCarriageReturn);
  }
  lines.finish(withoutCarriageReturn);
  return true;
}

}  // namespace

std::optional<ControlCommand> parseControlLine(std::string_view line) {
  const std::vector<std::string_view> words = spaceSeparatedWords(line);
  if (words.empty()) return std::nullopt;
  if (words.size() == 1) {
    if (words[0] == "KEYFRAME") return ControlCommand{ControlCommand::Kind::keyframe};
    if (words[0] == "PAUSE") return ControlCommand{ControlCommand::Kind::pause};
    if (words[0] == "RESUME") return ControlCommand{ControlCommand::Kind::resume};
    return std::nullopt;
  }
  if (words.size() != 3 || words[0] != "CROP") return std::nullopt;
  const auto width = parseInt64(words[1]);
  const auto height = parseInt64(words[2]);
  if (!width || !height || *width < 2 || *height < 2) return std::nullopt;
  return ControlCommand::crop(*width, *height);
}

std::unique_ptr<ControlReader> readControl(int inputFd, int errorFd, media::HardwareEncoder& encoder,
                                           media::ScreenOutput* output, CropHandler crop,
                                           std::function<void()> onEOF) {
  auto reader = std::unique_ptr<ControlReader>(new ControlReader());
  reader->thread_ = std::thread([=, r = reader.get(), &encoder, crop = std::move(crop), onEOF = std::move(onEOF)] {
    nameThisThread("pelorin.control");
    const bool ended = readLines(inputFd, r->stop_, [&](std::string_view line) {
      const auto command = parseControlLine(line);
      if (!command || !r->gate_.enter()) return;
      apply(*command, errorFd, encoder, output, crop);
      r->gate_.leave();
    });
    if (ended && onEOF && r->gate_.enter()) {
      onEOF();
      r->gate_.leave();
    }
  });
  return reader;
}

bool ControlReader::Gate::enter() {
  MutexLock guard(mutex_);
  if (!open_) return false;
  ++inside_;
  return true;
}

void ControlReader::Gate::leave() {
  {
    MutexLock guard(mutex_);
    --inside_;
  }
  left_.notifyAll();
}

void ControlReader::Gate::close() {
  MutexLock guard(mutex_);
  open_ = false;
  left_.wait(guard, [&]() REQUIRES(mutex_) { return inside_ == 0; });
}

void ControlReader::close() { gate_.close(); }

ControlReader::~ControlReader() {
  gate_.close();
  stop_.wake();
  if (thread_.joinable()) thread_.join();
}

void ControlReader::join() {
  if (thread_.joinable()) thread_.join();
}

void PendingCrop::set(std::int64_t width, std::int64_t height) {
  MutexLock guard(lock_);
  size_ = std::pair{width, height};
}

std::optional<std::pair<std::int64_t, std::int64_t>> PendingCrop::take() {
  MutexLock guard(lock_);
  auto taken = size_;
  size_.reset();
  return taken;
}

}  // namespace pelorin::capture
