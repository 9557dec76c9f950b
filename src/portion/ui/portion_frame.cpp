#include "portion/ui/portion_frame.h"

#include <future>

#include "capture/capture_environment.h"
#include "portion/ui/app_loop.h"
#include "portion/ui/portion_border_window.h"
#include "portion/ui/qt_messages.h"

namespace pelorin::portion {
namespace {

// The border frame owning the controller that follows it: whatever the controller hears after the
// frame is gone finds nothing.
class LivePortionFrame final : public PortionBorderWindow {
 public:
  LivePortionFrame(const capture::PortionFrameSetup& setup, QScreen* screen)
      : PortionBorderWindow(portionBorderFrame(setup.portion, ScreenMapping(screen).screenSpaceFrame(), thickness),
                            screen),
        controller_(followCapture(*this, setup.stream, setup.portion, setup.streamSettings)) {}

 private:
  const std::shared_ptr<capture::PortionStreamController> controller_;
};

Result<void> showOnMainThread(const capture::PortionFrameSetup& setup) {
  QScreen* screen = screenOfDisplay(setup.display);
  if (!screen) return capture::captureError("display not found (" + std::to_string(setup.display.displayID) + ")");
  new LivePortionFrame(setup, screen);
  return {};
}

}  // namespace

Result<void> showPortionFrame(const capture::PortionFrameSetup& setup) {
  if (setup.fail) setQtFailureSink(setup.fail);
  std::promise<Result<void>> shown;
  qtMainThreadPost()([&] { shown.set_value(showOnMainThread(setup)); });
  return shown.get_future().get();
}

}  // namespace pelorin::portion
