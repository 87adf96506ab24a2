#include "app/mail/session_result.h"

#include "platform/text.h"

namespace {

constexpr size_t kShownReplyBytes = 200;

}  // namespace

std::string ServerReplyText(std::string_view reply, std::initializer_list<std::string_view> secrets) {
  std::string shown;
  for (char c : reply) {
    if (c >= 0x20 && c <= 0x7E) shown.push_back(c);
  }
  // Masked before the cut, so that no part of a secret is left at the end.
  for (std::string_view secret : secrets) {
    if (secret.empty()) continue;
    for (size_t at = shown.find(secret); at != std::string::npos; at = shown.find(secret, at + 3)) {
      shown.replace(at, secret.size(), "***");
    }
  }
  if (shown.size() > kShownReplyBytes) shown.resize(kShownReplyBytes);
  return shown;
}

std::string ReplyLogLine(const std::string& ours, std::string_view reply) {
  return reply.empty() ? ours : ours + " (" + std::string(reply) + ")";
}

std::string TlsFailureMessage(const qv::TcpConnection& connection) {
  const std::string detail = " (" + connection.tlsDetail() + ")";
  switch (connection.tlsFailure()) {
    case qv::TlsFailure::kUntrusted:
      return SJIS("サーバーの証明書が信頼できません。") + detail;
    case qv::TlsFailure::kHostMismatch:
      return SJIS("サーバーの証明書がサーバー名と一致しません。") + detail;
    case qv::TlsFailure::kCaFile:
      return SJIS("CA証明書ファイルが読めません。") + detail;
    case qv::TlsFailure::kHandshake:
    case qv::TlsFailure::kNone:
      break;
  }
  return SJIS("TLSの接続に失敗しました。") + detail;
}
