#include "app/shell/main_window.h"
#include "app/shell/testing/quiet_steps.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <QApplication>
#include <QFontInfo>
#include <QMouseEvent>
#include <QScreen>
#include <QTest>
#include <QWheelEvent>

#include "app/settings/ini.h"
#include "app/shell/responder_host.h"
#include "app/shell/sibling_link.h"
#include "app/shell/window_app.h"
#include "platform/dialog_look.h"
#include "platform/registry.h"
#include "platform/window_endpoint.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

void EnsureApplication() {
  static int argc = 1;
  static char name[] = "main_window_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  (void)app;
}


std::atomic<uint32_t> fakeTick{100000};
uint32_t FakeTick() { return fakeTick; }

void SendMouse(QWidget* widget, QEvent::Type type, QPoint local, QPoint global) {
  QMouseEvent event(type, QPointF(local), QPointF(global), Qt::LeftButton,
                    type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(widget, &event);
}

// True when `area` of `shot` holds exactly `expected`.
bool Shows(const QImage& shot, QPoint at, const QImage& expected) {
  QImage part = shot.copy(QRect(at, expected.size())).convertToFormat(QImage::Format_RGB32);
  return part == expected.convertToFormat(QImage::Format_RGB32);
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApplication();
    saved_ = qv::GetTimings();
    qv::ScaleTimings(0.01);
    folder_ = qv::MakeWorkFolder("MW");
    ASSERT_FALSE(folder_.empty());
    ini_ = folder_ + "Quorvex.ini";
    qv::SetSettingsPathOverride(ini_);
    setenv("QUORVEX_REGISTRY", (folder_ + "registry.reg").c_str(), 1);
    qv::SetMessageBoxSink([this](const std::string& text, const std::string&) {
      boxes_.push_back(qv::Utf8FromCp932(text));
    });
  }
  void TearDown() override {
    window_.reset();
    host_.reset();
    qv::SetMessageBoxSink({});
    qv::SetTimings(saved_);
    unsetenv("QUORVEX_REGISTRY");
    std::filesystem::remove_all(folder_);
  }

  // Opens the window over quiet steps with the settings written so far; the mail settings are
  // complete unless `mailSettings` is false.
  void Open(bool mailSettings = true) {
    WriteIniString("BasicSettings", "LogOutput", "0", ini_.c_str());
    if (mailSettings) {
      for (const char* key : {"PopServer", "UserID", "Passwd", "SmtpServer", "MailAddr"}) {
        WriteIniString("MailSettings", key, "c2V0", ini_.c_str());
      }
    }
    host_ = std::make_unique<ResponderHost>([](LogSink&) { return std::make_unique<QuietSteps>(); });
    ASSERT_TRUE(host_->Open());
    host_->responder().SetTickSource(FakeTick);
    window_ = std::make_unique<MainWindow>(*host_);
    window_->SetUserActivityCall([this] { ++activityCalls_; });
    window_->Start();
    window_->show();
  }

  QImage Shot() { return window_->grab().toImage(); }
  const QImage& SkinImage(const char* name) {
    static Skin skin;
    static bool loaded = skin.Load();
    EXPECT_TRUE(loaded);
    return skin.Image(name);
  }
  void Press(QPoint at) { SendMouse(window_.get(), QEvent::MouseButtonPress, at, window_->mapToGlobal(at)); }
  void Move(QPoint at) { SendMouse(window_.get(), QEvent::MouseMove, at, window_->mapToGlobal(at)); }
  void Release(QPoint at) { SendMouse(window_.get(), QEvent::MouseButtonRelease, at, window_->mapToGlobal(at)); }
  void Click(int control) {
    QPoint centre = ControlRect(control).center();
    Press(centre);
    Release(centre);
  }
  // Lets queued calls (log repaints) run.
  void ProcessEvents() { QCoreApplication::processEvents(); }
  // Ticks the window's timer until `done` holds; false after many ticks.
  bool TickUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 2000 && !done(); ++i) {
      window_->OnTimer();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
  }

  qv::Timings saved_;
  std::string folder_;
  std::string ini_;
  std::vector<std::string> boxes_;
  int activityCalls_ = 0;
  std::unique_ptr<ResponderHost> host_;
  std::unique_ptr<MainWindow> window_;
};

TEST(WindowAppTest, ApplicationGetsTheIconTheDialogFontAndQtsJapaneseTexts) {
  EnsureApplication();
  ConfigureApplication(*qApp);
  EXPECT_FALSE(QApplication::windowIcon().isNull());  // also the standalone settings sheet's
  EXPECT_EQ(QFontInfo(QApplication::font()).family(), QFontInfo(qv::JapaneseDialogFont()).family());
  EXPECT_NE(dynamic_cast<qv::JoinedKanaStyle*>(QApplication::style()), nullptr);
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString::fromUtf8("キャンセル"));
}

TEST_F(MainWindowTest, ControlsActOnlyWhenReleasedInside) {
  Open();
  // Without a camera, device selection says so in a box.
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].find("キャプチャデバイスが見つかりませんでした。"), std::string::npos);

  struct Case {
    int control;
    const char* held;     // image while the button is held inside
    const char* outside;  // image once the pointer left it
  };
  for (const Case& c : {Case{kIconifyButton, "iconify_down", "iconify_up"}, Case{kExitButton, "exit_down", "exit_up"},
                        Case{kSettingsButton, "settings_down", "settings_up"},
                        Case{kLogViewButton, "logview_down", "logview_down"},  // the log view is shown
                        Case{kPatrolSwitch, "patrol_on", "patrol_off"}}) {
    SCOPED_TRACE(c.control);
    QRect rect = ControlRect(c.control);
    Press(rect.center());
    EXPECT_EQ(window_->pressedControl(), c.control);
    EXPECT_TRUE(Shows(Shot(), rect.topLeft(), SkinImage(c.held)));
    Move(rect.bottomRight() + QPoint(3, 3));  // outside: no longer shown pressed
    EXPECT_TRUE(Shows(Shot(), rect.topLeft(), SkinImage(c.outside)));
    Release(rect.bottomRight() + QPoint(3, 3));
    EXPECT_EQ(window_->pressedControl(), -1);
  }
  // Released outside, nothing happened; the preview button shows the picture held down.
  Press(ControlRect(kPreviewButton).center());
  EXPECT_TRUE(Shows(Shot(), ControlRect(kPreviewButton).topLeft(), SkinImage("preview_up")));
  Release(QPoint(2, 250));
  EXPECT_TRUE(window_->previewHidden());
  EXPECT_FALSE(host_->responder().patrol());
  EXPECT_EQ(host_->responder().exitStage(), ExitStage::kRunning);
  EXPECT_TRUE(window_->isVisible());

  // Released inside: preview, then log view.
  Click(kPreviewButton);
  EXPECT_FALSE(window_->previewHidden());
  QImage shot = Shot();
  EXPECT_TRUE(Shows(shot, ControlRect(kPreviewButton).topLeft(), SkinImage("preview_down")));
  EXPECT_TRUE(Shows(shot, ControlRect(kLogViewButton).topLeft(), SkinImage("logview_up")));
  Click(kLogViewButton);
  EXPECT_TRUE(window_->previewHidden());
  EXPECT_TRUE(Shows(Shot(), ControlRect(kLogViewButton).topLeft(), SkinImage("logview_down")));

  // Iconify without a notification area minimises and says so once in the log.
  Click(kIconifyButton);
  Click(kIconifyButton);
  std::string log = qv::Utf8FromCp932(host_->log().Snapshot());
  size_t first = log.find("通知領域がない");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("通知領域がない", first + 1), std::string::npos) << log;
  window_->showNormal();

  // Without the settings library the settings button says so.
  window_->SetSettingsLibraryPath(folder_ + "missing.so");
  Click(kSettingsButton);
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_NE(boxes_[1].find("libQXDVDlg.so"), std::string::npos);

  Click(kExitButton);
  EXPECT_EQ(host_->responder().exitStage(), ExitStage::kRequested);
}

TEST_F(MainWindowTest, PatrolSwitchAndLamp) {
  Open();
  QRect lamp = ControlRect(kPatrolLamp);
  QRect patrolSwitch = ControlRect(kPatrolSwitch);
  EXPECT_TRUE(Shows(Shot(), lamp.topLeft(), SkinImage("lamp_off")));

  // Holding the switch lights the lamp; clicking the lamp does nothing and moves nothing.
  Press(patrolSwitch.center());
  EXPECT_TRUE(Shows(Shot(), lamp.topLeft(), SkinImage("lamp_lit")));
  Release(patrolSwitch.center());
  EXPECT_TRUE(host_->responder().patrol());
  QPoint before = window_->pos();
  Press(lamp.center());
  Move(lamp.center() + QPoint(0, 1));
  Release(lamp.center() + QPoint(0, 1));
  EXPECT_TRUE(host_->responder().patrol());
  EXPECT_EQ(window_->pos(), before);
  QImage shot = Shot();
  EXPECT_TRUE(Shows(shot, lamp.topLeft(), SkinImage("lamp_lit")));
  EXPECT_TRUE(Shows(shot, patrolSwitch.topLeft(), SkinImage("patrol_on")));

  Click(kPatrolSwitch);
  EXPECT_FALSE(host_->responder().patrol());
  EXPECT_TRUE(Shows(Shot(), lamp.topLeft(), SkinImage("lamp_off")));
}

TEST_F(MainWindowTest, WakeUpMailStartsWithThePatrolOn) {
  WriteIniString("BasicSettings", "WakeUpMail", "1", ini_.c_str());
  Open();
  EXPECT_TRUE(host_->responder().patrol());
  EXPECT_TRUE(Shows(Shot(), ControlRect(kPatrolSwitch).topLeft(), SkinImage("patrol_on")));
  Click(kPatrolSwitch);
  EXPECT_FALSE(host_->responder().patrol());
}

TEST_F(MainWindowTest, CountdownSchedulingAndUserActivity) {
  Open();
  Responder& responder = host_->responder();
  // The first check is due at once; once it is done the next is MailTimer (5) minutes later.
  responder.SetPatrol(true);
  ASSERT_TRUE(TickUntil([&] { return window_->countdown() == 300; }));
  EXPECT_EQ(responder.checksDone(), 1);
  fakeTick += 1500;
  window_->OnTimer();
  EXPECT_EQ(window_->countdown(), 299);  // 298.5 s rounded up

  // 754 seconds read 12:34.
  fakeTick -= 1500 + 754000 - 300000;
  window_->OnTimer();
  ASSERT_EQ(window_->countdown(), 754);
  QImage shot = Shot();
  const QImage& digits = SkinImage("digits");
  const int offsets[4] = {0, 7, 20, 27};
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(Shows(shot, kCountdownArea.topLeft() + QPoint(offsets[i], 0), digits.copy(7 + 7 * (i + 1), 0, 7, 10)))
        << "digit " << i + 1;
  }

  // Every 31st change of the countdown keeps the desktop awake, once.
  int changesSoFar = 4;  // 0 -> 300, 300 -> 299, 299 -> 754 and the first tick's 0
  activityCalls_ = 0;
  for (int i = changesSoFar; i <= 31; ++i) {
    fakeTick += 1000;
    window_->OnTimer();
  }
  EXPECT_EQ(activityCalls_, 1);
  fakeTick += 1000;
  window_->OnTimer();
  EXPECT_EQ(activityCalls_, 1);
}

TEST_F(MainWindowTest, EscapeEndsAfterBothWorkersEnterDoesNothing) {
  Open();
  bool ended = false;
  QObject::connect(window_.get(), &MainWindow::ended, [&] { ended = true; });
  QTest::keyClick(window_.get(), Qt::Key_Return);
  EXPECT_EQ(host_->responder().exitStage(), ExitStage::kRunning);
  QTest::keyClick(window_.get(), Qt::Key_Escape);
  EXPECT_EQ(host_->responder().exitStage(), ExitStage::kRequested);
  ASSERT_TRUE(TickUntil([&] { return ended; }));
  EXPECT_FALSE(host_->responder().mailWorkerRunning());
  EXPECT_FALSE(host_->responder().captureWorkerRunning());
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(MainWindowTest, SettingsCommandWithTheDialogLibrary) {
  WriteIniString("BasicSettings", "MailTimer", "5", ini_.c_str());
  Open();
  window_->move(37, 41);
  host_->responder().SetPatrol(true);
  std::string record = folder_ + "record.txt";
  setenv("FAKE_SETTINGS_RECORD", record.c_str(), 1);
  window_->SetSettingsLibraryPath(qv::ProgramFolder() + "libfake_settings_dialog.so");
  fakeTick += 777;
  window_->RunCommand(ID_OPTIONS);
  unsetenv("FAKE_SETTINGS_RECORD");

  EXPECT_EQ(qv::ReadFileBytes(record), "folder=" + qv::ProgramFolder() + "\nini=" + ini_ +
                                           "\nhidden=1\nrunning=0\nsibling=0\nparent=1\n");
  EXPECT_TRUE(boxes_.size() == 1u);  // only the device message of start-up
  // Reloaded, the window placed where it was saved, the patrol back on and a check due now.
  EXPECT_EQ(host_->settings().basic.MailTimer, 9);
  EXPECT_EQ(host_->settings().window.MainLeft, 37);
  EXPECT_EQ(host_->settings().window.MainTop, 41);
  EXPECT_EQ(window_->pos(), QPoint(37, 41));
  EXPECT_TRUE(host_->responder().patrol());
  EXPECT_FALSE(window_->paused());
  EXPECT_EQ(host_->responder().TimerTick(), 0);
}

TEST_F(MainWindowTest, SiblingPictureReadyReachesTheWorkerThroughTheWindow) {
  // Orbisk's plug-in in a folder of its own, named in the registry; its last picture recorded.
  std::string orbisk = folder_ + "orbisk/";
  std::filesystem::create_directories(orbisk);
  std::filesystem::copy_file(qv::ProgramFolder() + "QXComm.so", orbisk + "QXComm.so");
  ASSERT_TRUE(qv::WriteFileBytes(orbisk + "LastImage.txt", orbisk + "Orbisk000001.bmp"));
  ASSERT_TRUE(qv::WriteRegistryString("HKEY_CURRENT_USER\\Software\\Halvorsk\\Orbisk", "Directory",
                                      folder_ + "orbisk"));
  setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
  // The plug-in is loaded only while the sibling entry is the device.
  WriteIniString("BasicSettings", "DeviceName", SJIS("Orbisk連携").c_str(), ini_.c_str());
  Open();
  ASSERT_TRUE(host_->siblingAvailable());
  qv::WindowHandle window = qv::FindWindowByTitle("Quorvex");
  ASSERT_NE(window, 0);
  EXPECT_FALSE(host_->responder().liveCapture.IsSet());
  ASSERT_TRUE(qv::PostWindowMessage(window, WM_SIBLING_IMAGE_READY, 0, 0));
  for (int i = 0; i < 500 && !host_->responder().liveCapture.IsSet(); ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  EXPECT_TRUE(host_->responder().liveCapture.IsSet());
  window_.reset();
  host_.reset();
  unsetenv("XDG_RUNTIME_DIR");
}

// A fresh window says in its log view what the mail settings lack, once, and again only after
// the settings were read again and still lack it.
TEST_F(MainWindowTest, IncompleteMailSettingsAreSaidOnceInTheLogView) {
  Open(false);
  const std::string setup = SJIS("メールの設定が足りないため、メールを確認しません（未設定: MailSettings.PopServer");
  auto said = [&] {
    std::string view = host_->log().Snapshot();
    size_t count = 0;
    for (size_t at = view.find(setup); at != std::string::npos; at = view.find(setup, at + 1)) ++count;
    return count;
  };
  EXPECT_EQ(said(), 1u);
  host_->responder().SetPatrol(true);
  for (int i = 0; i < 50; ++i) window_->OnTimer();
  EXPECT_EQ(said(), 1u);
  EXPECT_EQ(host_->log().Snapshot().find(SJIS("新規メールはありませんでした")), std::string::npos);
}

TEST_F(MainWindowTest, LogViewPushDownFollowAndThumbDrag) {
  Open();
  LogView& view = window_->logView();
  for (int i = 0; i < 3; ++i) host_->log().Log(LOG_RECV, SJIS("メールチェック"));
  ProcessEvents();
  QImage shot = Shot();
  int visible = view.visibleLines();
  // The start-up lines (who is answered) and the three: all fit, pushed down to the bottom.
  const int used = view.wrappedLines();
  ASSERT_GE(used, 4);
  ASSERT_GT(visible, used);
  EXPECT_EQ(view.scroll().thumbHeight(), visible * 250 / visible - 1);
  // Pushed down: the top of the picture area is empty, the last text row is not.
  auto rowHasInk = [&](int y) {
    for (int x = 0; x < LogView::kTextWidth; ++x) {
      if (qGray(shot.pixel(kPictureArea.x() + x, kPictureArea.y() + y)) < 100) return true;
    }
    return false;
  };
  bool topInk = false, bottomInk = false;
  for (int y = 0; y < (visible - used) * view.lineHeight(); ++y) topInk = topInk || rowHasInk(y);
  for (int y = (visible - 1) * view.lineHeight(); y < visible * view.lineHeight(); ++y) bottomInk = bottomInk || rowHasInk(y);
  EXPECT_FALSE(topInk);
  EXPECT_TRUE(bottomInk);

  // More lines than fit: the view follows the end.
  for (int i = 0; i < 100; ++i) host_->log().Log(LOG_PICT, "line " + std::to_string(i));
  ProcessEvents();
  Shot();
  ASSERT_GT(view.scroll().maxTopLine(), 0);
  EXPECT_EQ(view.scroll().topLine(), view.scroll().maxTopLine());

  // Dragging the thumb to the top scrolls up; new lines then leave the view where it is.
  QPoint thumb(kPictureArea.x() + 314, kPictureArea.y() + view.scroll().thumbOffset() + 3);
  Press(thumb);
  Move(thumb - QPoint(0, 300));
  Release(thumb - QPoint(0, 300));
  EXPECT_EQ(view.scroll().topLine(), 0);
  EXPECT_EQ(view.scroll().thumbOffset(), 0);
  host_->log().Log(LOG_PICT, "one more");
  ProcessEvents();
  Shot();
  EXPECT_EQ(view.scroll().topLine(), 0);
  EXPECT_EQ(window_->pos(), window_->pos());  // the drag did not move the window
}

TEST_F(MainWindowTest, WheelAndPageKeysScrollTheLogWithTheThumb) {
  Open();
  LogView& view = window_->logView();
  LogScroll& scroll = view.scroll();
  for (int i = 0; i < 100; ++i) host_->log().Log(LOG_PICT, "line " + std::to_string(i));
  ProcessEvents();
  Shot();
  const int last = scroll.maxTopLine();
  ASSERT_GT(last, 20);
  ASSERT_EQ(scroll.topLine(), last);
  const int notch = QApplication::wheelScrollLines();
  const int page = view.visibleLines() - 1;
  auto wheel = [this](int delta, QPoint at = kPictureArea.center()) {
    QWheelEvent event(QPointF(at), QPointF(window_->mapToGlobal(at)), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(window_.get(), &event);
    Shot();
  };
  auto key = [this](Qt::Key which) {
    QTest::keyClick(window_.get(), which);
    Shot();
  };
  // The thumb sits where the top line is, as when it was dragged there.
  auto thumbFollows = [&] {
    const int limit = LogScroll::kTrack - scroll.thumbHeight() - 1;
    return scroll.thumbOffset() == limit * scroll.topLine() / scroll.maxTopLine();
  };

  wheel(120);  // one notch up
  EXPECT_EQ(scroll.topLine(), last - notch);
  EXPECT_TRUE(thumbFollows());
  EXPECT_LT(scroll.thumbOffset(), LogScroll::kTrack - scroll.thumbHeight() - 1);
  wheel(60);  // half a notch waits for the other half
  EXPECT_EQ(scroll.topLine(), last - notch);
  wheel(60);
  EXPECT_EQ(scroll.topLine(), last - 2 * notch);
  wheel(-240);  // two notches down: back at the end, which is followed again
  EXPECT_EQ(scroll.topLine(), last);
  wheel(-120);  // one past the end
  EXPECT_EQ(scroll.topLine(), last);
  host_->log().Log(LOG_PICT, "one more");
  ProcessEvents();
  Shot();
  EXPECT_EQ(scroll.topLine(), last + 1);

  key(Qt::Key_PageUp);
  EXPECT_EQ(scroll.topLine(), last + 1 - page);
  EXPECT_TRUE(thumbFollows());
  for (int i = 0; i < 20; ++i) key(Qt::Key_PageUp);  // to the top and past it
  EXPECT_EQ(scroll.topLine(), 0);
  EXPECT_EQ(scroll.thumbOffset(), 0);
  wheel(120);  // one past the top
  EXPECT_EQ(scroll.topLine(), 0);
  key(Qt::Key_PageDown);
  EXPECT_EQ(scroll.topLine(), page);
  EXPECT_TRUE(thumbFollows());

  // While the thumb is dragged, the wheel and the keys leave the log to the drag.
  const QPoint thumb(kPictureArea.x() + 314, kPictureArea.y() + scroll.thumbOffset() + 3);
  Press(thumb);
  wheel(-120);
  key(Qt::Key_PageDown);
  EXPECT_EQ(scroll.topLine(), page);
  Release(thumb);

  // Outside the log, or with the live picture shown, the wheel leaves the log where it is.
  wheel(-120, QPoint(40, 200));
  EXPECT_EQ(scroll.topLine(), page);
  Click(kPreviewButton);
  wheel(-120);
  key(Qt::Key_PageDown);
  EXPECT_EQ(scroll.topLine(), page);
}

TEST_F(MainWindowTest, DraggingTheWindowSnapsToTheWorkArea) {
  Open();
  QRect area = window_->screen()->availableGeometry();
  window_->move(area.x() + 100, area.y() + 100);
  QPoint grip(200, 100);  // in the picture area, on no control
  QPoint start = window_->mapToGlobal(grip);
  SendMouse(window_.get(), QEvent::MouseButtonPress, grip, start);
  SendMouse(window_.get(), QEvent::MouseMove, grip, start - QPoint(85, 0));  // 15 from the left
  EXPECT_EQ(window_->pos(), QPoint(area.x(), area.y() + 100));
  SendMouse(window_.get(), QEvent::MouseMove, grip, start - QPoint(84, 0));  // 16 from the left
  EXPECT_EQ(window_->pos(), QPoint(area.x() + 16, area.y() + 100));
  SendMouse(window_.get(), QEvent::MouseButtonRelease, grip, start - QPoint(84, 0));

  QRect work(0, 0, 1000, 700);
  struct Case {
    QPoint target;
    QPoint expected;
  };
  for (const Case& c : {Case{{15, 15}, {0, 0}}, Case{{16, 16}, {16, 16}}, Case{{-15, 300}, {0, 300}},
                        Case{{1000 - 420 - 15, 700 - 252 + 15}, {580, 448}},
                        Case{{1000 - 420 - 16, 700 - 252 - 16}, {564, 432}}}) {
    EXPECT_EQ(SnapToWorkArea(c.target, kWindowSize, work), c.expected) << c.target.x() << "," << c.target.y();
  }
}

TEST(LogWrap, CutsBeforeTheOverflowingCharacterNeverInsideOne) {
  // Single bytes 5 pixels wide, double-byte characters 10.
  auto width = [](std::string_view c) { return c.size() == 2 ? 10.0 : 5.0; };
  const std::string kanji = SJIS("画");
  struct Case {
    std::string text;
    double maxWidth;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"abc\r\n", 310, {"abc"}},
      {"abc\r\ndef", 310, {"abc"}},            // text after the last break is not shown
      {"a\n\r\nb\r\n", 310, {"a", "", "b"}},  // a CR or LF right after a break belongs to it
      {"abcdefg\r\n", 15, {"abc", "def", "g"}},
      {"ab" + kanji + "c\r\n", 15, {"ab", kanji + "c"}},  // never between the two bytes
      {kanji + kanji + "\r\n", 5, {kanji, kanji}},       // wider than the line: one character each
      {"\x81\r\n", 310, {"\x81"}},                        // a lead byte alone at the end
  };
  for (const Case& c : cases) {
    std::vector<WrappedLine> wrapped = WrapLogText(c.text, c.maxWidth, width);
    std::vector<std::string> lines;
    for (const WrappedLine& line : wrapped) lines.push_back(c.text.substr(line.start, line.length));
    EXPECT_EQ(lines, c.lines) << c.text;
  }
}

TEST(LogScroll, ThumbFollowsTheEndAndStaysWhenScrolledUp) {
  LogScroll scroll;
  EXPECT_EQ(scroll.Layout(3, 20), 17);
  EXPECT_EQ(scroll.thumbHeight(), 249);
  scroll.Layout(30, 20);
  EXPECT_EQ(scroll.topLine(), 10);
  EXPECT_EQ(scroll.thumbHeight(), 20 * 250 / 30 - 1);
  EXPECT_EQ(scroll.thumbOffset(), 250 - scroll.thumbHeight() - 1);
  scroll.BeginDrag();
  scroll.DragBy(-1000);
  scroll.EndDrag();
  EXPECT_EQ(scroll.topLine(), 0);
  scroll.Layout(40, 20);
  EXPECT_EQ(scroll.topLine(), 0);
  scroll.BeginDrag();
  scroll.DragBy(1000);
  EXPECT_EQ(scroll.topLine(), 20);
  scroll.EndDrag();
  scroll.Layout(41, 20);
  EXPECT_EQ(scroll.topLine(), 21);
}

TEST(Help, PageLiesBesideTheProgram) {
  std::string page = qv::ReadFileBytes(qv::ProgramFolder() + "help/help.html");
  EXPECT_NE(page.find("<html"), std::string::npos);
}

}  // namespace
