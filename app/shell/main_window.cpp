#include "app/shell/main_window.h"

#include <algorithm>
#include <cstring>

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>

#include "app/settings/settings.h"
#include "app/shell/device_selection.h"
#include "app/shell/responder_host.h"
#include "core/qxdvcore.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "platform/timing.h"

// Fontconfig and libdbus keep their caches for the life of the process; leak-checking builds are
// told so rather than failing every run that draws text.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}

namespace {

// Asks the desktop to treat the session as in use, so the screen saver and the sleep timer
// start again: the freedesktop ScreenSaver interface; nothing happens without a session bus.
void SimulateUserActivity() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  bus.send(QDBusMessage::createMethodCall("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                          "org.freedesktop.ScreenSaver", "SimulateUserActivity"));
}

// The countdown changes this many times between two user-activity calls.
constexpr int kChangesPerActivityCall = 30;

}  // namespace

QPoint SnapToWorkArea(QPoint topLeft, QSize size, const QRect& workArea, int distance) {
  int left = topLeft.x();
  int top = topLeft.y();
  int areaRight = workArea.x() + workArea.width();
  int areaBottom = workArea.y() + workArea.height();
  if (std::abs(left - workArea.x()) < distance) {
    left = workArea.x();
  } else if (std::abs(left + size.width() - areaRight) < distance) {
    left = areaRight - size.width();
  }
  if (std::abs(top - workArea.y()) < distance) {
    top = workArea.y();
  } else if (std::abs(top + size.height() - areaBottom) < distance) {
    top = areaBottom - size.height();
  }
  return QPoint(left, top);
}

MainWindow::MainWindow(ResponderHost& host, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      host_(host),
      composed_(kWindowSize),
      settingsLibrary_(std::make_unique<SettingsLibrary>(qv::ProgramFolder() + "libQXDVDlg.so")),
      userActivity_(SimulateUserActivity) {
  setWindowTitle("Quorvex");
  setFixedSize(kWindowSize);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setWindowIcon(QIcon(":/skin/icon64.png"));
  std::string missing;
  if (!skin_.Load(&missing)) std::fprintf(stderr, "Quorvex: skin images missing: %s\n", missing.c_str());
  logView_.SetThumbImages(skin_.Image("thumb_top"), skin_.Image("thumb_body"), skin_.Image("thumb_bottom"));
  windowMenu_ = CreateMenu(false);
  trayMenu_ = CreateMenu(true);

  // Window messages from other programs (the sibling's picture is ready).
  if (host_.windowMessageFd() >= 0) {
    auto* messages = new QSocketNotifier(host_.windowMessageFd(), QSocketNotifier::Read, this);
    connect(messages, &QSocketNotifier::activated, this, [this] { host_.PumpWindowMessages(); });
  }

  timer_ = new QTimer(this);
  timer_->setInterval(static_cast<int>(qv::GetTimings().windowTimerMs));
  connect(timer_, &QTimer::timeout, this, &MainWindow::OnTimer);

  // New log lines arrive on the workers' threads; the repaint is handed to this thread.
  QPointer<MainWindow> self(this);
  host_.log().SetListener([self](const std::string&) {
    QMetaObject::invokeMethod(
        qApp, [self] { if (self) self->OnLogLine(); }, Qt::QueuedConnection);
  });
}

MainWindow::~MainWindow() {
  host_.log().SetListener(nullptr);
  timer_->stop();
  SaveWindowPosition();
  host_.Close();
}

QMenu* MainWindow::CreateMenu(bool forTray) {
  auto* menu = new QMenu(this);
  auto add = [this, menu](const char* utf8, int command) {
    QAction* action = menu->addAction(QString::fromUtf8(utf8));
    action->setData(command);
    connect(action, &QAction::triggered, this, [this, command] { RunCommand(command); });
  };
  add("オプション設定", ID_OPTIONS);
  add("ヘルプ", ID_HELP);
  if (forTray) {
    add("元に戻す", ID_RESTORE);
  } else {
    add("アイコン化", ID_ICONIFY);
  }
  add("終了", ID_EXIT_APP);
  return menu;
}

void MainWindow::Start() {
  PlaceWindow(host_.settings().window);
  host_.SelectDevice(this, previewHidden_);
  host_.responder().StartWorkers();
  timer_->start();
  if (host_.settings().basic.WakeUpMail) host_.responder().SetPatrol(true);
}

void MainWindow::SetSettingsLibraryPath(const std::string& path) {
  settingsLibrary_ = std::make_unique<SettingsLibrary>(path);
}

void MainWindow::PlaceWindow(const WindowPlacement& placement) {
  if (placement.valid) {
    move(placement.MainLeft, placement.MainTop);
    return;
  }
  QRect screenArea = screen()->geometry();
  QPoint centred(screenArea.x() + (screenArea.width() - width()) / 2,
                 screenArea.y() + (screenArea.height() - height()) / 2);
  move(centred.x() / 2, centred.y() / 2);
}

void MainWindow::SaveWindowPosition() {
  WindowPlacement placement;
  placement.valid = true;
  placement.MainLeft = x();
  placement.MainTop = y();
  SaveWindowPlacement(host_.settingsPath().c_str(), &placement);
}

void MainWindow::RunCommand(int command) {
  switch (command) {
    case ID_OPTIONS: OpenSettings(); break;
    case ID_HELP: OpenHelp(); break;
    case ID_ICONIFY: Iconify(); break;
    case ID_RESTORE: Restore(); break;
    case ID_EXIT_APP: host_.responder().RequestExit(); break;
    default: break;
  }
}

void MainWindow::OnTimer() {
  Responder& responder = host_.responder();
  const ExitStage stage = responder.exitStage();
  int countdown = responder.TimerTick();
  if (stage == ExitStage::kEnding) {
    // The workers have ended: the window closes and the program ends.
    ended_ = true;
    timer_->stop();
    if (tray_) tray_->hide();
    close();
    emit ended();
    return;
  }
  if (stage != ExitStage::kRunning || countdown == countdown_) return;
  countdown_ = countdown;
  update(kCountdownArea);
  if (++countdownChanges_ > kChangesPerActivityCall) {
    countdownChanges_ = 0;
    if (userActivity_) userActivity_();
  }
}

int MainWindow::PreviewFps() const { return PreviewRateFps(host_.settings().basic.PreviewRate); }

void MainWindow::OnLogLine() {
  logDirty_ = true;
  if (previewHidden_) update();
}

SkinState MainWindow::CurrentSkinState() const {
  SkinState state;
  state.active = isActiveWindow() && !paused_;
  state.pressedControl = pressedControl_;
  state.pointerInside = pointerInside_;
  state.previewHidden = previewHidden_;
  state.patrol = host_.responder().patrol();
  state.countdown = countdown_;
  return state;
}

void MainWindow::paintEvent(QPaintEvent*) {
  if (previewHidden_ && logDirty_) {
    logView_.Paint(host_.log().Snapshot());
    logDirty_ = false;
  }
  {
    QPainter composer(&composed_);
    skin_.Compose(composer, CurrentSkinState(), &logView_.surface());
  }
  QPainter(this).drawPixmap(0, 0, composed_);
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
  if (paused_ || event->button() != Qt::LeftButton) return;
  QPoint point = event->position().toPoint();
  QPoint cursor = event->globalPosition().toPoint();
  LogScroll& scroll = logView_.scroll();
  QRect thumb(kPictureArea.x() + LogView::kTextWidth, kPictureArea.y() + scroll.thumbOffset(),
              LogView::kWidth - LogView::kTextWidth, scroll.thumbHeight());
  dragStartCursor_ = cursor;
  if (previewHidden_ && thumb.contains(point)) {
    scroll.BeginDrag();
    return;
  }
  pressedControl_ = HitTestControl(point);
  if (pressedControl_ >= 0) {
    pointerInside_ = true;
    update(ControlRect(pressedControl_));
    return;
  }
  movingWindow_ = true;
  dragStartWindow_ = pos();
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
  if (paused_) return;
  QPoint cursor = event->globalPosition().toPoint();
  LogScroll& scroll = logView_.scroll();
  if (scroll.dragging()) {
    scroll.DragBy(cursor.y() - dragStartCursor_.y());
    logDirty_ = true;
    update(kPictureArea);
  } else if (movingWindow_) {
    QPoint target = dragStartWindow_ + (cursor - dragStartCursor_);
    move(SnapToWorkArea(target, size(), screen()->availableGeometry()));
  } else if (pressedControl_ >= 0) {
    bool inside = ControlRect(pressedControl_).contains(event->position().toPoint());
    if (inside != pointerInside_) {
      pointerInside_ = inside;
      update(ControlRect(pressedControl_));
      if (pressedControl_ == kPatrolSwitch) update(ControlRect(kPatrolLamp));
    }
  }
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (paused_ || event->button() != Qt::LeftButton) return;
  LogScroll& scroll = logView_.scroll();
  if (scroll.dragging()) {
    scroll.EndDrag();
    logDirty_ = true;
    update(kPictureArea);
    return;
  }
  if (movingWindow_) {
    movingWindow_ = false;
    return;
  }
  int control = pressedControl_;
  bool act = control >= 0 && ControlRect(control).contains(event->position().toPoint());
  if (act) {
    switch (control) {
      case kPreviewButton: SetPreviewHidden(false); break;
      case kLogViewButton: SetPreviewHidden(true); break;
      case kPatrolSwitch: {
        Responder& responder = host_.responder();
        bool on = !responder.patrol();
        responder.SetPatrol(on);
        if (on) countdownChanges_ = 0;
        break;
      }
      default: break;
    }
  }
  pressedControl_ = -1;
  pointerInside_ = false;
  update();
  if (!act) return;
  if (control == kIconifyButton) RunCommand(ID_ICONIFY);
  if (control == kExitButton) RunCommand(ID_EXIT_APP);
  if (control == kSettingsButton) RunCommand(ID_OPTIONS);
}

void MainWindow::SetPreviewHidden(bool hidden) {
  previewHidden_ = hidden;
  logDirty_ = true;
  ApplyPreviewSize(!hidden, PreviewFps());
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
  QPoint at = event->reason() == QContextMenuEvent::Keyboard ? mapToGlobal(QPoint(5, 5)) : event->globalPos();
  windowMenu_->popup(at);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    RunCommand(ID_EXIT_APP);
    return;
  }
  // A page is the lines that fit, less one kept in sight.
  const int page = std::max(1, logView_.visibleLines() - 1);
  if (event->key() == Qt::Key_PageUp) ScrollLog(-page);
  if (event->key() == Qt::Key_PageDown) ScrollLog(page);
  // Enter does nothing.
  event->accept();
}

void MainWindow::wheelEvent(QWheelEvent* event) {
  event->accept();
  if (paused_ || !previewHidden_ || !kPictureArea.contains(event->position().toPoint())) return;
  // One notch is 120 eighths of a degree and scrolls the desktop's number of lines.
  constexpr int kNotch = 120;
  wheelRemainder_ += event->angleDelta().y();
  const int notches = wheelRemainder_ / kNotch;
  wheelRemainder_ -= notches * kNotch;
  if (notches != 0) ScrollLog(-notches * QApplication::wheelScrollLines());
}

void MainWindow::ScrollLog(int lines) {
  if (!previewHidden_) return;
  logView_.scroll().ScrollBy(lines);
  logDirty_ = true;
  update(kPictureArea);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (ended_) {
    event->accept();
    return;
  }
  // The system's close request is an exit request; the window closes after the exit stages.
  event->ignore();
  RunCommand(ID_EXIT_APP);
}

void MainWindow::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange && shownOnce_) update();
  if (event->type() == QEvent::WindowStateChange) {
    auto* change = static_cast<QWindowStateChangeEvent*>(event);
    // Minimised instead of hidden to a missing notification area: the preview comes back with
    // the window.
    if ((change->oldState() & Qt::WindowMinimized) && !isMinimized()) ApplyPreviewSize(!previewHidden_, PreviewFps());
  }
  QWidget::changeEvent(event);
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shownOnce_) return;
  shownOnce_ = true;
  if (host_.settings().basic.StartIcon) {
    QMetaObject::invokeMethod(this, [this] { RunCommand(ID_ICONIFY); }, Qt::QueuedConnection);
  }
}

void MainWindow::Iconify() {
  bool patrol = host_.responder().patrol();
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    if (!tray_) {
      tray_ = new QSystemTrayIcon(this);
      tray_->setContextMenu(trayMenu_);
      connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick) Restore();
      });
    }
    tray_->setIcon(windowIcon());
    tray_->setToolTip(QString::fromUtf8(patrol ? "動作中" : "停止中"));
    tray_->show();
    hide();
  } else {
    if (!trayMissingLogged_) {
      trayMissingLogged_ = true;
      host_.log().Log(LOG_COMM, SJIS("通知領域がないため、アイコン化の代わりにウィンドウを最小化します。"));
    }
    showMinimized();
  }
  ApplyPreviewSize(false, PreviewFps());
}

void MainWindow::Restore() {
  if (tray_) tray_->hide();
  showNormal();
  raise();
  activateWindow();
}

void MainWindow::OpenSettings() {
  paused_ = true;
  int deviceRunning = host_.deviceRunning() ? 1 : 0;
  host_.ReloadSettings([this, &deviceRunning] {
    update();
    SaveWindowPosition();
    deviceRunning = RunSettingsDialog();
  });
  PlaceWindow(host_.settings().window);
  host_.SetDeviceRunning(deviceRunning != 0);
  if (deviceRunning == 1) {
    QXSetDeviceState(QXST_WINDOW_X, kPictureArea.x());
    QXSetDeviceState(QXST_WINDOW_Y, kPictureArea.y());
    ApplyPreviewSize(!previewHidden_, PreviewFps());
  }
  paused_ = false;
  update();
}

int MainWindow::RunSettingsDialog() {
  QDOPENDIALOGINFO info;
  std::memset(&info, 0, sizeof info);
  qv::CopySjisField(info.szAppFolder, sizeof info.szAppFolder, qv::ProgramFolder());
  qv::CopySjisField(info.szIniFile, sizeof info.szIniFile, host_.settingsPath());
  info.bPictureHidden = previewHidden_ ? 1 : 0;
  info.bDeviceRunning = host_.deviceRunning() ? 1 : 0;
  info.bSiblingLink = host_.siblingAvailable() ? 1 : 0;
  if (QDOpenDialogFunction open = settingsLibrary_->Entry()) {
    open(0, &info, this);
  } else {
    std::fprintf(stderr, "Quorvex: %s\n", settingsLibrary_->error().c_str());
    qv::ShowMessageBox(SJIS("設定ライブラリ libQXDVDlg.so が見つからないため、設定画面を開けません。"));
  }
  return info.bDeviceRunning;
}

void MainWindow::OpenHelp() {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(qv::ProgramFolder() + "help/help.html")));
}
