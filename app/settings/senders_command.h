// `Quorvex --senders`: the sender address list from a terminal, for machines without a screen.
//
//   list            the entries of MailList.dat beside the settings file, one a line
//   add ADDRESS     appends ADDRESS (checked and stored as the filter page does it)
//   remove ADDRESS  removes every entry equal to ADDRESS, letter case aside
//
// The address is UTF-8 from the terminal; entries are ASCII. add refuses what the filter
// page's address dialog refuses (CheckAddressListEntry) and an address already listed,
// letter case aside; remove refuses an address that is not listed; a refusal leaves the file
// as it was. The rest of the file is written back byte for byte as read (the page's rules: one
// entry a line, each ended by LF). add and remove on a settings file that does not exist yet
// first make it with the first settings (CreateFirstSettings), and every command ends with the
// line that says which senders the filter lets through (FilterStateText), on the standard
// error for list, else with the results.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

inline constexpr int kSendersDone = 0;
inline constexpr int kSendersNotWritten = 1;  // the address list could not be written
inline constexpr int kSendersRefused = 2;     // an address refused, or a command not understood

// Runs one command: `arguments` are what followed --senders ("list", "add" ADDRESS or "remove"
// ADDRESS). Results go to `out`, messages to `err`. Returns the exit status above.
int RunSendersCommand(const std::vector<std::string>& arguments, const std::string& settingsPath, FILE* out,
                      FILE* err);
