// The live result of the picture tabs: how long a person waits, after a change on a tab, for
// the picture of the changed profile.
//
//   bench_preview [--runs N]
//
// Opens the picture page off screen with the default profiles and the project's converter
// registered (so the Docomo tab makes a GIF), on the 640 x 480 test card the page shows when
// no camera runs. For each tab it moves the contrast slider N + 1 times (the first is a
// warm-up) and times each from the change to the shown result of the changed profile. Prints
// the median per profile; the last line is "profile_preview_ms: T", the slowest median.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <QApplication>
#include <QSlider>
#include <QTabWidget>

#include "app/settings/converter_lookup.h"
#include "core/qxdvcore.h"
#include "dialogs/picture_page.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs the event loop until the page has shown a result of each tab in `tabs` (of their
// current profiles: the page shows no other); false after a minute without them.
bool WaitForResults(qxdlg::CPictSettingsDlg& page, std::set<int> tabs) {
  auto connection = QObject::connect(&page, &qxdlg::CPictSettingsDlg::resultShown,
                                     [&tabs](const qxdlg::LivePicture& picture) { tabs.erase(picture.tab); });
  const Clock::time_point deadline = Clock::now() + std::chrono::minutes(1);
  while (!tabs.empty() && Clock::now() < deadline) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  QObject::disconnect(connection);
  return tabs.empty();
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 20;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const std::string folder = qv::MakeWorkFolder("QVBench");
  setenv("QUORVEX_REGISTRY", (folder + "registry.reg").c_str(), 1);
  const char* bin = std::getenv("QUORVEX_BENCH_BIN");
  const std::string converter = (bin && *bin ? std::string(bin) + "/" : qv::ProgramFolder()) + "qvconvert";
  if (!qv::WriteRegistryString(kConverterCommandKey, "", "\"" + converter + "\" \"%1\"")) {
    std::fprintf(stderr, "bench_preview: cannot register the converter in %s\n", folder.c_str());
    return 1;
  }
  QApplication application(argc, argv);
  QXStartup();

  int status = 0;
  {
    qxdlg::CPictSettingsDlg page(folder + "Quorvex.ini");
    page.EnsureCreated();
    page.show();
    if (!WaitForResults(page, {0, 1, 2, 3})) {
      std::fprintf(stderr, "bench_preview: no first result for every tab\n");
      return 1;
    }
    const char* const names[4] = {"au", "vodafone", "docomo", "other"};
    auto* tabs = page.findChild<QTabWidget*>("profiles");
    double slowest = 0;
    for (int tab = 0; tab < 4; ++tab) {
      tabs->setCurrentIndex(tab);
      auto* contrast = page.profileTab(tab)->findChild<QSlider*>("contrast");
      std::vector<double> times;
      for (int run = 0; run <= runs; ++run) {
        const Clock::time_point start = Clock::now();
        contrast->setValue(1 + run % 8);
        if (!WaitForResults(page, {tab})) {
          std::fprintf(stderr, "bench_preview: no result for tab %d\n", tab);
          status = 1;
          break;
        }
        if (run > 0) times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
      if (times.empty()) continue;
      std::sort(times.begin(), times.end());
      const double median = times.size() % 2 ? times[times.size() / 2]
                                             : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
      const qxdlg::CPictProfileDlg& profile = *page.profileTab(tab);
      std::printf("profile_preview_ms_%s: %.2f  (%dx%d, format %d, median of %zu)\n", names[tab], median,
                  profile.profile().Width, profile.profile().Height, profile.profile().Type, times.size());
      slowest = std::max(slowest, median);
    }
    std::printf("profile_preview_ms: %.2f\n", slowest);
  }
  QXCleanup();
  std::filesystem::remove_all(folder);
  return status;
}
