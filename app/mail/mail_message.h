// Reading a fetched mail where its text enters Quorvex: the header block, the sender's mailbox,
// the shape of a mail address, and the marks of an automatic mail. Everything here takes
// untrusted bytes; what comes out is safe to put on an SMTP command or header line:
// CheckMailAddress is the one check every address passes before it reaches the wire, and
// CleanHeaderText the one for display names.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One field of a header block. `value` is everything after the first ':' with folded lines
// joined (RFC 5322 2.2.3: the line breaks removed, the white space that began each
// continuation line kept), as raw bytes.
struct HeaderField {
  std::string name;
  std::string value;
};

// Most fields read from one header block, and the longest value kept of one field; a header
// past these is not read further (no mail program writes one).
inline constexpr size_t kMaxHeaderFields = 10000;
inline constexpr size_t kMaxHeaderValue = 64 * 1024;

// The fields of the header block of `message` (the mail as POP3 delivers it, still
// dot-stuffed, with or without its "." line; the server's status line already removed), in
// order: lines end in CR LF or a bare LF; the block ends at the first empty line or the "."
// line. A line that begins with a blank or tab continues the field before it; a line whose
// text before ':' is not a field name (empty, or with blanks or control bytes) is skipped.
// Body lines are never read.
[[nodiscard]] std::vector<HeaderField> ReadHeaderBlock(std::string_view message);

// Whether a field's name is `wanted`, compared without regard to case (RFC 5322 1.2.2).
[[nodiscard]] bool HeaderNameIs(std::string_view name, std::string_view wanted);

// One mailbox of an address field: its display name and its address as written.
struct Mailbox {
  std::string name;     // CP932 through CleanHeaderText(DecodeHeaderText(...)); may be empty
  std::string address;  // as written, without angle brackets and comments; not yet checked
};

// The first mailbox of the address-list `value` of a From (or similar) field (RFC 5322 3.4):
// mailboxes separated by ',', groups "name: mailbox, ...;" opened, quoted display names that
// hold '<', '>', ',' or '@', comments in parentheses (a comment after a bare address serves as
// its name when it has no other), the obsolete route in an angle address dropped. Empty
// entries and empty groups are passed over. False when the value holds no mailbox at all.
[[nodiscard]] bool FirstMailbox(std::string_view value, Mailbox* mailbox);

enum class AddressVerdict {
  kValid,
  kEmpty,             // no address at all
  kControlCharacter,  // a control byte (CR and LF above all) somewhere in it
  kMalformed,         // not local@domain: blanks, brackets, a second '@', no domain, ...
};

// The check at the boundary: whether the address `raw` (as FirstMailbox gives it, or from the
// settings) may go on an SMTP command line, and its form there. A valid address is
// `local@domain`: the local part of printable ASCII other than blanks and the specials
// ()<>[]:;@\," (dots anywhere, as some handsets' addresses have them), or well-formed UTF-8
// (RFC 6532), or a quoted string whose content is such a local part (the quotes are then
// dropped); the domain of letters, digits, '-', '_' and '.' without empty labels, or
// well-formed UTF-8 that becomes IDNA A-labels (RFC 5891). At most 254 bytes in the result
// (RFC 5321 4.5.3.1.3). `*address` receives the form to send; it is cleared otherwise.
[[nodiscard]] AddressVerdict CheckMailAddress(std::string_view raw, std::string* address);

// Whether a checked address needs the SMTPUTF8 extension (RFC 6531): its local part is not
// ASCII.
[[nodiscard]] bool NeedsSmtpUtf8(std::string_view address);

// A display name or other header text (CP932) with every control byte (tab, CR, LF, ESC, ...)
// dropped, a lead byte followed by one too, and the ends trimmed of blanks, so it can never end a header line or switch the
// character set of an ISO-2022-JP text.
[[nodiscard]] std::string CleanHeaderText(std::string_view text);

// Why a mail was sent by a program rather than a person (RFC 3834 2), so that answering it
// could start a loop of automatic replies.
enum class AutomaticMail {
  kNone,
  kAutoSubmitted,   // "Auto-Submitted" other than "no"
  kBulk,            // "Precedence: bulk", "list" or "junk"
  kMailingList,     // a "List-Id" or "List-Unsubscribe" field
  kNullReturnPath,  // "Return-Path: <>" (a delivery report)
  kRobotSender,     // the sender is MAILER-DAEMON, postmaster, noreply, no-reply, do-not-reply
};

// The first mark of an automatic mail in `fields` and the sender `address`, or kNone.
[[nodiscard]] AutomaticMail DetectAutomaticMail(const std::vector<HeaderField>& fields,
                                                std::string_view address);
