// What one step of a mail session came to, in both voices: our own words for what failed, and
// apart from them the server's reply. A log line a person reads names what failed and what the
// server answered: "ours (reply)".
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/socket.h"

// The server's reply fit for the activity log: printable ASCII only (line breaks and other
// control bytes dropped), every occurrence of a non-empty `secrets` entry (the password, the
// credentials as sent) masked as "***", and the rest cut to 200 bytes. Untrusted input.
[[nodiscard]] std::string ServerReplyText(std::string_view reply,
                                          std::initializer_list<std::string_view> secrets = {});

// "ours (reply)", or `ours` alone when no reply came.
[[nodiscard]] std::string ReplyLogLine(const std::string& ours, std::string_view reply);

// The activity-log text (CP932) for a failed StartTls on `connection`: what failed, with the
// certificate's subject and issuer where they tell the user what to fix.
[[nodiscard]] std::string TlsFailureMessage(const qv::TcpConnection& connection);

// The result of one step. `Status` is an enum class whose kOk means the step succeeded.
template <typename Status>
struct StepResult {
  Status status = Status::kOk;
  std::string error;  // our words (CP932) when the step failed; empty when it succeeded
  std::string reply;  // the server's reply (ServerReplyText); empty when none came or none counts

  [[nodiscard]] bool ok() const { return status == Status::kOk; }
  [[nodiscard]] std::string LogLine() const { return ReplyLogLine(error, reply); }
};
