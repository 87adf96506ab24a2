#include "app/shell/headless.h"

#include <signal.h>

#include <cerrno>
#include <cstring>

#include "app/image/reduce.h"
#include "app/mail/account_check.h"
#include "app/responder/live_steps.h"
#include "app/settings/activity_log.h"
#include "app/shell/oauth_command.h"
#include "app/shell/responder_host.h"
#include "platform/dialup.h"
#include "platform/message_box.h"
#include "platform/timing.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

const char* const kCarrierNames[4] = {"au", "J-PHONE / Vodafone", "Docomo", "other"};
const char* const kFormatNames[4] = {"PNG", "JPEG", "BMP", "GIF"};

std::string Quoted(const char* cp932) {
  std::string quoted(1, '"');
  quoted += qv::Utf8FromCp932(cp932);
  quoted += '"';
  return quoted;
}

std::string OnOff(int flag) { return flag ? "on" : "off"; }

// The colours a reply picture of colour code `code` has, as a count.
std::string ColourCount(int code) {
  const int selector = qv::ColorSelectorFromCode(code);
  if (selector == qv::kNoReduction) return "full colour";
  return std::to_string(qv::PngColorCount(selector));
}

std::string Security(int security, const char* upgrade) {
  switch (security) {
    case 0:
      return "plain";
    case 1:
      return upgrade;
    case 2:
      return "TLS";
    default:
      return "security " + std::to_string(security);
  }
}

}  // namespace

std::string DescribeSettings(const AllSettings& s) {
  std::string text;
  auto line = [&text](const std::string& item) { text += item + "\n"; };
  line("capture device: " + (s.basic.DeviceName[0] ? Quoted(s.basic.DeviceName) : std::string("none chosen")));
  bool imap = s.mail.MailProtocol == 1;
  std::string folder = imap ? ", folder " + Quoted(s.mail.ImapFolder) + ", IDLE " +
                                  (s.mail.ConnMode != 0 && s.mail.ImapIdle ? "off on dial-up" : OnOff(s.mail.ImapIdle))
                            : std::string();
  line(std::string("mailbox: ") + (imap ? "IMAP " : "POP3 ") +
       (s.mail.PopServer[0] ? Quoted(s.mail.PopServer) : std::string("(no server)")) + " port " +
       std::to_string(s.mail.PopPort) + " " + Security(s.mail.PopSecurity, imap ? "STARTTLS" : "STLS") + ", user " +
       Quoted(s.mail.UserID) + folder);
  line("replies: SMTP " + (s.mail.SmtpServer[0] ? Quoted(s.mail.SmtpServer) : std::string("(no server)")) + " port " +
       std::to_string(s.mail.SmtpPort) + " " + Security(s.mail.SmtpSecurity, "STARTTLS") + ", authentication " +
       OnOff(s.mail.SmtpAuth) + ", from " + Quoted(s.mail.MailAddr) + ", POP before SMTP " +
       OnOff(s.mail.BeforeSMTP) + ", subject " + Quoted(s.send.Title));
  if (s.mail.CaFile[0]) line("extra trusted certificates: " + Quoted(s.mail.CaFile));
  line(s.mail.ConnMode == 0 ? std::string("connection: LAN")
                            : "connection: dial-up through " + Quoted(s.mail.DialName));
  line("mail check: every " + std::to_string(s.basic.MailTimer) +
       " minutes; without a window the patrol is always on, so the first check runs at once");
  line("filters: address list " + OnOff(s.filter.MailFill) + " (mode " + std::to_string(s.filter.FiltMode) +
       "), subject filter " + OnOff(s.filter.TitleFilt) + " " + Quoted(s.filter.TitleFiltText) +
       ", refused mails " + (s.filter.RcvDelete ? "deleted" : "kept"));
  auto limit = [](int value, const char* per) {
    return value > 0 ? std::to_string(value) + " " + per : std::string("no limit ") + per;
  };
  line("reply limits: " + limit(s.filter.SenderHourLimit, "per sender and hour") + ", " +
       limit(s.filter.DayLimit, "per day"));
  for (int k = 0; k < 4; ++k) {
    const PictSettings& p = s.pict[k];
    std::string format = p.Type >= 0 && p.Type <= 3 ? kFormatNames[p.Type] : "format " + std::to_string(p.Type);
    line("picture for " + std::string(kCarrierNames[k]) + ": " + format + " " + std::to_string(p.Width) + "x" +
         std::to_string(p.Height) + ", quality " + std::to_string(p.PictQuality) + ", colours " +
         ColourCount(p.ColorNum));
  }
  line(s.converterInstalled ? "GIF converter: " + s.converterPath
                            : std::string("GIF converter: not registered (GIF pictures are sent as JPEG)"));
  line(s.basic.LogOutput ? "log files: " +
                               (s.basic.LogFolder[0] ? Quoted(s.basic.LogFolder) : qv::ProgramDataFolder() + "log/") +
                               (s.basic.LogKeepDays > 0 ? ", kept " + std::to_string(s.basic.LogKeepDays) + " days"
                                                        : std::string(", kept for ever"))
                         : std::string("log files: off"));
  return text;
}

namespace {

// Prints each log line as it is appended, converted for the terminal.
void PrintLogLine(FILE* out, const std::string& line) {
  std::fprintf(out, "%s\n", qv::Utf8FromCp932(line).c_str());
  std::fflush(out);
}

// Prints one line "Quorvex: ..." at once.
void Say(FILE* out, const std::string& text) {
  std::fprintf(out, "Quorvex: %s\n", text.c_str());
  std::fflush(out);
}

// Waits one timer period for a stop signal; true when one came.
bool WaitForStopSignal(const sigset_t& stopSignals, int64_t periodMs, int* signal) {
  timespec period{static_cast<time_t>(periodMs / 1000), static_cast<long>((periodMs % 1000) * 1000000)};
  siginfo_t info;
  int received = sigtimedwait(&stopSignals, &info, &period);
  if (received <= 0) return false;
  *signal = received;
  return true;
}

// The owner's side of the run without a window: the stop signals, the timer and the window
// messages, until the exit stages are through.
class HeadlessOwner {
 public:
  HeadlessOwner(ResponderHost& host, const CommandLineOptions& options, const sigset_t& stopSignals, FILE* out)
      : host_(host), responder_(host.responder()), options_(options), stopSignals_(stopSignals), out_(out) {}

  void Run() {
    const int64_t periodMs = qv::GetTimings().windowTimerMs;
    while (!responder_.HasEnded()) {
      int signal = 0;
      if (WaitForStopSignal(stopSignals_, periodMs, &signal)) OnSignal(signal);
      if (options_.once && responder_.exitStage() == ExitStage::kRunning && responder_.checksDone() >= 1 &&
          !responder_.capturePending()) {
        responder_.SetPatrol(false);
        responder_.RequestExit();
      }
      host_.PumpWindowMessages();
      // With --once the timer only runs the exit stages: a second check is never scheduled.
      if (!options_.once || responder_.exitStage() != ExitStage::kRunning) responder_.TimerTick();
    }
  }

 private:
  void OnSignal(int signal) {
    if (signal == SIGHUP) {
      // The daemon convention: read the settings and the address list again, as the settings
      // command does; a running check goes on with what it had. With --once the check done
      // keeps any further check from starting.
      if (stopped_) return;
      host_.ReloadSettings();
      Say(out_, "settings read again from " + host_.settingsPath());
    } else if (!stopped_) {
      stopped_ = true;
      Say(out_, std::string("stopping (") + (signal == SIGINT ? "interrupt" : "terminate") +
                    ") after the running cycle; signal again to stop at once");
      responder_.RequestExit();
    } else if (!qv::AbortRequested()) {
      // A second stop: every wait of the running cycle ends now, then the usual clean-up.
      Say(out_, "stopping at once");
      qv::RequestAbort();
    }
  }

  ResponderHost& host_;
  Responder& responder_;
  const CommandLineOptions& options_;
  const sigset_t& stopSignals_;
  FILE* out_;
  bool stopped_ = false;
};

// Says where the settings file is, and that the program runs without a window when no display
// was found.
void SayStart(const CommandLineOptions& options, FILE* out) {
  const std::string path = qv::SettingsPath();
  const bool present = qv::FileSize(path) >= 0;
  Say(out, "settings file " + path +
               (present ? "" : " (not there yet: it is made with the first settings, which answer nobody until a "
                               "sender is listed)"));
  if (options.headlessImplied) Say(out, "no display found, so Quorvex runs without a window (as --headless)");
}

void SayWhatItWouldDo(const AllSettings& settings, FILE* out) {
  const std::string description = DescribeSettings(settings);
  for (std::string_view line : qv::SplitLines(description)) Say(out, std::string(line));
}

}  // namespace

int RunHeadless(const CommandLineOptions& options, FILE* out) {
  // Block the stop signals first, in every thread started later too, so that they are taken
  // only by the wait of the owner's loop.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  if (options.timingScale >= 0) qv::ScaleTimings(options.timingScale);
  // Message boxes of device selection go to standard error.
  qv::SetMessageBoxSink([](const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "%s: %s\n", qv::Utf8FromCp932(caption).c_str(), qv::Utf8FromCp932(text).c_str());
  });
  if (!options.iniPath.empty()) qv::SetSettingsPathOverride(options.iniPath);
  SayStart(options, out);

  ResponderHost host;
  host.log().SetListener([out](const std::string& line) { PrintLogLine(out, line); });
  if (!host.Open()) return 1;
  SayWhatItWouldDo(host.settings(), out);
  host.SelectDevice(nullptr, true);

  Responder& responder = host.responder();
  // One check needs no idle session afterwards.
  responder.SetIdleAllowed(!options.once);
  responder.StartWorkers();
  responder.SetPatrol(true);
  Say(out, options.once ? "checking the mailbox once" : "running; stop with Ctrl+C");
  HeadlessOwner(host, options, stopSignals, out).Run();

  host.Close();
  Say(out, "stopped");
  if (options.once) {
    if (!MissingMailSettings(host.settings().mail).empty()) return 2;
    LiveSteps* steps = host.liveSteps();
    return OnceStatus(steps->lastLoginFailed(), responder.failures(), steps->failedReplies(), steps->heldRequests());
  }
  return 0;
}

int OnceStatus(bool loginFailed, int failures, int failedReplies, int heldRequests) {
  if (loginFailed) return 2;
  return failures > 0 || failedReplies > 0 || heldRequests > 0 ? 1 : 0;
}

int RunAccountCheck(const CommandLineOptions& options, FILE* out) {
  if (options.timingScale >= 0) qv::ScaleTimings(options.timingScale);
  if (!options.iniPath.empty()) qv::SetSettingsPathOverride(options.iniPath);
  std::string path = qv::SettingsPath();
  AllSettings settings;
  LoadAllSettings(path.c_str(), &settings);
  std::fprintf(out, "Quorvex: settings file %s\n", path.c_str());
  if (std::string setup = MailSetupMessage(settings.mail); !setup.empty()) {
    std::fprintf(out, "Quorvex: %s\n", qv::Utf8FromCp932(setup).c_str());
  }
  bool dialled = false;
  if (settings.mail.ConnMode != 0) {
    dialled = qv::DialConnect(settings.mail.DialName);
    std::fprintf(out, "dial-up %s ... %s\n", Quoted(settings.mail.DialName).c_str(), dialled ? "OK" : "NG");
    if (!dialled) return 1;
  }
  bool tokenWorks = true;
  if (OAuthConfigured(settings.mail)) {
    std::string line;
    tokenWorks = CheckOAuthToken(settings.mail, path, &line);
    std::fprintf(out, "%s\n", qv::Utf8FromCp932(line).c_str());
  }
  std::vector<AccountCheckLine> report;
  int working = CheckAccounts(settings.mail, &report);
  for (const AccountCheckLine& line : report) {
    std::fprintf(out, "%s%s\n", line.step ? "" : "  ", qv::Utf8FromCp932(line.text).c_str());
  }
  if (dialled) qv::DialHangUp(settings.mail.DialName);
  std::fflush(out);
  return working == 1 && tokenWorks ? 0 : 1;
}
