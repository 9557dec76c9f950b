#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/receiver_directory.h"

namespace pelorin::app {

// What the app reads from the sender and shows for it.
inline constexpr const char* pairedStatus = "Appairé. Préparation du partage…";
inline constexpr const char* sharingStatus = "Partage en cours.";

// "READY width height profile": start capturing at that size.
struct ReadyLine {
  int width = 0;
  int height = 0;
  std::string profile;
  bool operator==(const ReadyLine&) const = default;
};
// "KEYFRAME": the receiver wants a key frame.
struct KeyframeLine {
  bool operator==(const KeyframeLine&) const = default;
};
using ControlLine = std::variant<std::monostate, ReadyLine, KeyframeLine>;

// One standard-output line without its line feed; anything unrecognised is monostate.
ControlLine parseControlLine(std::string_view line);

// A reaction to a marker on the sender's standard error.
struct StderrReaction {
  enum Kind { paired, sharing, failed } kind = paired;
  std::string status;  // the status text to show
  bool operator==(const StderrReaction&) const = default;
};

// Finds the markers of the sender's standard error in each read as it arrives, without waiting
// for a line feed. A marker cut by a read counts once, when its last byte arrives. One per sender.
class StderrScanner {
 public:
  // The reactions to one read, in order. An "error:" ends the share, so it is the last: its
  // status shows the last non-empty line from its own line on.
  std::vector<StderrReaction> scan(std::string_view read);

 private:
  std::string line_;  // the bytes of the line not yet ended, up to a bound
};

// The sender's command line after the program, in the fixed order.
std::vector<std::string> senderArguments(const std::string& code, const std::string& certificateAuthority, int width,
                                         int height, const std::vector<ReceiverAddress>& receivers);
std::string senderLaunchLine(int width, int height, const std::vector<ReceiverAddress>& receivers);
std::string senderExitLine(int status);
std::string senderExitFailure(int status);

}  // namespace pelorin::app
