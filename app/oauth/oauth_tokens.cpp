#include "app/oauth/oauth_tokens.h"

#include <ctime>

#include "app/oauth/http_post.h"
#include "app/oauth/loopback_redirect.h"
#include "app/oauth/pkce.h"
#include "app/oauth/token_file.h"
#include "app/settings/activity_log.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

constexpr char kDeviceGrant[] = "urn:ietf:params:oauth:grant-type:device_code";
// RFC 8628 section 3.5: each slow_down adds five seconds to the interval.
constexpr int64_t kSlowDownSeconds = 5;
constexpr int64_t kOpenerTimeoutMs = 10000;

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// The client's own fields of every token request: its id, and its secret when it has one.
void AddClient(const OAuthSettings& settings, FormFields* fields) {
  fields->emplace_back("client_id", settings.clientId);
  if (!settings.clientSecret.empty()) fields->emplace_back("client_secret", settings.clientSecret);
}

// A token request and its answer read; a transport failure or an unusable answer is kInvalid
// with the reason.
TokenAnswer PostForTokens(const std::string& url, const FormFields& fields, const StopFlag* stop) {
  HttpAnswer http = HttpPostForm(url, fields, kMaxHttpAnswerBytes, stop);
  if (!http.received) {
    TokenAnswer answer;
    answer.why = http.why;
    return answer;
  }
  return ParseTokenAnswer(http.status, http.body);
}

std::string ProviderError(const TokenAnswer& answer) {
  return answer.error + (answer.description.empty() ? "" : " (" + answer.description + ")");
}

LoginResult Failed(std::string why) { return {false, std::move(why)}; }

}  // namespace

bool OpenWithDesktop(const std::string& url) {
  qv::ProcessOptions options;
  options.timeoutMs = kOpenerTimeoutMs;
  return qv::RunProcess({"xdg-open", url}, options).Succeeded();
}

void OAuthTokens::Log(const std::string& message) const {
  if (log_) log_->Log(LOG_COMM, message);
}

bool OAuthTokens::Keep(const OAuthSettings& settings, const TokenAnswer& answer, const std::string& previousRefresh,
                       std::string* why) {
  StoredTokens tokens;
  tokens.refreshToken = answer.refreshToken.empty() ? previousRefresh : answer.refreshToken;
  tokens.accessToken = answer.accessToken;
  tokens.expiresAt = Now() + answer.expiresIn;
  return SaveTokenFile(settings.tokenFile, tokens, why);
}

TokenResult OAuthTokens::AccessToken(const OAuthSettings& settings, bool forceRefresh) {
  std::lock_guard lock(mutex_);
  TokenResult result;
  auto fail = [&](TokenFailure failure, const std::string& why) {
    result.failure = failure;
    result.why = SJIS("OAuth2: ") + why;
    Log(result.why);
    return result;
  };
  StoredTokens stored;
  std::string why;
  switch (LoadTokenFile(settings.tokenFile, &stored, &why)) {
    case TokenFileStatus::kRefused: return fail(TokenFailure::kTokenFile, why);
    case TokenFileStatus::kMissing:
    case TokenFileStatus::kRead: break;
  }
  if (!forceRefresh && !stored.accessToken.empty() && stored.expiresAt - Now() > kRefreshMarginSeconds) {
    result.ok = true;
    result.accessToken = stored.accessToken;
    return result;
  }
  if (stored.refreshToken.empty()) {
    return fail(TokenFailure::kNotLoggedIn, SJIS("リフレッシュトークンがありません。Quorvex --oauth2-login でログインしてください。"));
  }
  if (!CheckEndpointUrl(settings.tokenUrl, "OAuthTokenUrl", &why)) return fail(TokenFailure::kSettings, why);
  FormFields fields{{"grant_type", "refresh_token"}, {"refresh_token", stored.refreshToken}};
  AddClient(settings, &fields);
  TokenAnswer answer = PostForTokens(settings.tokenUrl, fields, nullptr);
  if (answer.kind == TokenAnswer::Kind::kError) {
    // invalid_grant: the refresh token was revoked or has expired; only a new log-in helps.
    TokenFailure failure = answer.error == "invalid_grant" ? TokenFailure::kRejected : TokenFailure::kProvider;
    return fail(failure, SJIS("トークンを更新できません: ") + ProviderError(answer) +
                             (failure == TokenFailure::kRejected
                                  ? SJIS("。Quorvex --oauth2-login でログインし直してください。")
                                  : std::string()));
  }
  if (answer.kind != TokenAnswer::Kind::kTokens) {
    return fail(TokenFailure::kProvider, SJIS("トークンを更新できません: ") + answer.why);
  }
  if (!Keep(settings, answer, stored.refreshToken, &why)) return fail(TokenFailure::kTokenFile, why);
  Log(SJIS("OAuth2: アクセストークンを更新しました。"));
  result.ok = true;
  result.accessToken = answer.accessToken;
  return result;
}

LoginResult OAuthTokens::DeviceLogin(const OAuthSettings& settings, FILE* out) {
  std::string why;
  if (!CheckEndpointUrl(settings.deviceUrl, "OAuthDeviceUrl", &why) ||
      !CheckEndpointUrl(settings.tokenUrl, "OAuthTokenUrl", &why)) {
    return Failed(why);
  }
  FormFields request;
  AddClient(settings, &request);
  if (!settings.scope.empty()) request.emplace_back("scope", settings.scope);
  HttpAnswer http = HttpPostForm(settings.deviceUrl, request, kMaxHttpAnswerBytes, stop_);
  if (!http.received) return Failed(SJIS("デバイスコードを受け取れません: ") + http.why);
  DeviceAnswer device = ParseDeviceAnswer(http.status, http.body);
  if (!device.ok) return Failed(SJIS("デバイスコードを受け取れません: ") + device.why);

  std::fprintf(out, "%s\n  %s\n%s %s\n",
               qv::Utf8FromCp932(SJIS("ブラウザーで次のアドレスを開き、")).c_str(), device.verificationUri.c_str(),
               qv::Utf8FromCp932(SJIS("このコードを入力してください:")).c_str(), device.userCode.c_str());
  if (!device.verificationUriComplete.empty()) {
    std::fprintf(out, "%s\n  %s\n", qv::Utf8FromCp932(SJIS("(コード入りのアドレス:)")).c_str(),
                 device.verificationUriComplete.c_str());
  }
  std::fflush(out);

  const int64_t second = qv::GetTimings().oauthSecondMs;
  const uint32_t start = qv::GetTickCount32();
  const int64_t lifetimeMs = device.expiresIn * second;
  int64_t intervalMs = device.interval * second;
  FormFields poll{{"grant_type", kDeviceGrant}, {"device_code", device.deviceCode}};
  AddClient(settings, &poll);
  for (;;) {
    if (qv::TickDiff(qv::GetTickCount32(), start) + intervalMs > lifetimeMs) {
      return Failed(SJIS("コードの有効期限が切れました。もう一度ログインしてください。"));
    }
    if (!WaitUnlessStopped(intervalMs, stop_)) return Failed(SJIS("ログインを中止しました。"));
    TokenAnswer answer = PostForTokens(settings.tokenUrl, poll, stop_);
    if (answer.kind == TokenAnswer::Kind::kTokens) {
      if (answer.refreshToken.empty()) return Failed(SJIS("プロバイダーがリフレッシュトークンを渡しませんでした。"));
      if (!Keep(settings, answer, {}, &why)) return Failed(why);
      Log(SJIS("OAuth2: ログインしました (デバイス認可)。"));
      return {true, {}};
    }
    if (answer.kind == TokenAnswer::Kind::kInvalid) return Failed(SJIS("トークンを受け取れません: ") + answer.why);
    if (answer.error == "authorization_pending") continue;
    if (answer.error == "slow_down") {
      intervalMs += kSlowDownSeconds * second;
      continue;
    }
    // Microsoft names a refusal authorization_declined.
    if (answer.error == "access_denied" || answer.error == "authorization_declined") {
      return Failed(SJIS("ログインが拒否されました。"));
    }
    if (answer.error == "expired_token") return Failed(SJIS("コードの有効期限が切れました。もう一度ログインしてください。"));
    return Failed(SJIS("トークンを受け取れません: ") + ProviderError(answer));
  }
}

LoginResult OAuthTokens::BrowserLogin(const OAuthSettings& settings, FILE* out, const BrowserOpener& open) {
  std::string why;
  if (!CheckEndpointUrl(settings.authorizeUrl, "OAuthAuthUrl", &why) ||
      !CheckEndpointUrl(settings.tokenUrl, "OAuthTokenUrl", &why)) {
    return Failed(why);
  }
  LoopbackRedirect redirect;
  if (redirect.port() == 0) return Failed(SJIS("127.0.0.1 で待ち受けできません。"));
  std::string verifier = MakeCodeVerifier();
  std::string state = MakeLoginState();
  if (verifier.empty() || state.empty()) return Failed(SJIS("乱数を作れません。"));
  FormFields query{{"response_type", "code"}, {"client_id", settings.clientId},
                   {"redirect_uri", redirect.RedirectUri()}, {"state", state},
                   {"code_challenge", CodeChallengeOf(verifier)}, {"code_challenge_method", "S256"}};
  if (!settings.scope.empty()) query.emplace_back("scope", settings.scope);
  std::string url = settings.authorizeUrl + (settings.authorizeUrl.find('?') == std::string::npos ? "?" : "&") +
                    EncodeForm(query);
  std::fprintf(out, "%s\n  %s\n", qv::Utf8FromCp932(SJIS("ブラウザーで次のアドレスを開いてログインしてください:")).c_str(),
               url.c_str());
  std::fflush(out);
  if (!open(url)) {
    std::fprintf(out, "%s\n", qv::Utf8FromCp932(SJIS("ブラウザーを開けません。上のアドレスを手で開いてください。")).c_str());
    std::fflush(out);
  }
  RedirectResult answer = redirect.Wait(state, qv::GetTimings().oauthBrowserWaitMs, stop_);
  if (!answer.ok) return Failed(answer.why);
  FormFields exchange{{"grant_type", "authorization_code"}, {"code", answer.code},
                      {"redirect_uri", redirect.RedirectUri()}, {"code_verifier", verifier}};
  AddClient(settings, &exchange);
  TokenAnswer tokens = PostForTokens(settings.tokenUrl, exchange, stop_);
  if (tokens.kind == TokenAnswer::Kind::kError) return Failed(SJIS("トークンを受け取れません: ") + ProviderError(tokens));
  if (tokens.kind != TokenAnswer::Kind::kTokens) return Failed(SJIS("トークンを受け取れません: ") + tokens.why);
  if (tokens.refreshToken.empty()) return Failed(SJIS("プロバイダーがリフレッシュトークンを渡しませんでした。"));
  if (!Keep(settings, tokens, {}, &why)) return Failed(why);
  Log(SJIS("OAuth2: ログインしました (ブラウザー)。"));
  return {true, {}};
}
