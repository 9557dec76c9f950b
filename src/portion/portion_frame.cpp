#include "portion/portion_frame.h"

#include <future>

#include "capture/capture_environment.h"
#include "portion/app_loop.h"
#include "portion/portion_border_window.h"
#include "portion/qt_messages.h"

namespace pelorin::portion {
namespace {

// The border frame owning the controller that follows it: whatever the controller hears after the
// frame is gone finds nothing.
class LivePortionFrame final : public PortionBorderWindow {
 public:
  LivePortionFrame(const PortionFrameSetup& setup, QScreen* screen)
      : PortionBorderWindow(portionBorderFrame(setup.portion, ScreenMapping(screen).screenSpaceFrame(), thickness),
                            screen) {
    const Rect display = screenFrame();
    PortionStreamController::Settings settings{display, setup.portion, setup.outputWidth, setup.outputHeight, setup.fps};
    controller_ = PortionStreamController::create(
        setup.stream, settings,
        [this, display](const Rect& portion) { setFrame(portionBorderFrame(portion, display, thickness)); },
        qtMainThreadPost(), setup.lag);
    onChange = [weak = std::weak_ptr(controller_), display](const Rect& captured) {
      if (auto controller = weak.lock()) controller->move(portionRect(captured, display));
    };
  }

 private:
  std::shared_ptr<PortionStreamController> controller_;
};

Result<void> showOnMainThread(const PortionFrameSetup& setup) {
  QScreen* screen = screenOfDisplay(setup.display);
  if (!screen) return capture::captureError("display not found (" + std::to_string(setup.display.displayID) + ")");
  new LivePortionFrame(setup, screen);
  return {};
}

}  // namespace

Result<void> showPortionFrame(const PortionFrameSetup& setup) {
  if (setup.fail) setQtFailureSink(setup.fail);
  std::promise<Result<void>> shown;
  qtMainThreadPost()([&] { shown.set_value(showOnMainThread(setup)); });
  return shown.get_future().get();
}

}  // namespace pelorin::portion
