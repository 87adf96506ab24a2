#include "dialogs/mail_checks.h"

#include <cstring>
#include <iterator>

#include "app/settings/setting_rules.h"
#include "platform/text.h"

namespace qxdlg {
namespace {

struct MailCheck {
  const char* box;  // object name of the box (on the page, or in the details dialog)
  bool inDetails;
  const char* caption;  // UTF-8
  const char* message;  // UTF-8
  bool (*fails)(const MailSettings& record);
};

constexpr char kNotAscii[] = "英数字、記号以外の文字が使用されています。";
constexpr char kForm[] = "xxxxx@xxxxxの形式で入力してください。";
constexpr char kAddressCaption[] = "メールアドレスエラー";
constexpr char kPopCaption[] = "ＰＯＰ３サーバーエラー";
constexpr char kSmtpCaption[] = "ＳＭＴＰサーバーエラー";
constexpr char kUserCaption[] = "ユーザーＩＤエラー";

// The sender address passes the rule every reply's sender passes on the wire: no address is
// saved that would make every reply fail.
qv::AddressProblem AddressProblemOf(const MailSettings& r) { return qv::CheckAddressSetting(r.MailAddr); }

const MailCheck kMailChecks[] = {
    {"mailAddr", false, kAddressCaption, "メールアドレスを入力してください。",
     [](const MailSettings& r) { return r.MailAddr[0] == '\0'; }},
    {"popServer", false, kPopCaption, "ＰＯＰ３サーバー名を入力してください。",
     [](const MailSettings& r) { return r.PopServer[0] == '\0'; }},
    {"smtpServer", false, kSmtpCaption, "ＳＭＴＰサーバーを入力してください。",
     [](const MailSettings& r) { return r.SmtpServer[0] == '\0'; }},
    {"userId", false, kUserCaption, "ユーザーＩＤを入力してください。",
     [](const MailSettings& r) { return r.UserID[0] == '\0'; }},
    {"mailAddr", false, kAddressCaption, kNotAscii,
     [](const MailSettings& r) { return AddressProblemOf(r) == qv::AddressProblem::kNotAscii; }},
    {"mailAddr", false, kAddressCaption, kForm,
     [](const MailSettings& r) {
       const qv::AddressProblem problem = AddressProblemOf(r);
       return problem == qv::AddressProblem::kNotAnAddress || problem == qv::AddressProblem::kMalformed;
     }},
    {"mailAddr", false, kAddressCaption, kForm,
     [](const MailSettings& r) { return AddressProblemOf(r) == qv::AddressProblem::kSecondAtSign; }},
    {"popServer", false, kPopCaption, kNotAscii,
     [](const MailSettings& r) { return qv::HasNonAsciiByte(r.PopServer); }},
    {"smtpServer", false, kSmtpCaption, kNotAscii,
     [](const MailSettings& r) { return qv::HasNonAsciiByte(r.SmtpServer); }},
    {"userId", false, kUserCaption, kNotAscii, [](const MailSettings& r) { return qv::HasNonAsciiByte(r.UserID); }},
    {"password", false, "パスワードエラー", kNotAscii, [](const MailSettings& r) { return qv::HasNonAsciiByte(r.Passwd); }},
    {"userName", false, "差出人名エラー", "< >が使用されていますと正しく送受信できません。",
     [](const MailSettings& r) { return std::strpbrk(r.UserName, "<>") != nullptr; }},
    // The SMTP account goes into the same kind of commands as the POP3 one (when it is used).
    {"smtpUserId", true, "SMTPユーザーＩＤエラー", kNotAscii,
     [](const MailSettings& r) { return r.SmtpAuth != 0 && qv::HasNonAsciiByte(r.SmtpUserID); }},
    {"smtpPassword", true, "SMTPパスワードエラー", kNotAscii,
     [](const MailSettings& r) { return r.SmtpAuth != 0 && qv::HasNonAsciiByte(r.SmtpPasswd); }},
    {"imapFolder", true, "IMAPフォルダエラー", "IMAPフォルダ名を入力してください。",
     [](const MailSettings& r) { return r.MailProtocol == 1 && r.ImapFolder[0] == '\0'; }},
    // The OAuth2 client, its addresses and scope go into HTTP requests as they are.
    {"oauthClientId", true, "OAuth2エラー", kNotAscii,
     [](const MailSettings& r) { return qv::HasNonAsciiByte(r.OAuthClientId); }},
    {"oauthClientSecret", true, "OAuth2エラー", kNotAscii,
     [](const MailSettings& r) { return qv::HasNonAsciiByte(r.OAuthClientSecret); }},
    {"oauthTokenUrl", true, "OAuth2エラー", kNotAscii,
     [](const MailSettings& r) { return qv::HasNonAsciiByte(r.OAuthTokenUrl); }},
    {"oauthAuthUrl", true, "OAuth2エラー", kNotAscii,
     [](const MailSettings& r) { return qv::HasNonAsciiByte(r.OAuthAuthUrl); }},
    {"oauthDeviceUrl", true, "OAuth2エラー", kNotAscii,
     [](const MailSettings& r) { return qv::HasNonAsciiByte(r.OAuthDeviceUrl); }},
    {"oauthScope", true, "OAuth2エラー", kNotAscii, [](const MailSettings& r) { return qv::HasNonAsciiByte(r.OAuthScope); }},
};

MailRefusal FirstFailing(const MailSettings& record, bool detailsOnly) {
  for (size_t i = 0; i < std::size(kMailChecks); ++i) {
    const MailCheck& check = kMailChecks[i];
    if (detailsOnly && !check.inDetails) continue;
    if (!check.fails(record)) continue;
    return {static_cast<int>(i) + 1, qv::Cp932FromUtf8(check.caption), qv::Cp932FromUtf8(check.message), check.box,
            check.inDetails};
  }
  return {};
}

}  // namespace

MailRefusal CheckMailSettings(const MailSettings& record) { return FirstFailing(record, false); }

MailRefusal CheckMailDetails(const MailSettings& record) { return FirstFailing(record, true); }

}  // namespace qxdlg
