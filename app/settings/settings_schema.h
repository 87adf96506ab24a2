// Every key of the settings sections in one table. A row names the key, the member of the
// record it fills, how the value is stored (its kind), the range of a number and the rule a
// value must follow before Quorvex writes it. Loading, saving, the holding of harmful values
// at start, `Quorvex --config` and the settings pages' ranges all read these rows: a new key is
// a member of its record (with its default as the member's initialiser), one row here, and its
// widget on a page.
//
// Defaults: a key's default is its member's initialiser in the record (settings.h); the four
// picture profiles have the records of kPictDefaults instead. The rows of a section stand in
// its write order. Existing files hold that order (a key new to a file goes to the end of its
// section), so new rows go at the end; and a key that begins another key of its section
// (TitleFilt / TitleFiltText) must come first, because keys are found by prefix.
//
// The Window section (MainLeft, MainTop) is the main window's own and has no rows.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "app/settings/setting_rules.h"
#include "app/settings/settings.h"

namespace qv {

enum class SettingKind {
  kNumber,     // decimal text, read as by atoi (values beyond int clamped); empty: the default
  kSecurity,   // a connection security level, 0, 1 or 2; any other stored text reads as 2
               // (SecurityLevelFrom), at every load
  kText,       // CP932 text, cut to its field at a character boundary; stored empty stays empty
  kMultiLine,  // a text whose line breaks are stored as "<BR>" (StoredMultiLine)
  kPassword,   // a text stored as unpadded base64; it may hold ';'
};

// What a value must be, beyond its range or its field's size, before the pages or --config
// write it.
enum class SettingRule {
  kNone,
  kAddress,          // CheckAddressSetting passes
  kRequiredAscii,    // not empty, and ASCII only
  kAscii,            // ASCII only
  kNoAngleBrackets,  // no '<' or '>' (a sender name in the From field)
  kMultipleOf4,      // a picture width
  kQuality,          // within the quality range of the profile's format (PictQualityRange)
};

// What a load does beyond reading the stored value.
enum SettingFlag : unsigned {
  // LoadAllSettings holds a value outside the range to its nearer end and notes a correction:
  // the value would make the program misbehave.
  kHeldAtStart = 1u,
  // 1 in the first settings: in a settings file made from nothing (CreateFirstSettings), and
  // read so when no settings file can be read.
  kOnInFirstSettings = 2u,
  // A secret that is not a password (a command that prints one, for instance): `--config get`
  // and `list` show it masked as they show a password.
  kSecret = 4u,
};

struct SettingRange {
  int min = 0;
  int max = 0;
};

// The rows reach the record through `void*`: a row applies only to a record of its section's
// type (the typed load and save routines of settings.h make sure of it).
struct SettingRow {
  const char* key;
  SettingKind kind;
  int* (*number)(void* record);           // number and security kinds: the member
  std::span<char> (*text)(void* record);  // the text kinds: the member's whole array
  SettingRange range;                     // numbers: what the pages and --config accept
  SettingRule rule = SettingRule::kNone;
  unsigned flags = 0;
};

struct SettingSection {
  const char* name;
  std::span<const SettingRow> rows;
  const void* defaults;                  // a record of the section's type holding the defaults
  void* (*recordIn)(AllSettings& all);  // the section's record in `all`
};

namespace schema {

template <class>
struct MemberOf;
template <class Record, class Field>
struct MemberOf<Field Record::*> {
  using RecordType = Record;
};
template <auto Member>
using RecordOf = typename MemberOf<decltype(Member)>::RecordType;

template <auto Member>
int* NumberIn(void* record) {
  return &(static_cast<RecordOf<Member>*>(record)->*Member);
}
template <auto Member>
std::span<char> TextIn(void* record) {
  auto& field = static_cast<RecordOf<Member>*>(record)->*Member;
  return {field, sizeof field};
}

template <auto Member>
constexpr SettingRow Number(const char* key, SettingRange range, SettingRule rule = SettingRule::kNone,
                            unsigned flags = 0) {
  return {key, SettingKind::kNumber, &NumberIn<Member>, nullptr, range, rule, flags};
}
// 0 off, 1 on.
template <auto Member>
constexpr SettingRow Flag(const char* key, unsigned flags = 0) {
  return Number<Member>(key, {0, 1}, SettingRule::kNone, flags);
}
template <auto Member>
constexpr SettingRow Security(const char* key) {
  return {key, SettingKind::kSecurity, &NumberIn<Member>, nullptr, {kSecurityPlain, kSecurityTls}};
}
template <auto Member>
constexpr SettingRow Text(const char* key, SettingRule rule = SettingRule::kNone,
                          SettingKind kind = SettingKind::kText, unsigned flags = 0) {
  return {key, kind, nullptr, &TextIn<Member>, {}, rule, flags};
}

}  // namespace schema

// The quality a picture profile takes for its format: PNG the zlib levels 0 to 9, JPEG 1 to 20
// (the encoder gets five times the value); BMP and GIF use none, and any of 0 to 20 is kept.
inline constexpr SettingRange kPngQuality{0, 9};
inline constexpr SettingRange kJpegQuality{1, 20};
[[nodiscard]] constexpr SettingRange PictQualityRange(int type) {
  if (type == PICT_PNG) return kPngQuality;
  if (type == PICT_JPEG) return kJpegQuality;
  return {kPngQuality.min, kJpegQuality.max};
}

inline constexpr SettingRow kBasicRows[] = {
    schema::Number<&BasicSettings::PreviewRate>("PreviewRate", {0, 6}),
    schema::Flag<&BasicSettings::WakeUpMail>("WakeUpMail"),
    schema::Flag<&BasicSettings::StartIcon>("StartIcon"),
    // Minutes; a check more often would hammer the mail server.
    schema::Number<&BasicSettings::MailTimer>("MailTimer", {1, 10}, SettingRule::kNone, kHeldAtStart),
    schema::Text<&BasicSettings::DeviceName>("DeviceName"),
    schema::Flag<&BasicSettings::LogOutput>("LogOutput"),
    schema::Text<&BasicSettings::LogFolder>("LogFolder"),
    // A negative count would remove every log file; it keeps them all instead.
    schema::Number<&BasicSettings::LogKeepDays>("LogKeepDays", {0, 3650}, SettingRule::kNone, kHeldAtStart),
};

inline constexpr SettingRow kMailRows[] = {
    schema::Text<&MailSettings::UserName>("UserName", SettingRule::kNoAngleBrackets),
    schema::Text<&MailSettings::MailAddr>("MailAddr", SettingRule::kAddress),
    schema::Text<&MailSettings::PopServer>("PopServer", SettingRule::kRequiredAscii),
    schema::Text<&MailSettings::SmtpServer>("SmtpServer", SettingRule::kRequiredAscii),
    schema::Text<&MailSettings::UserID>("UserID", SettingRule::kRequiredAscii),
    schema::Text<&MailSettings::Passwd>("Passwd", SettingRule::kAscii, SettingKind::kPassword),
    schema::Flag<&MailSettings::BeforeSMTP>("BeforeSMTP"),
    schema::Flag<&MailSettings::ConnMode>("ConnMode"),
    schema::Number<&MailSettings::PopPort>("PopPort", {1, 65535}),
    schema::Number<&MailSettings::SmtpPort>("SmtpPort", {1, 65535}),
    schema::Text<&MailSettings::DialName>("DialName"),
    schema::Security<&MailSettings::PopSecurity>("PopSecurity"),
    schema::Security<&MailSettings::SmtpSecurity>("SmtpSecurity"),
    schema::Flag<&MailSettings::SmtpAuth>("SmtpAuth"),
    schema::Text<&MailSettings::SmtpUserID>("SmtpUserID", SettingRule::kAscii),
    schema::Text<&MailSettings::SmtpPasswd>("SmtpPasswd", SettingRule::kAscii, SettingKind::kPassword),
    schema::Text<&MailSettings::CaFile>("CaFile"),
    // An unknown protocol would be read as neither.
    schema::Number<&MailSettings::MailProtocol>("MailProtocol", {0, 1}, SettingRule::kNone, kHeldAtStart),
    schema::Text<&MailSettings::ImapFolder>("ImapFolder"),
    schema::Flag<&MailSettings::ImapIdle>("ImapIdle"),
    schema::Text<&MailSettings::PassCommand>("PassCommand", SettingRule::kNone, SettingKind::kText, kSecret),
    schema::Text<&MailSettings::SmtpPassCommand>("SmtpPassCommand", SettingRule::kNone, SettingKind::kText, kSecret),
    // An unknown method would be read as neither; held, it never turns a token into a password.
    schema::Number<&MailSettings::AuthMethod>("AuthMethod", {0, 1}, SettingRule::kNone, kHeldAtStart),
    schema::Number<&MailSettings::OAuthProvider>("OAuthProvider", {0, 2}),
    schema::Text<&MailSettings::OAuthClientId>("OAuthClientId", SettingRule::kAscii),
    schema::Text<&MailSettings::OAuthClientSecret>("OAuthClientSecret", SettingRule::kAscii, SettingKind::kPassword),
    schema::Text<&MailSettings::OAuthTokenUrl>("OAuthTokenUrl", SettingRule::kAscii),
    schema::Text<&MailSettings::OAuthAuthUrl>("OAuthAuthUrl", SettingRule::kAscii),
    schema::Text<&MailSettings::OAuthDeviceUrl>("OAuthDeviceUrl", SettingRule::kAscii),
    schema::Text<&MailSettings::OAuthScope>("OAuthScope", SettingRule::kAscii),
};

inline constexpr SettingRow kSendRows[] = {
    schema::Text<&SendSettings::Title>("Title"),
    schema::Text<&SendSettings::MailText>("MailText", SettingRule::kNone, SettingKind::kMultiLine),
    schema::Text<&SendSettings::SendName>("SendName", SettingRule::kNone, SettingKind::kMultiLine),
};

// A first settings file answers nobody until the owner lists a sender: the address filter is
// on and lets only the listed senders through.
inline constexpr SettingRow kFilterRows[] = {
    schema::Flag<&FilterSettings::MailFill>("MailFill", kOnInFirstSettings),
    schema::Number<&FilterSettings::FiltMode>("FiltMode", {0, 1}, SettingRule::kNone, kOnInFirstSettings),
    schema::Flag<&FilterSettings::TitleFilt>("TitleFilt"),
    schema::Flag<&FilterSettings::TextFilt>("TextFilt"),
    schema::Flag<&FilterSettings::RcvDelete>("RcvDelete"),
    schema::Text<&FilterSettings::TitleFiltText>("TitleFiltText"),
    schema::Text<&FilterSettings::TextFiltText>("TextFiltText"),
    schema::Number<&FilterSettings::SenderHourLimit>("SenderHourLimit", {0, 999}),
    schema::Number<&FilterSettings::DayLimit>("DayLimit", {0, 99999}),
};

inline constexpr SettingRow kPictRows[] = {
    schema::Number<&PictSettings::Type>("Type", {PICT_PNG, PICT_GIF}),
    schema::Number<&PictSettings::PictQuality>("PictQuality", {kPngQuality.min, kJpegQuality.max},
                                               SettingRule::kQuality),
    schema::Number<&PictSettings::Width>("Width", {32, 640}, SettingRule::kMultipleOf4),
    schema::Number<&PictSettings::Height>("Height", {32, 480}),
    schema::Flag<&PictSettings::Aspect>("Aspect"),
    schema::Number<&PictSettings::ColQuality>("ColQuality", {0, 4}),
    schema::Number<&PictSettings::ColorNum>("ColorNum", {1, 36}),  // colour-count codes (ColorCountLabel)
    schema::Number<&PictSettings::Contrast>("Contrast", {0, 16}),   // shown times 8
    schema::Number<&PictSettings::Light>("Light", {-8, 8}),         // shown times 8
};

inline constexpr BasicSettings kBasicDefaults{};
inline constexpr MailSettings kMailDefaults{};
inline constexpr SendSettings kSendDefaults{};
inline constexpr FilterSettings kFilterDefaults{};
// Per carrier class: au, J-PHONE / Vodafone, Docomo, other.
inline constexpr PictSettings kPictDefaults[4] = {
    {PICT_PNG, 7, 120, 120, 1, 4, 24, 0, 0},
    {PICT_JPEG, 12, 120, 128, 1, 4, 36, 0, 0},
    {PICT_GIF, 3, 96, 80, 1, 4, 32, 0, 0},
    {PICT_JPEG, 20, 320, 240, 1, 4, 36, 0, 0},
};

inline constexpr SettingSection kBasicSection{"BasicSettings", kBasicRows, &kBasicDefaults,
                                              [](AllSettings& all) -> void* { return &all.basic; }};
inline constexpr SettingSection kMailSection{"MailSettings", kMailRows, &kMailDefaults,
                                             [](AllSettings& all) -> void* { return &all.mail; }};
inline constexpr SettingSection kSendSection{"SendSettings", kSendRows, &kSendDefaults,
                                             [](AllSettings& all) -> void* { return &all.send; }};
inline constexpr SettingSection kFilterSection{"FilterSettings", kFilterRows, &kFilterDefaults,
                                               [](AllSettings& all) -> void* { return &all.filter; }};
// Section "PictSettings%d" of each profile.
inline constexpr SettingSection kPictSections[4] = {
    {"PictSettings0", kPictRows, &kPictDefaults[0], [](AllSettings& all) -> void* { return &all.pict[0]; }},
    {"PictSettings1", kPictRows, &kPictDefaults[1], [](AllSettings& all) -> void* { return &all.pict[1]; }},
    {"PictSettings2", kPictRows, &kPictDefaults[2], [](AllSettings& all) -> void* { return &all.pict[2]; }},
    {"PictSettings3", kPictRows, &kPictDefaults[3], [](AllSettings& all) -> void* { return &all.pict[3]; }},
};

// Every section with rows, in the order LoadAllSettings reads them and --config lists them.
inline constexpr SettingSection kSettingSections[] = {
    kBasicSection,    kMailSection,     kSendSection,     kFilterSection,
    kPictSections[0], kPictSections[1], kPictSections[2], kPictSections[3],
};

[[nodiscard]] constexpr bool IsPictureSection(const SettingSection& section) {
  return section.rows.data() == kPictRows;
}

// The range of the number of key `key` (keys are unique across the sections), as its row
// gives it: qv::RangeOf("MailTimer"). A key without a row of a number does not compile.
consteval SettingRange RangeOf(std::string_view key) {
  for (const SettingSection& section : kSettingSections) {
    for (const SettingRow& row : section.rows) {
      const bool number = row.kind == SettingKind::kNumber || row.kind == SettingKind::kSecurity;
      if (number && key == row.key) return row.range;
    }
  }
  throw "no number of the settings schema has this key";
}

// Reads every row of `section` from the settings file `path` into `record` (of the section's
// type) with the section's defaults, and returns 1. With `corrections`, a value of a row marked
// kHeldAtStart outside its range is held to the nearer end, and each such hold and each stored
// security level that is not 0, 1 or 2 adds one CP932 log text ("MailTimer=0 は範囲外のため 1
// として扱います。").
int LoadSection(const char* path, const SettingSection& section, void* record,
                std::vector<std::string>* corrections = nullptr);
// Writes every row of `section` from `record` in row order; 1 when every key was written, else 0.
int SaveSection(const char* path, const SettingSection& section, const void* record);

}  // namespace qv
