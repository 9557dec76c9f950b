#include "portion/ui/app_loop.h"

#include <QApplication>
#include <QWidget>
#include <thread>

#include "base/fd_output.h"
#include "base/sanitize.h"
#include "base/thread_name.h"
#include "portion/ui/qt_messages.h"

namespace pelorin::portion {

capture::MainThreadPost qtMainThreadPost() {
  return [](std::function<void()> task) {
    QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
  };
}

int runOnAppKitLoop(int& argc, char** argv, int errorFd, const std::function<Result<void>()>& body) {
  routeQtMessages(errorFd);
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  std::thread task([&] {
    nameThisThread("pelorin.run");
    const Result<void> outcome = body();
    if (!outcome) writeLine(errorFd, "native_encoder_error reason=" + sanitized(outcome.error().description()));
    const int status = outcome ? 0 : 1;
    QMetaObject::invokeMethod(&app, [&app, status] { app.exit(status); }, Qt::QueuedConnection);
  });
  const int status = app.exec();
  task.join();
  // The windows the body left go before the application, on this thread; a parentless window
  // takes its children with it.
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (!window->parentWidget()) delete window;
  }
  return status;
}

}  // namespace pelorin::portion
