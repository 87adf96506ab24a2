#include "dialogs/qxdvdlg.h"

#include <cstdio>
#include <exception>

#include <QApplication>

#include "dialogs/basic_page.h"
#include "dialogs/settings_dialog.h"
#include "platform/dialog_look.h"
#include "platform/message_box.h"

namespace {

// Runs the sheet; the library's message boxes show as Qt boxes meanwhile, unless the host
// shares the library's message layer and has its own way of showing them (tests).
int RunSheet(QDOPENDIALOGINFO* info, QWidget* parent) {
  qv::MessageBoxSink host = qv::SetMessageBoxSink(qxdlg::ShowSheetMessage);
  if (host) qv::SetMessageBoxSink(host);
  struct RestoreSink {
    qv::MessageBoxSink host;
    ~RestoreSink() { qv::SetMessageBoxSink(host); }
  } restore{host};

  // The file dialogs and edit menus of the sheet speak Japanese, also in a host that did not ask.
  qv::InstallQtTranslations();
  std::unique_ptr<qxdlg::CSettingsSheet> sheet = qxdlg::MakeSettingsSheet(*info, parent);
  const int result = sheet->Run();
  info->bDeviceRunning = qxdlg::BasicPageOf(*sheet)->deviceRunning() ? 1 : 0;
  return result;
}

}  // namespace

extern "C" {

int QDOpenDialog(int /*reserved*/, QDOPENDIALOGINFO* info, QWidget* parent) {
  if (info == nullptr) return 2;
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    std::fprintf(stderr, "QXDVDlg: the settings sheet needs a running QApplication\n");
    return 2;
  }
  try {
    return RunSheet(info, parent);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "QXDVDlg: the settings sheet failed: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "QXDVDlg: the settings sheet failed\n");
  }
  return 2;
}

int FilterDllMsg(void* /*msg*/) { return 0; }

void ProcessDllIdle(void) {
  if (QCoreApplication::instance() == nullptr) return;
  try {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  } catch (...) {
  }
}

}  // extern "C"
