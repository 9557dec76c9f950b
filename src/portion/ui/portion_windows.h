#pragma once

// The portion windows as the entry sees them: a module of their own, loaded only by the portion
// modes, so that every other mode starts without loading Qt.

#include <functional>

#include "base/error.h"
#include "capture/portion_capture.h"
#include "portion/ui/portion_selection.h"

namespace pelorin::portion {

struct PortionWindows {
  void (*runPortionSelection)(int& argc, char** argv, const SelectionIO& io);
  int (*runOnAppKitLoop)(int& argc, char** argv, int errorFd, const std::function<Result<void>()>& body);
  Result<void> (*showPortionFrame)(const capture::PortionFrameSetup& setup);
};

// The module's file name, next to the program, and its one exported function.
constexpr const char* portionWindowsModule = "libpelorin-portion-windows.so";
constexpr const char* portionWindowsEntry = "pelorinPortionWindows";
using PortionWindowsEntry = const PortionWindows* (*)();

}  // namespace pelorin::portion
