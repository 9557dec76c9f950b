#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_log.h"
#include "app/main_poster.h"
#include "app/receiver_directory.h"
#include "app/sender_files.h"
#include "app/sender_process.h"
#include "app/sender_protocol.h"
#include "base/line_assembler.h"

namespace pelorin::app {

// What the sharing flow does when the current sender speaks; all on the main thread.
struct SenderEvents {
  std::function<void(const ReadyLine&)> ready;
  std::function<void()> keyframe;
  std::function<void(const std::string&)> progress;  // an automatic status
  // The share must stop, then show this failure status.
  std::function<void(const std::string&)> failed;
};

// The app's side of the sender (main thread): launches it, follows its output and exit, and
// ignores everything from a sender that is no longer the current one.
class SenderHost {
 public:
  using Locate = std::function<Result<SenderFiles>()>;

  SenderHost(MainPoster toMain, AppLog& log, SenderEvents events, Locate locate = locateSenderFiles);
  ~SenderHost();
  SenderHost(const SenderHost&) = delete;
  SenderHost& operator=(const SenderHost&) = delete;

  // Starts the sender for `receivers` (not empty); it becomes the current one.
  Result<void> launchSender(const std::string& code, int width, int height,
                            const std::vector<ReceiverAddress>& receivers);
  const std::shared_ptr<SenderProcess>& process() const { return process_; }
  // Forgets the current sender and its partial output line; the caller stops it (stopSender).
  std::shared_ptr<SenderProcess> release();
  // Standard-output bytes of the current sender.
  void consumeControl(std::string_view bytes);

  struct Link;

 private:
  SenderProcess::Handlers handlersFor(const std::shared_ptr<Link>& link);
  void react(const std::vector<StderrReaction>& reactions);
  void act(std::string_view line);

  MainPoster toMain_;
  AppLog& log_;
  SenderEvents events_;
  Locate locate_;
  std::shared_ptr<SenderProcess> process_;
  std::optional<LineAssembler> stdoutBuffer_;
  std::shared_ptr<SenderHost*> self_;
};

}  // namespace pelorin::app
