#include "app/responder/responder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
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
  std::atomic<int> requestResult{1};
  std::atomic<int> captureResult{1};
  std::atomic<bool> dialResult{true};
  std::atomic<int> checkCalls{0};
  std::atomic<int> activeChecks{0};
  std::atomic<int> overlaps{0};
  std::function<void()> duringCapture;
  std::function<void()> duringCheck;
  std::string folder;
  std::vector<int> seenTypes;  // profile 0's Type as each picture step and the replies saw it

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
    ASSERT_TRUE(RunUntil(responder, [&] { return responder.exitStage() == 4; }));
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
  EXPECT_FALSE(responder.requestCapture.IsSet());
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
  EXPECT_EQ(responder.exitStage(), 2);
  responder.RequestExit();
  EXPECT_EQ(responder.exitStage(), 2);
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.exitStage() == 4; }));
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
  ASSERT_TRUE(RunUntil(responder, [&] { return responder.exitStage() == 4; }));
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
  ASSERT_TRUE(RunUntil(early, [&] { return early.exitStage() == 4; }));
  EXPECT_TRUE(idle.calls().empty());
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

}  // namespace
