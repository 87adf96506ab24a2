#include "app/shell/window_app.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QDialog>
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

// Set once a stop signal came: no box holds the program up after that.
std::atomic<bool> stopping{false};

void PrintMessage(const std::string& text, const std::string& caption) {
  std::fprintf(stderr, "%s: %s\n", qv::Utf8FromCp932(caption).c_str(), qv::Utf8FromCp932(text).c_str());
}

void ShowDialog(const std::string& text, const std::string& caption) {
  // Also on standard error: a box behind other windows, or one a stop signal closes, is not lost.
  PrintMessage(text, caption);
  if (stopping) return;
  qv::ShowOkMessageBox(QApplication::activeWindow(), FromCp932(caption), FromCp932(text));
}

// Closes every open dialog (message boxes and the settings sheet, as Cancel would): their
// event loops end, and what called them goes on towards the exit.
void CloseDialogs() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) dialog->reject();
  }
}

const char* optionForDisplay = "--window";

// Qt ends the process when the named display cannot be opened; say why and end with status 1.
void FatalWithoutDisplay(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type != QtFatalMsg) {
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    return;
  }
  std::fprintf(stderr,
               "Quorvex: %s cannot open its windows: %s\n"
               "Quorvex: without a screen, run Quorvex --headless, and change settings with Quorvex --config\n",
               optionForDisplay, message.toLocal8Bit().constData());
  std::_Exit(1);
}

}  // namespace

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

bool ScreenNamed(const char* option) {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (DisplayAvailable() || (platform && *platform)) return true;
  std::fprintf(stderr,
               "Quorvex: %s needs a screen, and no display is named ($DISPLAY, $WAYLAND_DISPLAY)\n"
               "Quorvex: without a screen, run Quorvex --headless, and change settings with Quorvex --config\n",
               option);
  return false;
}

std::unique_ptr<QApplication> MakeApplication(int& argc, char** argv, const char* option) {
  optionForDisplay = option;
  QtMessageHandler previous = qInstallMessageHandler(FatalWithoutDisplay);
  auto application = std::make_unique<QApplication>(argc, argv);
  qInstallMessageHandler(previous);
  return application;
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
  if (!ScreenNamed("--window")) return 1;
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
  std::unique_ptr<QApplication> application = MakeApplication(argc, argv, "--window");
  QApplication& app = *application;
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
      // The first stop ends the program after the running cycle, a second one at once. An
      // open box or dialog would hold the exit up until someone answers it: it closes.
      stopping = true;
      if (stops > 1) qv::RequestAbort();
      window.RunCommand(ID_EXIT_APP);
      CloseDialogs();
    });
    window.Start();
    window.show();
    status = app.exec();
  }
  qv::SetMessageBoxSink({});
  if (stopFd >= 0) close(stopFd);
  return status;
}
