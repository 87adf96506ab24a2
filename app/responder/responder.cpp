#include "app/responder/responder.h"

#include <unistd.h>

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

}  // namespace

Responder::Responder(ResponderSteps& steps, LogSink& log) : steps_(steps), log_(log) {}

Responder::~Responder() {
  // An owner that never ran the exit stages still must not leave threads running.
  endMainThread.Set();
  endCaptureThread.Set();
  if (mailWorker_.joinable()) mailWorker_.join();
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
  std::lock_guard lock(settingsMutex_);
  settings_ = settings;
}

AllSettings Responder::settings() const {
  std::lock_guard lock(settingsMutex_);
  return settings_;
}

uint32_t Responder::currentTick() const { return tickSource_ ? tickSource_() : qv::GetTickCount32(); }

void Responder::SetPatrol(bool on) {
  if (on) nextCheckTick_ = currentTick();
  patrol_ = on ? 1 : 0;
}

void Responder::StartWorkers() {
  mailWorkerMarker_ = 1;
  mailWorker_ = std::thread(MailCheckThreadProc, this);
  captureWorkerMarker_ = 1;
  captureWorker_ = std::thread(CaptureThreadProc, this);
}

int Responder::TimerTick() {
  switch (exitStage_.load()) {
    case 0: {
      if (!patrol_) return 0;
      uint32_t now = currentTick();
      int32_t remaining = qv::TickDiff(nextCheckTick_, now);
      if (remaining > 0) return (remaining + 999) / 1000;
      if (checkDone_.load(std::memory_order_acquire)) {
        // The next tick is in place before the flag clears: a worker that sees the flag clear
        // sees the new tick too, and never starts an extra check on the old one.
        int minutes = settings().basic.MailTimer;
        nextCheckTick_.store(now + static_cast<uint32_t>(static_cast<int64_t>(minutes) * 60000),
                             std::memory_order_release);
        checkDone_.store(0, std::memory_order_release);
      }
      return 0;
    }
    case 1:
      // Only the mail-check worker is told to end now: a check that is running may still
      // delete accepted mails and ask for their replies.
      endMainThread.Set();
      exitStage_ = 2;
      return 0;
    case 2:
      // The capture worker ends after the mail-check worker, and finishes a pending run first,
      // so no deleted request goes unanswered. The request list is kept until then.
      if (!WaitForMarker(mailWorkerMarker_)) return 0;
      endCaptureThread.Set();
      if (!WaitForMarker(captureWorkerMarker_)) return 0;
      if (mailWorker_.joinable()) mailWorker_.join();
      if (captureWorker_.joinable()) captureWorker_.join();
      // The workers are gone; a line the program dialled is not left open.
      if (dialConnected_) {
        log_.Log(LOG_COMM, SJIS("ダイアルアップ切断"));
        HangUp();
      }
      exitStage_ = 3;
      return 0;
    case 3:
      exitStage_ = 4;
      return 0;
    default:
      return 0;
  }
}

bool Responder::WaitForMarker(const std::atomic<int>& marker) {
  if (marker == 0) return true;
  qv::SleepMs(qv::GetTimings().shutdownPollMs);
  return marker == 0;
}

void Responder::RequestExit() {
  int running = 0;
  exitStage_.compare_exchange_strong(running, 1);
}

int Responder::DialUp() {
  dialEntry_ = settings().mail.DialName;
  if (dialConnected_) HangUp();
  if (steps_.DialConnect(dialEntry_)) {
    dialConnected_ = true;
    return 1;
  }
  // A partly opened connection is released, as after any failed dial.
  dialConnected_ = true;
  HangUp();
  return 0;
}

int Responder::HangUp() {
  if (dialConnected_) {
    steps_.DialHangUp(dialEntry_);
    qv::SleepMs(qv::GetTimings().hangUpPauseMs);
    dialConnected_ = false;
  }
  return 1;
}

void Responder::RunOneCheck() {
  const AllSettings check = settings();
  if (!steps_.MailboxReady(check)) {
    // Nothing to check with: no dial-up, no line, and the next check is scheduled as usual.
    ++checksDone_;
    checkDone_ = 1;
    return;
  }
  int connMode = check.mail.ConnMode;
  bool dialed = true;
  if (connMode != 0) {
    log_.Log(LOG_COMM, SJIS("ダイアルアップ接続"));
    if (!DialUp()) {
      log_.Log(LOG_COMM, SJIS("ダイアルアップに失敗しました。"));
      ++failures_;
      dialed = false;
    }
  }
  if (dialed) {
    log_.Log(LOG_RECV, SJIS("メールチェック"));
    const int checked = steps_.CheckMail();
    if (checked == 1) {
      if (steps_.ProcessRequests(check) == 1) requestCapture.Set();
    } else {
      // A mailbox that was not reached has said why; it has not been found empty.
      if (checked == 0) log_.Log(LOG_RECV, SJIS("新規メールはありませんでした。"));
      if (connMode != 0) {
        log_.Log(LOG_COMM, SJIS("ダイアルアップ切断"));
        HangUp();
      }
    }
  }
  ++checksDone_;
  checkDone_ = 1;
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

void Responder::WaitBetweenPolls(bool* news) {
  const int64_t pollMs = qv::GetTimings().workerPollMs;
  if (!idling_) {
    qv::SleepMs(pollMs);
    return;
  }
  // An idle that fails unexpectedly counts as dropped.
  ResponderSteps::IdleNews heard = ResponderSteps::IdleNews::kDropped;
  (void)RunGuarded([&] { heard = steps_.WaitIdle(pollMs); });
  switch (heard) {
    case ResponderSteps::IdleNews::kNewMail:
      *news = true;
      break;
    case ResponderSteps::IdleNews::kDropped:
      // Polling every MailTimer minutes from here; the next check tries the idle again.
      idling_ = 0;
      break;
    case ResponderSteps::IdleNews::kNone:
      break;
  }
}

void Responder::StartIdleIfWanted() {
  if (!idleAllowed_ || !patrol_ || pause_ || exitStage_ != 0 || endMainThread.IsSet()) return;
  const AllSettings current = settings();
  // A dial-up line is not held open for news: it costs while it is up.
  if (current.mail.MailProtocol != 1 || current.mail.ImapIdle == 0 || current.mail.ConnMode != 0) return;
  idling_ = steps_.StartIdle() ? 1 : 0;
}

void Responder::EndIdle() {
  if (!idling_) return;
  idling_ = 0;
  (void)RunGuarded([this] { steps_.EndIdle(); });
}

void MailCheckThreadProc(Responder* r) {
  const qv::Timings& timings = qv::GetTimings();
  // News of new mail arrived while idling; the check is made due once the timer has scheduled
  // the last one (the tick belongs to the timer until then).
  bool news = false;
  while (!r->endMainThread.IsSet()) {
    r->WaitBetweenPolls(&news);
    if (r->idling_ && (!r->patrol_ || r->pause_)) r->EndIdle();
    while (!r->endMainThread.IsSet() && r->pause_) qv::SleepMs(timings.workerPollMs);
    // A stop asked for before a check starts starts none (no dial-up that is never hung up).
    if (r->endMainThread.IsSet() || r->exitStage_ != 0) continue;
    if (news && r->checkDone_.load(std::memory_order_acquire) == 0) {
      r->nextCheckTick_.store(r->currentTick(), std::memory_order_release);
      news = false;
    }
    // The flag first, then the tick: the timer moves the tick before it clears the flag.
    bool due = r->patrol_ && !r->requestCapture.IsSet() &&
               r->checkDone_.load(std::memory_order_acquire) == 0 &&
               qv::TickDiff(r->nextCheckTick_.load(std::memory_order_acquire), r->currentTick()) <= 0;
    if (!due || r->pause_) continue;
    // The idle ends before the check: the check opens its own connection.
    r->EndIdle();
    news = false;
    if (!r->RunGuarded([r] { r->RunOneCheck(); })) {
      ++r->checksDone_;
      r->checkDone_ = 1;
    }
    (void)r->RunGuarded([r] { r->StartIdleIfWanted(); });
  }
  r->EndIdle();
  r->mailWorkerMarker_ = 0;
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
    ++failures_;
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

void CaptureThreadProc(Responder* r) {
  const qv::Timings& timings = qv::GetTimings();
  qv::SleepMs(timings.workerPollMs);
  for (;;) {
    // A pending run is finished before the worker ends: its mails are already deleted.
    if (r->requestCapture.IsSet()) {
      if (!r->RunGuarded([r] { r->RunOneCapture(); })) ++r->failures_;
      ++r->runsDone_;
      r->requestCapture.Reset();
      qv::SleepMs(timings.workerPollMs);
      continue;
    }
    if (r->endCaptureThread.IsSet()) break;
    qv::SleepMs(timings.workerPollMs);
  }
  r->captureWorkerMarker_ = 0;
}
