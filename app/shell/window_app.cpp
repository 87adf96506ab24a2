#include "app/shell/window_app.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>

#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QSocketNotifier>
#include <QSplashScreen>
#include <QThread>
#include <QTimer>

#include "app/shell/main_window.h"
#include "app/shell/responder_host.h"
#include "platform/dialog_look.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

QString FromCp932(const std::string& text) { return QString::fromStdString(qv::Utf8FromCp932(text)); }

void ShowDialog(const std::string& text, const std::string& caption) {
  qv::ShowOkMessageBox(QApplication::activeWindow(), FromCp932(caption), FromCp932(text));
}

}  // namespace

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

void ConfigureApplication(QApplication& application) {
  application.setWindowIcon(QIcon(":/skin/icon64.png"));
  application.setFont(qv::JapaneseDialogFont());
  application.setStyle(new qv::JoinedKanaStyle);
  qv::InstallQtTranslations();
}

QSplashScreen* ShowSplash() {
  // Above every other window, the main window included, for as long as it shows.
  auto* splash = new QSplashScreen(QPixmap(":/skin/splash.png"), Qt::WindowStaysOnTopHint);
  splash->setObjectName("splash");
  splash->setAttribute(Qt::WA_DeleteOnClose);
  splash->show();
  QTimer::singleShot(static_cast<int>(qv::GetTimings().splashMs), splash, &QWidget::close);
  return splash;
}

void InstallDialogMessageBoxes() {
  qv::SetMessageBoxSink([](const std::string& text, const std::string& caption) {
    if (QThread::currentThread() == qApp->thread()) {
      ShowDialog(text, caption);
    } else {
      QMetaObject::invokeMethod(qApp, [&] { ShowDialog(text, caption); }, Qt::BlockingQueuedConnection);
    }
  });
}

int RunWindow(const CommandLineOptions& options, int argc, char** argv) {
  // SIGINT and SIGTERM become the orderly exit, as the exit button: blocked in every thread
  // started from here on and read by the event loop.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);

  if (options.timingScale >= 0) qv::ScaleTimings(options.timingScale);
  if (!options.iniPath.empty()) qv::SetSettingsPathOverride(options.iniPath);
  QApplication app(argc, argv);
  app.setApplicationName("Quorvex");
  ConfigureApplication(app);
  // The window may be hidden in the notification area; the program ends with the exit stages.
  app.setQuitOnLastWindowClosed(false);
  InstallDialogMessageBoxes();

  ShowSplash();
  ResponderHost host;
  if (!host.Open()) {
    qv::ShowMessageBox(SJIS("作業フォルダが作れないため、Quorvexを起動できません。TMPDIRを確認してください。"));
    return 1;
  }
  int status = 0;
  {
    MainWindow window(host);
    QObject::connect(&window, &MainWindow::ended, &app, &QApplication::quit);
    QSocketNotifier stopNotifier(stopFd, QSocketNotifier::Read);
    stopNotifier.setEnabled(stopFd >= 0);
    int stops = 0;
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &window, [&window, stopFd, &stops] {
      signalfd_siginfo info;
      while (read(stopFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) ++stops;
      // The first stop ends the program after the running cycle, a second one at once.
      if (stops > 1) qv::RequestAbort();
      window.RunCommand(ID_EXIT_APP);
    });
    window.Start();
    window.show();
    status = app.exec();
  }
  qv::SetMessageBoxSink({});
  if (stopFd >= 0) close(stopFd);
  return status;
}
