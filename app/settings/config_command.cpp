#include "app/settings/config_command.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include <termios.h>
#include <unistd.h>

#include "app/settings/converter_lookup.h"
#include "app/settings/setting_rules.h"
#include "app/settings/settings.h"
#include "app/settings/settings_schema.h"
#include "platform/text.h"

namespace {

using qv::SettingKind;
using qv::SettingRow;
using qv::SettingRule;
using qv::SettingSection;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The value of a key in `record` as the terminal shows it (UTF-8); `forList` keeps it on one
// line, and a password shows as "********" unless `reveal`.
std::string Shown(const SettingRow& row, void* record, bool forList, bool reveal) {
  if (row.number) return std::to_string(*row.number(record));
  std::span<char> field = row.text(record);
  std::string stored(field.data(), strnlen(field.data(), field.size()));
  const bool secret = row.kind == SettingKind::kPassword || (row.flags & qv::kSecret) != 0;
  if (secret && !reveal) return stored.empty() ? "" : "********";
  if (row.kind == SettingKind::kMultiLine && !forList) {
    std::string shown;
    for (char c : qv::ShownMultiLine(stored)) {
      if (c != '\r') shown += c;
    }
    stored = shown;
  }
  return qv::Utf8FromCp932(stored);
}

// Reads a whole decimal number (optional sign); false for anything else.
bool ParseNumber(const std::string& text, int* value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return false;
  *value = static_cast<int>(parsed);
  return true;
}

// Checks `text` as a number of the row and stores it in `record`; false with the reason.
bool AssignNumber(const SettingRow& row, void* record, const std::string& text, std::string* reason) {
  // Only the picture profiles' quality has the rule, so `record` is a profile.
  const qv::SettingRange range =
      row.rule == SettingRule::kQuality ? qv::PictQualityRange(static_cast<const PictSettings*>(record)->Type)
                                        : row.range;
  int value = 0;
  if (!ParseNumber(text, &value) || value < range.min || value > range.max ||
      (row.rule == SettingRule::kMultipleOf4 && value % 4 != 0)) {
    *reason = "takes a whole number from " + std::to_string(range.min) + " to " + std::to_string(range.max);
    if (row.rule == SettingRule::kMultipleOf4) *reason += " that is a multiple of 4";
    if (row.rule == SettingRule::kQuality) *reason += " for the profile's format (PNG 0 to 9, JPEG 1 to 20)";
    return false;
  }
  *row.number(record) = value;
  return true;
}

// Why the stored form `value` breaks the rule of its row; empty when it does not.
std::string RuleProblem(SettingRule rule, const std::string& value) {
  switch (rule) {
    case SettingRule::kAddress:
      if (qv::CheckAddressSetting(value) == qv::AddressProblem::kNone) return {};
      return "takes an address of the form name@domain in letters, digits and signs that a mail server "
             "accepts (no blanks, brackets or comments outside a quoted name, no empty part of the domain)";
    case SettingRule::kRequiredAscii:
      if (value.empty()) return "cannot be empty";
      [[fallthrough]];
    case SettingRule::kAscii:
      return qv::HasNonAsciiByte(value) ? "takes letters, digits and signs only" : "";
    case SettingRule::kNoAngleBrackets:
      if (value.find_first_of("<>") == std::string::npos) return {};
      return "cannot hold < or > (replies would not be sent and received correctly)";
    default:
      return {};
  }
}

// Checks `text` (UTF-8) as a text of the row and stores it in `record`; false with the reason.
bool AssignText(const SettingRow& row, void* record, const std::string& text, std::string* reason) {
  std::string value = qv::Cp932FromUtf8(text);
  if (qv::Utf8FromCp932(value) != text) {
    *reason = "holds characters that the settings file (CP932) cannot store, or is not UTF-8";
    return false;
  }
  if (row.kind != SettingKind::kPassword && value.find(';') != std::string::npos) {
    *reason = "cannot hold ';' (the settings file reads everything after it as a comment)";
    return false;
  }
  if (row.kind == SettingKind::kMultiLine) {
    value = qv::StoredMultiLine(value);
  } else if (value.find_first_of("\r\n") != std::string::npos) {
    *reason = "takes one line";
    return false;
  }
  std::span<char> field = row.text(record);
  const size_t limit = std::min(field.size() - 1, qv::kStoredValueBytes);
  if (value.size() > limit) {
    *reason = "holds at most " + std::to_string(limit) + " bytes in the settings file (CP932" +
              (row.kind == SettingKind::kMultiLine ? ", a line break as the 4 bytes <BR>" : "") + "), this value has " +
              std::to_string(value.size());
    return false;
  }
  *reason = RuleProblem(row.rule, value);
  if (!reason->empty()) return false;
  std::memset(field.data(), 0, field.size());
  std::memcpy(field.data(), value.data(), value.size());
  return true;
}

std::string SectionNames() {
  std::string names;
  for (const SettingSection& section : qv::kSettingSections) {
    names += (names.empty() ? "" : ", ") + std::string(section.name);
  }
  return names;
}

// Finds SECTION.KEY; prints why not and returns false when there is no such key.
bool FindKey(const std::string& name, const SettingSection** section, const SettingRow** key, FILE* err) {
  size_t dot = name.find('.');
  std::string_view sectionName = std::string_view(name).substr(0, dot);
  for (const SettingSection& candidate : qv::kSettingSections) {
    if (SameName(candidate.name, sectionName)) *section = &candidate;
  }
  if (!*section) {
    std::fprintf(err, "Quorvex --config: no section \"%.*s\"; the sections are %s\n",
                 static_cast<int>(sectionName.size()), sectionName.data(), SectionNames().c_str());
    return false;
  }
  std::string_view keyName = dot == std::string::npos ? std::string_view() : std::string_view(name).substr(dot + 1);
  std::string keys;
  for (const SettingRow& candidate : (*section)->rows) {
    if (SameName(candidate.key, keyName)) *key = &candidate;
    keys += (keys.empty() ? "" : ", ") + std::string(candidate.key);
  }
  if (!*key) {
    std::fprintf(err, "Quorvex --config: %s has no key \"%.*s\"; its keys are %s\n", (*section)->name,
                 static_cast<int>(keyName.size()), keyName.data(), keys.c_str());
    return false;
  }
  return true;
}

int List(const std::string& path, FILE* out, bool reveal) {
  AllSettings records;
  for (const SettingSection& section : qv::kSettingSections) {
    void* record = section.recordIn(records);
    qv::LoadSection(path.c_str(), section, record);
    for (const SettingRow& row : section.rows) {
      std::fprintf(out, "%s.%s=%s\n", section.name, row.key, Shown(row, record, true, reveal).c_str());
    }
  }
  return kConfigDone;
}

int Get(const std::string& path, const std::string& name, FILE* out, FILE* err, bool reveal) {
  const SettingSection* section = nullptr;
  const SettingRow* key = nullptr;
  if (!FindKey(name, &section, &key, err)) return kConfigRefused;
  AllSettings records;
  void* record = section->recordIn(records);
  qv::LoadSection(path.c_str(), *section, record);
  std::fprintf(out, "%s\n", Shown(*key, record, false, reveal).c_str());
  return kConfigDone;
}

// A device name that no device has now is kept (the camera may come later), with the names
// there are.
void WarnAboutUnlistedDevice(const char* name, const DeviceNameLister& listDevices, FILE* err) {
  if (!listDevices || name[0] == '\0') return;
  std::vector<std::string> names = listDevices();
  if (std::find(names.begin(), names.end(), name) != names.end()) return;
  std::string listed;
  for (const std::string& known : names) listed += (listed.empty() ? "\"" : ", \"") + qv::Utf8FromCp932(known) + "\"";
  std::fprintf(err, "Quorvex --config: warning: no capture device is called \"%s\" now; it is stored all the same. %s\n",
               qv::Utf8FromCp932(name).c_str(),
               listed.empty() ? "No capture device is there now." : ("The devices are " + listed + ".").c_str());
}

// One line of `in` (its line end removed) as the value of `name`. On a terminal the question
// goes to `err` and what is typed is not echoed. False at the end of the input before a line.
bool ReadValueLine(FILE* in, const std::string& name, FILE* err, std::string* value) {
  const int fd = fileno(in);
  termios saved{};
  const bool terminal = fd >= 0 && isatty(fd) && tcgetattr(fd, &saved) == 0;
  if (terminal) {
    std::fprintf(err, "%s (not shown): ", name.c_str());
    std::fflush(err);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length = getline(&line, &capacity, in);
  if (terminal) {
    tcsetattr(fd, TCSAFLUSH, &saved);
    std::fputc('\n', err);
  }
  if (length >= 0) value->assign(line, static_cast<size_t>(length));
  std::free(line);
  if (length < 0) return false;
  if (!value->empty() && value->back() == '\n') value->pop_back();
  if (!value->empty() && value->back() == '\r') value->pop_back();
  return true;
}

int Set(const std::string& path, const std::string& assignment, FILE* out, FILE* err, FILE* in,
        const DeviceNameLister& listDevices) {
  size_t equals = assignment.find('=');
  const SettingSection* section = nullptr;
  const SettingRow* key = nullptr;
  if (!FindKey(assignment.substr(0, equals), &section, &key, err)) return kConfigRefused;
  std::string value;
  if (equals != std::string::npos) {
    value = assignment.substr(equals + 1);
  } else if (!in || !ReadValueLine(in, std::string(section->name) + "." + key->key, err, &value)) {
    std::fprintf(err, "Quorvex --config: set %s.%s got no value (give SECTION.KEY=VALUE, or the value as one line "
                 "on standard input); nothing was written\n", section->name, key->key);
    return kConfigRefused;
  }
  AllSettings records;
  void* record = section->recordIn(records);
  qv::LoadSection(path.c_str(), *section, record);
  std::string reason;
  if (!(key->number ? AssignNumber(*key, record, value, &reason) : AssignText(*key, record, value, &reason))) {
    std::fprintf(err, "Quorvex --config: %s.%s %s; nothing was written\n", section->name, key->key, reason.c_str());
    return kConfigRefused;
  }
  // A new settings file starts with the first settings, whichever key is set first; when it
  // cannot be made, the save fails with its own message.
  (void)CreateFirstSettings(path.c_str());
  if (qv::SaveSection(path.c_str(), *section, record) != 1) {
    std::fprintf(err, "Quorvex --config: the settings file %s could not be written\n", path.c_str());
    return kConfigNotWritten;
  }
  std::fprintf(out, "%s.%s=%s\n", section->name, key->key, Shown(*key, record, true, false).c_str());
  if (record == &records.basic && std::strcmp(key->key, "DeviceName") == 0) {
    WarnAboutUnlistedDevice(records.basic.DeviceName, listDevices, err);
  }
  std::string converter;
  if (qv::IsPictureSection(*section) && static_cast<const PictSettings*>(record)->Type == PICT_GIF &&
      !LocateConverter(&converter)) {
    std::fprintf(out, "No GIF converter is registered: this profile is sent as JPEG until one is.\n");
  }
  return kConfigDone;
}

}  // namespace

int RunConfigCommand(const std::vector<std::string>& arguments, const std::string& settingsPath, FILE* out,
                     FILE* err, const ConfigOptions& options) {
  if (arguments.size() == 1 && arguments[0] == "list") return List(settingsPath, out, options.reveal);
  if (arguments.size() == 2 && arguments[0] == "get") return Get(settingsPath, arguments[1], out, err, options.reveal);
  if (arguments.size() == 2 && arguments[0] == "set") return Set(settingsPath, arguments[1], out, err, options.in, options.listDevices);
  std::fprintf(err, "Quorvex --config: use list, get SECTION.KEY or set SECTION.KEY[=VALUE]\n");
  return kConfigRefused;
}
