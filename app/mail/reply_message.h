// The reply mail as a whole message, built without a socket: a two-part MIME mail (RFC
// 2045/2046) whose text is ISO-2022-JP (RFC 1468) and whose picture is a base64 attachment. The
// SMTP session only sends it (smtp_session.h).
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "app/address/mail_address.h"

// Everything one reply mail is made of.
struct ReplyRecord {
  CheckedAddress sender;
  std::string senderName;     // Shift_JIS; may be empty; control bytes are dropped
  CheckedAddress recipient;
  std::string recipientName;  // Shift_JIS; may be empty; control bytes are dropped
  std::string subject;        // Shift_JIS; empty gives "なし"
  std::string bodyText;       // Shift_JIS; "<BR>" marks a line break
  // The picture's base64 text (line breaks in it are ignored), or none for a mail without a
  // picture part.
  std::optional<std::string> picture;
  // The attachment's name; its extension gives the media type (.jpg, .bmp, .gif, else PNG).
  std::string pictureName;
  std::tm date{};             // local time: the Date field and the boundary
  std::string messageId;      // "<...>", as NewMessageId makes it
};

// The whole message, header and body, every line ended by CR LF and at most 998 bytes long
// before the dot-stuffing the SMTP session adds. Header texts go out as encoded words (RFC
// 2047) of at most 75 characters on lines of at most 76; the body's lines are cut to fit; the
// picture's base64 text goes in lines of 64 characters.
[[nodiscard]] std::string BuildReplyMessage(const ReplyRecord& record);

// RFC 5322 3.6.4: an id no other reply has: `local` time, the process and a random number, at
// the sender's domain when it is a plain host name, else at "localhost".
[[nodiscard]] std::string NewMessageId(const std::tm& local, const CheckedAddress& sender);

// The local time now.
[[nodiscard]] std::tm LocalNow();

// The base64 text of the file at `path`, or none when it cannot be read (then the reply has
// no picture part).
[[nodiscard]] std::optional<std::string> ReadBase64File(const std::string& path);
