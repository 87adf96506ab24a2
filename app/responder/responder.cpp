#include "app/responder/responder.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

// Profile names of the picture log lines, in profile order.
const std::string& ProfileName(int profile) {
  switch (profile) {
    case 0: return SJIS("ａｕ");
    case 1: return SJIS("J-PHONE");
    case 2: return SJIS("Docomo");
    default: return SJIS("その他");
  }
}

std::chrono::milliseconds Milliseconds(int64_t ms) { return std::chrono::milliseconds(std::max<int64_t>(ms, 1)); }

}  // namespace

Responder::Responder(ResponderSteps& steps, LogSink& log) : steps_(steps), log_(log) {}

Responder::~Responder() {
  // In the order of the exit stages: a check still running may ask for a run.
  Announce([this] { endMailWorker_ = true; });
  if (mailWorker_.joinable()) mailWorker_.join();
  Announce([this] { endCaptureWorker_ = true; });
  if (captureWorker_.joinable()) captureWorker_.join();
}

void Responder::SetWorkFolder(const std::string& folder) {
  workFolder_ = folder;
  for (int i = 0; i < 3; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "QVTmp%03d.___", i);
    workFiles_[i] = folder + name;
  }
}

void Responder::SetSettings(const AllSettings& settings) {
  std::lock_guard lock(mutex_);
  settings_ = settings;
}

AllSettings Responder::settings() const { return Read(settings_); }

uint32_t Responder::currentTick() const { return tickSource_ ? tickSource_() : qv::GetTickCount32(); }

void Responder::StartWorkers() {
  {
    std::lock_guard lock(mutex_);
    mailWorkerRunning_ = true;
    captureWorkerRunning_ = true;
  }
  mailWorker_ = std::thread(&Responder::MailCheckThreadProc, this);
  captureWorker_ = std::thread(&Responder::CaptureThreadProc, this);
}

void Responder::SetPatrol(bool on) {
  Announce([this, on] {
    if (on) nextCheckTick_ = currentTick();
    patrol_ = on;
  });
}

void Responder::SetPause(bool on) {
  Announce([this, on] { pause_ = on; });
}

void Responder::MakeCheckDueNow() {
  Announce([this] { nextCheckTick_ = currentTick(); });
}

void Responder::SetIdleAllowed(bool allowed) {
  std::lock_guard lock(mutex_);
  idleAllowed_ = allowed;
}

void Responder::RequestExit() {
  std::lock_guard lock(mutex_);
  if (exitStage_ == ExitStage::kRunning) exitStage_ = ExitStage::kRequested;
}

bool Responder::HasEnded() const {
  const ExitStage stage = exitStage();
  return stage == ExitStage::kEnding || stage == ExitStage::kEnded;
}

void Responder::CountFailure() {
  std::lock_guard lock(mutex_);
  ++failures_;
}

// --- The owner's timer --------------------------------------------------------------------

int Responder::TimerTick() {
  std::unique_lock lock(mutex_);
  switch (exitStage_) {
    case ExitStage::kRunning:
      return ScheduleLocked();
    case ExitStage::kRequested:
      // Only the mail-check worker is told to end now: a check that is running may still
      // delete accepted mails and ask for their replies.
      endMailWorker_ = true;
      exitStage_ = ExitStage::kWaitingForWorkers;
      changed_.notify_all();
      return 0;
    case ExitStage::kWaitingForWorkers:
      if (EndWorkers(lock)) exitStage_ = ExitStage::kEnding;
      return 0;
    case ExitStage::kEnding:
      exitStage_ = ExitStage::kEnded;
      return 0;
    case ExitStage::kEnded:
      return 0;
  }
  return 0;
}

int Responder::ScheduleLocked() {
  if (!patrol_) return 0;
  const uint32_t now = currentTick();
  const int32_t remaining = qv::TickDiff(nextCheckTick_, now);
  if (remaining > 0) return (remaining + 999) / 1000;
  if (checkDone_) {
    // The interval runs from the end of one check to the start of the next.
    nextCheckTick_ = now + static_cast<uint32_t>(static_cast<int64_t>(settings_.basic.MailTimer) * 60000);
    checkDone_ = false;
    changed_.notify_all();
  }
  return 0;
}

bool Responder::EndWorkers(std::unique_lock<std::mutex>& lock) {
  const auto poll = Milliseconds(qv::GetTimings().shutdownPollMs);
  if (!changed_.wait_for(lock, poll, [this] { return !mailWorkerRunning_; })) return false;
  // The capture worker is told to end only now that no check can ask for a run any more; it
  // finishes a pending run first, so no deleted request goes unanswered.
  endCaptureWorker_ = true;
  changed_.notify_all();
  if (!changed_.wait_for(lock, poll, [this] { return !captureWorkerRunning_; })) return false;
  const bool dialled = dialConnected_;
  lock.unlock();
  if (mailWorker_.joinable()) mailWorker_.join();
  if (captureWorker_.joinable()) captureWorker_.join();
  // The workers are gone; a line the program dialled is not left open.
  if (dialled) {
    log_.Log(LOG_COMM, SJIS("ダイアルアップ切断"));
    HangUp();
  }
  lock.lock();
  return true;
}

// --- Dial-up ------------------------------------------------------------------------------

int Responder::DialUp() {
  dialEntry_ = settings().mail.DialName;
  if (dialConnected()) HangUp();
  const bool connected = steps_.DialConnect(dialEntry_);
  {
    // A failed dial may have opened the line partly: it is held until the hang-up below.
    std::lock_guard lock(mutex_);
    dialConnected_ = true;
  }
  if (connected) return 1;
  HangUp();
  return 0;
}

int Responder::HangUp() {
  if (!dialConnected()) return 1;
  steps_.DialHangUp(dialEntry_);
  qv::SleepMs(qv::GetTimings().hangUpPauseMs);
  std::lock_guard lock(mutex_);
  dialConnected_ = false;
  return 1;
}

bool Responder::RunGuarded(const std::function<void()>& step) {
  std::string what = "?";
  try {
    step();
    return true;
  } catch (const std::exception& error) {
    what = error.what();
  } catch (...) {
  }
  log_.Log(LOG_COMM, SJIS("予期しないエラーが起きました。次のサイクルに進みます。") + " (" + what + ")");
  return false;
}

// --- The mail-check worker ----------------------------------------------------------------

void Responder::MailCheckThreadProc() {
  // News of new mail heard while idling; it makes a check due once the timer has scheduled
  // the last one (the next-check tick is the timer's until then).
  bool news = false;
  for (;;) {
    WaitForNextLook(&news);
    const MailStep step = NextMailStep(&news);
    if (step == MailStep::kEnd) break;
    if (step == MailStep::kEndIdle) EndIdle();
    if (step != MailStep::kCheck) continue;
    // The idle ends before the check: the check opens its own connection.
    EndIdle();
    news = false;
    bool requestsAccepted = false;
    (void)RunGuarded([this, &requestsAccepted] { requestsAccepted = RunOneCheck(); });
    FinishCheck(requestsAccepted);
    (void)RunGuarded([this] { StartIdleIfWanted(); });
  }
  EndIdle();
  Announce([this] { mailWorkerRunning_ = false; });
}

void Responder::WaitForNextLook(bool* news) {
  if (idling()) {
    WaitForIdleNews(news);
    return;
  }
  const int64_t pollMs = qv::GetTimings().workerPollMs;
  std::unique_lock lock(mutex_);
  // Until the next-check tick when only the clock stands between now and the check.
  const int32_t untilDue = qv::TickDiff(nextCheckTick_, currentTick());
  const int64_t waitMs = untilDue > 0 ? std::min<int64_t>(untilDue, pollMs) : pollMs;
  changed_.wait_for(lock, Milliseconds(waitMs), [this] { return endMailWorker_ || CheckDueLocked(); });
}

void Responder::WaitForIdleNews(bool* news) {
  // An idle that fails unexpectedly counts as dropped.
  ResponderSteps::IdleNews heard = ResponderSteps::IdleNews::kDropped;
  (void)RunGuarded([this, &heard] { heard = steps_.WaitIdle(qv::GetTimings().workerPollMs); });
  if (heard == ResponderSteps::IdleNews::kNewMail) *news = true;
  if (heard == ResponderSteps::IdleNews::kDropped) {
    // Waiting on the state from here; the next check tries the idle again.
    std::lock_guard lock(mutex_);
    idling_ = false;
  }
}

Responder::MailStep Responder::NextMailStep(bool* news) {
  std::lock_guard lock(mutex_);
  if (endMailWorker_) return MailStep::kEnd;
  if (idling_ && (!patrol_ || pause_)) return MailStep::kEndIdle;
  if (*news && !checkDone_ && exitStage_ == ExitStage::kRunning) {
    nextCheckTick_ = currentTick();
    *news = false;
  }
  return CheckDueLocked() ? MailStep::kCheck : MailStep::kWait;
}

bool Responder::CheckDueLocked() const {
  // A stop asked for before a check starts starts none (no dial-up that is never hung up).
  return exitStage_ == ExitStage::kRunning && !endMailWorker_ && patrol_ && !pause_ && !captureRequested_ &&
         !checkDone_ && qv::TickDiff(nextCheckTick_, currentTick()) <= 0;
}

bool Responder::RunOneCheck() {
  const AllSettings check = settings();
  // Nothing to check with: no dial-up, no line, and the next check is scheduled as usual.
  if (!steps_.MailboxReady(check)) return false;
  const int connMode = check.mail.ConnMode;
  if (connMode != 0) {
    log_.Log(LOG_COMM, SJIS("ダイアルアップ接続"));
    if (!DialUp()) {
      log_.Log(LOG_COMM, SJIS("ダイアルアップに失敗しました。"));
      CountFailure();
      return false;
    }
  }
  log_.Log(LOG_RECV, SJIS("メールチェック"));
  const int checked = steps_.CheckMail();
  if (checked == 1) return steps_.ProcessRequests(check) == 1;
  // A mailbox that was not reached has said why; it has not been found empty.
  if (checked == 0) log_.Log(LOG_RECV, SJIS("新規メールはありませんでした。"));
  if (connMode != 0) {
    log_.Log(LOG_COMM, SJIS("ダイアルアップ切断"));
    HangUp();
  }
  return false;
}

void Responder::FinishCheck(bool requestsAccepted) {
  Announce([this, requestsAccepted] {
    if (requestsAccepted) captureRequested_ = true;
    ++checksDone_;
    checkDone_ = true;
  });
}

void Responder::StartIdleIfWanted() {
  const AllSettings current = settings();
  {
    std::lock_guard lock(mutex_);
    if (!idleAllowed_ || !patrol_ || pause_ || exitStage_ != ExitStage::kRunning || endMailWorker_) return;
  }
  // A dial-up line is not held open for news: it costs while it is up.
  if (current.mail.MailProtocol != 1 || current.mail.ImapIdle == 0 || current.mail.ConnMode != 0) return;
  const bool started = steps_.StartIdle();
  std::lock_guard lock(mutex_);
  idling_ = started;
}

void Responder::EndIdle() {
  {
    std::lock_guard lock(mutex_);
    if (!idling_) return;
    idling_ = false;
  }
  (void)RunGuarded([this] { steps_.EndIdle(); });
}

// --- The capture-and-reply worker ---------------------------------------------------------

void Responder::CaptureThreadProc() {
  std::unique_lock lock(mutex_);
  for (;;) {
    // Nothing but a request or the end wakes this worker, so it needs no deadline.
    changed_.wait(lock, [this] { return captureRequested_ || endCaptureWorker_; });
    // A pending run is finished before the worker ends: its mails are already deleted.
    if (!captureRequested_) break;
    lock.unlock();
    const bool ran = RunGuarded([this] { RunOneCapture(); });
    lock.lock();
    if (!ran) ++failures_;
    ++runsDone_;
    captureRequested_ = false;
    changed_.notify_all();
  }
  captureWorkerRunning_ = false;
  changed_.notify_all();
}

void Responder::RunOneCapture() {
  const RunContext run{settings(), workFolder_};
  time_t captureTime = time(nullptr);
  log_.Log(LOG_PICT, SJIS("画像キャプチャ"));
  bool framed;
  if (steps_.UsesSibling(run.settings.basic.DeviceName)) {
    framed = steps_.SiblingCapture(workFiles_[0]);
    if (!framed) log_.Log(LOG_PICT, SJIS("Orbiskから画像が受け取れませんでした。"));
  } else {
    int result = steps_.CaptureFrame(workFiles_[0]);
    if (result == 0) log_.Log(LOG_PICT, SJIS("画像がキャプチャできませんでした。"));
    framed = result == 1;
  }
  if (!framed) {
    CountFailure();
    return;
  }

  steps_.MakeNames(run, captureTime);
  std::string outputs[4];
  for (int k = 0; k < 4; ++k) {
    char text[256];
    std::snprintf(text, sizeof text, SJIS("%s用画像を作成しています。").c_str(), ProfileName(k).c_str());
    log_.Log(LOG_PICT, text);
    outputs[k] = steps_.MakePicture(run, k);
    long long size = qv::FileSize(outputs[k]);
    if (size >= 0) {
      std::snprintf(text, sizeof text, SJIS("%s用画像ファイズサイズ %3.1fKByte").c_str(), ProfileName(k).c_str(),
                    static_cast<double>(size) / 1024.0);
      log_.Log(LOG_PICT, text);
    }
  }
  steps_.SendReplies(run);
  if (run.settings.mail.ConnMode != 0) {
    log_.Log(LOG_COMM, SJIS("ダイアルアップ切断"));
    HangUp();
  }
  for (const std::string& file : workFiles_) unlink(file.c_str());
  for (const std::string& file : outputs) {
    if (!file.empty()) unlink(file.c_str());
  }
}
