// The main window: a frameless 420 x 252 window painted entirely from the skin, with the
// patrol switch and lamp, the countdown, the command buttons, and the picture area that shows
// the capture preview or the activity log. It owns the scheduling timer that drives the
// countdown, the next mail check and the exit stages of the responder, the notification-area
// icon and the two menus, and runs the settings and help commands.
//
// Everything here runs on the GUI thread. The workers reach the window only through the
// activity log, whose new lines are handed to the GUI thread as a queued repaint.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QPixmap>
#include <QPoint>
#include <QWidget>

#include "app/shell/log_view.h"
#include "app/shell/settings_library.h"
#include "app/shell/skin.h"

class QMenu;
class QSystemTrayIcon;
class QTimer;
class ResponderHost;
struct WindowPlacement;

// Where a window of `size` whose top-left corner is to go to `topLeft` ends up when its edges
// snap to `workArea`: an edge less than `distance` pixels from the same edge of the work area
// is put onto it (left before right, top before bottom).
[[nodiscard]] QPoint SnapToWorkArea(QPoint topLeft, QSize size, const QRect& workArea, int distance = 16);

// Command ids of the menus and the skin buttons.
enum WindowCommand {
  ID_RESTORE = 32771,
  ID_EXIT_APP = 32774,
  ID_OPTIONS = 32775,
  ID_ICONIFY = 32776,
  ID_HELP = 57670,
};

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  // `host` must be opened and outlive the window.
  explicit MainWindow(ResponderHost& host, QWidget* parent = nullptr);
  // Clean-up: stops the timer, saves the window position, shuts the capture core down and
  // removes the work folder (through the host).
  ~MainWindow() override;

  // Start-up after the host has opened: places the window from the settings, selects and
  // starts the capture device, starts both workers and the timer, and switches the patrol on
  // with WakeUpMail.
  void Start();

  // Runs one of the commands above.
  void RunCommand(int command);

  // One tick of the scheduling timer: the countdown and scheduling while running, then the
  // exit stages; once they are through, the window closes and ended() is emitted.
  void OnTimer();

  // For tests: the settings library to load, and what replaces the desktop's user-activity
  // call that keeps the screen awake.
  void SetSettingsLibraryPath(const std::string& path);
  void SetUserActivityCall(std::function<void()> call) { userActivity_ = std::move(call); }

  [[nodiscard]] bool previewHidden() const { return previewHidden_; }
  [[nodiscard]] int countdown() const { return countdown_; }
  [[nodiscard]] int pressedControl() const { return pressedControl_; }
  [[nodiscard]] bool paused() const { return paused_; }
  [[nodiscard]] LogView& logView() { return logView_; }

 signals:
  // The exit stages are through: the program may end.
  void ended();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QMenu* CreateMenu(bool forTray);
  void PlaceWindow(const WindowPlacement& placement);
  void SaveWindowPosition();
  void SetPreviewHidden(bool hidden);
  [[nodiscard]] int PreviewFps() const;
  void Iconify();
  void Restore();
  void OpenSettings();
  // Runs the settings dialog of the dialog library (a message box when the library is
  // missing); returns the device-running field as the dialog left it.
  int RunSettingsDialog();
  void OpenHelp();
  void OnLogLine();
  // Scrolls the log view (when it is shown and its thumb is not being dragged) by `lines` and
  // repaints it.
  void ScrollLog(int lines);
  [[nodiscard]] SkinState CurrentSkinState() const;

  ResponderHost& host_;
  Skin skin_;
  LogView logView_;
  QPixmap composed_;
  bool logDirty_ = true;
  std::unique_ptr<SettingsLibrary> settingsLibrary_;
  QTimer* timer_ = nullptr;
  QMenu* windowMenu_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  std::function<void()> userActivity_;

  bool shownOnce_ = false;
  bool ended_ = false;
  bool paused_ = false;
  bool previewHidden_ = true;
  bool trayMissingLogged_ = false;
  int countdown_ = 0;
  int countdownChanges_ = 0;

  // Mouse: the pressed control, a window move or a thumb drag, from button-down to button-up.
  int pressedControl_ = -1;
  bool pointerInside_ = false;
  bool movingWindow_ = false;
  QPoint dragStartCursor_;
  QPoint dragStartWindow_;
  // Wheel turns not yet worth a whole line (eighths of a degree), for wheels and touch pads
  // that report in small steps.
  int wheelRemainder_ = 0;
};
