// The responder: the state shared by the owner (the window, or the program running without a
// screen) and the two worker threads, the two workers and the scheduling of mail checks.
//
// Order of one cycle: the mail-check worker finds a check due (patrol on, not paused, no
// capture run pending, next-check tick passed, check-done flag clear), dials up when
// configured, checks the mailbox, turns accepted mails into requests and, in the step that
// marks the check done, hands them to the capture-and-reply worker ("QuorvexRequestCapture").
// That worker takes one frame, makes the four reply pictures, sends the replies, hangs up and
// deletes the run's files, then clears the request, which lets the next check start. The
// owner's timer (TimerTick, every 500 ms) schedules the next check MailTimer minutes after a
// finished one and runs the exit stages.
//
// Threads and locks: everything the owner and the workers share (the settings, the patrol,
// pause, next-check tick, check-done and capture-request flags, the end requests, whether each
// worker runs, the exit stage, the counters, the idle and dial-up state) sits behind one mutex,
// and every change of it is announced on one condition variable. The workers wait on it with
// a deadline: the mail-check worker until a check is due (it looks at the clock again at least
// every worker poll period, because the tick may come from a clock that cannot wake it), the
// capture worker until a run is asked for or it is told to end. No step outside the responder
// (mailbox, camera, pictures, replies, dial-up) is called with the mutex held.
//
// Between checks the mail-check worker may idle on the mailbox instead of waiting on the
// state (IMAP IDLE, MailProtocol 1 with ImapIdle on a LAN connection; a held dial-up line
// costs money): after each check it asks the steps to start idling; news of new mail makes a
// check due at once (once the timer has scheduled the finished one); the idle ends before each
// check, when the patrol goes off, the pause flag is set or the worker ends, and an idle the
// server dropped leaves the worker waiting on the state until the next check starts it again.
// While idling it notices a change of the state within one poll period (the idle's own wait).
#pragma once

#include <condition_variable>
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

// The exit stages, in the order the owner's timer runs through them after an exit request.
enum class ExitStage {
  kRunning,            // no exit requested
  kRequested,          // the next tick tells the mail-check worker to end
  kWaitingForWorkers,  // the mail-check worker ends, then the capture worker after a pending run
  kEnding,             // both workers have ended: the owner ends at this tick
  kEnded,
};

class Responder {
 public:
  // `steps` and `log` must outlive the responder.
  Responder(ResponderSteps& steps, LogSink& log);
  // Ends the workers of an owner that never ran the exit stages, in their order: a running
  // check finishes, then the capture run it asked for, then the capture worker ends.
  ~Responder();
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Sets the work folder (with a trailing '/') and forms the three work file paths. Before
  // StartWorkers.
  void SetWorkFolder(const std::string& folder);
  const std::string& workFile(int i) const { return workFiles_[i]; }

  // Replaces the settings the workers read. A check reads its copy when it starts, a capture
  // run when it starts; neither sees a change halfway.
  void SetSettings(const AllSettings& settings);
  AllSettings settings() const;

  // Starts the mail-check worker, then the capture-and-reply worker. Once only.
  void StartWorkers();

  // Switches the patrol on (next check due now) or off.
  void SetPatrol(bool on);
  [[nodiscard]] bool patrol() const { return Read(patrol_); }
  // Holds the mail-check worker between checks (a running check finishes); the capture worker
  // is not held.
  void SetPause(bool on);
  // Makes the next check due now.
  void MakeCheckDueNow();
  // Whether the mail-check worker may idle between checks when the settings ask for it (on by
  // default; off for a run of one check).
  void SetIdleAllowed(bool allowed);
  // Whether the mail-check worker is idling on the mailbox now.
  [[nodiscard]] bool idling() const { return Read(idling_); }

  // The owner's periodic timer: scheduling while running, then the exit stages. Returns the
  // countdown in seconds (0 when the patrol is off or a check is due). In the stage that waits
  // for the workers it blocks up to twice the shutdown poll period.
  int TimerTick();
  // Requests the orderly exit; ignored when already requested. The exit stages then end the
  // mail-check worker (a check not yet started is not started; a running one finishes), then
  // the capture-and-reply worker after it has finished a pending run, hang up a line the
  // program dialled, and end.
  void RequestExit();
  [[nodiscard]] ExitStage exitStage() const { return Read(exitStage_); }
  // True once both workers have ended after an exit request.
  [[nodiscard]] bool HasEnded() const;

  [[nodiscard]] bool dialConnected() const { return Read(dialConnected_); }

  // Whether each worker still runs.
  [[nodiscard]] bool mailWorkerRunning() const { return Read(mailWorkerRunning_); }
  [[nodiscard]] bool captureWorkerRunning() const { return Read(captureWorkerRunning_); }
  // Whether a capture-and-reply run is asked for or under way ("QuorvexRequestCapture"); no
  // check starts meanwhile.
  [[nodiscard]] bool capturePending() const { return Read(captureRequested_); }
  // Number of finished mail checks and capture-and-reply runs (for the owner and tests).
  [[nodiscard]] int checksDone() const { return Read(checksDone_); }
  [[nodiscard]] int runsDone() const { return Read(runsDone_); }
  // Steps of the responder's own that failed: dial-ups and frame captures (and an unexpected
  // error in a worker, which is logged and skips to the next cycle).
  [[nodiscard]] int failures() const { return Read(failures_); }

  // For tests and tools that drive the clock. Before StartWorkers.
  void SetTickSource(uint32_t (*tick)()) { tickSource_ = tick; }

  // Set by the window when the sibling program's picture is ready; the capture worker waits
  // for it during a sibling capture.
  qv::Event liveCapture{"QuorvexLiveCapture"};

 private:
  // What the mail-check worker does after a look at the state.
  enum class MailStep { kWait, kEndIdle, kCheck, kEnd };

  uint32_t currentTick() const;
  // The two workers; each marks itself ended as its last act.
  void MailCheckThreadProc();
  void CaptureThreadProc();
  // The mail-check worker's wait between two looks: the idle's wait for news while idling
  // (news sets `*news`), otherwise a wait on the state until a check is due or the worker is
  // to end, at most one poll period.
  void WaitForNextLook(bool* news);
  void WaitForIdleNews(bool* news);
  // Decides the next step from the state; turns `*news` into a due check when the timer has
  // scheduled the last one.
  MailStep NextMailStep(bool* news);
  // One mail check; true when requests were accepted for a capture-and-reply run.
  bool RunOneCheck();
  // Marks the check done (whatever its outcome) and hands accepted requests to the capture
  // worker, in one step.
  void FinishCheck(bool requestsAccepted);
  // After a check: starts idling when the settings and the state allow it.
  void StartIdleIfWanted();
  void EndIdle();
  void RunOneCapture();
  // Exit stage kWaitingForWorkers: true once both workers have ended in order and the line is
  // hung up.
  bool EndWorkers(std::unique_lock<std::mutex>& lock);
  // Dial-up over the phone-book entry DialName (1 when connected, 0 on failure) and hanging
  // up a held connection (pause from the timings record; returns 1). Called by the worker
  // that owns the cycle, or by the exit stage once both workers have ended.
  int DialUp();
  int HangUp();
  void CountFailure();
  // Runs one step of a worker; an exception that escapes it is logged (the worker goes on
  // with the next cycle) and makes the result false.
  bool RunGuarded(const std::function<void()>& step);

  // One field of the shared state, read under the mutex.
  template <typename T>
  T Read(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }
  // Changes the shared state under the mutex and announces the change.
  template <typename Change>
  void Announce(Change&& change) {
    {
      std::lock_guard lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  // Under mutex_: a check is due now.
  bool CheckDueLocked() const;
  // Under mutex_: the timer's scheduling; the countdown in seconds.
  int ScheduleLocked();

  ResponderSteps& steps_;
  LogSink& log_;
  std::string workFolder_;
  std::string workFiles_[3];
  uint32_t (*tickSource_)() = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // announces every change of the state below
  AllSettings settings_;
  bool patrol_ = false;
  bool pause_ = false;
  uint32_t nextCheckTick_ = 0;
  bool checkDone_ = false;         // set by the mail-check worker, cleared by the timer
  bool captureRequested_ = false;  // set by the mail-check worker, cleared by the capture worker
  bool endMailWorker_ = false;     // "QuorvexRequestEndMainThread"
  bool endCaptureWorker_ = false;  // "QuorvexRequestEndCaptureThread"
  bool mailWorkerRunning_ = false;
  bool captureWorkerRunning_ = false;
  ExitStage exitStage_ = ExitStage::kRunning;
  int checksDone_ = 0;
  int runsDone_ = 0;
  int failures_ = 0;
  bool idleAllowed_ = true;
  bool idling_ = false;  // written by the mail-check worker only
  bool dialConnected_ = false;

  // The entry dialled; touched by the worker that owns the cycle (the capture request orders
  // the two) and by the exit stage once both have ended.
  std::string dialEntry_;
  std::thread mailWorker_;
  std::thread captureWorker_;
};
