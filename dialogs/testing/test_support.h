// Helpers of the settings pages' tests: one QApplication for the test program, a private
// folder with the settings file, an empty registry and a fake nmcli, a recorder of message
// boxes, and widget look-ups by object name.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/settings/converter_lookup.h"
#include "core/qxdvcore.h"
#include "dialogs/qxdvdlg.h"
#include "dialogs/settings_dialog.h"
#include "dialogs/text_fields.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace qxdlg::testing {

// BasicSettings as a fresh install's OK writes it.
inline constexpr char kDefaultBasic[] =
    "[BasicSettings]\r\nPreviewRate=6\r\nWakeUpMail=0\r\nStartIcon=0\r\nMailTimer=5\r\nDeviceName=\r\n"
    "LogOutput=1\r\nLogFolder=\r\nLogKeepDays=90\r\n";

inline void EnsureApplication() {
  static QApplication* application = [] {
    static int argc = 1;
    static char name[] = "qxdvdlg_test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  (void)application;
}

// One message box as the pages showed it (UTF-8).
struct Message {
  std::string text;
  std::string caption;
  bool operator==(const Message&) const = default;
};

inline void PrintTo(const Message& message, std::ostream* out) {
  *out << "{\"" << message.text << "\", \"" << message.caption << "\"}";
}

class SheetFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApplication();
    folder_ = qv::MakeWorkFolder("QD");
    ASSERT_FALSE(folder_.empty());
    ini_ = folder_ + "Quorvex.ini";
    setenv("QUORVEX_REGISTRY", (folder_ + "registry.reg").c_str(), 1);
    SetBundledConverterFolder("");  // no converter unless a test registers one
    SetDialEntries({});
    setenv("QUORVEX_TEST_DEVICES", "", 1);
    qv::SetMessageBoxSink([this](const std::string& text, const std::string& caption) {
      messages_.push_back({qv::Utf8FromCp932(text), qv::Utf8FromCp932(caption)});
    });
    QXStartup();
  }
  void TearDown() override {
    QXCleanup();
    qv::SetMessageBoxSink({});
    unsetenv("QUORVEX_NMCLI");
    unsetenv("QUORVEX_REGISTRY");
    SetBundledConverterFolder(qv::ProgramFolder());
    unsetenv("QUORVEX_TEST_DEVICES");
    std::filesystem::remove_all(folder_);
  }

  // The dial-up connections a fake nmcli lists (UTF-8 names).
  void SetDialEntries(const std::vector<std::string>& names) {
    std::string fake = folder_ + "nmcli";
    std::ofstream script(fake);
    script << "#!/bin/sh\ncase \"$*\" in *'connection show'*)\n";
    for (const std::string& name : names) script << "  printf '%s\\n' '" << name << ":gsm'\n";
    script << ";; esac\nexit 0\n";
    script.close();
    chmod(fake.c_str(), 0755);
    setenv("QUORVEX_NMCLI", fake.c_str(), 1);
  }

  // A sheet for the settings file, shown without waiting.
  std::unique_ptr<CSettingsSheet> OpenSheet(QWidget* parent = nullptr, bool siblingLink = false,
                                            bool pictureHidden = false) {
    QDOPENDIALOGINFO info{};
    std::snprintf(info.szIniFile, sizeof info.szIniFile, "%s", ini_.c_str());
    info.bSiblingLink = siblingLink;
    info.bPictureHidden = pictureHidden;
    auto sheet = MakeSettingsSheet(info, parent);
    sheet->Open();
    return sheet;
  }
  // Brings page `index` to the front (creating it on first show).
  static void ShowPage(CSettingsSheet& sheet, int index) { sheet.tabs()->setCurrentIndex(index); }

  template <class T>
  static T* Find(const QObject& parent, const char* name) {
    T* found = parent.findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  // Types `utf8` into the line edit `name` as the user would (replacing its text).
  static void Type(const QObject& parent, const char* name, const std::string& utf8) {
    QLineEdit* edit = Find<QLineEdit>(parent, name);
    edit->selectAll();
    edit->insert(QString::fromStdString(utf8));
  }

  [[nodiscard]] std::string Ini() const { return qv::ReadFileBytes(ini_); }
  [[nodiscard]] bool IniExists() const { return std::filesystem::exists(ini_); }

  std::string folder_;
  std::string ini_;
  std::vector<Message> messages_;
};

// Handles the next modal dialog once it shows: `act` does what the user would, and must end it.
inline void HandleNextDialog(std::function<void(QDialog&)> act) {
  auto* timer = new QTimer;
  timer->setInterval(1);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    act(*dialog);
  });
  timer->start();
}

}  // namespace qxdlg::testing
