#include "portion/ui/portion_selection.h"

#include <QApplication>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/fd_output.h"
#include "base/sanitize.h"
#include "portion/portion_geometry.h"
#include "portion/selection_watch.h"
#include "portion/ui/portion_window_controller.h"
#include "portion/ui/qt_messages.h"
#include "portion/ui/screen_mapping.h"

namespace pelorin::portion {
namespace {

// The one ending of a selection: the first of the window and the watchers to claim it speaks.
class SelectionEnd {
 public:
  explicit SelectionEnd(const SelectionIO& io) : io_(io) {}

  bool claim() { return !claimed_.exchange(true); }
  [[noreturn]] void exit(int status) { std::_Exit(status); }
  [[noreturn]] void fail(const std::string& reason) {
    writeLine(io_.errorFd, "native_encoder_error reason=" + reason);
    exit(1);
  }
  // Fails, unless another ending came first: then that one ends the process.
  [[noreturn]] void failFirst(const std::string& reason) {
    if (claim()) fail(reason);
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }

 private:
  const SelectionIO& io_;
  std::atomic<bool> claimed_{false};
};

}  // namespace

void runPortionSelection(int& argc, char** argv, const SelectionIO& io) {
  SelectionEnd end(io);
  routeQtMessages(io.errorFd);
  setQtFailureSink([&end](const Error& error) { end.failFirst(sanitized(error.description())); });
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  const PortionSelectionWatch watch(io.inputFd, portionSelectionTimeout,
                                    [&end](const std::string& reason) { end.failFirst(reason); });
  QScreen* screen = screenUnderMouse();
  if (!screen) end.failFirst("display_not_found");

  PortionWindowController controller(
      screen,
      [&](const Rect& content, QScreen* chosen) {
        if (!end.claim()) return;
        const auto number = displayNumber(chosen, io.displays ? io.displays() : std::vector<platform::ShareableDisplay>{});
        if (!number) end.fail("display_not_found");
        const Rect portion = portionRect(content, ScreenMapping(chosen).screenSpaceFrame());
        if (portion == Rect{}) end.fail("portion_too_small");
        writeLine(io.outputFd, portionSelectionJSON(*number, portion));
        end.exit(0);
      },
      [&end] { end.failFirst("portion_cancelled"); });
  app.exec();
  end.exit(1);
}

}  // namespace pelorin::portion
