#include "app/shell/oauth_command.h"

#include "app/settings/activity_log.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

// Log lines of a terminal command, on its error stream in UTF-8.
class TerminalLog : public LogSink {
 public:
  explicit TerminalLog(FILE* err) : err_(err) {}
  void AppendLog(const std::string& line) override {
    std::fprintf(err_, "%s\n", qv::Utf8FromCp932(line).c_str());
    std::fflush(err_);
  }

 private:
  FILE* err_;
};

}  // namespace

int RunOAuthLogin(const CommandLineOptions& options, FILE* out, FILE* err, const BrowserOpener& open) {
  if (options.timingScale >= 0) qv::ScaleTimings(options.timingScale);
  if (!options.iniPath.empty()) qv::SetSettingsPathOverride(options.iniPath);
  std::string path = qv::SettingsPath();
  MailSettings mail;
  LoadMailSettings(path.c_str(), &mail);
  std::fprintf(out, "Quorvex: settings file %s\n", path.c_str());
  OAuthSettings settings;
  std::string why;
  if (!OAuthSettingsFrom(mail, path, &settings, &why)) {
    std::fprintf(err, "Quorvex: %s\n", qv::Utf8FromCp932(why).c_str());
    return 1;
  }
  TerminalLog log(err);
  OAuthTokens tokens(&log);
  LoginResult login = options.browser ? tokens.BrowserLogin(settings, out, open) : tokens.DeviceLogin(settings, out);
  if (!login.ok) {
    std::fprintf(err, "Quorvex: %s\n", qv::Utf8FromCp932(login.why).c_str());
    return 1;
  }
  std::fprintf(out, "Quorvex: %s %s\n", qv::Utf8FromCp932(SJIS("ログインしました。トークンの保存先:")).c_str(),
               settings.tokenFile.c_str());
  return 0;
}

bool CheckOAuthToken(const MailSettings& mail, const std::string& settingsPath, std::string* line) {
  OAuthSettings settings;
  std::string why;
  bool ok = OAuthSettingsFrom(mail, settingsPath, &settings, &why);
  if (ok) {
    OAuthTokens tokens;
    TokenResult token = tokens.AccessToken(settings, false);
    ok = token.ok;
    why = token.why;
  }
  *line = ok ? SJIS("OAuth2 アクセストークン ... OK") : SJIS("OAuth2 アクセストークン ... NG: ") + why;
  return ok;
}
