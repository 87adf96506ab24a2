// `Quorvex --config`: the settings file from a terminal, for machines without a screen.
//
//   list                   every key of the settings sections, one SECTION.KEY=VALUE line each
//   get SECTION.KEY        the value of one key
//   set SECTION.KEY=VALUE  changes one key
//   set SECTION.KEY        changes one key to the line read from the input (on a terminal it
//                          asks and does not echo what is typed), so a password appears
//                          neither in the process list nor in the shell history
//
// Sections and keys are the rows of the settings schema (BasicSettings, MailSettings,
// SendSettings, FilterSettings, PictSettings0 to PictSettings3), in any letter case. Values
// are UTF-8 in the terminal and CP932 in the file. A value is checked against its row (range,
// rule: address form, ASCII-only fields; the size of its field, no ';', which the file cannot
// hold) and written with the section's save routine, which rewrites the whole section from its
// loaded record, so the file ends up exactly as the pages would leave it.
// `set` on a settings file that does not exist yet first makes it with the first settings
// (CreateFirstSettings); `list` and `get` show what a missing file stands for.
// The passwords (Passwd, SmtpPasswd) are given in plain text and stored encoded; `get`, `list`
// and the confirmation of `set` show them as "********" (empty ones as nothing), unless
// `reveal` is asked for. Line breaks of the reply text and signature are given as line breaks or "<BR>",
// shown by `get` as line breaks, and stored as "<BR>"; `list` shows the stored form.
// BasicSettings.DeviceName takes any name (a camera may be plugged in later), but a name that
// is not among the devices listed now is stored with a warning that lists them.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

inline constexpr int kConfigDone = 0;
inline constexpr int kConfigNotWritten = 1;  // the settings file could not be written
inline constexpr int kConfigRefused = 2;     // unknown section or key, or a value the key cannot take

// The names BasicSettings.DeviceName can take now (CP932), for the warning above.
using DeviceNameLister = std::function<std::vector<std::string>()>;

struct ConfigOptions {
  FILE* in = nullptr;   // where `set SECTION.KEY` reads its value; null: it is refused
  bool reveal = false;  // `get` and `list` show passwords as they are
  DeviceNameLister listDevices;  // asked only when a non-empty DeviceName is set; empty: no warning
};

// Runs one command: `arguments` are what followed --config ("list", "get" NAME or "set"
// NAME[=VALUE]). Results go to `out`, messages (and the question for a value) to `err`.
// Returns the exit status above.
int RunConfigCommand(const std::vector<std::string>& arguments, const std::string& settingsPath, FILE* out,
                     FILE* err, const ConfigOptions& options = {});
