#include "app/shell/headless.h"

#include <signal.h>

#include "platform/files.h"
#include "platform/text.h"

namespace {

const char* const kCarrierNames[4] = {"au", "J-PHONE / Vodafone", "Docomo", "other"};
const char* const kFormatNames[4] = {"PNG", "JPEG", "BMP", "GIF"};

std::string Quoted(const char* cp932) { return "\"" + qv::Utf8FromCp932(cp932) + "\""; }

std::string OnOff(int flag) { return flag ? "on" : "off"; }

}  // namespace

std::string DescribeSettings(const AllSettings& s) {
  std::string text;
  auto line = [&text](const std::string& item) { text += item + "\n"; };
  line("capture device: " + (s.basic.DeviceName[0] ? Quoted(s.basic.DeviceName) : std::string("none chosen")));
  line("mailbox: POP3 " + (s.mail.PopServer[0] ? Quoted(s.mail.PopServer) : std::string("(no server)")) + " port " +
       std::to_string(s.mail.PopPort) + ", user " + Quoted(s.mail.UserID));
  line("replies: SMTP " + (s.mail.SmtpServer[0] ? Quoted(s.mail.SmtpServer) : std::string("(no server)")) + " port " +
       std::to_string(s.mail.SmtpPort) + ", from " + Quoted(s.mail.MailAddr) + ", POP before SMTP " +
       OnOff(s.mail.BeforeSMTP) + ", subject " + Quoted(s.send.Title));
  line(s.mail.ConnMode == 0 ? std::string("connection: LAN")
                            : "connection: dial-up through " + Quoted(s.mail.DialName));
  line("mail check: every " + std::to_string(s.basic.MailTimer) + " minutes, patrol " +
       (s.basic.WakeUpMail ? "on at start (first check at once)" : "off at start"));
  line("filters: address list " + OnOff(s.filter.MailFill) + " (mode " + std::to_string(s.filter.FiltMode) +
       "), subject filter " + OnOff(s.filter.TitleFilt) + " " + Quoted(s.filter.TitleFiltText) +
       ", refused mails " + (s.filter.RcvDelete ? "deleted" : "kept"));
  for (int k = 0; k < 4; ++k) {
    const PictSettings& p = s.pict[k];
    std::string format = p.Type >= 0 && p.Type <= 3 ? kFormatNames[p.Type] : "format " + std::to_string(p.Type);
    line("picture for " + std::string(kCarrierNames[k]) + ": " + format + " " + std::to_string(p.Width) + "x" +
         std::to_string(p.Height) + ", quality " + std::to_string(p.PictQuality) + ", colours " +
         std::to_string(p.ColorNum));
  }
  line(s.converterInstalled ? "GIF converter: " + s.converterPath
                            : std::string("GIF converter: not registered (GIF pictures are sent as JPEG)"));
  line(s.basic.LogOutput ? "log files: " + (s.basic.LogFolder[0] ? Quoted(s.basic.LogFolder)
                                                                  : qv::ProgramFolder() + "log/")
                         : std::string("log files: off"));
  return text;
}

int RunHeadless(const CommandLineOptions& options, FILE* out) {
  // Block the stop signals first, so that one arriving early waits for sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  if (!options.iniPath.empty()) qv::SetSettingsPathOverride(options.iniPath);
  std::string path = qv::SettingsPath();
  bool present = qv::FileSize(path) >= 0;
  std::fprintf(out, "Quorvex: settings file %s%s\n", path.c_str(),
               present ? "" : " (not there yet: the defaults are used)");
  if (options.headlessImplied) {
    std::fprintf(out, "Quorvex: there is no window yet, so Quorvex runs without one (as --headless)\n");
  }
  AllSettings settings;
  LoadAllSettings(path.c_str(), &settings);
  std::string description = DescribeSettings(settings);
  size_t start = 0;
  while (start < description.size()) {
    size_t end = description.find('\n', start);
    std::fprintf(out, "Quorvex: %s\n", description.substr(start, end - start).c_str());
    start = end + 1;
  }
  std::fprintf(out, "Quorvex: waiting; stop with Ctrl+C\n");
  std::fflush(out);

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  std::fprintf(out, "Quorvex: stopped (%s)\n", signal == SIGINT ? "interrupt" : "terminate");
  std::fflush(out);
  return 0;
}
