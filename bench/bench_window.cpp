// bench/run window: the main window on an X server (bench/window.sh starts Xvfb) with a test
// camera, 20 s with the log view shown (patrol on, countdown running), then 20 s with the
// 640 x 480 preview at 30 frames per second. Prints the process's CPU share of one core for
// each, the preview's last.
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <cstdio>
#include <string>

#include <QApplication>
#include <QTest>

#include "app/shell/main_window.h"
#include "app/shell/responder_host.h"
#include "app/shell/window_app.h"
#include "platform/files.h"
#include "platform/message_box.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop for `seconds` and returns the CPU share of one core in percent.
double MeasureCpuPercent(int seconds) {
  auto wallStart = std::chrono::steady_clock::now();
  double cpuStart = CpuSeconds();
  QTest::qWait(seconds * 1000);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  return 100.0 * (CpuSeconds() - cpuStart) / wall;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? std::stoi(argv[1]) : 20;
  std::string work = qv::MakeWorkFolder("BW");
  qv::SetSettingsPathOverride(work + "Quorvex.ini");
  // Patrol on from the start; the mailbox is a closed local port, so each check fails at once
  // and the countdown runs; PreviewRate 5 is 30 frames per second.
  qv::WriteFileBytes(work + "Quorvex.ini",
                     "[BasicSettings]\r\nLogOutput=0\r\nWakeUpMail=1\r\nPreviewRate=5\r\nMailTimer=1\r\n"
                     "[MailSettings]\r\nPopServer=127.0.0.1\r\nPopPort=9\r\n");
  QApplication app(argc, argv);
  qv::SetMessageBoxSink([](const std::string&, const std::string&) {});
  ResponderHost host;
  if (!host.Open()) {
    std::fprintf(stderr, "bench_window: the work folder could not be made\n");
    return 1;
  }
  double logView = 0;
  double preview = 0;
  {
    MainWindow window(host);
    window.Start();
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    QTest::qWait(1000);
    logView = MeasureCpuPercent(seconds);
    std::printf("window_logview_cpu_percent: %.2f\n", logView);
    std::fflush(stdout);
    QTest::mouseClick(&window, Qt::LeftButton, {}, ControlRect(kPreviewButton).center());
    QTest::qWait(1000);
    preview = MeasureCpuPercent(seconds);
    host.log().SetListener(nullptr);
  }
  std::printf("window_preview_cpu_percent: %.2f\n", preview);
  std::filesystem::remove_all(work);
  return 0;
}
