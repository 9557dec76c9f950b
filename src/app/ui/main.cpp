#include <QApplication>
#include <csignal>

#include "app/app_log.h"
#include "app/ui/native_app.h"
#include "platform/avahi/service_browser_avahi.h"
#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/posix/tcp_connector_posix.h"
#include "platform/x11/lazy_screen_capture_x11.h"

int main(int argc, char** argv) {
  // A sender that has gone makes writes to its input fail instead of ending the app.
  std::signal(SIGPIPE, SIG_IGN);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Pelorin"));
  QApplication::setQuitOnLastWindowClosed(false);  // the app's own termination rule decides

  using namespace pelorin;
  app::AppLog& log = app::AppLog::shared();
  const app::MainPoster toMain = [](std::function<void()> task) {
    QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
  };
  app::ui::AppServices services;
  services.capture = std::make_unique<platform::x11::LazyX11ScreenCaptureService>();
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
