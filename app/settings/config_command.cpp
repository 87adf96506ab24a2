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
#include "platform/text.h"

namespace {

// The records of one section's load and save; only the one of the named section is used.
struct Records {
  BasicSettings basic;
  MailSettings mail;
  SendSettings send;
  FilterSettings filter;
  PictSettings pict;
};

template <class R> R& Pick(Records& records);
template <> BasicSettings& Pick(Records& records) { return records.basic; }
template <> MailSettings& Pick(Records& records) { return records.mail; }
template <> SendSettings& Pick(Records& records) { return records.send; }
template <> FilterSettings& Pick(Records& records) { return records.filter; }
template <> PictSettings& Pick(Records& records) { return records.pict; }

template <class R, class T> R RecordOf(T R::*);

template <auto Member> int& NumberAt(Records& records) {
  using R = decltype(RecordOf(Member));
  return Pick<R>(records).*Member;
}
template <auto Member> std::span<char> TextAt(Records& records) {
  using R = decltype(RecordOf(Member));
  auto& field = Pick<R>(records).*Member;
  return {field, sizeof field};
}

enum class Kind { kNumber, kText, kMultiLine, kPassword };

// Extra rules of a key beyond its range or field size.
enum class Rule { kNone, kAddress, kRequiredAscii, kAscii, kNoAngleBrackets, kMultipleOf4, kQuality };

struct KeySpec {
  const char* key;
  Kind kind;
  int& (*number)(Records&);
  std::span<char> (*text)(Records&);
  int min = 0;
  int max = 0;
  Rule rule = Rule::kNone;
};

constexpr KeySpec Number(const char* key, int& (*at)(Records&), int min, int max, Rule rule = Rule::kNone) {
  return {key, Kind::kNumber, at, nullptr, min, max, rule};
}
constexpr KeySpec Text(const char* key, std::span<char> (*at)(Records&), Rule rule = Rule::kNone,
                       Kind kind = Kind::kText) {
  return {key, kind, nullptr, at, 0, 0, rule};
}

// Keys in the write order of their sections.
const KeySpec kBasicKeys[] = {
    Number("PreviewRate", NumberAt<&BasicSettings::PreviewRate>, 0, qv::kPreviewRateCount - 1),
    Number("WakeUpMail", NumberAt<&BasicSettings::WakeUpMail>, 0, 1),
    Number("StartIcon", NumberAt<&BasicSettings::StartIcon>, 0, 1),
    Number("MailTimer", NumberAt<&BasicSettings::MailTimer>, qv::kMailTimerMin, qv::kMailTimerMax),
    Text("DeviceName", TextAt<&BasicSettings::DeviceName>),
    Number("LogOutput", NumberAt<&BasicSettings::LogOutput>, 0, 1),
    Text("LogFolder", TextAt<&BasicSettings::LogFolder>),
    Number("LogKeepDays", NumberAt<&BasicSettings::LogKeepDays>, 0, qv::kLogKeepDaysMax),
};
const KeySpec kMailKeys[] = {
    Text("UserName", TextAt<&MailSettings::UserName>, Rule::kNoAngleBrackets),
    Text("MailAddr", TextAt<&MailSettings::MailAddr>, Rule::kAddress),
    Text("PopServer", TextAt<&MailSettings::PopServer>, Rule::kRequiredAscii),
    Text("SmtpServer", TextAt<&MailSettings::SmtpServer>, Rule::kRequiredAscii),
    Text("UserID", TextAt<&MailSettings::UserID>, Rule::kRequiredAscii),
    Text("Passwd", TextAt<&MailSettings::Passwd>, Rule::kAscii, Kind::kPassword),
    Number("BeforeSMTP", NumberAt<&MailSettings::BeforeSMTP>, 0, 1),
    Number("ConnMode", NumberAt<&MailSettings::ConnMode>, 0, 1),
    Number("PopPort", NumberAt<&MailSettings::PopPort>, qv::kPortMin, qv::kPortMax),
    Number("SmtpPort", NumberAt<&MailSettings::SmtpPort>, qv::kPortMin, qv::kPortMax),
    Text("DialName", TextAt<&MailSettings::DialName>),
    Number("PopSecurity", NumberAt<&MailSettings::PopSecurity>, 0, 2),
    Number("SmtpSecurity", NumberAt<&MailSettings::SmtpSecurity>, 0, 2),
    Number("SmtpAuth", NumberAt<&MailSettings::SmtpAuth>, 0, 1),
    Text("SmtpUserID", TextAt<&MailSettings::SmtpUserID>, Rule::kAscii),
    Text("SmtpPasswd", TextAt<&MailSettings::SmtpPasswd>, Rule::kAscii, Kind::kPassword),
    Text("CaFile", TextAt<&MailSettings::CaFile>),
    Number("MailProtocol", NumberAt<&MailSettings::MailProtocol>, 0, 1),
    Text("ImapFolder", TextAt<&MailSettings::ImapFolder>),
    Number("ImapIdle", NumberAt<&MailSettings::ImapIdle>, 0, 1),
};
const KeySpec kSendKeys[] = {
    Text("Title", TextAt<&SendSettings::Title>),
    Text("MailText", TextAt<&SendSettings::MailText>, Rule::kNone, Kind::kMultiLine),
    Text("SendName", TextAt<&SendSettings::SendName>, Rule::kNone, Kind::kMultiLine),
};
const KeySpec kFilterKeys[] = {
    Number("MailFill", NumberAt<&FilterSettings::MailFill>, 0, 1),
    Number("FiltMode", NumberAt<&FilterSettings::FiltMode>, 0, 1),
    Number("TitleFilt", NumberAt<&FilterSettings::TitleFilt>, 0, 1),
    Number("TextFilt", NumberAt<&FilterSettings::TextFilt>, 0, 1),
    Number("RcvDelete", NumberAt<&FilterSettings::RcvDelete>, 0, 1),
    Text("TitleFiltText", TextAt<&FilterSettings::TitleFiltText>),
    Text("TextFiltText", TextAt<&FilterSettings::TextFiltText>),
    Number("SenderHourLimit", NumberAt<&FilterSettings::SenderHourLimit>, 0, qv::kSenderHourLimitMax),
    Number("DayLimit", NumberAt<&FilterSettings::DayLimit>, 0, qv::kDayLimitMax),
};
const KeySpec kPictKeys[] = {
    Number("Type", NumberAt<&PictSettings::Type>, PICT_PNG, PICT_GIF),
    Number("PictQuality", NumberAt<&PictSettings::PictQuality>, 0, qv::kJpegQualityMax, Rule::kQuality),
    Number("Width", NumberAt<&PictSettings::Width>, qv::kWidthMin, qv::kWidthMax, Rule::kMultipleOf4),
    Number("Height", NumberAt<&PictSettings::Height>, qv::kHeightMin, qv::kHeightMax),
    Number("Aspect", NumberAt<&PictSettings::Aspect>, 0, 1),
    Number("ColQuality", NumberAt<&PictSettings::ColQuality>, 0, qv::kColQualityMax),
    Number("ColorNum", NumberAt<&PictSettings::ColorNum>, qv::kColorCodeMin, qv::kColorCodeMax),
    Number("Contrast", NumberAt<&PictSettings::Contrast>, 0, qv::kContrastMax),
    Number("Light", NumberAt<&PictSettings::Light>, qv::kLightMin, qv::kLightMax),
};

struct SectionSpec {
  const char* name;
  int profile;  // picture profile number, -1 for the other sections
  std::span<const KeySpec> keys;
  int (*load)(const char* path, int profile, Records* records);
  int (*save)(const char* path, int profile, const Records* records);
};

const SectionSpec kSections[] = {
    {"BasicSettings", -1, kBasicKeys, [](const char* p, int, Records* r) { return LoadBasicSettings(p, &r->basic); },
     [](const char* p, int, const Records* r) { return SaveBasicSettings(p, &r->basic); }},
    {"MailSettings", -1, kMailKeys, [](const char* p, int, Records* r) { return LoadMailSettings(p, &r->mail); },
     [](const char* p, int, const Records* r) { return SaveMailSettings(p, &r->mail); }},
    {"SendSettings", -1, kSendKeys, [](const char* p, int, Records* r) { return LoadSendSettings(p, &r->send); },
     [](const char* p, int, const Records* r) { return SaveSendSettings(p, &r->send); }},
    {"FilterSettings", -1, kFilterKeys,
     [](const char* p, int, Records* r) { return LoadFilterSettings(p, &r->filter); },
     [](const char* p, int, const Records* r) { return SaveFilterSettings(p, &r->filter); }},
    {"PictSettings0", 0, kPictKeys, [](const char* p, int k, Records* r) { return LoadPictSettings(p, k, &r->pict); },
     [](const char* p, int k, const Records* r) { return SavePictSettings(p, k, &r->pict); }},
    {"PictSettings1", 1, kPictKeys, [](const char* p, int k, Records* r) { return LoadPictSettings(p, k, &r->pict); },
     [](const char* p, int k, const Records* r) { return SavePictSettings(p, k, &r->pict); }},
    {"PictSettings2", 2, kPictKeys, [](const char* p, int k, Records* r) { return LoadPictSettings(p, k, &r->pict); },
     [](const char* p, int k, const Records* r) { return SavePictSettings(p, k, &r->pict); }},
    {"PictSettings3", 3, kPictKeys, [](const char* p, int k, Records* r) { return LoadPictSettings(p, k, &r->pict); },
     [](const char* p, int k, const Records* r) { return SavePictSettings(p, k, &r->pict); }},
};

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The value of a key as the terminal shows it (UTF-8); `forList` keeps it on one line, and a
// password shows as "********" unless `reveal`.
std::string Shown(const KeySpec& spec, Records& records, bool forList, bool reveal) {
  if (spec.kind == Kind::kNumber) return std::to_string(spec.number(records));
  std::span<char> field = spec.text(records);
  std::string stored(field.data(), strnlen(field.data(), field.size()));
  if (spec.kind == Kind::kPassword && !reveal) return stored.empty() ? "" : "********";
  if (spec.kind == Kind::kMultiLine && !forList) {
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

// Checks `text` (UTF-8) for the key and stores it in the record; false with the reason.
bool Assign(const KeySpec& spec, Records& records, const std::string& text, std::string* reason) {
  if (spec.kind == Kind::kNumber) {
    int value = 0;
    int min = spec.min;
    int max = spec.max;
    if (spec.rule == Rule::kQuality && records.pict.Type == PICT_PNG) max = qv::kPngQualityMax;
    if (spec.rule == Rule::kQuality && records.pict.Type == PICT_JPEG) min = qv::kJpegQualityMin;
    if (!ParseNumber(text, &value) || value < min || value > max ||
        (spec.rule == Rule::kMultipleOf4 && value % 4 != 0)) {
      *reason = "takes a whole number from " + std::to_string(min) + " to " + std::to_string(max);
      if (spec.rule == Rule::kMultipleOf4) *reason += " that is a multiple of 4";
      if (spec.rule == Rule::kQuality) *reason += " for the profile's format (PNG 0 to 9, JPEG 1 to 20)";
      return false;
    }
    spec.number(records) = value;
    return true;
  }
  std::string value = qv::Cp932FromUtf8(text);
  if (qv::Utf8FromCp932(value) != text) {
    *reason = "holds characters that the settings file (CP932) cannot store, or is not UTF-8";
    return false;
  }
  if (spec.kind != Kind::kPassword && value.find(';') != std::string::npos) {
    *reason = "cannot hold ';' (the settings file reads everything after it as a comment)";
    return false;
  }
  if (spec.kind == Kind::kMultiLine) {
    value = qv::StoredMultiLine(value);
  } else if (value.find_first_of("\r\n") != std::string::npos) {
    *reason = "takes one line";
    return false;
  }
  std::span<char> field = spec.text(records);
  const size_t limit = std::min(field.size() - 1, qv::kStoredValueBytes);
  if (value.size() > limit) {
    *reason = "holds at most " + std::to_string(limit) + " bytes in the settings file (CP932" +
              (spec.kind == Kind::kMultiLine ? ", a line break as the 4 bytes <BR>" : "") + "), this value has " +
              std::to_string(value.size());
    return false;
  }
  switch (spec.rule) {
    case Rule::kAddress:
      if (qv::CheckAddressSetting(value) != qv::AddressProblem::kNone) {
        *reason = "takes an address of the form name@domain in letters, digits and signs that a mail server "
                  "accepts (no blanks, brackets or comments outside a quoted name, no empty part of the domain)";
        return false;
      }
      break;
    case Rule::kRequiredAscii:
    case Rule::kAscii:
      if (spec.rule == Rule::kRequiredAscii && value.empty()) {
        *reason = "cannot be empty";
        return false;
      }
      if (qv::HasNonAsciiByte(value)) {
        *reason = "takes letters, digits and signs only";
        return false;
      }
      break;
    case Rule::kNoAngleBrackets:
      if (value.find_first_of("<>") != std::string::npos) {
        *reason = "cannot hold < or > (replies would not be sent and received correctly)";
        return false;
      }
      break;
    default:
      break;
  }
  std::memset(field.data(), 0, field.size());
  std::memcpy(field.data(), value.data(), value.size());
  return true;
}

std::string SectionNames() {
  std::string names;
  for (const SectionSpec& section : kSections) names += (names.empty() ? "" : ", ") + std::string(section.name);
  return names;
}

// Finds SECTION.KEY; prints why not and returns false when there is no such key.
bool FindKey(const std::string& name, const SectionSpec** section, const KeySpec** key, FILE* err) {
  size_t dot = name.find('.');
  std::string_view sectionName = std::string_view(name).substr(0, dot);
  for (const SectionSpec& candidate : kSections) {
    if (SameName(candidate.name, sectionName)) *section = &candidate;
  }
  if (!*section) {
    std::fprintf(err, "Quorvex --config: no section \"%.*s\"; the sections are %s\n",
                 static_cast<int>(sectionName.size()), sectionName.data(), SectionNames().c_str());
    return false;
  }
  std::string_view keyName = dot == std::string::npos ? std::string_view() : std::string_view(name).substr(dot + 1);
  std::string keys;
  for (const KeySpec& candidate : (*section)->keys) {
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
  for (const SectionSpec& section : kSections) {
    Records records;
    section.load(path.c_str(), section.profile, &records);
    for (const KeySpec& key : section.keys) {
      std::fprintf(out, "%s.%s=%s\n", section.name, key.key, Shown(key, records, true, reveal).c_str());
    }
  }
  return kConfigDone;
}

int Get(const std::string& path, const std::string& name, FILE* out, FILE* err, bool reveal) {
  const SectionSpec* section = nullptr;
  const KeySpec* key = nullptr;
  if (!FindKey(name, &section, &key, err)) return kConfigRefused;
  Records records;
  section->load(path.c_str(), section->profile, &records);
  std::fprintf(out, "%s\n", Shown(*key, records, false, reveal).c_str());
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
  const SectionSpec* section = nullptr;
  const KeySpec* key = nullptr;
  if (!FindKey(assignment.substr(0, equals), &section, &key, err)) return kConfigRefused;
  std::string value;
  if (equals != std::string::npos) {
    value = assignment.substr(equals + 1);
  } else if (!in || !ReadValueLine(in, std::string(section->name) + "." + key->key, err, &value)) {
    std::fprintf(err, "Quorvex --config: set %s.%s got no value (give SECTION.KEY=VALUE, or the value as one line "
                 "on standard input); nothing was written\n", section->name, key->key);
    return kConfigRefused;
  }
  Records records;
  section->load(path.c_str(), section->profile, &records);
  std::string reason;
  if (!Assign(*key, records, value, &reason)) {
    std::fprintf(err, "Quorvex --config: %s.%s %s; nothing was written\n", section->name, key->key, reason.c_str());
    return kConfigRefused;
  }
  // A new settings file starts with the first settings, whichever key is set first; when it
  // cannot be made, the save fails with its own message.
  (void)CreateFirstSettings(path.c_str());
  if (section->save(path.c_str(), section->profile, &records) != 1) {
    std::fprintf(err, "Quorvex --config: the settings file %s could not be written\n", path.c_str());
    return kConfigNotWritten;
  }
  std::fprintf(out, "%s.%s=%s\n", section->name, key->key, Shown(*key, records, true, false).c_str());
  if (std::strcmp(section->name, "BasicSettings") == 0 && std::strcmp(key->key, "DeviceName") == 0) {
    WarnAboutUnlistedDevice(records.basic.DeviceName, listDevices, err);
  }
  std::string converter;
  if (section->profile >= 0 && records.pict.Type == PICT_GIF && !LocateConverter(&converter)) {
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
