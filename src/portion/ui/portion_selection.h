#pragma once

#include <functional>
#include <vector>

#include "platform/screen_capture.h"

namespace pelorin::portion {

struct SelectionIO {
  int inputFd = 0;   // watched for the host going away
  int outputFd = 1;  // the selection's JSON line
  int errorFd = 2;
  // The displays as the source list names them, to find the chosen screen's number.
  std::function<std::vector<platform::ShareableDisplay>()> displays;
};

// "--select-portion": the selection window on the screen under the mouse; prints the confirmed
// portion as one JSON line, or one reason line when the user cancels, the host goes away or time
// runs out. Never returns: it ends the process with the selection's status.
[[noreturn]] void runPortionSelection(int& argc, char** argv, const SelectionIO& io);

}  // namespace pelorin::portion
