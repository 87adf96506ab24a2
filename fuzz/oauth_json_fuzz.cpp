// The answers of an OAuth2 provider's token and device authorization endpoints, on any bytes.
// The first byte picks the HTTP status and which endpoint answered; the rest is the body.
// Each reading must keep what token_reply.h promises: a usable answer only with tokens of
// printable ASCII within their caps and lifetimes within range, a reason for every refusal.
#include <cstdint>
#include <string>

#include "app/oauth/oauth_settings.h"
#include "app/oauth/token_reply.h"
#include "fuzz/fuzz_support.h"

using namespace qv::fuzz;

namespace {

bool Printable(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

bool Token(const std::string& text) { return !text.empty() && text.size() <= kMaxTokenBytes && Printable(text); }

constexpr int kStatuses[] = {200, 400, 401, 302, 500, 0, 201, 404};

void CheckTokenAnswer(int status, std::string_view body) {
  TokenAnswer answer = ParseTokenAnswer(status, body);
  switch (answer.kind) {
    case TokenAnswer::Kind::kTokens:
      Check(status == 200, "tokens taken from an answer that is not 200");
      Check(Token(answer.accessToken), "an access token that is empty, too long or not printable");
      Check(answer.refreshToken.empty() || Token(answer.refreshToken), "a refresh token that is not usable");
      Check(answer.expiresIn >= 1 && answer.expiresIn <= kMaxExpiresInSeconds, "expires_in out of range");
      Check(answer.why.empty() && answer.error.empty(), "tokens with a reason or an error");
      break;
    case TokenAnswer::Kind::kError:
      Check(!answer.error.empty() && answer.error.size() <= 128 && Printable(answer.error), "an unusable error code");
      Check(answer.description.size() <= 200 && !HasControlByte(answer.description),
            "an error description too long or with control bytes");
      Check(answer.accessToken.empty(), "an error with a token");
      break;
    case TokenAnswer::Kind::kInvalid:
      Check(!answer.why.empty(), "a refusal without a reason");
      Check(answer.why.find('\n') == std::string::npos, "a reason of more than one line");
      break;
  }
}

void CheckDeviceAnswer(int status, std::string_view body) {
  DeviceAnswer answer = ParseDeviceAnswer(status, body);
  if (!answer.ok) {
    Check(!answer.why.empty(), "a refused device answer without a reason");
    return;
  }
  Check(status == 200, "a device answer taken that is not 200");
  Check(Token(answer.deviceCode), "an unusable device code");
  Check(!answer.userCode.empty() && answer.userCode.size() <= 64 && Printable(answer.userCode), "an unusable user code");
  std::string why;
  Check(CheckEndpointUrl(answer.verificationUri, "verification_uri", &why), "a verification address not allowed");
  Check(answer.verificationUriComplete.empty() ||
            CheckEndpointUrl(answer.verificationUriComplete, "verification_uri_complete", &why),
        "a complete verification address not allowed");
  Check(answer.expiresIn >= 1 && answer.expiresIn <= 24 * 3600, "device expires_in out of range");
  Check(answer.interval >= 1 && answer.interval <= 600, "interval out of range");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int status = kStatuses[data[0] & 7];
  std::string_view body = AsText(data + 1, size - 1);
  if (data[0] & 8) {
    CheckDeviceAnswer(status, body);
  } else {
    CheckTokenAnswer(status, body);
  }
  return 0;
}
