// Qt helpers shared by the capture core's widget tests: one QApplication per test suite, event
// pumping for waits, and answering the next modal dialog.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <chrono>
#include <functional>
#include <thread>

namespace qxcore::testing {

// Makes the suite's QApplication (call from SetUpTestSuite) and deletes it again (from
// TearDownTestSuite).
inline QApplication*& SuiteApplication() {
  static QApplication* application = nullptr;
  return application;
}
inline void StartSuiteApplication() {
  static int argc = 1;
  static char name[] = "qxdvcore_test";
  static char* argv[] = {name, nullptr};
  SuiteApplication() = new QApplication(argc, argv);
}
inline void StopSuiteApplication() {
  delete SuiteApplication();
  SuiteApplication() = nullptr;
}

inline void PumpEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Handles the next modal dialog once it shows: `edit` changes its controls, then it is
// accepted or cancelled.
inline void HandleNextDialog(std::function<void(QDialog&)> edit, bool accept) {
  auto* timer = new QTimer;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, edit, accept] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    timer->stop();
    timer->deleteLater();
    if (edit) edit(*dialog);
    if (accept) {
      dialog->accept();
    } else {
      dialog->reject();
    }
  });
  timer->start();
}

}  // namespace qxcore::testing
