#include "portion/ui/qt_messages.h"

#include <QString>
#include <QtGlobal>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/fd_output.h"
#include "base/sanitize.h"
#include "base/thread_annotations.h"

namespace pelorin::portion {
namespace {

// Qt calls the handler from any of its threads.
struct Route {
  Mutex mutex;
  int errorFd = 2;
  bool verbose = false;
  std::function<void(const Error&)> fail;
  std::optional<Error> pending;
};

Route& route() {
  static Route r;
  return r;
}

Error qtError(const QString& message) { return Error{"Qt", -1, message.toStdString()}; }

void handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  Route& r = route();
  MutexLock lock(r.mutex);
  if (type == QtFatalMsg) {
    writeLine(r.errorFd, "native_encoder_error reason=" + sanitized(message.toStdString()));
    std::_Exit(1);
  }
  if (type != QtCriticalMsg) {
    if (r.verbose) writeLine(r.errorFd, qFormatLogMessage(type, context, message).toStdString());
    return;
  }
  if (r.pending) return;  // the first failure is the run's
  r.pending = qtError(message);
  if (auto fail = r.fail) {
    lock.unlock();
    fail(*r.pending);
  }
}

}  // namespace

void routeQtMessages(int errorFd) {
  Route& r = route();
  {
    MutexLock lock(r.mutex);
    r.errorFd = errorFd;
    const char* log = std::getenv("PELORIN_QT_LOG");
    r.verbose = log && std::string(log) == "1";
  }
  qInstallMessageHandler(handle);
}

void setQtFailureSink(std::function<void(const Error&)> fail) {
  Route& r = route();
  MutexLock lock(r.mutex);
  r.fail = std::move(fail);
  if (r.pending && r.fail) {
    const Error pending = *r.pending;
    auto sink = r.fail;
    lock.unlock();
    sink(pending);
  }
}

}  // namespace pelorin::portion
