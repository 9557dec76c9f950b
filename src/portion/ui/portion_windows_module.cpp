#include "portion/ui/app_loop.h"
#include "portion/ui/portion_frame.h"
#include "portion/ui/portion_windows.h"

extern "C" __attribute__((visibility("default"))) const pelorin::portion::PortionWindows* pelorinPortionWindows() {
  static const pelorin::portion::PortionWindows windows{pelorin::portion::runPortionSelection,
                                                        pelorin::portion::runOnAppKitLoop,
                                                        pelorin::portion::showPortionFrame};
  return &windows;
}
