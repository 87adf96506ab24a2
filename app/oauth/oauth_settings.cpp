#include "app/oauth/oauth_settings.h"

#include <cctype>

#include "app/oauth/token_file.h"
#include "platform/text.h"

namespace {

struct Preset {
  const char* device;
  const char* token;
  const char* authorize;
  const char* scope;
};

// Microsoft's common endpoint serves personal and work accounts alike; offline_access asks for
// the refresh token. Google hands out a refresh token to installed applications without a scope
// for it.
constexpr Preset kMicrosoft{
    "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode",
    "https://login.microsoftonline.com/common/oauth2/v2.0/token",
    "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
    "offline_access https://outlook.office.com/IMAP.AccessAsUser.All "
    "https://outlook.office.com/POP.AccessAsUser.All https://outlook.office.com/SMTP.Send"};
constexpr Preset kGoogle{"https://oauth2.googleapis.com/device/code", "https://oauth2.googleapis.com/token",
                         "https://accounts.google.com/o/oauth2/v2/auth", "https://mail.google.com/"};

bool Fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

}  // namespace

bool OAuthConfigured(const MailSettings& mail) { return mail.OAuthClientId[0] != '\0'; }

bool OAuthSettingsFrom(const MailSettings& mail, const std::string& settingsPath, OAuthSettings* settings,
                       std::string* why) {
  OAuthSettings result;
  switch (mail.OAuthProvider) {
    case static_cast<int>(OAuthProviderKind::kMicrosoft):
    case static_cast<int>(OAuthProviderKind::kGoogle): {
      const Preset& preset = mail.OAuthProvider == 0 ? kMicrosoft : kGoogle;
      result.deviceUrl = preset.device;
      result.tokenUrl = preset.token;
      result.authorizeUrl = preset.authorize;
      result.scope = preset.scope;
      break;
    }
    case static_cast<int>(OAuthProviderKind::kCustom):
      result.deviceUrl = mail.OAuthDeviceUrl;
      result.tokenUrl = mail.OAuthTokenUrl;
      result.authorizeUrl = mail.OAuthAuthUrl;
      result.scope = mail.OAuthScope;
      break;
    default:
      return Fail(why, SJIS("OAuthProvider=") + std::to_string(mail.OAuthProvider) +
                           SJIS(" は不明なプロバイダーです (0 Microsoft、1 Google、2 カスタム)。"));
  }
  if (!OAuthConfigured(mail)) return Fail(why, SJIS("OAuthClientId が設定されていません。"));
  result.clientId = mail.OAuthClientId;
  result.clientSecret = mail.OAuthClientSecret;
  result.tokenFile = TokenFilePath(settingsPath);
  *settings = std::move(result);
  return true;
}

bool CheckEndpointUrl(const std::string& url, const char* what, std::string* why) {
  auto refuse = [&](const char* reason) {
    return Fail(why, std::string(what) + SJIS(" のアドレスは使えません (") + qv::Cp932FromUtf8(reason) + SJIS(")。"));
  };
  if (url.empty()) return refuse("空です");
  for (unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7F) return refuse("空白、制御文字または ASCII 以外の文字を含みます");
  }
  std::string lower;
  for (unsigned char c : url) lower += static_cast<char>(std::tolower(c));
  bool https = lower.starts_with("https://");
  if (!https && !lower.starts_with("http://")) return refuse("https で始まりません");
  size_t hostStart = lower.find("://") + 3;
  size_t hostEnd = lower.find_first_of("/?#", hostStart);
  std::string authority = lower.substr(hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
  if (authority.find('@') != std::string::npos) return refuse("ユーザー名を含みます");
  // The host is the authority without its port; an IPv6 literal keeps its brackets.
  std::string host = authority;
  size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    std::string port = authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
      return refuse("ポート番号が正しくありません");
    }
    host = authority.substr(0, colon);
  }
  if (host.empty()) return refuse("ホスト名がありません");
  // Plain http would show the client secret and the tokens to anyone on the way; only a
  // provider on this machine may be reached so.
  if (!https && host != "127.0.0.1" && host != "localhost") return refuse("https 以外は 127.0.0.1 と localhost だけです");
  return true;
}
