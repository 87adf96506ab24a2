// The settings records of Quorvex.ini and their load and save routines.
//
// Which keys a section holds, with their kinds, ranges and rules, is the table of
// settings_schema.h; each member's initialiser below is its key's default. Every routine
// takes the settings file path (read and written through ini.h). Load routines read each key
// of their section (missing keys take their defaults, and so do empty numbers, while an empty
// text stays empty; integers are read as by atoi, values beyond the int range clamped; texts
// are cut at a character boundary to their field, and to the 255 bytes a stored value holds)
// and return 1. Values are not range-checked: a hand-edited file can hold what the settings
// pages would refuse, and the users of a value guard against harm. Save routines write every
// key of their section in the fixed write order and return 1, or 0 when a write failed.
// Texts are CP932 bytes; Passwd, SmtpPasswd and OAuthClientSecret are stored as base64 without
// '=' padding.
#pragma once

#include <string>
#include <vector>

struct BasicSettings {
  int PreviewRate = 6;  // index 0..6 into the preview rates 1, 5, 10, 15, 20, 30, 60 fps
  int MailTimer = 5;    // minutes between mail checks
  int WakeUpMail = 0;   // 1 = the patrol is on at start
  int StartIcon = 0;    // 1 = start in the notification area
  int LogOutput = 1;    // 1 = daily log files too
  char DeviceName[256] = "";
  char LogFolder[256] = "";
  int LogKeepDays = 90;  // daily log files older than this many days are removed; 0 keeps all
};

struct MailSettings {
  int BeforeSMTP = 0;
  int PopPort = 110;
  int SmtpPort = 25;
  int ConnMode = 0;  // 0 LAN, otherwise dial-up through DialName
  char UserName[256] = "";
  char MailAddr[256] = "";
  char PopServer[256] = "";
  char SmtpServer[256] = "";
  char UserID[64] = "";
  char Passwd[64] = "";  // decoded in memory, unpadded base64 in the file
  char DialName[256] = "";
  // Secure mail. A settings file without these keys behaves as before: plain POP3 and SMTP
  // without authentication.
  int PopSecurity = 0;       // 0 plain, 1 STLS before USER, 2 TLS from the first byte (POP3S)
  int SmtpSecurity = 0;      // 0 plain, 1 STARTTLS after EHLO, 2 TLS from the first byte
  int SmtpAuth = 0;          // 1 = SMTP AUTH (PLAIN, else LOGIN)
  char SmtpUserID[64] = "";  // empty: UserID
  char SmtpPasswd[64] = "";  // empty: Passwd; stored like Passwd
  char CaFile[256] = "";     // PEM file of extra trusted certificates; empty: none
  // The mailbox protocol. PopServer, PopPort, UserID, Passwd and PopSecurity serve both (for
  // IMAP, PopSecurity 1 is STARTTLS). A settings file without these keys reads POP3.
  int MailProtocol = 0;           // 0 POP3, 1 IMAP
  char ImapFolder[256] = "INBOX"; // the IMAP folder that is checked
  int ImapIdle = 1;               // 1 = with IMAP, wait for news between checks (IDLE)
  // Secrets kept out of the settings file (secret_source.h): a command line whose first output
  // line is the password or token. With a command set, the stored passwords are not used.
  char PassCommand[256] = "";      // the mailbox's; empty: Passwd
  char SmtpPassCommand[256] = "";  // the submission's; empty: PassCommand
  // How the log-ins prove who we are: 0 the password (USER/PASS, LOGIN, AUTH PLAIN or LOGIN),
  // 1 an OAuth2 access token (SASL XOAUTH2 or OAUTHBEARER) from PassCommand or the built-in
  // log-in.
  int AuthMethod = 0;
  // The built-in OAuth2 log-in (`Quorvex --oauth2-login`, app/oauth/): the provider, the
  // application's client ID and, where the provider gives one, its client secret (stored like
  // Passwd). A preset brings its endpoints and scopes; a custom provider names its own. The
  // tokens themselves are kept in a file of their own beside the state file, never here.
  int OAuthProvider = 0;              // 0 Microsoft, 1 Google, 2 custom
  char OAuthClientId[256] = "";
  char OAuthClientSecret[128] = "";
  char OAuthTokenUrl[256] = "";       // custom only: https, or http to 127.0.0.1 / localhost
  char OAuthAuthUrl[256] = "";        // custom only
  char OAuthDeviceUrl[256] = "";      // custom only
  char OAuthScope[256] = "";          // custom only: the scopes asked for, space-separated
};

struct SendSettings {
  char Title[256] = "Quorvex\x89\xE6\x91\x9C";  // "Quorvex画像" in CP932
  char MailText[4096] = ""; // "<BR>" for line breaks; at most 255 bytes are loaded
  char SendName[256] = "";  // signature, "<BR>" for line breaks
};

// The defaults are those of a key missing from an existing file. A settings file that does not
// exist yet (or cannot be read) gives the first settings instead (the rows marked
// kOnInFirstSettings): MailFill 1 and FiltMode 1, so nobody is answered until the owner lists a
// sender (CreateFirstSettings writes them).
struct FilterSettings {
  int MailFill = 0;   // 1 = the sender address list is applied
  int FiltMode = 0;   // 0 = the list names senders to refuse, otherwise the only ones answered
  int TitleFilt = 0;  // 1 = the subject filter is applied
  int TextFilt = 0;   // stored only
  int RcvDelete = 1;  // 1 = refused mails are deleted from the server
  char TitleFiltText[256] = "";
  char TextFiltText[256] = "";  // stored only
  int SenderHourLimit = 5;  // replies to one sender address in any hour; 0 = no limit
  int DayLimit = 200;       // replies in all per calendar day; 0 = no limit
};

// One picture profile; the profile number is the carrier class (0 au, 1 J-PHONE / Vodafone,
// 2 Docomo, 3 other).
struct PictSettings {
  int Type = 0;         // 0 PNG, 1 JPEG, 2 BMP, 3 GIF
  int PictQuality = 0;  // JPEG 1..20 (encoder quality 5x), PNG 0..9
  int Width = 0;
  int Height = 0;
  int Aspect = 0;       // 1 = keep the aspect ratio (cover and crop)
  int ColQuality = 0;
  int ColorNum = 0;     // colour-count code of the picture page
  int Contrast = 0;
  int Light = 0;

  bool operator==(const PictSettings&) const = default;
};

enum PictType { PICT_PNG = 0, PICT_JPEG = 1, PICT_BMP = 2, PICT_GIF = 3 };

// Window placement (section Window); `valid` is false when MainLeft is missing or empty (an
// empty MainTop reads as 0).
struct WindowPlacement {
  bool valid = false;
  int MainLeft = 0;
  int MainTop = 0;
};

// Everything LoadAllSettings fills.
struct AllSettings {
  WindowPlacement window;
  BasicSettings basic;
  MailSettings mail;
  SendSettings send;
  FilterSettings filter;
  PictSettings pict[4];
  bool converterInstalled = false;
  std::string converterPath;  // the GIF converter program, empty when not installed
  // What LoadAllSettings held to its range, one CP932 log text each ("MailTimer=0 ..."): the
  // owner logs them.
  std::vector<std::string> corrections;
  // What else the load found wrong, one CP932 log text each: a settings file that others may
  // read, a registered converter that is not used. The owner logs them too.
  std::vector<std::string> warnings;
};

// The keys of MailSettings a check and its replies cannot do without, as far as they are
// empty, in this order: PopServer, UserID, Passwd, SmtpServer, MailAddr. Passwd is not needed
// when PassCommand is set or AuthMethod is 1 (OAuth2: the token comes from elsewhere).
[[nodiscard]] std::vector<std::string> MissingMailSettings(const MailSettings& mail);

int LoadBasicSettings(const char* path, BasicSettings* record);
int LoadMailSettings(const char* path, MailSettings* record);
int LoadSendSettings(const char* path, SendSettings* record);
int LoadFilterSettings(const char* path, FilterSettings* record);
// Profiles 0..3 have their own defaults (kPictDefaults); any other number reads missing keys
// as 0.
int LoadPictSettings(const char* path, int profile, PictSettings* record);
int LoadWindowPlacement(const char* path, WindowPlacement* record);

int SaveBasicSettings(const char* path, const BasicSettings* record);
int SaveMailSettings(const char* path, const MailSettings* record);
int SaveSendSettings(const char* path, const SendSettings* record);
int SaveFilterSettings(const char* path, const FilterSettings* record);
int SavePictSettings(const char* path, int profile, const PictSettings* record);
int SaveWindowPlacement(const char* path, const WindowPlacement* record);

// What CreateFirstSettings found.
enum class FirstSettings {
  kExisting,  // the settings file was there: nothing was written
  kCreated,   // it was made with the first filter settings (and an empty address list)
  kFailed,    // it could not be made; the reason is in *error
};

// Makes a settings file that does not exist yet: its FilterSettings section with MailFill 1,
// FiltMode 1 and the other keys' defaults, and the address list beside it, empty, when there
// is none. A file that exists is left as it is, whatever it holds. Called wherever the program
// may make the file: at every start, by --settings, --config and --senders.
FirstSettings CreateFirstSettings(const char* path, std::string* error = nullptr);

// Which senders `filter` with an address list of `entries` entries lets through, as one line
// (CP932) for the start-up log and the filter page: the filter is off and every sender is
// answered; only the listed addresses are answered (and with none, how to list one); or
// every sender but the listed ones is.
[[nodiscard]] std::string FilterStateText(const FilterSettings& filter, size_t entries);

// Loads the window placement and every section of the schema, and looks up the GIF converter
// (converterPath and converterInstalled); a GIF profile becomes JPEG in memory when no
// converter is installed (the file keeps its value). The address list is loaded by the caller
// afterwards. The values of rows marked kHeldAtStart (MailTimer, LogKeepDays, MailProtocol)
// are held to their ranges, and a security level other than 0, 1 or 2 (out of range or not a
// number) means 2, TLS from the first byte, as every load routine reads it; each correction is
// noted in `corrections`, in row order. A settings file that group or others may read, and a
// registered converter refused as unsafe, are noted in `warnings`. A settings file that exists
// but cannot be read gives defaults and one line on standard error. Returns 1.
int LoadAllSettings(const char* path, AllSettings* settings);
