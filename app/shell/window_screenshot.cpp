// Shows the main window on a real X server and saves what is on the screen, in the folder given as
// the only argument: splash.png (the whole screen while the start-up picture shows), window.png
// with the log view, window-preview.png with a test camera's live picture, and settings.png (the
// whole screen with the settings sheet open). Fails when a window picture is not 420 x 252 or
// looks blank, when the start-up picture is not whole above the main window, or when the settings
// sheet covers the main window. Run it through tests/desktop_session.sh with
// QUORVEX_TEST_DEVICES naming a test camera.
#include <cstdio>
#include <set>
#include <string>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QDialog>
#include <QScreen>
#include <QSplashScreen>
#include <QTest>
#include <QTimer>

#include "app/shell/main_window.h"
#include "app/shell/testing/quiet_steps.h"
#include "app/shell/responder_host.h"
#include "app/shell/window_app.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {


// Saves the window as it is on the screen; false with a message when it looks wrong.
bool SaveShot(QWidget& window, const std::string& path) {
  QImage shot = window.screen()->grabWindow(window.winId()).toImage();
  if (!shot.save(QString::fromStdString(path))) {
    std::fprintf(stderr, "window_screenshot: cannot write %s\n", path.c_str());
    return false;
  }
  std::set<QRgb> colours;
  for (int y = 0; y < shot.height(); ++y) {
    for (int x = 0; x < shot.width(); ++x) colours.insert(shot.pixel(x, y));
  }
  std::printf("%s: %d x %d, %zu colours\n", path.c_str(), shot.width(), shot.height(), colours.size());
  if (shot.size() != QSize(420, 252) || colours.size() < 64) {
    std::fprintf(stderr, "window_screenshot: %s is not a 420 x 252 picture of the window\n", path.c_str());
    return false;
  }
  return true;
}

// The splash picture is above every window: the screen shows all of it.
bool SplashOnTop(QSplashScreen& splash, const std::string& path) {
  QScreen* screen = splash.screen();
  screen->grabWindow(0).save(QString::fromStdString(path));
  const QRect area = splash.frameGeometry();
  const QImage shown = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
  const QImage picture = splash.pixmap().toImage().convertToFormat(shown.format());
  if (shown != picture) {
    std::fprintf(stderr, "window_screenshot: the start-up picture is covered (%s)\n", path.c_str());
    return false;
  }
  std::printf("%s: the start-up picture is whole at %d, %d\n", path.c_str(), area.x(), area.y());
  return true;
}

// Opens the settings sheet from the window and saves the whole screen while it is open; false
// when the sheet covers the window.
bool SheetBesideWindow(MainWindow& window, const std::string& path) {
  bool good = false;
  auto* timer = new QTimer;
  timer->setInterval(20);
  QObject::connect(timer, &QTimer::timeout, [&] {
    QWidget* sheet = QApplication::activeModalWidget();
    if (sheet == nullptr || !sheet->isVisible() || sheet->frameGeometry() == sheet->geometry()) return;
    timer->stop();
    QTest::qWait(300);  // the sheet is placed again once its frame is known
    window.screen()->grabWindow(0).save(QString::fromStdString(path));
    const QRect frame = sheet->frameGeometry();
    good = !frame.intersects(window.frameGeometry());
    std::printf("%s: the sheet is %d x %d at %d, %d; the window at %d, %d\n", path.c_str(), frame.width(),
                frame.height(), frame.x(), frame.y(), window.x(), window.y());
    if (!good) std::fprintf(stderr, "window_screenshot: the settings sheet covers the window\n");
    static_cast<QDialog*>(sheet)->reject();
  });
  timer->start();
  window.RunCommand(ID_OPTIONS);
  delete timer;
  return good;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_screenshot FOLDER\n");
    return 2;
  }
  std::string folder = std::string(argv[1]) + "/";
  std::string work = qv::MakeWorkFolder("WS");
  qv::SetSettingsPathOverride(work + "Quorvex.ini");
  qv::WriteFileBytes(work + "Quorvex.ini", "[BasicSettings]\r\nLogOutput=0\r\nPreviewRate=5\r\n");
  QApplication app(argc, argv);
  ConfigureApplication(app);
  InstallDialogMessageBoxes();

  bool good = true;
  {
    ResponderHost host([](LogSink&) { return std::make_unique<QuietSteps>(); });
    if (!host.Open()) return 1;
    QSplashScreen* splash = ShowSplash();
    MainWindow window(host);
    window.Start();
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    QTest::qWait(300);
    good = SplashOnTop(*splash, folder + "splash.png") && good;
    splash->close();

    host.responder().SetPatrol(true);
    const std::pair<int, const char*> lines[] = {
        {LOG_RECV, "メールチェック"},
        {LOG_RECV, "新規メールはありませんでした。"},
        {LOG_RECV, "メールチェック"},
        {LOG_PICT, "画像キャプチャ"},
        {LOG_PICT, "ａｕ用画像を作成しています。"},
        {LOG_PICT, "ａｕ用画像ファイズサイズ 4.2KByte"},
        {LOG_PICT, "Docomo用画像を作成しています。"},
        {LOG_PICT, "Docomo用画像ファイズサイズ 3.1KByte"},
        {LOG_SEND, "taro.yamada@docomo.example.ne.jp<山田太郎>にメール送信"},
        {LOG_COMM, "ダイアルアップ切断"},
    };
    for (const auto& [category, message] : lines) host.log().Log(category, qv::Cp932FromUtf8(message));
    for (int i = 0; i < 40 && window.countdown() == 0; ++i) {
      window.OnTimer();
      QTest::qWait(20);
    }
    QTest::qWait(200);
    good = SaveShot(window, folder + "window.png") && good;

    QTest::mouseClick(&window, Qt::LeftButton, {}, ControlRect(kPreviewButton).center());
    QTest::qWait(500);
    good = SaveShot(window, folder + "window-preview.png") && good;
    good = SheetBesideWindow(window, folder + "settings.png") && good;
    host.log().SetListener(nullptr);
  }
  qv::SetMessageBoxSink({});
  return good ? 0 : 1;
}
