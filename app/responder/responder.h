// The responder: the state shared by the window (or the program running without a screen)
// and the two worker threads, the two worker procedures and the scheduling of mail checks.
//
// Order of one cycle: the mail-check worker finds a check due (patrol on, no capture run
// pending, next-check tick passed, check-done flag clear), dials up when configured, checks
// the mailbox, turns accepted mails into requests and signals "QuorvexRequestCapture". The
// capture-and-reply worker takes one frame, makes the four reply pictures, sends the replies,
// hangs up and deletes the run's files, then resets the event. The owner's timer (TimerTick,
// every 500 ms) schedules the next check MailTimer minutes after a finished one and runs the
// exit stages.
//
// Between checks the mail-check worker may idle on the mailbox instead of sleeping (IMAP IDLE,
// MailProtocol 1 with ImapIdle on a LAN connection; a held dial-up line costs money): after
// each check it asks the steps to start idling; news of new mail makes a check due at once
// (once the timer has scheduled the finished one); the idle ends before each check, when the
// patrol goes off, the pause flag is set or the worker ends, and an idle the server dropped
// leaves the worker polling until the next check starts it again.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/settings/activity_log.h"
#include "app/settings/settings.h"
#include "platform/event.h"

// What one capture-and-reply run works with: one copy of the settings, taken when the run
// starts and used for every step of it (a reload meanwhile changes only the next run), and
// the work folder (with a trailing '/').
struct RunContext {
  AllSettings settings;
  std::string workFolder;
};

// The steps of a cycle that reach outside the responder: the mailbox, the camera, the picture
// pipeline and the reply sender. The real ones are in live_steps.h; tests use fakes. The
// steps know nothing of the responder: what they need comes with each call.
class ResponderSteps {
 public:
  virtual ~ResponderSteps() = default;
  // Whether a check can be made with `settings`; when not, the check is skipped without a log
  // line (the owner says once what is missing). The default: always.
  virtual bool MailboxReady(const AllSettings& /*settings*/) { return true; }
  // Fetches every waiting mail; 1 when at least one mail was fetched, 0 when the mailbox had
  // none, -1 when the mailbox was not checked (it could not be reached or refused us; logged).
  virtual int CheckMail() = 0;
  // Parses, filters and deletes the fetched mails with the filters of `settings` (the check's
  // copy), building the request list; 1 when at least one request was accepted.
  virtual int ProcessRequests(const AllSettings& settings) = 0;
  // Grabs one frame into the BMP file `path`; 1 on success.
  virtual int CaptureFrame(const std::string& path) = 0;
  // Whether the sibling camera program is the picture source for `deviceName` (its link is
  // available and the name selects it); SiblingCapture then fetches its picture into `path`,
  // true when one arrived.
  virtual bool UsesSibling(const std::string& /*deviceName*/) { return false; }
  virtual bool SiblingCapture(const std::string& /*path*/) { return false; }
  // Forms the run's output and attachment names from the capture time.
  virtual void MakeNames(const RunContext& run, time_t captureTime) = 0;
  // Makes profile k's output picture from the captured frame; returns the output file path.
  virtual std::string MakePicture(const RunContext& run, int profile) = 0;
  // Answers every request of the list with its carrier's picture.
  virtual void SendReplies(const RunContext& run) = 0;
  // Dial-up: connect the named entry (true when connected) and hang it up.
  virtual bool DialConnect(const std::string& entry) = 0;
  virtual void DialHangUp(const std::string& entry) = 0;

  // Idling on the mailbox between checks, on the mail-check worker. StartIdle, after a check:
  // true when the server now waits with us. WaitIdle waits at most `ms` for news (it must
  // return within about `ms` whatever the server does). EndIdle ends the idle at once. The
  // defaults never idle.
  enum class IdleNews { kNone, kNewMail, kDropped };
  virtual bool StartIdle() { return false; }
  virtual IdleNews WaitIdle(int64_t /*ms*/) { return IdleNews::kDropped; }
  virtual void EndIdle() {}
};

class Responder {
 public:
  // `steps` and `log` must outlive the responder.
  Responder(ResponderSteps& steps, LogSink& log);
  ~Responder();
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Sets the work folder (with a trailing '/') and forms the three work file paths.
  void SetWorkFolder(const std::string& folder);
  const std::string& workFolder() const { return workFolder_; }
  const std::string& workFile(int i) const { return workFiles_[i]; }

  // Replaces the settings the workers read. Call while the mail-check worker is paused or
  // before StartWorkers; the capture worker reads its copy at the start of each run.
  void SetSettings(const AllSettings& settings);
  AllSettings settings() const;

  // Starts the mail-check worker, then the capture-and-reply worker.
  void StartWorkers();

  // Switches the patrol on (next check due now) or off.
  void SetPatrol(bool on);
  bool patrol() const { return patrol_ != 0; }
  // Holds the mail-check worker between checks (the settings dialog is open).
  void SetPause(bool on) { pause_ = on ? 1 : 0; }
  // Makes the next check due now.
  void MakeCheckDueNow() { nextCheckTick_ = currentTick(); }
  // Whether the mail-check worker may idle between checks when the settings ask for it (on by
  // default; off for a run of one check).
  void SetIdleAllowed(bool allowed) { idleAllowed_ = allowed; }
  // Whether the mail-check worker is idling on the mailbox now.
  bool idling() const { return idling_ != 0; }

  // The owner's periodic timer: scheduling while running, then the exit stages. Returns the
  // countdown in seconds (0 when the patrol is off or a check is due).
  int TimerTick();
  // Requests the orderly exit; ignored when already requested. The exit stages then end the
  // mail-check worker (a check not yet started is not started; a running one finishes), then
  // the capture-and-reply worker after it has finished a pending run, hang up a line the
  // program dialled, and end.
  void RequestExit();
  // 0 running, 1 exit requested, 2 waiting for the workers, 3 ending, 4 ended.
  int exitStage() const { return exitStage_; }
  // True once both workers have ended after an exit request.
  bool HasEnded() const { return exitStage_ >= 3; }

  // Dial-up over the phone-book entry DialName: 1 when connected, 0 on failure.
  int DialUp();
  // Hangs up a held connection (pause from the timings record); returns 1.
  int HangUp();
  bool dialConnected() const { return dialConnected_; }

  // Whether each worker still runs.
  bool mailWorkerRunning() const { return mailWorkerMarker_ != 0; }
  bool captureWorkerRunning() const { return captureWorkerMarker_ != 0; }
  // Number of finished mail checks and capture-and-reply runs (for the owner and tests).
  int checksDone() const { return checksDone_; }
  int runsDone() const { return runsDone_; }
  // Steps of the responder's own that failed: dial-ups and frame captures (and an unexpected
  // error in a worker, which is logged and skips to the next cycle).
  int failures() const { return failures_; }

  // For tests and tools that drive the clock.
  void SetTickSource(uint32_t (*tick)()) { tickSource_ = tick; }

  qv::Event endMainThread{"QuorvexRequestEndMainThread"};
  qv::Event endCaptureThread{"QuorvexRequestEndCaptureThread"};
  qv::Event requestCapture{"QuorvexRequestCapture"};
  qv::Event liveCapture{"QuorvexLiveCapture"};

 private:
  friend void MailCheckThreadProc(Responder* responder);
  friend void CaptureThreadProc(Responder* responder);
  uint32_t currentTick() const;
  void RunOneCheck();
  // The mail-check worker's wait between two looks at the flags: an idle wait while idling
  // (news sets `*news`), otherwise a sleep of the poll period.
  void WaitBetweenPolls(bool* news);
  // After a check: starts idling when the settings and the flags allow it.
  void StartIdleIfWanted();
  void EndIdle();
  void RunOneCapture();
  bool WaitForMarker(const std::atomic<int>& marker);
  // Runs one step of a worker; an exception that escapes it is logged (the worker goes on
  // with the next cycle) and makes the result false.
  bool RunGuarded(const std::function<void()>& step);

  ResponderSteps& steps_;
  LogSink& log_;
  mutable std::mutex settingsMutex_;
  AllSettings settings_;
  std::string workFolder_;
  std::string workFiles_[3];

  std::atomic<int> patrol_{0};
  std::atomic<uint32_t> nextCheckTick_{0};
  std::atomic<int> checkDone_{0};
  std::atomic<int> pause_{0};
  std::atomic<int> mailWorkerMarker_{0};
  std::atomic<int> captureWorkerMarker_{0};
  std::atomic<int> exitStage_{0};
  std::atomic<int> checksDone_{0};
  std::atomic<int> runsDone_{0};
  std::atomic<int> failures_{0};
  std::atomic<bool> idleAllowed_{true};
  std::atomic<int> idling_{0};  // written by the mail-check worker only
  // Touched by the workers, which the capture event orders, and by the exit stage once both
  // have ended.
  bool dialConnected_ = false;
  std::string dialEntry_;
  uint32_t (*tickSource_)() = nullptr;
  std::thread mailWorker_;
  std::thread captureWorker_;
};

// The worker procedures; each clears its marker as its last act.
void MailCheckThreadProc(Responder* responder);
void CaptureThreadProc(Responder* responder);
