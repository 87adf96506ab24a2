// Reading a fetched mail where its text enters Quorvex: the header block, the sender's mailbox
// and the marks of an automatic mail. Everything here takes untrusted bytes; what comes out is
// safe to put on an SMTP command or header line once it passed CheckMailAddressParts
// (app/address/mail_address.h), the one check every address passes before it reaches the
// wire, and CleanHeaderText, the one for display names.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/address/mail_address.h"

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

// The fields of the header block of `message` (a fetched mail as it was sent, MAILENTRY), in
// order: lines end in CR LF or a bare LF; the block ends at the first empty line or the end of
// the text. A line that begins with a blank or tab continues the field before it; a line
// whose text before ':' is not a field name (empty, or with blanks or control bytes) is
// skipped. Body lines are never read.
[[nodiscard]] std::vector<HeaderField> ReadHeaderBlock(std::string_view message);

// Whether a field's name is `wanted`, compared without regard to case (RFC 5322 1.2.2).
[[nodiscard]] bool HeaderNameIs(std::string_view name, std::string_view wanted);

// One mailbox of an address field, with its comments and folding white space removed.
struct Mailbox {
  std::string name;    // CP932 through CleanHeaderText(DecodeHeaderText(...)); may be empty
  std::string local;   // the local part's value: quoted strings and quoted pairs undone
  std::string domain;  // as written ("[...]" for a domain literal); not yet checked
};

enum class AddressListVerdict {
  kMailbox,    // the value parses; *mailbox is its first mailbox
  kNoMailbox,  // the value parses but names no mailbox (empty, an empty group, "<>")
  kMalformed,  // something in the value is not RFC 5322 syntax
};

// Reads the address-list `value` of a From (or similar) field as RFC 5322 3.4 and 4.4 define
// it, the obsolete forms included: mailboxes separated by ',' (empty entries allowed), groups
// "name: mailbox, ...;", display names of words, dots and quoted strings, comments and
// folding white space anywhere between the words (also around '@' and the dots of an address:
// "(a) b (c) @ (d) example . com" is b@example.com), the obsolete route in an angle address
// dropped. A whole value that does not parse is kMalformed, so a sender that something is left
// over after is never guessed at. Unquoted local parts may hold dots anywhere (older handsets
// have such addresses). Raw ISO-2022-JP runs and 8-bit characters in names are taken as they
// are; one generator's folding of an angle address quoted whole (<"a.b@example.com">) is read
// as the address it stands for. A bare address's first comment serves as its name.
[[nodiscard]] AddressListVerdict FirstMailbox(std::string_view value, Mailbox* mailbox);

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
