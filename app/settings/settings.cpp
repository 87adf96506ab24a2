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
#include <string_view>
#include <utility>

#include "app/settings/address_list_file.h"
#include "app/settings/converter_lookup.h"
#include "app/settings/ini.h"
#include "app/settings/setting_rules.h"
#include "platform/text.h"

namespace {

const char kBasic[] = "BasicSettings";
const char kMail[] = "MailSettings";
const char kSend[] = "SendSettings";
const char kFilter[] = "FilterSettings";
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

int ReadInt(const char* path, const char* section, const char* key, int defaultValue) {
  return ToInt(ReadValue(path, section, key, std::to_string(defaultValue).c_str()));
}

// Texts are cut at a character boundary: the 255-byte read may have split a double-byte
// character, and a lone lead byte at the end would make later character walks step over
// the terminator.
// Unlike numbers, a text that is stored empty stays empty: the default is for a missing key
// only, so a subject the user cleared is not replaced by the default subject.
template <size_t N>
void ReadText(const char* path, const char* section, const char* key, const char* defaultValue, char (&field)[N]) {
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
  qv::CopySjisField(field, N, text);
}

// Writes every (key, value) pair in order; 1 only when all of them were written.
class SectionWriter {
 public:
  SectionWriter(const char* path, const char* section) : path_(path), section_(section) {}
  void Int(const char* key, int value) { Text(key, std::to_string(value)); }
  template <size_t N>
  void Field(const char* key, const char (&field)[N]) {
    Text(key, std::string(field, strnlen(field, N)));
  }
  void Text(const char* key, const std::string& value) {
    if (WriteIniString(section_, key, value.c_str(), path_) != 1) ok_ = false;
  }
  int result() const { return ok_ ? 1 : 0; }

 private:
  const char* path_;
  const char* section_;
  bool ok_ = true;
};

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

struct PictDefaults {
  const char* values[9];
};

// Per carrier class: Type, PictQuality, Width, Height, Aspect, ColQuality, ColorNum, Contrast, Light.
const PictDefaults kPictDefaults[4] = {
    {{"0", "7", "120", "120", "1", "4", "24", "0", "0"}},
    {{"1", "12", "120", "128", "1", "4", "36", "0", "0"}},
    {{"3", "3", "96", "80", "1", "4", "32", "0", "0"}},
    {{"1", "20", "320", "240", "1", "4", "36", "0", "0"}},
};
const char* const kPictKeys[9] = {"Type",       "PictQuality", "Width",    "Height", "Aspect",
                                  "ColQuality", "ColorNum",    "Contrast", "Light"};

int* PictField(PictSettings* record, int index) {
  int* fields[9] = {&record->Type,       &record->PictQuality, &record->Width,    &record->Height, &record->Aspect,
                    &record->ColQuality, &record->ColorNum,    &record->Contrast, &record->Light};
  return fields[index];
}

std::string PictSection(int profile) {
  char name[32];
  std::snprintf(name, sizeof name, "PictSettings%d", profile);
  return name;
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

}  // namespace

std::vector<std::string> MissingMailSettings(const MailSettings& mail) {
  std::vector<std::string> missing;
  const std::pair<const char*, const char*> needed[] = {{"PopServer", mail.PopServer},
                                                        {"UserID", mail.UserID},
                                                        {"Passwd", mail.Passwd},
                                                        {"SmtpServer", mail.SmtpServer},
                                                        {"MailAddr", mail.MailAddr}};
  for (const auto& [key, value] : needed) {
    if (value[0] == '\0') missing.emplace_back(key);
  }
  return missing;
}

int LoadBasicSettings(const char* path, BasicSettings* record) {
  record->PreviewRate = ReadInt(path, kBasic, "PreviewRate", 6);
  record->WakeUpMail = ReadInt(path, kBasic, "WakeUpMail", 0);
  record->StartIcon = ReadInt(path, kBasic, "StartIcon", 0);
  record->MailTimer = ReadInt(path, kBasic, "MailTimer", 5);
  ReadText(path, kBasic, "DeviceName", "", record->DeviceName);
  record->LogOutput = ReadInt(path, kBasic, "LogOutput", 1);
  ReadText(path, kBasic, "LogFolder", "", record->LogFolder);
  record->LogKeepDays = ReadInt(path, kBasic, "LogKeepDays", qv::kLogKeepDaysDefault);
  return 1;
}

int LoadMailSettings(const char* path, MailSettings* record) {
  ReadText(path, kMail, "UserName", "", record->UserName);
  ReadText(path, kMail, "MailAddr", "", record->MailAddr);
  ReadText(path, kMail, "PopServer", "", record->PopServer);
  ReadText(path, kMail, "SmtpServer", "", record->SmtpServer);
  ReadText(path, kMail, "UserID", "", record->UserID);
  qv::CopySjisField(record->Passwd, sizeof record->Passwd, DecodePassword(ReadValue(path, kMail, "Passwd", "")));
  record->BeforeSMTP = ReadInt(path, kMail, "BeforeSMTP", 0);
  record->ConnMode = ReadInt(path, kMail, "ConnMode", 0);
  record->PopPort = ReadInt(path, kMail, "PopPort", 110);
  record->SmtpPort = ReadInt(path, kMail, "SmtpPort", 25);
  ReadText(path, kMail, "DialName", "", record->DialName);
  // An unknown level means TLS, never plain (LoadAllSettings logs the correction).
  record->PopSecurity = qv::SecurityLevelFrom(ReadValue(path, kMail, "PopSecurity", "0"));
  record->SmtpSecurity = qv::SecurityLevelFrom(ReadValue(path, kMail, "SmtpSecurity", "0"));
  record->SmtpAuth = ReadInt(path, kMail, "SmtpAuth", 0);
  ReadText(path, kMail, "SmtpUserID", "", record->SmtpUserID);
  qv::CopySjisField(record->SmtpPasswd, sizeof record->SmtpPasswd,
                    DecodePassword(ReadValue(path, kMail, "SmtpPasswd", "")));
  ReadText(path, kMail, "CaFile", "", record->CaFile);
  record->MailProtocol = ReadInt(path, kMail, "MailProtocol", 0);
  ReadText(path, kMail, "ImapFolder", "INBOX", record->ImapFolder);
  record->ImapIdle = ReadInt(path, kMail, "ImapIdle", 1);
  return 1;
}

int LoadSendSettings(const char* path, SendSettings* record) {
  ReadText(path, kSend, "Title", SJIS("Quorvex画像").c_str(), record->Title);
  ReadText(path, kSend, "MailText", "", record->MailText);
  ReadText(path, kSend, "SendName", "", record->SendName);
  return 1;
}

int LoadFilterSettings(const char* path, FilterSettings* record) {
  // Without a readable file (a first start, a new --ini path) the first settings hold: a
  // filter that answers nobody is safer than one that answers everybody.
  const int filterDefault = SettingsFileReadable(path) ? 0 : 1;
  record->MailFill = ReadInt(path, kFilter, "MailFill", filterDefault);
  record->FiltMode = ReadInt(path, kFilter, "FiltMode", filterDefault);
  record->TitleFilt = ReadInt(path, kFilter, "TitleFilt", 0);
  record->TextFilt = ReadInt(path, kFilter, "TextFilt", 0);
  record->RcvDelete = ReadInt(path, kFilter, "RcvDelete", 1);
  ReadText(path, kFilter, "TitleFiltText", "", record->TitleFiltText);
  ReadText(path, kFilter, "TextFiltText", "", record->TextFiltText);
  record->SenderHourLimit = ReadInt(path, kFilter, "SenderHourLimit", 5);
  record->DayLimit = ReadInt(path, kFilter, "DayLimit", 200);
  return 1;
}

int LoadPictSettings(const char* path, int profile, PictSettings* record) {
  std::string section = PictSection(profile);
  bool known = profile >= 0 && profile <= 3;
  for (int i = 0; i < 9; ++i) {
    const char* defaultValue = known ? kPictDefaults[profile].values[i] : "";
    *PictField(record, i) = ToInt(ReadValue(path, section.c_str(), kPictKeys[i], defaultValue));
  }
  return 1;
}

PictSettings DefaultPictSettings(int profile) {
  PictSettings defaults;
  if (profile < 0 || profile > 3) return defaults;
  for (int i = 0; i < 9; ++i) *PictField(&defaults, i) = ToInt(kPictDefaults[profile].values[i]);
  return defaults;
}

int LoadWindowPlacement(const char* path, WindowPlacement* record) {
  std::string left = ReadValue(path, kWindow, "MainLeft", "");
  std::string top = ReadValue(path, kWindow, "MainTop", "");
  record->valid = !left.empty();
  record->MainLeft = ToInt(left);
  record->MainTop = ToInt(top);
  return 1;
}

int SaveBasicSettings(const char* path, const BasicSettings* record) {
  SectionWriter writer(path, kBasic);
  writer.Int("PreviewRate", record->PreviewRate);
  writer.Int("WakeUpMail", record->WakeUpMail);
  writer.Int("StartIcon", record->StartIcon);
  writer.Int("MailTimer", record->MailTimer);
  writer.Field("DeviceName", record->DeviceName);
  writer.Int("LogOutput", record->LogOutput);
  writer.Field("LogFolder", record->LogFolder);
  writer.Int("LogKeepDays", record->LogKeepDays);
  return writer.result();
}

int SaveMailSettings(const char* path, const MailSettings* record) {
  SectionWriter writer(path, kMail);
  writer.Field("UserName", record->UserName);
  writer.Field("MailAddr", record->MailAddr);
  writer.Field("PopServer", record->PopServer);
  writer.Field("SmtpServer", record->SmtpServer);
  writer.Field("UserID", record->UserID);
  writer.Text("Passwd", EncodePassword(std::string_view(record->Passwd, strnlen(record->Passwd, sizeof record->Passwd))));
  writer.Int("BeforeSMTP", record->BeforeSMTP);
  writer.Int("ConnMode", record->ConnMode);
  writer.Int("PopPort", record->PopPort);
  writer.Int("SmtpPort", record->SmtpPort);
  writer.Field("DialName", record->DialName);
  writer.Int("PopSecurity", record->PopSecurity);
  writer.Int("SmtpSecurity", record->SmtpSecurity);
  writer.Int("SmtpAuth", record->SmtpAuth);
  writer.Field("SmtpUserID", record->SmtpUserID);
  writer.Text("SmtpPasswd", EncodePassword(std::string_view(record->SmtpPasswd,
                                                            strnlen(record->SmtpPasswd, sizeof record->SmtpPasswd))));
  writer.Field("CaFile", record->CaFile);
  writer.Int("MailProtocol", record->MailProtocol);
  writer.Field("ImapFolder", record->ImapFolder);
  writer.Int("ImapIdle", record->ImapIdle);
  return writer.result();
}

int SaveSendSettings(const char* path, const SendSettings* record) {
  SectionWriter writer(path, kSend);
  writer.Field("Title", record->Title);
  writer.Field("MailText", record->MailText);
  writer.Field("SendName", record->SendName);
  return writer.result();
}

int SaveFilterSettings(const char* path, const FilterSettings* record) {
  SectionWriter writer(path, kFilter);
  writer.Int("MailFill", record->MailFill);
  writer.Int("FiltMode", record->FiltMode);
  writer.Int("TitleFilt", record->TitleFilt);
  writer.Int("TextFilt", record->TextFilt);
  writer.Int("RcvDelete", record->RcvDelete);
  writer.Field("TitleFiltText", record->TitleFiltText);
  writer.Field("TextFiltText", record->TextFiltText);
  writer.Int("SenderHourLimit", record->SenderHourLimit);
  writer.Int("DayLimit", record->DayLimit);
  return writer.result();
}

int SavePictSettings(const char* path, int profile, const PictSettings* record) {
  std::string section = PictSection(profile);
  SectionWriter writer(path, section.c_str());
  PictSettings copy = *record;
  for (int i = 0; i < 9; ++i) writer.Int(kPictKeys[i], *PictField(&copy, i));
  return writer.result();
}

int SaveWindowPlacement(const char* path, const WindowPlacement* record) {
  SectionWriter writer(path, kWindow);
  writer.Int("MainLeft", record->MainLeft);
  writer.Int("MainTop", record->MainTop);
  return writer.result();
}

FirstSettings CreateFirstSettings(const char* path, std::string* error) {
  struct stat st;
  if (stat(path, &st) == 0 || errno != ENOENT) return FirstSettings::kExisting;
  FilterSettings first;
  first.MailFill = 1;
  first.FiltMode = 1;
  if (SaveFilterSettings(path, &first) != 1) {
    if (error) *error = std::string("the settings file ") + path + " could not be written";
    return FirstSettings::kFailed;
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
  // 1. Window placement; the window applies it (it is read here so that one call gives all).
  LoadWindowPlacement(path, &settings->window);
  // 2. The four plain records.
  LoadBasicSettings(path, &settings->basic);
  LoadMailSettings(path, &settings->mail);
  LoadSendSettings(path, &settings->send);
  LoadFilterSettings(path, &settings->filter);
  // 3. The GIF converter, looked up afresh at every load.
  std::string converterRefusal;
  settings->converterInstalled = LocateConverter(&settings->converterPath, &converterRefusal);
  // 4. Picture profiles; without a converter GIF becomes JPEG in memory, the file keeps GIF.
  for (int profile = 0; profile < 4; ++profile) {
    LoadPictSettings(path, profile, &settings->pict[profile]);
    if (!settings->converterInstalled && settings->pict[profile].Type == PICT_GIF) {
      settings->pict[profile].Type = PICT_JPEG;
    }
  }
  // 5. Values that would make the program misbehave are held to the range the settings pages
  //    allow: a check interval under a minute would hammer the mail server; an unknown
  //    security level must not quietly mean "plain".
  settings->corrections.clear();
  auto hold = [settings](const char* key, int* value, int low, int high) {
    if (*value >= low && *value <= high) return;
    int held = *value < low ? low : high;
    settings->corrections.push_back(key + std::string("=") + std::to_string(*value) +
                                    SJIS(" は範囲外のため ") + std::to_string(held) +
                                    SJIS(" として扱います。"));
    *value = held;
  };
  hold("MailTimer", &settings->basic.MailTimer, 1, 10);
  // An unknown security level was read as 2 (TLS from the first byte): say so.
  for (const char* key : {"PopSecurity", "SmtpSecurity"}) {
    std::string stored = ReadValue(path, kMail, key, "0");
    bool held = false;
    int level = qv::SecurityLevelFrom(stored, &held);
    if (held) {
      settings->corrections.push_back(key + std::string("=") + stored + SJIS(" は範囲外のため ") +
                                      std::to_string(level) + SJIS(" として扱います。"));
    }
  }
  hold("MailProtocol", &settings->mail.MailProtocol, 0, 1);
  settings->warnings.clear();
  WarnIfReadableByOthers(path, &settings->warnings);
  if (!converterRefusal.empty()) {
    settings->warnings.push_back(SJIS("GIF変換プログラムを使わず、GIFの画像はJPEGで送ります: ") +
                                    qv::Cp932FromUtf8(converterRefusal));
  }
  hold("LogKeepDays", &settings->basic.LogKeepDays, 0, qv::kLogKeepDaysMax);
  // 6. The sender address list is loaded by the caller (it lives beside the settings file).
  return 1;
}
