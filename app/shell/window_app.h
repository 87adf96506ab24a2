// Running Quorvex as its window.
#pragma once

#include <memory>

#include "app/shell/command_line.h"

class QApplication;
class QSplashScreen;

// True when $DISPLAY or $WAYLAND_DISPLAY names a display.
[[nodiscard]] bool DisplayAvailable();

// Whether `option` (--window, --settings) can show its windows: a display is named or
// QT_QPA_PLATFORM chooses a platform. When not, says so on standard error with what to use
// instead, and returns false.
[[nodiscard]] bool ScreenNamed(const char* option);

// Makes the QApplication. A display that is named but cannot be opened ends the program
// with status 1 and a message on standard error (instead of Qt's abort).
[[nodiscard]] std::unique_ptr<QApplication> MakeApplication(int& argc, char** argv, const char* option);

// Gives a new application the program's icon, the Japanese dialog font with half-width kana
// drawn joined, and Qt's own texts in Japanese.
void ConfigureApplication(QApplication& application);

// Shows the start-up picture centred on the screen and above every window (the main window shown
// after it included); it closes itself after the splash time of the timings record, or when it
// is clicked.
QSplashScreen* ShowSplash();

// Shows message boxes as real dialogs from then on (from any thread: a box asked for by
// another thread is shown on the GUI thread, which the caller waits for). Needs a QApplication.
void InstallDialogMessageBoxes();

// The program as a window: the splash picture, the work folder, the capture core, the settings
// and the address list, device selection with real message boxes, both workers and the main
// window's timer; returns when the window's exit stages are through (after the exit button,
// Esc, the menu, or SIGINT / SIGTERM; a stop signal also closes an open message box or
// dialog, and boxes asked for afterwards go to standard error). Returns the exit status: 1
// without a screen.
int RunWindow(const CommandLineOptions& options, int argc, char** argv);
