#include "app/sender_host.h"

#include "app/error_texts.h"
#include "base/utf8.h"

namespace pelorin::app {
namespace {

constexpr std::size_t maxLineBytes = 65536;

// The sender's standard error as the app reads it: whole lines only (a line cut by a read waits
// for its end), invalid bytes replaced rather than the text lost.
class StderrLines {
 public:
  // The complete lines that `bytes` finishes, each with its line feed; empty bytes flush the rest.
  std::string take(std::string_view bytes) {
    std::string text;
    const auto append = [&](std::string_view line) {
      text.append(line);
      text.push_back('\n');
    };
    if (bytes.empty()) {
      lines_.finish(append);
    } else {
      lines_.feed(bytes, append);
    }
    return utf8WithReplacements(text);
  }

 private:
  LineAssembler lines_{maxLineBytes};
};

}  // namespace

SenderHost::SenderHost(MainPoster toMain, AppLog& log, SenderEvents events, Locate locate)
    : toMain_(std::move(toMain)),
      log_(log),
      events_(std::move(events)),
      locate_(std::move(locate)),
      stdoutBuffer_(std::in_place, maxLineBytes),
      self_(std::make_shared<SenderHost*>(this)) {}

SenderHost::~SenderHost() = default;

// What a sender's threads need to reach the app; it outlives the host if it must.
struct SenderHost::Link {
  MainPoster toMain;
  AppLog* log;
  std::weak_ptr<SenderHost*> host;
  std::weak_ptr<SenderProcess> process;  // main thread only; set once the process exists
};

namespace {

// Runs the task on the main thread while the host exists and the link's process is its current
// one. Only the main thread locks the process: its last owner must never be one of its threads.
void onMainIfCurrent(const std::shared_ptr<SenderHost::Link>& link, std::function<void(SenderHost&)> task) {
  link->toMain([link, task = std::move(task)] {
    const auto alive = link->host.lock();
    if (!alive) return;
    const auto current = link->process.lock();
    if (current && current == (*alive)->process()) task(**alive);
  });
}

}  // namespace

Result<void> SenderHost::launchSender(const std::string& code, int width, int height,
                                      const std::vector<ReceiverAddress>& receivers) {
  auto files = locate_();
  if (!files) return files.error();
  const auto arguments = senderArguments(code, files->certificateAuthority, width, height, receivers);
  auto link = std::make_shared<Link>(Link{toMain_, &log_, self_, {}});
  log_.write(senderLaunchLine(width, height, receivers));
  auto started = SenderProcess::start(files->sender, arguments, handlersFor(link));
  if (!started) return Error{senderStartDomain, started.error().code, files->sender};
  // No handler acts before this: every one goes through the main thread, which is here.
  link->process = *started;
  process_ = std::move(*started);
  stdoutBuffer_.emplace(maxLineBytes);
  return {};
}

std::shared_ptr<SenderProcess> SenderHost::release() {
  stdoutBuffer_.emplace(maxLineBytes);
  return std::move(process_);
}

SenderProcess::Handlers SenderHost::handlersFor(const std::shared_ptr<Link>& link) {
  SenderProcess::Handlers handlers;
  handlers.output = [link](std::string bytes) {
    onMainIfCurrent(link, [bytes = std::move(bytes)](SenderHost& host) { host.consumeControl(bytes); });
  };
  // Standard error is matched as each read comes and logged in whole lines, both on its reader
  // thread; only the reactions go to the main thread.
  handlers.errorOutput = [link, lines = std::make_shared<StderrLines>(),
                          scanner = std::make_shared<StderrScanner>()](std::string bytes) {
    if (std::string text = lines->take(bytes); !text.empty()) link->log->write(text);
    std::vector<StderrReaction> reactions = scanner->scan(bytes);
    if (reactions.empty()) return;
    onMainIfCurrent(link, [reactions = std::move(reactions)](SenderHost& host) { host.react(reactions); });
  };
  handlers.exited = [link](int status) {
    link->log->write(senderExitLine(status));
    if (status == 0) return;
    onMainIfCurrent(link, [status](SenderHost& host) {
      if (host.events_.failed) host.events_.failed(senderExitFailure(status));
    });
  };
  return handlers;
}

void SenderHost::react(const std::vector<StderrReaction>& reactions) {
  for (const auto& reaction : reactions) {
    if (reaction.kind == StderrReaction::failed) {
      if (events_.failed) events_.failed(reaction.status);
    } else if (events_.progress) {
      events_.progress(reaction.status);
    }
  }
}

void SenderHost::consumeControl(std::string_view bytes) {
  if (bytes.empty()) return;
  std::vector<std::string> lines;
  stdoutBuffer_->feed(bytes, [&](std::string_view line) { lines.emplace_back(line); });
  const auto sender = process_;
  for (const auto& line : lines) {
    // A reaction may have ended the share; later lines belong to a stale sender.
    if (process_ != sender) return;
    act(utf8WithReplacements(line));
  }
}

void SenderHost::act(std::string_view line) {
  const auto control = parseControlLine(line);
  if (const auto* ready = std::get_if<ReadyLine>(&control)) {
    if (events_.ready) events_.ready(*ready);
  } else if (std::holds_alternative<KeyframeLine>(control)) {
    if (events_.keyframe) events_.keyframe();
  }
}

}  // namespace pelorin::app
