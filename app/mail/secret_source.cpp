#include "app/mail/secret_source.h"

#include "app/oauth/oauth_tokens.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

// The output a command may give before the rest is dropped: room for the first line and its
// line end.
constexpr size_t kOutputLimit = kSecretLineLimit + 2;

// The settings' secrets, copied once: the source outlives any change of the settings record.
class SettingsSecretSource : public SecretSource {
 public:
  explicit SettingsSecretSource(const MailSettings& mail)
      : passCommand_(mail.PassCommand),
        smtpPassCommand_(mail.SmtpPassCommand),
        password_(mail.Passwd),
        smtpPassword_(mail.SmtpPasswd),
        oauth2_(mail.AuthMethod == 1),
        builtIn_(oauth2_ && OAuthConfigured(mail)) {
    if (builtIn_) builtInUsable_ = OAuthSettingsFrom(mail, qv::SettingsPath(), &oauth_, &builtInError_);
  }

  SecretResult Get(SecretPurpose purpose) override {
    const bool submission = purpose == SecretPurpose::kSubmission;
    if (submission && !smtpPassCommand_.empty()) return RunSecretCommand("SmtpPassCommand", smtpPassCommand_);
    if (!passCommand_.empty()) return RunSecretCommand("PassCommand", passCommand_);
    if (builtIn_) return BuiltInToken(false);
    if (oauth2_) {
      // A stored password is no token: sending it to a server that expects one would hand the
      // password to whatever reads the token.
      return {false, {},
              SJIS("OAuth2(AuthMethod=1)のアクセストークンを得る方法が設定されていません。"
                   "PassCommand、または OAuthClientId と Quorvex --oauth2-login で設定してください。")};
    }
    return {true, submission && !smtpPassword_.empty() ? smtpPassword_ : password_, {}};
  }

  SecretResult Renew(SecretPurpose purpose) override {
    const bool command = !passCommand_.empty() || (purpose == SecretPurpose::kSubmission && !smtpPassCommand_.empty());
    if (builtIn_ && !command) return BuiltInToken(true);
    return Get(purpose);
  }

 private:
  const std::string passCommand_;
  const std::string smtpPassCommand_;
  const std::string password_;
  const std::string smtpPassword_;
  const bool oauth2_;
  // The built-in token handling: with AuthMethod 1, no command and OAuthClientId set.
  const bool builtIn_;
  bool builtInUsable_ = false;
  std::string builtInError_;
  OAuthSettings oauth_;
  OAuthTokens tokens_;

  SecretResult BuiltInToken(bool renew) {
    if (!builtInUsable_) return {false, {}, builtInError_};
    TokenResult token = tokens_.AccessToken(oauth_, renew);
    return {token.ok, token.accessToken, token.why};
  }
};

// How a command that did not give its secret ended, for the log.
std::string HowItEnded(const qv::ProcessResult& result) {
  switch (result.outcome) {
    case qv::ProcessOutcome::kExited:
      return SJIS("終了コード ") + std::to_string(result.exitCode);
    case qv::ProcessOutcome::kSignalled:
      return SJIS("シグナル ") + std::to_string(result.exitCode) + SJIS(" で終了");
    case qv::ProcessOutcome::kTimedOut:
      return std::to_string(qv::GetTimings().secretCommandTimeoutMs) + SJIS(" ミリ秒以内に終わらなかったため停止");
    case qv::ProcessOutcome::kNotStarted:
      break;
  }
  return SJIS("起動できません: ") + result.error;
}

}  // namespace

std::shared_ptr<SecretSource> SecretSourceOf(const MailSettings& mail) {
  return std::make_shared<SettingsSecretSource>(mail);
}

SecretResult AccountSecret(SecretSource* source, const std::string& password, SecretPurpose purpose, bool renew) {
  if (!source) return {true, password, {}};
  return renew ? source->Renew(purpose) : source->Get(purpose);
}

bool SplitCommandLine(std::string_view commandLine, std::vector<std::string>* arguments, std::string* error) {
  arguments->clear();
  std::string current;
  bool inArgument = false;
  for (size_t at = 0; at < commandLine.size(); ++at) {
    const char c = commandLine[at];
    if (c == ' ' || c == '\t') {
      if (inArgument) arguments->push_back(std::move(current));
      current.clear();
      inArgument = false;
      continue;
    }
    if (c == '\r' || c == '\n') {
      *error = "a line break outside quotes";
      return false;
    }
    inArgument = true;
    if (c == '\\') {
      if (++at == commandLine.size()) {
        *error = "a backslash at the end";
        return false;
      }
      current += commandLine[at];
    } else if (c == '\'') {
      size_t end = commandLine.find('\'', at + 1);
      if (end == std::string_view::npos) {
        *error = "a single quote without its end";
        return false;
      }
      current.append(commandLine.substr(at + 1, end - at - 1));
      at = end;
    } else if (c == '"') {
      for (++at;; ++at) {
        if (at == commandLine.size()) {
          *error = "a double quote without its end";
          return false;
        }
        if (commandLine[at] == '"') break;
        if (commandLine[at] == '\\' && at + 1 < commandLine.size() &&
            std::string_view("\\\"$`\n").find(commandLine[at + 1]) != std::string_view::npos) {
          ++at;
        }
        current += commandLine[at];
      }
    } else {
      current += c;
    }
  }
  if (inArgument) arguments->push_back(std::move(current));
  if (arguments->empty()) {
    *error = "no command";
    return false;
  }
  return true;
}

SecretResult RunSecretCommand(const char* key, std::string_view commandLine) {
  const std::string failed = std::string(key) + SJIS("のコマンドが失敗しました");
  std::vector<std::string> arguments;
  std::string why;
  if (!SplitCommandLine(commandLine, &arguments, &why)) {
    return {false, {}, std::string(key) + SJIS("のコマンドを読めません (") + why + ")"};
  }
  qv::ProcessOptions options;
  options.timeoutMs = qv::GetTimings().secretCommandTimeoutMs;
  options.captureOutput = true;
  options.outputLimit = kOutputLimit;
  qv::ProcessResult result = qv::RunProcess(arguments, options);
  if (!result.Succeeded()) return {false, {}, failed + " (" + HowItEnded(result) + ")"};
  const size_t lineFeed = result.output.find('\n');
  std::string line = result.output.substr(0, lineFeed);
  if (lineFeed == std::string::npos && result.output.size() >= kOutputLimit) line += '+';  // cut: too long
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return {false, {}, failed + SJIS(" (終了コード 0、出力なし)")};
  if (line.size() > kSecretLineLimit) {
    return {false, {}, failed + SJIS(" (終了コード 0、1行目が長すぎます)")};
  }
  return {true, std::move(line), {}};
}
