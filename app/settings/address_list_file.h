// The sender address list file, MailList.dat, beside the settings file.
//
// One entry per line, each ended by a single LF; "local@domain", where either part may hold a
// "*". The bytes of a line are the entry (a CR before the LF stays part of it); bytes after
// the last LF are not an entry. The file is untrusted input: any byte and any line length.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The address list's path: the folder of the settings file followed by "MailList.dat".
[[nodiscard]] std::string AddressListPath(const std::string& settingsPath);

// Reads the entries of the list file at `path` into *entries (replacing what it held). Lines
// longer than `lineLimit` bytes keep their first `lineLimit` bytes. A missing or unreadable
// file gives an empty list and false.
bool ReadAddressListFile(const std::string& path, std::vector<std::string>* entries,
                         size_t lineLimit = std::string::npos);

// Writes `entries`, each followed by one LF, as the list file at `path`, replacing the old
// file as a whole (platform ReplaceFileContents): after a failure the old file is unchanged.
// False with a reason in *error (may be null) when it could not be written.
[[nodiscard]] bool WriteAddressListFile(const std::string& path, const std::vector<std::string>& entries,
                                        std::string* error = nullptr);

// The position of the first entry equal to `address` without regard to ASCII letter case, the
// way a duplicate is judged when an address is added; -1 when there is none.
[[nodiscard]] int FindListEntry(const std::vector<std::string>& entries, std::string_view address);
