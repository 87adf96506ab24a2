#include "app/oauth/token_reply.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <cmath>

#include "app/oauth/oauth_settings.h"
#include "platform/text.h"

namespace {

constexpr size_t kMaxDescriptionBytes = 200;
constexpr size_t kMaxUserCodeBytes = 64;
constexpr int64_t kMaxDeviceLifetimeSeconds = 24 * 3600;
constexpr int64_t kMaxIntervalSeconds = 600;

bool Printable(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

// The whole body as one JSON object; false with a reason otherwise.
bool ReadObject(std::string_view body, QJsonObject* object, std::string* why) {
  QJsonParseError error{};
  QJsonDocument document = QJsonDocument::fromJson(
      QByteArray(body.data(), static_cast<qsizetype>(body.size())), &error);
  if (error.error != QJsonParseError::NoError) {
    *why = SJIS("応答が JSON ではありません (") + error.errorString().toStdString() + SJIS(")。");
    return false;
  }
  if (!document.isObject()) {
    *why = SJIS("応答が JSON オブジェクトではありません。");
    return false;
  }
  *object = document.object();
  return true;
}

enum class Field { kMissing, kBad, kGood };

// A string field that is a token: printable ASCII, not empty, at most `limit` bytes.
Field TokenField(const QJsonObject& object, const char* name, size_t limit, std::string* value, std::string* why) {
  QJsonValue field = object.value(QLatin1String(name));
  if (field.isUndefined()) return Field::kMissing;
  std::string text = field.isString() ? field.toString().toStdString() : std::string();
  if (!field.isString() || text.empty() || text.size() > limit || !Printable(text)) {
    *why = std::string(name) + SJIS(" が文字列でないか、空か、長すぎるか、使えない文字を含みます。");
    return Field::kBad;
  }
  *value = std::move(text);
  return Field::kGood;
}

// An integer field from `min` to `max`.
Field IntegerField(const QJsonObject& object, const char* name, int64_t min, int64_t max, int64_t* value,
                   std::string* why) {
  QJsonValue field = object.value(QLatin1String(name));
  if (field.isUndefined()) return Field::kMissing;
  double number = field.isDouble() ? field.toDouble() : std::nan("");
  if (!std::isfinite(number) || number != std::floor(number) || number < static_cast<double>(min) ||
      number > static_cast<double>(max)) {
    *why = std::string(name) + SJIS(" が ") + std::to_string(min) + SJIS("～") + std::to_string(max) +
           SJIS(" の整数ではありません。");
    return Field::kBad;
  }
  *value = static_cast<int64_t>(number);
  return Field::kGood;
}

// The provider's error answer (RFC 6749 section 5.2), when `object` is one.
bool ReadError(const QJsonObject& object, TokenAnswer* answer) {
  QJsonValue error = object.value(QLatin1String("error"));
  if (error.isUndefined()) return false;
  std::string code = error.isString() ? error.toString().toStdString() : std::string();
  if (!error.isString() || code.empty() || code.size() > 128 || !Printable(code)) {
    answer->kind = TokenAnswer::Kind::kInvalid;
    answer->why = SJIS("error が正しい文字列ではありません。");
    return true;
  }
  answer->kind = TokenAnswer::Kind::kError;
  answer->error = std::move(code);
  std::string description = object.value(QLatin1String("error_description")).toString().toStdString();
  for (unsigned char c : description) {
    if (answer->description.size() >= kMaxDescriptionBytes) break;
    answer->description += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return true;
}

}  // namespace

TokenAnswer ParseTokenAnswer(int status, std::string_view body) {
  TokenAnswer answer;
  QJsonObject object;
  if (!ReadObject(body, &object, &answer.why)) return answer;
  if (ReadError(object, &answer)) return answer;
  if (status != 200) {
    answer.why = SJIS("HTTP ") + std::to_string(status) + SJIS(" の応答にエラーの説明がありません。");
    return answer;
  }
  Field access = TokenField(object, "access_token", kMaxTokenBytes, &answer.accessToken, &answer.why);
  if (access == Field::kMissing) answer.why = SJIS("access_token がありません。");
  if (access != Field::kGood) return answer;
  QJsonValue type = object.value(QLatin1String("token_type"));
  if (!type.isUndefined() && type.toString().compare(QLatin1String("Bearer"), Qt::CaseInsensitive) != 0) {
    answer.why = SJIS("token_type が Bearer ではありません。");
    return answer;
  }
  answer.expiresIn = kDefaultExpiresInSeconds;
  if (IntegerField(object, "expires_in", 1, kMaxExpiresInSeconds, &answer.expiresIn, &answer.why) == Field::kBad) {
    return answer;
  }
  if (TokenField(object, "refresh_token", kMaxTokenBytes, &answer.refreshToken, &answer.why) == Field::kBad) {
    return answer;
  }
  answer.kind = TokenAnswer::Kind::kTokens;
  return answer;
}

DeviceAnswer ParseDeviceAnswer(int status, std::string_view body) {
  DeviceAnswer answer;
  QJsonObject object;
  if (!ReadObject(body, &object, &answer.why)) return answer;
  TokenAnswer error;
  if (ReadError(object, &error)) {
    answer.why = error.kind == TokenAnswer::Kind::kError ? error.error + (error.description.empty() ? "" : ": " + error.description)
                                                         : error.why;
    return answer;
  }
  if (status != 200) {
    answer.why = SJIS("HTTP ") + std::to_string(status) + SJIS(" の応答です。");
    return answer;
  }
  auto need = [&](Field field, const char* name) {
    if (field == Field::kMissing) answer.why = std::string(name) + SJIS(" がありません。");
    return field == Field::kGood;
  };
  if (!need(TokenField(object, "device_code", kMaxTokenBytes, &answer.deviceCode, &answer.why), "device_code")) {
    return answer;
  }
  if (!need(TokenField(object, "user_code", kMaxUserCodeBytes, &answer.userCode, &answer.why), "user_code")) {
    return answer;
  }
  const char* uriName = object.contains(QLatin1String("verification_uri")) ? "verification_uri" : "verification_url";
  if (!need(TokenField(object, uriName, 2048, &answer.verificationUri, &answer.why), "verification_uri")) {
    return answer;
  }
  if (!CheckEndpointUrl(answer.verificationUri, uriName, &answer.why)) return answer;
  if (TokenField(object, "verification_uri_complete", 2048, &answer.verificationUriComplete, &answer.why) ==
          Field::kGood &&
      !CheckEndpointUrl(answer.verificationUriComplete, "verification_uri_complete", &answer.why)) {
    return answer;
  }
  answer.why.clear();
  if (!need(IntegerField(object, "expires_in", 1, kMaxDeviceLifetimeSeconds, &answer.expiresIn, &answer.why),
            "expires_in")) {
    return answer;
  }
  if (IntegerField(object, "interval", 1, kMaxIntervalSeconds, &answer.interval, &answer.why) == Field::kBad) {
    return answer;
  }
  answer.ok = true;
  return answer;
}
