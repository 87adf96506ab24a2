// Shows the settings sheet on a real X server as a desktop user sees it, and saves into the
// folder given as the only argument, window frames included:
//   placement.png      the whole screen: the sheet beside a stand-in of the main window
//   page1.png ...      every page, and page3-tab0.png ... page3-tab3.png for the picture tabs
//   addressDialog.png, portDialog.png, securityDialog.png   the sheet's small dialogs
//   securityDialog-login.png                                  the log-in tab of the last one
//   oauthLoginBox.png  the OAuth2 log-in box showing a device log-in's address and code
//   messageBox.png     the mail page's refusal of an empty address
//   folderBrowser.png, editMenu.png   Qt's own dialog and menu
// It fails when the framed sheet or one of its small dialogs is larger than kSheetSizeLimit, when the sheet covers the main
// window or its picture area although the screen has room beside it, when a page is more than a
// quarter empty, or when a message box is narrower than its caption needs.
//
// Run it through tests/desktop_session.sh (a 1280 x 720 screen with openbox and a tray).
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QJsonArray>
#include <QPlainTextEdit>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "app/oauth/testing/fake_provider.h"
#include "app/settings/converter_lookup.h"
#include "core/qxdvcore.h"
#include "dialogs/filter_page.h"
#include "dialogs/mail_page.h"
#include "dialogs/mail_security_dialog.h"
#include "dialogs/oauth_login_box.h"
#include "dialogs/picture_page.h"
#include "dialogs/settings_dialog.h"
#include "platform/dialog_look.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

using qxdlg::CSettingsSheet;

std::string folder;
bool good = true;

void Fail(const std::string& what) {
  std::fprintf(stderr, "settings_screenshots: %s\n", what.c_str());
  good = false;
}

// Lets the window manager and the widgets settle: frames, layouts, repaints.
void Settle() { QTest::qWait(150); }

// The window as the screen shows it, its frame included.
QImage Shot(QWidget& window) {
  const QRect frame = window.frameGeometry();
  return window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height()).toImage();
}

void Save(const QImage& image, const char* name) {
  const QString path = QString::fromStdString(folder) + name;
  if (!image.save(path)) Fail("cannot write " + path.toStdString());
  std::printf("%s: %d x %d\n", name, image.width(), image.height());
}

// Waits until the window manager has framed `window` (its frame is larger than the window).
void AwaitFrame(QWidget& window) {
  for (int i = 0; i < 100 && window.frameGeometry() == window.geometry(); ++i) QTest::qWait(20);
}

// Runs `act` on the next modal dialog or message box once it shows (after it has settled).
void OnNextModal(std::function<void(QWidget&)> act) {
  auto* timer = new QTimer;
  timer->setInterval(20);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible() || modal->frameGeometry() == modal->geometry()) return;
    timer->stop();
    timer->deleteLater();
    Settle();
    act(*modal);
  });
  timer->start();
}

// A page is laid out to fill its tab: its controls (the widgets that hold no visible widgets)
// reach from its top to within a quarter of its height from its bottom.
void CheckFilled(QWidget& page, const QString& name) {
  int top = page.height();
  int bottom = 0;
  for (QWidget* widget : page.findChildren<QWidget*>()) {
    if (!widget->isVisible()) continue;
    bool holdsWidgets = false;
    for (QWidget* child : widget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      holdsWidgets = holdsWidgets || child->isVisible();
    }
    if (holdsWidgets) continue;
    const QRect area(widget->mapTo(&page, QPoint(0, 0)), widget->size());
    top = std::min(top, area.top());
    bottom = std::max(bottom, area.bottom());
  }
  const double filled = static_cast<double>(bottom - top) / page.height();
  std::printf("%s: filled %.0f%% (smallest %d x %d)\n", name.toUtf8().constData(), filled * 100,
              page.minimumSizeHint().width(), page.minimumSizeHint().height());
  if (filled < 0.75) Fail(name.toStdString() + " is more than a quarter empty");
}

// Settings that show every part of the pages: two cameras, the sibling entry, dial-up
// connections, the address filter with a list, the converter for GIF.
std::string PrepareSettings() {
  const std::string work = qv::MakeWorkFolder("SS");
  setenv("QUORVEX_REGISTRY", (work + "registry.reg").c_str(), 1);
  setenv("QUORVEX_TEST_DEVICES", "Desk Cam,Window Cam", 1);
  const std::string nmcli = work + "nmcli";
  qv::WriteFileBytes(nmcli, "#!/bin/sh\ncase \"$*\" in *'connection show'*) printf 'Mobile Docomo:gsm\\nISDN:gsm\\n';; esac\n");
  chmod(nmcli.c_str(), 0755);
  setenv("QUORVEX_NMCLI", nmcli.c_str(), 1);
  if (!qv::WriteRegistryString(kConverterCommandKey, "", "\"" + qv::ProgramFolder() + "qvconvert\" \"%1\"")) {
    Fail("cannot register the picture converter");
  }
  qv::WriteFileBytes(work + "MailList.dat", "*@docomo.ne.jp\nfriend@example.jp\nme@*\n");
  const std::string ini = work + "Quorvex.ini";
  FilterSettings filter;
  filter.MailFill = filter.TitleFilt = 1;
  std::strcpy(filter.TitleFiltText, SJIS("写真").c_str());
  SaveFilterSettings(ini.c_str(), &filter);
  return ini;
}

void ShootPages(CSettingsSheet& sheet) {
  // The picture tabs whose result has been shown, counted from before the page opens.
  auto* pictures = static_cast<qxdlg::CPictSettingsDlg*>(sheet.page(qxdlg::kPictPage));
  std::set<int> shown;
  QObject::connect(pictures, &qxdlg::CPictSettingsDlg::resultShown,
                   [&shown](const qxdlg::LivePicture& picture) { shown.insert(picture.tab); });
  for (int page = 0; page < sheet.pageCount(); ++page) {
    sheet.tabs()->setCurrentIndex(page);
    Settle();
    if (page != qxdlg::kPictPage) {
      CheckFilled(*sheet.page(page), QString("page%1").arg(page + 1));
      Save(Shot(sheet), QString("page%1.png").arg(page + 1).toUtf8().constData());
      continue;
    }
    // Every tab's first result, within the converter's time-out for all four.
    QElapsedTimer waited;
    waited.start();
    const auto limit = static_cast<qint64>(qv::GetTimings().converterTimeoutMs);
    while (shown.size() < 4 && waited.elapsed() < limit) QTest::qWait(50);
    if (shown.size() < 4) Fail("the picture tabs did not all show their result");
    auto* tabs = pictures->findChild<QTabWidget*>("profiles");
    for (int tab = 0; tab < 4; ++tab) {
      tabs->setCurrentIndex(tab);
      Settle();
      CheckFilled(*sheet.page(page), QString("page3-tab%1").arg(tab));
      Save(Shot(sheet), QString("page3-tab%1.png").arg(tab).toUtf8().constData());
    }
  }
}

// Shoots `dialog` as "NAME.png" (its object name) and deletes it; `prepare` may set it up once it
// shows, and `suffix` names that state ("NAME-SUFFIX.png"). A dialog larger than the sheet may be
// with its frame fails.
void ShootDialog(QDialog* dialog, const std::function<void(QDialog&)>& prepare = {}, const QString& suffix = {}) {
  dialog->show();
  AwaitFrame(*dialog);
  if (prepare) prepare(*dialog);
  Settle();
  const QRect frame = dialog->frameGeometry();
  if (frame.width() > qxdlg::kSheetSizeLimit.width() || frame.height() > qxdlg::kSheetSizeLimit.height()) {
    Fail(dialog->objectName().toStdString() + " is larger than 700 x 560 with its frame");
  }
  Save(Shot(*dialog), (dialog->objectName() + (suffix.isEmpty() ? "" : "-" + suffix) + ".png").toUtf8().constData());
  delete dialog;
}

// The OAuth2 log-in box while a device log-in waits for the user's code, against the tests'
// provider; closing it stops the log-in.
void ShootLoginBox(MailSettings mail, const std::string& ini, QWidget* parent) {
  qv::test::FakeProvider provider;
  if (provider.port() == 0) {
    Fail("the test OAuth2 provider did not start");
    return;
  }
  provider.Control("/control/script", {{"device", QJsonArray{"pending"}}});
  std::snprintf(mail.OAuthClientId, sizeof mail.OAuthClientId, "quorvex-test");
  std::snprintf(mail.OAuthDeviceUrl, sizeof mail.OAuthDeviceUrl, "%s", provider.Url("/device").c_str());
  std::snprintf(mail.OAuthTokenUrl, sizeof mail.OAuthTokenUrl, "%s", provider.Url("/token").c_str());
  ShootDialog(new qxdlg::COAuthLoginDlg(mail, ini, [](const std::string&) { return false; }, parent),
              [](QDialog& box) {
                box.findChild<QPushButton*>("deviceLogin")->click();
                auto* printed = box.findChild<QPlainTextEdit*>("printed");
                if (!QTest::qWaitFor([printed] { return !printed->toPlainText().isEmpty(); }, 20000)) {
                  Fail("the log-in box shows no address and code");
                }
              });
}

// The mail page refuses an empty address: the message box over the sheet.
void ShootMessageBox(CSettingsSheet& sheet) {
  sheet.tabs()->setCurrentIndex(qxdlg::kMailPage);
  OnNextModal([](QWidget& box) {
    const int needed = qv::MessageBoxWidthForCaption(box.windowTitle());
    if (box.width() < needed) Fail("the message box is narrower than its caption needs");
    Save(Shot(box), "messageBox.png");
    static_cast<QDialog&>(box).accept();
  });
  sheet.okButton()->click();
}

void ShootQtsOwn(CSettingsSheet& sheet) {
  sheet.tabs()->setCurrentIndex(qxdlg::kBasicPage);
  Settle();
  OnNextModal([](QWidget& browser) {
    Save(Shot(browser), "folderBrowser.png");
    static_cast<QDialog&>(browser).reject();
  });
  sheet.findChild<QPushButton*>("browseLogFolder")->click();

  auto* edit = sheet.findChild<QLineEdit*>("logFolder");
  edit->setText("/home/quorvex/log");
  QMenu* menu = edit->createStandardContextMenu();
  menu->popup(edit->mapToGlobal(QPoint(10, edit->height())));
  Settle();
  const QRect area = QRect(edit->mapToGlobal(QPoint()), edit->size()).united(menu->frameGeometry()).adjusted(-8, -8, 8, 8);
  Save(menu->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage(), "editMenu.png");
  menu->close();
  delete menu;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: settings_screenshots FOLDER\n");
    return 2;
  }
  folder = std::string(argv[1]) + "/";
  const std::string ini = PrepareSettings();
  QApplication app(argc, argv);
  if (!QDir().mkpath(QString::fromStdString(folder))) {
    std::fprintf(stderr, "settings_screenshots: cannot make %s\n", folder.c_str());
    return 1;
  }
  qv::SetMessageBoxSink(qxdlg::ShowSheetMessage);
  qv::InstallQtTranslations();
  QXStartup();
  {
    // The main window's stand-in, where the program puts it without a stored place: half of the
    // centred position.
    QWidget owner(nullptr, Qt::Window | Qt::FramelessWindowHint);
    owner.setFixedSize(420, 252);
    QPalette grey = owner.palette();
    grey.setColor(QPalette::Window, QColor(192, 192, 192));
    owner.setPalette(grey);
    owner.setAutoFillBackground(true);
    const QRect screen = owner.screen()->geometry();
    owner.move((screen.width() - 420) / 2 / 2, (screen.height() - 252) / 2 / 2);
    owner.show();
    if (!QTest::qWaitForWindowExposed(&owner)) return 1;

    QDOPENDIALOGINFO info{};
    std::snprintf(info.szIniFile, sizeof info.szIniFile, "%s", ini.c_str());
    info.bSiblingLink = 1;
    std::unique_ptr<CSettingsSheet> sheet = qxdlg::MakeSettingsSheet(info, &owner);
    sheet->Open();
    if (!QTest::qWaitForWindowExposed(sheet.get())) return 1;
    AwaitFrame(*sheet);
    Settle();

    const QRect frame = sheet->frameGeometry();
    std::printf("sheet: %d x %d with its frame, at %d, %d; work area %d x %d\n", frame.width(), frame.height(),
                frame.x(), frame.y(), owner.screen()->availableGeometry().width(),
                owner.screen()->availableGeometry().height());
    if (frame.width() > qxdlg::kSheetSizeLimit.width() || frame.height() > qxdlg::kSheetSizeLimit.height()) {
      Fail("the sheet is larger than 700 x 560 with its frame");
    }
    if (!owner.screen()->availableGeometry().contains(frame)) Fail("the sheet reaches beyond the work area");
    if (frame.intersects(owner.frameGeometry())) Fail("the sheet covers the main window although there is room");
    Save(owner.screen()->grabWindow(0).toImage(), "placement.png");

    ShootPages(*sheet);
    ShootMessageBox(*sheet);
    ShootQtsOwn(*sheet);
    ShootDialog(new qxdlg::CFilterAddrDlg("*@docomo.ne.jp", sheet.get()));
    ShootDialog(new qxdlg::CPortNumberDlg(110, 25, 0, 0, sheet.get()));
    qxdlg::AccountCheckRunner checker;
    MailSettings mail;
    ShootDialog(new qxdlg::CMailSecurityDlg(mail, ini, &checker, sheet.get()));
    // The log-in tab with OAuth2 and a provider of its own: every box enabled.
    mail.AuthMethod = 1;
    mail.OAuthProvider = 2;
    ShootDialog(
        new qxdlg::CMailSecurityDlg(mail, ini, &checker, sheet.get()),
        [](QDialog& dialog) { dialog.findChild<QTabWidget*>("securityTabs")->setCurrentIndex(1); }, "login");
    ShootLoginBox(mail, ini, sheet.get());
    sheet->cancelButton()->click();
  }
  QXCleanup();
  qv::SetMessageBoxSink({});
  return good ? 0 : 1;
}

// Fontconfig and libdbus keep their caches until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
