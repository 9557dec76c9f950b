#include <QApplication>
#include <csignal>
#include <cstdio>

#include "app/app_log.h"
#include "app/ui/native_app.h"
#include "base/sanitize.h"
#include "platform/avahi/service_browser_avahi.h"
#include "platform/capture_backend.h"
#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/portal/content_chooser_portal.h"
#include "platform/posix/tcp_connector_posix.h"
#include "platform/x11/lazy_screen_capture_x11.h"

int main(int argc, char** argv) {
  using namespace pelorin;
  // A sender that has gone makes writes to its input fail instead of ending the app.
  std::signal(SIGPIPE, SIG_IGN);
  // As pelorin-encoder chooses, and before Qt starts: on Wayland its windows may go to XWayland.
  const Result<platform::CaptureBackend> backend = platform::chooseCaptureBackend();
  app::AppLog& log = app::AppLog::shared();
  if (!backend) {
    log.write("app_error reason=" + sanitized(backend.error().description()));
    log.drain();
    std::fprintf(stderr, "Pelorin: %s\n", backend.error().description().c_str());
    return 1;
  }
  const bool x11Windows = platform::useX11Windows(*backend);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Pelorin"));
  QApplication::setQuitOnLastWindowClosed(false);  // the app's own termination rule decides

  const app::MainPoster toMain = [](std::function<void()> task) {
    QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
  };
  app::ui::AppServices services;
  if (*backend == platform::CaptureBackend::Portal) {
    services.chooser = std::make_unique<platform::portal::PortalContentChooser>();
    if (!x11Windows) services.portionUnavailable = "Les portions ont besoin de XWayland, absent de cette session.";
  } else {
    services.capture = std::make_unique<platform::x11::LazyX11ScreenCaptureService>();
  }
  services.compression = std::make_unique<platform::ffmpeg::FfmpegCompressionSessionFactory>();
  services.discovery = std::make_unique<app::ReceiverDiscovery>(
      std::make_unique<platform::avahi::ServiceBrowserAvahi>(), std::make_unique<platform::posix::TcpConnectorPosix>(),
      toMain, log);

  app::ui::NativeApp app(std::move(services), log, toMain);
  app.launch();
  const int status = QApplication::exec();
  log.drain();
  return status;
}
