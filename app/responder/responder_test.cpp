#include "app/responder/responder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

// Steps that record the order of calls and answer as the test says.
class FakeSteps : public ResponderSteps {
 public:
  std::atomic<int> mailResult{1};
  std::atomic<bool> mailboxReady{true};
  std::atomic<int> requestResult{1};
  std::atomic<int> captureResult{1};
  std::atomic<bool> dialResult{true};
  std::atomic<int> checkCalls{0};
  std::atomic<int> activeChecks{0};
  std::atomic<int> overlaps{0};
  std::function<void()> duringCapture;
  std::function<void()> duringCheck;
  // Idling: StartIdle's answer, and the news the next WaitIdle hands out (0 none, 1 new mail,
  // 2 dropped).
  std::atomic<bool> idleResult{true};
  std::atomic<int> pendingNews{0};
  std::atomic<int> startIdleCalls{0};
  std::atomic<int> waitIdleCalls{0};
  std::atomic<int> endIdleCalls{0};
  std::string folder;
  std::vector<int> seenTypes;  // profile 0's Type as each picture step and the replies saw it

  bool MailboxReady(const AllSettings&) override { return mailboxReady; }
  int CheckMail() override {
    if (activeChecks.fetch_add(1) != 0) ++overlaps;
    ++checkCalls;
    Record("CheckMail");
    if (duringCheck) duringCheck();
    --activeChecks;
    return mailResult;
  }
  int ProcessRequests(const AllSettings&) override {
    Record("ProcessRequests");
    return requestResult;
  }
  int CaptureFrame(const std::string& path) override {
    Record("CaptureFrame");
    if (duringCapture) duringCapture();
    if (captureResult == 1) std::ofstream(path) << "frame";
    return captureResult;
  }
  void MakeNames(const RunContext&, time_t) override { Record("MakeNames"); }
  std::string MakePicture(const RunContext& run, int profile) override {
    Record("MakePicture" + std::to_string(profile));
    seenTypes.push_back(run.settings.pict[0].Type);
    std::string path = folder + "out" + std::to_string(profile);
    std::ofstream(path) << std::string(2048, 'x');
    return path;
  }
  void SendReplies(const RunContext& run) override {
    Record("SendReplies");
    seenTypes.push_back(run.settings.pict[0].Type);
  }
  bool DialConnect(const std::string& entry) override {
    Record("Dial " + entry);
    return dialResult;
  }
  void DialHangUp(const std::string& entry) override { Record("HangUp " + entry); }
  bool StartIdle() override {
    Record("StartIdle");
    ++startIdleCalls;
    return idleResult;
  }
  IdleNews WaitIdle(int64_t ms) override {
    ++waitIdleCalls;
    int news = pendingNews.exchange(0);
    if (news == 0) qv::SleepMs(ms);
    return news == 1 ? IdleNews::kNewMail : news == 2 ? IdleNews::kDropped : IdleNews::kNone;
  }
  void EndIdle() override {
    Record("EndIdle");
    ++endIdleCalls;
  }

  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void Record(const std::string& call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

// Strips the "hh:mm:ss " time stamp and converts to UTF-8 for readable comparisons.
std::vector<std::string> Messages(const RecordingLogSink& log) {
  std::vector<std::string> out;
  for (const std::string& line : log.lines()) out.push_back(qv::Utf8FromCp932(line.substr(9)));
  return out;
}

class ResponderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = qv::GetTimings();
    qv::Timings fast;
    fast.workerPollMs = 2;
    fast.hangUpPauseMs = 0;
    fast.shutdownPollMs = 1;
    qv::SetTimings(fast);
    folder_ = qv::MakeWorkFolder("SS");
    steps_.folder = folder_;
    settings_.basic.MailTimer = 5;
  }
  void TearDown() override {
    qv::SetTimings(saved_);
    std::system(("rm -rf '" + folder_ + "'").c_str());
  }

  // Runs the owner's timer until `done` holds or about two seconds passed.
  bool RunUntil(Responder& responder, const std::function<bool()>& done) {
    for (int i = 0; i < 2000 && !done(); ++i) {
      responder.TimerTick();
      qv::SleepMs(1);
    }
    return done();
  }

  void Shutdown(Responder& responder) {
    responder.RequestExit();
    ASSERT_TRUE(RunUntil(responder, [&] { return responder.exitStage() == ExitStage::kEnded; }));
    EXPECT_FALSE(responder.mailWorkerRunning());
    EXPECT_FALSE(responder.captureWorkerRunning());
  }

  qv::Timings saved_;
  std::string folder_;
  FakeSteps steps_;
  RecordingLogSink log_;
  AllSettings settings_;
};

TEST_F(ResponderTest, ARunKeepsTheSettingsItStartedWith) {
  Responder responder(steps_, log_);
  settings_.pict[0].Type = PICT_JPEG;
  responder.SetSettings(settings_);
  responder.SetWorkFolder(folder_);
  AllSettings reloaded = settings_;
  reloaded.pict[0].Type = PICT_PNG;
  // The settings are reloaded while the frame is taken: the run's pictures and replies do not
  // mix the two, the next run takes the new ones.
  steps_.duringCapture = [&] { responder.SetSettings(reloaded); };
  responder.StartWorkers();
  responder.SetPatrol(true);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.runsDone() == 1; }));
  Shutdown(responder);
  EXPECT_EQ(steps_.seenTypes, std::vector<int>(5, PICT_JPEG));
}

TEST_F(ResponderTest, OneCycleRunsEveryStepInOrder) {
  Responder responder(steps_, log_);
  responder.SetSettings(settings_);
  responder.SetWorkFolder(folder_);
  responder.StartWorkers();
  responder.SetPatrol(true);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.runsDone() == 1; }));
  Shutdown(responder);

  std::vector<std::string> expected = {"CheckMail",    "ProcessRequests", "CaptureFrame", "MakeNames",
                                       "MakePicture0", "MakePicture1",    "MakePicture2", "MakePicture3",
                                       "SendReplies"};
  EXPECT_EQ(steps_.calls(), expected);
  std::vector<std::string> messages = Messages(log_);
  ASSERT_EQ(messages.size(), 10u);
  EXPECT_EQ(messages[0], "[受信] メールチェック");
  EXPECT_EQ(messages[1], "[画像] 画像キャプチャ");
  EXPECT_EQ(messages[2], "[画像] ａｕ用画像を作成しています。");
  EXPECT_EQ(messages[3], "[画像] ａｕ用画像ファイズサイズ 2.0KByte");
  EXPECT_EQ(messages[8], "[画像] その他用画像を作成しています。");
  // The run's files are gone.
  EXPECT_EQ(qv::FileSize(responder.workFile(0)), -1);
  EXPECT_EQ(qv::FileSize(folder_ + "out0"), -1);
  // The next check is MailTimer minutes away, not due again.
  EXPECT_EQ(steps_.checkCalls, 1);
  EXPECT_FALSE(responder.capturePending());
}

TEST_F(ResponderTest, NothingRunsWithPatrolOffAndNextCheckWaitsForTheInterval) {
  Responder responder(steps_, log_);
  responder.SetSettings(settings_);
  responder.SetWorkFolder(folder_);
  responder.StartWorkers();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(responder.TimerTick(), 0);
    qv::SleepMs(2);
  }
  EXPECT_EQ(steps_.checkCalls, 0);

  steps_.mailResult = 0;  // an empty mailbox: no capture run
  responder.SetPatrol(true);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.checksDone() == 1; }));
  // The timer sees the finished check and schedules the next one five minutes later.
  int countdown = 0;
  ASSERT_TRUE(RunUntil(responder, [&] { return (countdown = responder.TimerTick()) > 0; }));
  EXPECT_GE(countdown, 299);
  EXPECT_LE(countdown, 300);
  qv::SleepMs(20);
  EXPECT_EQ(steps_.checkCalls, 1);
  EXPECT_EQ(Messages(log_).back(), "[受信] 新規メールはありませんでした。");
  Shutdown(responder);
}

// "No new mail" is said only of a mailbox that was looked into: a mailbox that could not be
// reached has said why, and with incomplete settings no check (nor dial-up) happens at all.
TEST_F(ResponderTest, ACheckThatDidNotHappenNeverSaysNoNewMail) {
  settings_.basic.MailTimer = 0;  // a check is due again as soon as the timer has seen one end
  settings_.mail.ConnMode = 1;
  std::snprintf(settings_.mail.DialName, sizeof settings_.mail.DialName, "mobile");
  steps_.mailResult = -1;
  Responder responder(steps_, log_);
  responder.SetSettings(settings_);
  responder.SetWorkFolder(folder_);
  responder.StartWorkers();
  responder.SetPatrol(true);
  // The first check is due without the timer; left untimed, no second one follows it (with the
  // timer running, the second could end before the first was seen alone).
  for (int i = 0; i < 2000 && responder.checksDone() < 1; ++i) qv::SleepMs(1);
  ASSERT_EQ(responder.checksDone(), 1);
  EXPECT_EQ(Messages(log_), (std::vector<std::string>{"[通信] ダイアルアップ接続", "[受信] メールチェック",
                                                      "[通信] ダイアルアップ切断"}));
  EXPECT_FALSE(responder.capturePending());

  steps_.mailboxReady = false;
  const size_t calls = steps_.calls().size();
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.checksDone() >= 3; }));
  Shutdown(responder);
  EXPECT_EQ(steps_.calls().size(), calls);  // neither dialled nor checked
  EXPECT_EQ(Messages(log_).size(), 3u);
}

TEST_F(ResponderTest, ChecksNeverOverlapARunningCapture) {
  settings_.basic.MailTimer = 0;  // a check is due again as soon as the timer has seen one end
  Responder responder(steps_, log_);
  responder.SetSettings(settings_);
  responder.SetWorkFolder(folder_);
  std::atomic<int> checksDuringCapture{0};
  steps_.duringCapture = [&] {
    int before = steps_.checkCalls;
    for (int i = 0; i < 20; ++i) {
      responder.TimerTick();
      qv::SleepMs(2);
    }
    checksDuringCapture = steps_.checkCalls - before;
  };
  responder.StartWorkers();
  responder.SetPatrol(true);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.runsDone() >= 2; }));
  Shutdown(responder);
  EXPECT_EQ(checksDuringCapture, 0);
  EXPECT_EQ(steps_.overlaps, 0);
}

TEST_F(ResponderTest, FailuresEndTheRunWithoutStoppingTheWorkers) {
  settings_.mail.ConnMode = 1;
  std::snprintf(settings_.mail.DialName, sizeof settings_.mail.DialName, "mobile");
  steps_.dialResult = false;
  Responder responder(steps_, log_);
  responder.SetSettings(settings_);
  responder.SetWorkFolder(folder_);
  responder.StartWorkers();
  responder.SetPatrol(true);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.checksDone() == 1; }));
  std::vector<std::string> messages = Messages(log_);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "[通信] ダイアルアップ接続");
  EXPECT_EQ(messages[1], "[通信] ダイアルアップに失敗しました。");
  EXPECT_EQ(steps_.checkCalls, 0);
  EXPECT_FALSE(responder.dialConnected());

  // Dial-up works now, the camera does not: no replies and no hang-up.
  steps_.dialResult = true;
  steps_.captureResult = 0;
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.TimerTick() > 0; }));  // rescheduled
  responder.MakeCheckDueNow();
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.runsDone() == 1; }));
  messages = Messages(log_);
  EXPECT_EQ(messages.back(), "[画像] 画像がキャプチャできませんでした。");
  EXPECT_TRUE(responder.dialConnected());
  std::vector<std::string> calls = steps_.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "SendReplies"), 0);
  Shutdown(responder);
}

TEST_F(ResponderTest, SecondExitRequestIsIgnoredAndPauseHoldsChecks) {
  Responder responder(steps_, log_);
  responder.SetSettings(settings_);
  responder.SetWorkFolder(folder_);
  responder.StartWorkers();
  responder.SetPause(true);
  responder.SetPatrol(true);
  for (int i = 0; i < 20; ++i) {
    responder.TimerTick();
    qv::SleepMs(2);
  }
  EXPECT_EQ(steps_.checkCalls, 0);
  responder.RequestExit();
  responder.TimerTick();
  EXPECT_EQ(responder.exitStage(), ExitStage::kWaitingForWorkers);
  responder.RequestExit();
  EXPECT_EQ(responder.exitStage(), ExitStage::kWaitingForWorkers);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.exitStage() == ExitStage::kEnded; }));
}

// A stop while a check runs: the check deletes accepted mails and asks for their replies;
// the capture worker must still send them before the program ends. A stop before any check
// has started starts none, so nothing is dialled that is never hung up.
TEST_F(ResponderTest, AStopNeverLosesTheRequestsOfARunningCheck) {
  settings_.mail.ConnMode = 1;
  std::snprintf(settings_.mail.DialName, sizeof settings_.mail.DialName, "mobile");
  Responder responder(steps_, log_);
  responder.SetSettings(settings_);
  responder.SetWorkFolder(folder_);
  steps_.duringCheck = [&] {
    responder.RequestExit();
    for (int i = 0; i < 50; ++i) {
      responder.TimerTick();
      qv::SleepMs(1);
    }
  };
  responder.StartWorkers();
  responder.SetPatrol(true);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.exitStage() == ExitStage::kEnded; }));
  std::vector<std::string> calls = steps_.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "SendReplies"), 1);
  EXPECT_EQ(responder.runsDone(), 1);
  // The line dialled for the check is hung up at the end.
  EXPECT_EQ(calls.back(), "HangUp mobile");
  EXPECT_FALSE(responder.dialConnected());

  FakeSteps idle;
  idle.folder = folder_;
  Responder early(idle, log_);
  early.SetSettings(settings_);
  early.SetWorkFolder(folder_);
  early.StartWorkers();
  early.RequestExit();
  early.SetPatrol(true);
  ASSERT_TRUE(RunUntil(early, [&] { return early.exitStage() == ExitStage::kEnded; }));
  EXPECT_TRUE(idle.calls().empty());
}

// A stop during a check at the workers' own poll and shutdown poll: the check outlasts a few of
// the owner's ticks (or the owner is already going away), so the owner has long been waiting
// for the workers when the check asks for its run. The run still happens and sends its replies
// once before the capture worker ends.
TEST_F(ResponderTest, AStopDuringACheckAtTheRealPollStillRepliesOnce) {
  qv::Timings real = qv::GetTimings();
  real.workerPollMs = 100;
  real.shutdownPollMs = 100;
  qv::SetTimings(real);
  const std::vector<std::string> oneCycle = {"CheckMail",    "ProcessRequests", "CaptureFrame", "MakeNames",
                                             "MakePicture0", "MakePicture1",    "MakePicture2", "MakePicture3",
                                             "SendReplies"};
  for (const bool byExitStages : {true, false}) {
    SCOPED_TRACE(byExitStages ? "the exit stages" : "the owner goes away");
    FakeSteps steps;
    steps.folder = folder_;
    auto responder = std::make_unique<Responder>(steps, log_);
    responder->SetSettings(settings_);
    responder->SetWorkFolder(folder_);
    std::atomic<bool> checkRunning{false};
    std::atomic<bool> stopSeenDuringCheck{false};
    steps.duringCheck = [&] {
      checkRunning = true;
      if (byExitStages) {
        responder->RequestExit();
        for (int i = 0; i < 100 && responder->exitStage() != ExitStage::kWaitingForWorkers; ++i) qv::SleepMs(10);
      }
      qv::SleepMs(3 * real.shutdownPollMs);
      stopSeenDuringCheck = !byExitStages || responder->exitStage() == ExitStage::kWaitingForWorkers;
    };
    responder->StartWorkers();
    responder->SetPatrol(true);
    if (byExitStages) {
      ASSERT_TRUE(RunUntil(*responder, [&] { return responder->exitStage() == ExitStage::kEnded; }));
      EXPECT_FALSE(responder->captureWorkerRunning());
      EXPECT_EQ(responder->runsDone(), 1);
    } else {
      for (int i = 0; i < 200 && !checkRunning; ++i) qv::SleepMs(10);
      ASSERT_TRUE(checkRunning);
      responder.reset();
    }
    EXPECT_TRUE(stopSeenDuringCheck);
    EXPECT_EQ(steps.calls(), oneCycle);
  }
}

// The timer moves the next-check tick and then clears the done flag while the mail-check worker
// looks at both; with the clock standing still after one check, no second check may start.
TEST_F(ResponderTest, TheTimerNeverLetsAnExtraCheckStart) {
  static std::atomic<uint32_t> frozen{1000};
  Responder responder(steps_, log_);
  responder.SetTickSource([] { return frozen.load(); });
  steps_.mailResult = 0;
  responder.SetSettings(settings_);
  responder.SetWorkFolder(folder_);
  responder.StartWorkers();
  responder.SetPatrol(true);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.checksDone() == 1; }));
  for (int i = 0; i < 3000; ++i) responder.TimerTick();
  qv::SleepMs(20);
  EXPECT_EQ(steps_.checkCalls, 1);
  Shutdown(responder);
}

TEST_F(ResponderTest, IdleNewsMakesACheckDueAtOnceAndADroppedIdleFallsBackToPolling) {
  settings_.mail.MailProtocol = 1;
  steps_.mailResult = 0;  // nothing fetched: no capture runs in between
  Responder responder(steps_, log_);
  responder.SetSettings(settings_);
  responder.SetWorkFolder(folder_);
  responder.StartWorkers();
  responder.SetPatrol(true);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.idling(); }));
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.TimerTick() > 0; }));  // MailTimer away

  // News while idling: the check is due at once, the countdown shows 0, the idle ends first.
  std::atomic<int> countdownDuringCheck{-1};
  steps_.duringCheck = [&] { countdownDuringCheck = responder.TimerTick(); };
  steps_.pendingNews = 1;
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.checksDone() == 2 && responder.idling(); }));
  steps_.duringCheck = nullptr;
  EXPECT_EQ(countdownDuringCheck, 0);
  EXPECT_EQ(steps_.calls(), (std::vector<std::string>{"CheckMail", "StartIdle", "EndIdle", "CheckMail", "StartIdle"}));

  // The server drops the idle: the worker polls (no waits for news) until the next check,
  // which starts the idle again.
  steps_.pendingNews = 2;
  ASSERT_TRUE(RunUntil(responder, [&] { return !responder.idling(); }));
  int waits = steps_.waitIdleCalls;
  for (int i = 0; i < 10; ++i) {
    EXPECT_GT(responder.TimerTick(), 0);
    qv::SleepMs(2);
  }
  EXPECT_EQ(steps_.waitIdleCalls, waits);
  EXPECT_EQ(steps_.checkCalls, 2);
  responder.MakeCheckDueNow();
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.checksDone() == 3 && responder.idling(); }));
  EXPECT_EQ(steps_.startIdleCalls, 3);

  // The exit ends the idle with the worker.
  Shutdown(responder);
  EXPECT_EQ(steps_.calls().back(), "EndIdle");
  EXPECT_FALSE(responder.idling());
}

TEST_F(ResponderTest, NoIdleOnDialUpOrWhenSwitchedOffAndNoneWithPatrolOffOrPaused) {
  struct Case {
    const char* name;
    int protocol, idle, connMode;
    bool allowed;
  };
  const Case cases[] = {
      {"POP3", 0, 1, 0, true},
      {"ImapIdle 0", 1, 0, 0, true},
      {"dial-up", 1, 1, 1, true},
      {"one check only", 1, 1, 0, false},
  };
  for (const Case& c : cases) {
    FakeSteps steps;
    steps.mailResult = 0;
    AllSettings settings = settings_;
    settings.mail.MailProtocol = c.protocol;
    settings.mail.ImapIdle = c.idle;
    settings.mail.ConnMode = c.connMode;
    Responder responder(steps, log_);
    responder.SetSettings(settings);
    responder.SetWorkFolder(folder_);
    responder.SetIdleAllowed(c.allowed);
    responder.StartWorkers();
    responder.SetPatrol(true);
    ASSERT_TRUE(RunUntil(responder, [&] { return responder.checksDone() == 1; })) << c.name;
    for (int i = 0; i < 5; ++i) {
      responder.TimerTick();
      qv::SleepMs(2);
    }
    EXPECT_EQ(steps.startIdleCalls, 0) << c.name;
    Shutdown(responder);
  }

  // Patrol off and the pause flag each end a running idle; no check starts meanwhile.
  settings_.mail.MailProtocol = 1;
  steps_.mailResult = 0;
  Responder responder(steps_, log_);
  responder.SetSettings(settings_);
  responder.SetWorkFolder(folder_);
  responder.StartWorkers();
  responder.SetPatrol(true);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.idling(); }));
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.TimerTick() > 0; }));  // the check scheduled
  responder.SetPatrol(false);
  ASSERT_TRUE(RunUntil(responder, [&] { return !responder.idling(); }));
  responder.SetPatrol(true);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.checksDone() == 2 && responder.idling(); }));
  responder.SetPause(true);
  // The flag goes down as the worker starts ending the idle; the server hears of it just after.
  ASSERT_TRUE(RunUntil(responder, [&] { return !responder.idling() && steps_.endIdleCalls >= 2; }));
  EXPECT_EQ(steps_.endIdleCalls, 2);
  EXPECT_EQ(steps_.checkCalls, 2);
  responder.SetPause(false);
  Shutdown(responder);
}

}  // namespace
