// What a setting may hold beyond the range of its row in the settings schema: the text forms
// that the settings pages and the command line check before anything is written, the reading
// of a security level, and the stored form of the multi-line texts.
//
// The load routines do not apply these checks (a hand-edited file is loaded as it is); the
// pages and `--config` apply them, so that Quorvex itself never writes what its pages would
// refuse.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// Connection security of the mailbox and the submission server: 0 plain, 1 STARTTLS (POP3:
// STLS) before the log-in, 2 TLS from the first byte.
inline constexpr int kSecurityPlain = 0;
inline constexpr int kSecurityTls = 2;
// The level `level` stands for: 0, 1 and 2 as they are, every other value 2. Nothing but an
// explicit 0 ever means plain.
[[nodiscard]] int SecurityLevel(int level);
// The level a stored text stands for: a whole decimal number (blanks around it allowed) of 0, 1
// or 2 as it is; anything else (out of range, not a number, "tls") 2. `held` (may be null) is
// set when the text was not one of the three.
[[nodiscard]] int SecurityLevelFrom(std::string_view stored, bool* held = nullptr);

// Every stored text value is read back through a 256-byte buffer.
inline constexpr size_t kStoredValueBytes = 255;

// The rule that a width typed on the picture page ends up as: `typed` held to the range of
// Width (32..640), then raised to the next multiple of 4.
[[nodiscard]] int PictureWidthFrom(int typed);

// The colour count a colour-count code stands for, as the picture page labels it (UTF-8):
// 8 x code for 1..32 ("8" ... "256"), "4096" for 33, "3万", "6万", "16万" for 34..36, the code
// itself for anything else.
[[nodiscard]] std::string ColorCountLabel(int code);

// True when `text` holds a byte of 0x80 or above (anything but single-byte ASCII).
[[nodiscard]] bool HasNonAsciiByte(std::string_view text);

// The checks of an address typed into the settings, in the order they are made.
enum class AddressProblem {
  kNone,
  kNotAscii,        // a byte of 0x80 or above
  kNotAnAddress,    // no "@", or "@" first or last
  kSecondAtSign,    // a second "@" after the first
  kWildcardsLocal,  // address list entries only: more than one "*" before the "@"
  kWildcardsDomain, // address list entries only: more than one "*" after the "@"
  kMalformed,       // not an address the mail servers take (CheckMailAddress): blanks,
                    // brackets or comments outside a quoted local part, an empty domain label ...
};

// Checks the sender address of the replies (MailAddr): ASCII, then the one address rule that
// every reply's MAIL FROM passes, so that no saved address makes every reply fail.
[[nodiscard]] AddressProblem CheckAddressSetting(std::string_view address);
// Checks an entry of the sender address list: ASCII, one "@" neither first nor last, at most
// one "*" on each side of it, and then the address rule for the entry as an address: a side
// that is exactly "*" stands for any value and is not checked; a side that holds a "*" among
// other characters is checked as it stands ('*' is an ordinary character of a local part and
// no character of a domain).
[[nodiscard]] AddressProblem CheckAddressListEntry(std::string_view entry);
// The form an entry that passed CheckAddressListEntry is stored in: its local part as the
// mail reader gives a sender's (quoted only where it must be: "john"@x.jp becomes john@x.jp),
// so that the entry matches that sender; unchanged when its local part is "*".
[[nodiscard]] std::string ListEntryForm(std::string_view entry);

// Multi-line texts (MailText, SendName) are stored on one line: every CR is removed and every
// LF becomes "<BR>". StoredMultiLine makes the stored form; ShownMultiLine turns each "<BR>"
// back into CR LF. Both work on bytes and keep CP932 double-byte characters whole (no
// trail byte is a CR, LF or "<").
[[nodiscard]] std::string StoredMultiLine(std::string_view shown);
[[nodiscard]] std::string ShownMultiLine(std::string_view stored);

}  // namespace qv
