#include "app/settings/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#include "app/settings/address_list_file.h"
#include "app/settings/converter_lookup.h"
#include "app/settings/ini.h"
#include "app/settings/setting_rules.h"
#include "app/settings/settings_schema.h"
#include "platform/text.h"

namespace {

using qv::SettingKind;
using qv::SettingRow;
using qv::SettingSection;

const char kWindow[] = "Window";

// The value of a key, or `defaultValue` when it is missing or empty. Every caller reads into a
// 256-byte buffer, so at most 255 bytes come back.
std::string ReadValue(const char* path, const char* section, const char* key, const char* defaultValue) {
  char buffer[256];
  GetIniString(section, key, defaultValue, buffer, sizeof buffer, path);
  return buffer[0] ? std::string(buffer) : std::string(defaultValue);
}

// Integers read as by atoi (blanks, sign, digits up to the first non-digit, 0 for text), but
// values beyond the int range are clamped instead of being undefined.
int ToInt(const std::string& text) {
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Texts are cut at a character boundary: the 255-byte read may have split a double-byte
// character, and a lone lead byte at the end would make later character walks step over
// the terminator.
// Unlike numbers, a text that is stored empty stays empty: the default is for a missing key
// only, so a subject the user cleared is not replaced by the default subject.
void ReadText(const char* path, const char* section, const char* key, const char* defaultValue,
              std::span<char> field) {
  char buffer[256];
  GetIniString(section, key, defaultValue, buffer, sizeof buffer, path);
  std::string text = buffer;
  size_t i = 0;
  while (i < text.size()) {
    bool lead = qv::IsSjisLeadByte(static_cast<unsigned char>(text[i]));
    if (lead && i + 1 == text.size()) {
      text.resize(i);
      break;
    }
    i += lead ? 2 : 1;
  }
  qv::CopySjisField(field.data(), field.size(), text);
}

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Standard base64 without '=' padding: the last group has 2 or 3 characters.
std::string EncodePassword(std::string_view bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    size_t characters = std::min<size_t>(bytes.size() - i, 3) + 1;
    for (size_t k = 0; k < characters; ++k) out.push_back(kBase64Alphabet[(group >> (18 - 6 * k)) & 63]);
  }
  return out;
}

// Each group of four characters gives three bytes; a missing character at the end or any
// character outside the alphabet counts as 0; the text ends at its first zero byte.
std::string DecodePassword(std::string_view text) {
  auto sextet = [](char c) -> uint32_t {
    const char* at = c ? std::strchr(kBase64Alphabet, c) : nullptr;
    return at ? static_cast<uint32_t>(at - kBase64Alphabet) : 0;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t group = 0;
    for (size_t k = 0; k < 4; ++k) group = (group << 6) | (i + k < text.size() ? sextet(text[i + k]) : 0);
    out.push_back(static_cast<char>((group >> 16) & 0xFF));
    out.push_back(static_cast<char>((group >> 8) & 0xFF));
    out.push_back(static_cast<char>(group & 0xFF));
  }
  size_t zero = out.find('\0');
  if (zero != std::string::npos) out.resize(zero);
  return out;
}

// A settings file that exists but cannot be read gives defaults; say so once per load.
void ReportUnreadable(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    if (errno != ENOENT) std::fprintf(stderr, "Quorvex: the settings file %s cannot be read (%s); defaults are used\n",
                                      path, std::strerror(errno));
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "Quorvex: the settings file %s is not a file; defaults are used\n", path);
    return;
  }
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "Quorvex: the settings file %s cannot be read (%s); defaults are used\n", path,
                 std::strerror(errno));
    return;
  }
  close(fd);
}

// Whether the settings file can be opened and read as a file.
bool SettingsFileReadable(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// The settings file holds the mail passwords: one that others may read is named in the log.
void WarnIfReadableByOthers(const char* path, std::vector<std::string>* warnings) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0044) == 0) return;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
  std::string line = SJIS("設定ファイル ") + path + SJIS(" (モード ") + mode +
                     SJIS(") は他のユーザーも読めます。パスワードを守るには chmod 600 ") + path +
                     SJIS(" としてください(設定を保存すると 600 になります)。");
  std::fprintf(stderr, "Quorvex: the settings file %s (mode %s) can be read by other users; chmod 600 %s\n", path,
               mode, path);
  warnings->push_back(line);
}

// What a load that holds values notes: `key`=`stored` is treated as `held`.
std::string CorrectionText(const char* key, const std::string& stored, int held) {
  return key + std::string("=") + stored + SJIS(" は範囲外のため ") + std::to_string(held) + SJIS(" として扱います。");
}

// The defaults record of a section is only read.
int DefaultNumber(const SettingSection& section, const SettingRow& row) {
  return *row.number(const_cast<void*>(section.defaults));
}
std::string DefaultText(const SettingSection& section, const SettingRow& row) {
  std::span<char> field = row.text(const_cast<void*>(section.defaults));
  return std::string(field.data(), strnlen(field.data(), field.size()));
}

void LoadNumber(const char* path, const SettingSection& section, const SettingRow& row, bool firstSettings,
                void* record, std::vector<std::string>* corrections) {
  const int fallback = firstSettings && (row.flags & qv::kOnInFirstSettings) ? 1 : DefaultNumber(section, row);
  const std::string stored = ReadValue(path, section.name, row.key, std::to_string(fallback).c_str());
  int& value = *row.number(record);
  if (row.kind == SettingKind::kSecurity) {
    // An unknown level means TLS, never plain.
    bool held = false;
    value = qv::SecurityLevelFrom(stored, &held);
    if (held && corrections) corrections->push_back(CorrectionText(row.key, stored, value));
    return;
  }
  value = ToInt(stored);
  if (!corrections || !(row.flags & qv::kHeldAtStart)) return;
  if (value >= row.range.min && value <= row.range.max) return;
  const int held = value < row.range.min ? row.range.min : row.range.max;
  corrections->push_back(CorrectionText(row.key, std::to_string(value), held));
  value = held;
}

void LoadText(const char* path, const SettingSection& section, const SettingRow& row, void* record) {
  const std::string fallback = DefaultText(section, row);
  std::span<char> field = row.text(record);
  if (row.kind == SettingKind::kPassword) {
    const std::string stored = ReadValue(path, section.name, row.key, fallback.c_str());
    qv::CopySjisField(field.data(), field.size(), DecodePassword(stored));
  } else {
    ReadText(path, section.name, row.key, fallback.c_str(), field);
  }
}

// The text a row's value is stored as.
std::string StoredText(const SettingRow& row, const void* record) {
  // Saving only reads the record.
  void* fields = const_cast<void*>(record);
  if (row.number) return std::to_string(*row.number(fields));
  std::span<char> field = row.text(fields);
  std::string_view text(field.data(), strnlen(field.data(), field.size()));
  return row.kind == SettingKind::kPassword ? EncodePassword(text) : std::string(text);
}

}  // namespace

std::vector<std::string> MissingMailSettings(const MailSettings& mail) {
  std::vector<std::string> missing;
  const std::pair<const char*, const char*> needed[] = {{"PopServer", mail.PopServer},
                                                        {"UserID", mail.UserID},
                                                        {"Passwd", mail.Passwd},
                                                        {"SmtpServer", mail.SmtpServer},
                                                        {"MailAddr", mail.MailAddr}};
  // A token or a command's secret stands in for the stored password.
  const bool passwordElsewhere = mail.PassCommand[0] != '\0' || mail.AuthMethod == 1;
  for (const auto& [key, value] : needed) {
    if (value[0] == '\0' && !(passwordElsewhere && value == mail.Passwd)) missing.emplace_back(key);
  }
  return missing;
}

namespace qv {

int LoadSection(const char* path, const SettingSection& section, void* record,
                std::vector<std::string>* corrections) {
  // Without a readable file (a first start, a new --ini path) the first settings hold: a
  // filter that answers nobody is safer than one that answers everybody.
  const bool hasFirstSettings = std::any_of(section.rows.begin(), section.rows.end(),
                                            [](const SettingRow& row) { return row.flags & kOnInFirstSettings; });
  const bool firstSettings = hasFirstSettings && !SettingsFileReadable(path);
  for (const SettingRow& row : section.rows) {
    if (row.number) {
      LoadNumber(path, section, row, firstSettings, record, corrections);
    } else {
      LoadText(path, section, row, record);
    }
  }
  return 1;
}

int SaveSection(const char* path, const SettingSection& section, const void* record) {
  bool written = true;
  for (const SettingRow& row : section.rows) {
    if (WriteIniString(section.name, row.key, StoredText(row, record).c_str(), path) != 1) written = false;
  }
  return written ? 1 : 0;
}

}  // namespace qv

namespace {

// The section of picture profile `profile`; one beyond 0..3 has no defaults (every field 0)
// and its name in `name`.
SettingSection PictSection(int profile, char (&name)[32]) {
  if (profile >= 0 && profile < 4) return qv::kPictSections[profile];
  static constexpr PictSettings kNoDefaults{};
  std::snprintf(name, sizeof name, "PictSettings%d", profile);
  return {name, qv::kPictRows, &kNoDefaults, nullptr};
}

}  // namespace

int LoadBasicSettings(const char* path, BasicSettings* record) {
  return qv::LoadSection(path, qv::kBasicSection, record);
}
int LoadMailSettings(const char* path, MailSettings* record) {
  return qv::LoadSection(path, qv::kMailSection, record);
}
int LoadSendSettings(const char* path, SendSettings* record) {
  return qv::LoadSection(path, qv::kSendSection, record);
}
int LoadFilterSettings(const char* path, FilterSettings* record) {
  return qv::LoadSection(path, qv::kFilterSection, record);
}
int LoadPictSettings(const char* path, int profile, PictSettings* record) {
  char name[32];
  return qv::LoadSection(path, PictSection(profile, name), record);
}

int SaveBasicSettings(const char* path, const BasicSettings* record) {
  return qv::SaveSection(path, qv::kBasicSection, record);
}
int SaveMailSettings(const char* path, const MailSettings* record) {
  return qv::SaveSection(path, qv::kMailSection, record);
}
int SaveSendSettings(const char* path, const SendSettings* record) {
  return qv::SaveSection(path, qv::kSendSection, record);
}
int SaveFilterSettings(const char* path, const FilterSettings* record) {
  return qv::SaveSection(path, qv::kFilterSection, record);
}
int SavePictSettings(const char* path, int profile, const PictSettings* record) {
  char name[32];
  return qv::SaveSection(path, PictSection(profile, name), record);
}

int LoadWindowPlacement(const char* path, WindowPlacement* record) {
  std::string left = ReadValue(path, kWindow, "MainLeft", "");
  std::string top = ReadValue(path, kWindow, "MainTop", "");
  record->valid = !left.empty();
  record->MainLeft = ToInt(left);
  record->MainTop = ToInt(top);
  return 1;
}

int SaveWindowPlacement(const char* path, const WindowPlacement* record) {
  bool written = WriteIniString(kWindow, "MainLeft", std::to_string(record->MainLeft).c_str(), path) == 1;
  written = WriteIniString(kWindow, "MainTop", std::to_string(record->MainTop).c_str(), path) == 1 && written;
  return written ? 1 : 0;
}

FirstSettings CreateFirstSettings(const char* path, std::string* error) {
  struct stat st;
  if (stat(path, &st) == 0 || errno != ENOENT) return FirstSettings::kExisting;
  // The sections that hold first settings, with them and the other keys' defaults.
  AllSettings first;
  for (const SettingSection& section : qv::kSettingSections) {
    void* record = section.recordIn(first);
    bool holdsFirstSettings = false;
    for (const SettingRow& row : section.rows) {
      if (!(row.flags & qv::kOnInFirstSettings)) continue;
      *row.number(record) = 1;
      holdsFirstSettings = true;
    }
    if (holdsFirstSettings && qv::SaveSection(path, section, record) != 1) {
      if (error) *error = std::string("the settings file ") + path + " could not be written";
      return FirstSettings::kFailed;
    }
  }
  // A list that is already there (copied in before the first start) is kept.
  const std::string list = AddressListPath(path);
  if (stat(list.c_str(), &st) != 0 && errno == ENOENT) (void)WriteAddressListFile(list, {});
  return FirstSettings::kCreated;
}

std::string FilterStateText(const FilterSettings& filter, size_t entries) {
  const std::string count = std::to_string(entries);
  if (filter.MailFill == 0) {
    return SJIS("アドレスフィルタを使わない設定のため、すべての差出人に画像を返信します。");
  }
  if (filter.FiltMode != 0) {
    if (entries == 0) {
      return SJIS("返信するアドレスが登録されていないため、どのメールにも返信しません。"
                  "「Quorvex --senders add アドレス」か、設定のフィルタ設定で登録してください。");
    }
    return SJIS("登録された") + count + SJIS("件のアドレスにだけ画像を返信します。");
  }
  if (entries == 0) return SJIS("受け付けないアドレスが登録されていないため、すべての差出人に画像を返信します。");
  return SJIS("登録された") + count + SJIS("件のアドレスを除き、すべての差出人に画像を返信します。");
}

int LoadAllSettings(const char* path, AllSettings* settings) {
  ReportUnreadable(path);
  // The window applies its placement; it is read here so that one call gives all.
  LoadWindowPlacement(path, &settings->window);
  // Values that would make the program misbehave are held to the range the settings pages
  // allow, and each hold is said.
  settings->corrections.clear();
  for (const SettingSection& section : qv::kSettingSections) {
    qv::LoadSection(path, section, section.recordIn(*settings), &settings->corrections);
  }
  // The GIF converter, looked up afresh at every load. Without one GIF becomes JPEG in memory;
  // the file keeps GIF.
  std::string converterRefusal;
  settings->converterInstalled = LocateConverter(&settings->converterPath, &converterRefusal);
  for (PictSettings& profile : settings->pict) {
    if (!settings->converterInstalled && profile.Type == PICT_GIF) profile.Type = PICT_JPEG;
  }
  settings->warnings.clear();
  WarnIfReadableByOthers(path, &settings->warnings);
  if (!converterRefusal.empty()) {
    settings->warnings.push_back(SJIS("GIF変換プログラムを使わず、GIFの画像はJPEGで送ります: ") +
                                    qv::Cp932FromUtf8(converterRefusal));
  }
  // The sender address list is loaded by the caller (it lives beside the settings file).
  return 1;
}
