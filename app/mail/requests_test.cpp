#include "app/mail/requests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/mail/testing/dovecot_fixture.h"
#include "app/mail/encodings.h"
#include "app/mail/mail_client.h"
#include "app/mail/testing/test_servers.h"
#include "app/settings/activity_log.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

using qv::test::ScriptedServer;
using Lines = std::vector<std::string>;

std::string Sjis(const char* utf8) { return qv::Cp932FromUtf8(utf8); }

// Encoded words made outside this code base (Python's ISO-2022-JP codec).
const std::string kTaroWord = "=?ISO-2022-JP?B?GyRCQkBPOhsoQg==?=";     // 太郎
const std::string kPictureWord = "=?ISO-2022-JP?B?GyRCMmhBfBsoQg==?=";  // 画像
const std::string kPhotoWord = "=?ISO-2022-JP?B?GyRCPEw/PxsoQg==?=";    // 写真

MAILENTRY Entry(const std::string& mail, int number = 1) {
  MAILENTRY entry;
  entry.number = number;
  entry.size = static_cast<int>(mail.size());
  entry.message = mail;
  return entry;
}

FilterSettings Filter(int mailFill, int filtMode, int titleFilt, const char* titleText = "",
                      int rcvDelete = 1) {
  FilterSettings filter;
  filter.MailFill = mailFill;
  filter.FiltMode = filtMode;
  filter.TitleFilt = titleFilt;
  filter.RcvDelete = rcvDelete;
  qv::CopySjisField(filter.TitleFiltText, sizeof filter.TitleFiltText, Sjis(titleText));
  return filter;
}

Lines MessagesOf(const RecordingLogSink& log) {
  Lines messages;
  for (const std::string& line : log.lines()) messages.push_back(line.substr(line.find("] ") + 2));
  return messages;
}

TEST(MatchAddressList, WildcardsModesAndExactParts) {
  const Lines list{"*@bad.example", "spam@*", "a*b@x.jp", "exact@Case.jp", "bare.example"};
  struct Case {
    const char* address;
    int refuseMode;  // result with FiltMode 0; FiltMode 1 gives the opposite
  };
  const Case cases[] = {
      {"anyone@bad.example", 0},
      {"spam@anywhere.jp", 0},
      {"a*b@x.jp", 0},          // a '*' inside a longer part is an ordinary character
      {"aab@x.jp", 1},
      {"exact@Case.jp", 0},
      {"exact@case.jp", 1},     // compared with case
      {"\"x@y\"@bad.example", 0},  // a quoted local part may hold '@': the domain follows the last
      {"someone@sub.bad.example", 1},
      {"bare.example", 0},      // no '@' on either side: empty local parts, whole domains
      {"x@bare.example", 1},
      {"", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchAddressList(c.address, 0, list), c.refuseMode) << c.address;
    EXPECT_EQ(MatchAddressList(c.address, 1, list), 1 - c.refuseMode) << c.address;
  }
  EXPECT_EQ(MatchAddressList("a@b.jp", 0, {}), 1);
  EXPECT_EQ(MatchAddressList("a@b.jp", 1, {}), 0);
  for (const char* address : {"a@b.jp", "", "noat", "@"}) {
    EXPECT_EQ(MatchAddressList(address, 0, {"*@*"}), 0) << address;
    EXPECT_EQ(MatchAddressList(address, 1, {"*@*"}), 1) << address;
  }
  EXPECT_EQ(MatchAddressList("a@b.jp", 1, {"a@b.jp\r"}), 0);  // a CR in an entry never matches
}

// The shapes of From fields that mail programs write; each mail has one.
TEST(ParseRequestMail, ReadsTheSenderOfEveryFromShape) {
  struct Case {
    const char* writer;  // who writes the field this way
    std::string from;    // the field as it stands in the header, name included
    const char* address;
    std::string name;
  };
  const Case cases[] = {
      {"Japanese handset", "From: " + kTaroWord + " <taro@ezweb.ne.jp>", "taro@ezweb.ne.jp",
       Sjis("太郎")},
      {"bare address", "From:   taro@ezweb.ne.jp  ", "taro@ezweb.ne.jp", ""},
      {"lower-case name", "from: a@x.jp", "a@x.jp", ""},
      {"upper-case name", "FROM: b@x.jp", "b@x.jp", ""},
      {"obsolete blank before the colon", "From : c@x.jp", "c@x.jp", ""},
      {"desktop mailer, quoted name with specials", "From: \"Sato, Hanako <HQ>\" <hanako@docomo.ne.jp>",
       "hanako@docomo.ne.jp", "Sato, Hanako <HQ>"},
      {"quoted name holding an address", "From: \"a@b.jp\" <real@x.jp>", "real@x.jp", "a@b.jp"},
      {"old mailer, name in a comment", "From: taro@x.jp (Taro Yamada)", "taro@x.jp", "Taro Yamada"},
      {"webmail, long UTF-8 name folded",
       "From: =?UTF-8?B?5bGx55SwIOWkqumDjg==?=\r\n =?UTF-8?B?5bGx55SwIOWkqumDjg==?=\r\n\t<t@x.jp>",
       "t@x.jp", Sjis("山田 太郎山田 太郎")},
      {"phone app, Q word in quotes", "From: \"=?utf-8?q?=E3=82=AB=E3=83=A1=E3=83=A9?=\" <k@x.jp>",
       "k@x.jp", Sjis("カメラ")},
      {"several mailboxes", "From: a@x.jp, Bee <b@y.jp>", "a@x.jp", ""},
      {"group", "From: Team: c@x.jp, d@x.jp;", "c@x.jp", ""},
      {"empty group first", "From: undisclosed-recipients:;, e@x.jp", "e@x.jp", ""},
      {"source route", "From: <@relay.example:f@x.jp>", "f@x.jp", ""},
      {"Python's folding, address quoted whole", "From: =?utf-8?b?5bGx55Sw?=\r\n <\"yamada.t@x.jp\">",
       "yamada.t@x.jp", Sjis("山田")},
      {"handset address with dots", "From: \"taro..yamada.\"@docomo.ne.jp", "taro..yamada.@docomo.ne.jp",
       ""},
      {"dots unquoted", "From: taro..yamada.@docomo.ne.jp", "taro..yamada.@docomo.ne.jp", ""},
      {"international domain", "From: \xe5\xa4\xaa\xe9\x83\x8e <taro@\xe4\xbe\x8b\xe3\x81\x88.jp>",
       "taro@xn--r8jz45g.jp", Sjis("太郎")},
      {"control bytes in the name", "From: \"Ta\tro\" =?ISO-2022-JP?B?GyhJNhsoQg==?= <t@x.jp>", "t@x.jp",
       "Taro \xb6"},
      {"control bytes after lead bytes", "From: =?ISO-2022-JP?B?VGGBCXJvgg0K?= <t@x.jp>", "t@x.jp", "Taro"},
  };
  for (const Case& c : cases) {
    MAILENTRY entry = Entry(c.from + "\r\nSubject: x\r\n\r\nhi\r\n");
    auto request = ParseRequestMail(entry, Filter(0, 0, 0), {}, nullptr);
    ASSERT_TRUE(request) << c.writer;
    EXPECT_STREQ(request->address, c.address) << c.writer;
    EXPECT_EQ(std::string(request->name), c.name) << c.writer;
    EXPECT_EQ(entry.deleteMark, 1) << c.writer;
  }
}

// Mails the filters let through that still get no reply: one log line each, and handled as
// refused mails for RcvDelete.
TEST(ParseRequestMail, RefusesMailsWithoutAUsableSenderAndAutomaticMails) {
  const std::string noSender = Sjis("差出人アドレスのないメールのため、返信しません。");
  const std::string control = Sjis("送信者アドレスに制御文字が含まれているため、返信しません。");
  const std::string malformed = Sjis("送信者アドレスの形式が正しくないため、返信しません。");
  const std::string automatic = Sjis("自動送信されたメール(Auto-Submitted)のため、返信しません。");
  const std::string bulk = Sjis("一括配信のメール(Precedence)のため、返信しません。");
  const std::string list = Sjis("メーリングリストのメールのため、返信しません。");
  const std::string bounce = Sjis("配信エラーなどの通知メール(Return-Path: <>)のため、返信しません。");
  const std::string robot = Sjis("自動応答用のアドレスからのメールのため、返信しません。");
  struct Case {
    std::string header;  // header lines before the empty line
    std::string logged;  // the line logged (its start), empty when the mail is answered
  };
  const std::string longLocal(250, 'a');
  const Case cases[] = {
      {"Subject: x\r\n", noSender},
      {"From: \r\n", noSender},
      {"From: Taro <>\r\n", noSender},
      {"From: a@x.jp\rRSET\r\n", control},
      {"From: Taro Yamada\r\n", malformed + "(Taro Yamada)"},
      {"From: <a b@x.jp>\r\n", malformed},
      {"From: a@x.jp@y.jp\r\n", malformed},
      {"From: a@\r\n", malformed},
      {"From: a@x..jp\r\n", malformed},
      {"From: " + longLocal + "@x.jp\r\n", malformed},  // 256 bytes: over the path limit
      {"From: " + longLocal.substr(0, 249) + "@x.jp\r\n", ""},  // 254 bytes
      {"From: a@x.jp\r\nAuto-Submitted: auto-replied (vacation)\r\n", automatic},
      {"From: a@x.jp\r\nauto-submitted: No\r\n", ""},
      {"From: a@x.jp\r\nAuto-Submitted: no (typed by hand)\r\n", ""},  // a comment after the keyword
      {"From: a@x.jp\r\nPrecedence: bulk\r\n", bulk},
      {"From: a@x.jp\r\nPrecedence: JUNK\r\n", bulk},
      {"From: a@x.jp\r\nPrecedence: list\r\n", bulk},
      {"From: a@x.jp\r\nPrecedence: first-class\r\n", ""},
      {"From: a@x.jp\r\nList-Id: <cams.example.org>\r\n", list},
      {"From: a@x.jp\r\nList-Unsubscribe: <mailto:u@x.jp>\r\n", list},
      {"Return-Path: < >\r\nFrom: a@x.jp\r\n", bounce},
      {"Return-Path: <a@x.jp>\r\nFrom: a@x.jp\r\n", ""},
      {"From: Mail Delivery System <MAILER-DAEMON@x.jp>\r\n", robot},
      {"From: postmaster@x.jp\r\n", robot},
      {"From: NoReply@x.jp\r\n", robot},
      {"From: no-reply@x.jp\r\n", robot},
      {"From: do-not-reply@x.jp\r\n", robot},
      {"From: noreply-team@x.jp\r\n", ""},
  };
  for (const Case& c : cases) {
    RecordingLogSink log;
    MAILENTRY entry = Entry(c.header + "\r\nbody\r\n");
    bool answered = static_cast<bool>(ParseRequestMail(entry, Filter(0, 0, 0, "", 1), {}, &log));
    EXPECT_EQ(answered, c.logged.empty()) << c.header;
    EXPECT_EQ(entry.deleteMark, 1) << c.header;
    if (c.logged.empty()) {
      EXPECT_TRUE(log.lines().empty()) << c.header;
    } else {
      ASSERT_EQ(MessagesOf(log).size(), 1u) << c.header;
      EXPECT_EQ(MessagesOf(log)[0].substr(0, c.logged.size()), c.logged) << c.header;
    }
    // With RcvDelete off such a mail stays on the server.
    MAILENTRY kept = Entry(c.header + "\r\nbody\r\n");
    (void)ParseRequestMail(kept, Filter(0, 0, 0, "", 0), {}, nullptr);
    EXPECT_EQ(kept.deleteMark, answered ? 1 : 0) << c.header;
  }
  // A mail the filters refuse anyway is not logged.
  RecordingLogSink log;
  MAILENTRY bounceMail = Entry("From: MAILER-DAEMON@x.jp\r\n\r\n");
  EXPECT_FALSE(ParseRequestMail(bounceMail, Filter(1, 1, 0, "", 1), {}, &log));
  EXPECT_TRUE(log.lines().empty());
}

// The From field read as RFC 5322 reads it: each row names the form it stands for. A field
// that is not an address list (anything left over after a mailbox) answers nobody and logs
// the field as it stands.
TEST(ParseRequestMail, FromFieldsAreReadAsRfc5322AddressLists) {
  const std::string malformed = Sjis("送信者アドレスの形式が正しくないため、返信しません。");
  const struct {
    const char* form;
    std::string value;     // the From field's value
    std::string address;   // answered at; empty: refused as malformed
    std::string name = "";
  } cases[] = {
      {"3.4 addr-spec", "a@x.jp", "a@x.jp"},
      {"3.2.2 comments and blanks around '@' and '.'", "(foo) dinsdale(bar)@ (bird) example.com (bog)",
       "dinsdale@example.com", "foo"},
      {"4.4 obs-local-part with blanks around the dots", "merwok. wok .  wok@example.com",
       "merwok.wok.wok@example.com"},
      {"4.4 obs-domain with a comment", "John Doe <jdoe@machine(comment).  example>", "jdoe@machine.example",
       "John Doe"},
      {"3.2.4 quoted local part with a blank", "\"foo bar\"@example.com", "\"foo bar\"@example.com"},
      {"3.2.4 quoted local part with quoted pairs", "<\"a\\\"b\\\\c\"@x.jp>", "\"a\\\"b\\\\c\"@x.jp"},
      {"4.4 obs-local-part mixing words", "\"john\".doe@x.jp", "john.doe@x.jp"},
      {"3.2.2 nested comment as a bare address's name", "a@x.jp (a (nested) comment)", "a@x.jp",
       "a (nested) comment"},
      {"4.1 obs-phrase with a dot", "John Q. Public <jqp@x.jp>", "jqp@x.jp", "John Q. Public"},
      {"4.4 obs-angle-addr with a route", "<@a.example,@b.example:c@x.jp>", "c@x.jp"},
      {"4.4 obs-addr-list with empty entries", " , ,a@x.jp,", "a@x.jp"},
      {"3.4 empty group, then a mailbox", "Team: (none) ;, b@x.jp", "b@x.jp"},
      {"3.4 group, then a mailbox without ','", "Team: ; b@x.jp", ""},
      {"6532 raw ISO-2022-JP name with specials in it", "\x1b$B$\"%+%a%i!<\x1b(B <a@x.jp>", "a@x.jp",
       Sjis("あカメラー")},
      {"leftover ')' after an addr-spec", "alice@example.org)<bob@example.com>", ""},
      {"leftover '>' after an addr-spec", "alice@example.org><bob@example.com>", ""},
      {"leftover '[' after an addr-spec", "alice@example.org[<bob@example.com>", ""},
      {"leftover ']' after an addr-spec", "alice@example.org]<bob@example.com>", ""},
      {"leftover '@' after an addr-spec", "alice@example.org@<bob@example.com>", ""},
      {"leftover ':' after an addr-spec", "alice@example.org:<bob@example.com>", ""},
      {"leftover '.' after an addr-spec", "alice@example.org.<bob@example.com>", ""},
      {"leftover '@@' after an angle-addr",
       "\"Roy A. Bear\" <dinsdale@example.com>@@, \"Fred\" <dinsdale@test.example.com>", ""},
      {"domain ending in a dot", "a@x.jp.", ""},
      {"an unquoted '@' in a display name", "alice@example.org <bob@example.com>", ""},
      {"two words in a local part", "John Doe@x.jp", ""},
      {"a comment that is never closed", "a@x.jp (Taro", ""},
      {"a quoted string that is never closed", "\"a@x.jp", ""},
      {"a group inside a group", "A: B: c@x.jp;;", ""},
      {"a group without its ';'", "Team: c@x.jp", ""},
      {"3.4 domain literal, refused", "a@[192.0.2.1]", ""},
  };
  for (const auto& c : cases) {
    RecordingLogSink log;
    MAILENTRY entry = Entry("From: " + c.value + "\r\n\r\nbody\r\n");
    auto request = ParseRequestMail(entry, Filter(0, 0, 0), {}, &log);
    if (c.address.empty()) {
      EXPECT_FALSE(request) << c.form;
      EXPECT_EQ(MessagesOf(log), Lines{malformed + "(" + c.value + ")"}) << c.form;
    } else {
      ASSERT_TRUE(request) << c.form << ": " << (log.lines().empty() ? "" : log.lines()[0]);
      EXPECT_EQ(std::string(request->address), c.address) << c.form;
      EXPECT_EQ(std::string(request->name), c.name) << c.form;
    }
  }
  // A refused field is shown without its control bytes, and cut to fit a log line: 200 bytes
  // whole, one more cut.
  for (size_t length : {200u, 201u}) {
    RecordingLogSink log;
    const std::string value = std::string(length - 1, 'x') + "@";  // no domain
    MAILENTRY huge = Entry("From: " + value + "\r\n\r\n");
    EXPECT_FALSE(ParseRequestMail(huge, Filter(0, 0, 0), {}, &log));
    const std::string shown = value.substr(0, 200);
    EXPECT_EQ(MessagesOf(log), Lines{malformed + "(" + shown + ")"}) << length;
  }
}

TEST(ParseRequestMail, ReadsTheHeaderBlockOnlyAndARefusalIsFinal) {
  FilterSettings filter = Filter(1, 0, 0, "", 0);
  const Lines refused{"*@spam.example"};
  // A forwarded message in the body does not change the sender.
  MAILENTRY forwarded =
      Entry("From: Taro <taro@x.jp>\r\n\r\n---- Forwarded ----\r\nFrom: other@y.jp\r\n");
  auto request = ParseRequestMail(forwarded, filter, refused, nullptr);
  ASSERT_TRUE(request);
  EXPECT_STREQ(request->address, "taro@x.jp");
  EXPECT_STREQ(request->name, "Taro");

  // Several From fields in the header: the last gives the sender, a refusal stays.
  MAILENTRY later = Entry("From: Taro <taro@x.jp>\r\nFrom: jiro@y.jp\r\n\r\n");
  request = ParseRequestMail(later, filter, refused, nullptr);
  ASSERT_TRUE(request);
  EXPECT_STREQ(request->address, "jiro@y.jp");
  EXPECT_STREQ(request->name, "");
  MAILENTRY laterGood = Entry("From: bad@spam.example\r\nFrom: good@y.jp\r\n\r\n");
  EXPECT_FALSE(ParseRequestMail(laterGood, filter, refused, nullptr));
  EXPECT_EQ(laterGood.deleteMark, 0);  // refused, RcvDelete off
  filter.RcvDelete = 1;
  EXPECT_FALSE(ParseRequestMail(laterGood, filter, refused, nullptr));
  EXPECT_EQ(laterGood.deleteMark, 1);

  // Bare LF line ends, a header line that begins with a dot, and a header that runs to the end.
  MAILENTRY bareLf = Entry("X-Dot: x\n.From: bad@spam.example\nFrom: first@x.jp\n\nFrom: b@spam.example\n");
  request = ParseRequestMail(bareLf, filter, refused, nullptr);
  ASSERT_TRUE(request);
  EXPECT_STREQ(request->address, "first@x.jp");
  MAILENTRY headerOnly = Entry("From: only@x.jp\r\n");
  request = ParseRequestMail(headerOnly, filter, refused, nullptr);
  ASSERT_TRUE(request);
  EXPECT_STREQ(request->address, "only@x.jp");
}

TEST(ParseRequestMail, SubjectFilterMatchesTheDecodedText) {
  FilterSettings filter = Filter(0, 0, 1, "画像", 0);
  struct Case {
    std::string subjectLines;
    bool accepted;
  };
  const Case cases[] = {
      {"Subject: " + kPictureWord + "\r\n", true},
      {"Subject:  =?iso-2022-jp?b?GyRCMmhBfBsoQg==?= \r\n", true},
      {"subject: =?UTF-8?B?55S75YOP?=\r\n", true},
      {"SUBJECT: =?shift_jis?B?ieaRnA==?=\r\n", true},
      {"Subject: =?UTF-8?Q?=E7=94=BB?=\r\n =?UTF-8?Q?=E5=83=8F?=\r\n", true},  // two words, folded
      {"Subject: \xe7\x94\xbb\xe5\x83\x8f\r\n", true},                          // raw UTF-8
      {"Subject: " + Sjis("画像") + "\r\n", true},                               // raw CP932
      {"Subject: " + kPhotoWord + "\r\n", false},
      {"Subject: =?UTF-8?B?5YaZ55yf?=\r\n", false},
      {"Subject: " + kPhotoWord + "\r\nSubject: " + kPictureWord + "\r\n", true},
      {"Subject: " + kPictureWord + "\r\nSubject: " + kPhotoWord + "\r\n", true},  // never cleared
      {"", false},
      {"X-Subject: " + kPictureWord + "\r\n", false},
  };
  for (const Case& c : cases) {
    MAILENTRY entry = Entry("From: a@x.jp\r\n" + c.subjectLines + "\r\nSubject: " + kPictureWord +
                            "\r\n");
    EXPECT_EQ(static_cast<bool>(ParseRequestMail(entry, filter, {}, nullptr)), c.accepted)
        << c.subjectLines;
    EXPECT_EQ(entry.deleteMark, c.accepted ? 1 : 0) << c.subjectLines;
  }
  FilterSettings ascii = Filter(0, 0, 1, "photo=please");
  MAILENTRY plain = Entry("From: a@x.jp\r\nSubject: \t photo=please \r\n");
  EXPECT_TRUE(ParseRequestMail(plain, ascii, {}, nullptr));
  MAILENTRY longer = Entry("From: a@x.jp\r\nSubject: photo=please!\r\n");
  EXPECT_FALSE(ParseRequestMail(longer, ascii, {}, nullptr));
  // With the subject filter off the subject does not matter.
  MAILENTRY any = Entry("From: a@x.jp\r\nSubject: whatever\r\n");
  EXPECT_TRUE(ParseRequestMail(any, Filter(0, 0, 0, "photo please"), {}, nullptr));

  // A name longer than its field is cut between two characters.
  std::string jisName = "\x1b$B";
  for (int i = 0; i < 200; ++i) jisName += "\x32\x68";
  jisName += "\x1b(B";
  MAILENTRY big = Entry("From: " + EncodeWord(jisName) + " <a@x.jp>\r\n");
  auto request = ParseRequestMail(big, Filter(0, 0, 0), {}, nullptr);
  ASSERT_TRUE(request);
  EXPECT_EQ(std::strlen(request->name), 254u);
  EXPECT_EQ(std::string(request->name, 2), Sjis("画"));
}

class AddressListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qv::MakeWorkFolder("qv-addresses-");
    ASSERT_FALSE(folder_.empty());
  }
  void TearDown() override {
    std::string command = "rm -rf '" + folder_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::string Write(const std::string& bytes) {
    std::string path = AddressListPath(folder_ + "Quorvex.ini");
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string folder_;
};

TEST_F(AddressListTest, ReadsLineEndedEntriesAndSwapsWholeLists) {
  EXPECT_EQ(AddressListPath("/opt/quorvex/Quorvex.ini"), "/opt/quorvex/MailList.dat");
  AddressList list;
  EXPECT_TRUE(list.Snapshot()->empty());
  // Long enough to span several read blocks; the unended last line is no entry.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "user" + std::to_string(i) + "@example.jp\n";
  std::string path = Write("*@bad.example\nwin@crlf.jp\r\n\n" + many + "tail@x.jp");
  EXPECT_EQ(list.LoadAddressList(path), 1);
  std::shared_ptr<const Lines> loaded = list.Snapshot();
  ASSERT_EQ(loaded->size(), 103u);
  EXPECT_EQ((*loaded)[0], "*@bad.example");
  EXPECT_EQ((*loaded)[1], "win@crlf.jp\r");
  EXPECT_EQ((*loaded)[2], "");
  EXPECT_EQ((*loaded)[102], "user99@example.jp");

  // A reload replaces the list whole; a snapshot taken before keeps the old one.
  Write(std::string(5000, 'x') + "\n");
  EXPECT_EQ(list.LoadAddressList(path), 1);
  ASSERT_EQ(list.Snapshot()->size(), 1u);
  EXPECT_EQ((*list.Snapshot())[0].size(), 1024u);
  EXPECT_EQ(loaded->size(), 103u);

  EXPECT_EQ(list.LoadAddressList(folder_ + "missing.dat"), 0);
  EXPECT_TRUE(list.Snapshot()->empty());
  EXPECT_EQ(list.LoadAddressList(folder_), 0);  // a folder is no list
  EXPECT_TRUE(list.Snapshot()->empty());
}

// The filter step against a scripted server: log lines, which mails are deleted, result.
class ProcessRequestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = qv::GetTimings();
    qv::Timings fast = saved_;
    fast.deletePauseMs = 1;
    fast.socketReceiveTimeoutMs = 2000;
    qv::SetTimings(fast);
  }
  void TearDown() override { qv::SetTimings(saved_); }

  // Serves `mails` as messages 11, 12, ... in a fetch exchange, then a delete exchange.
  void Serve(ScriptedServer& server, const Lines& mails, int deletes) {
    std::string listing = "+OK " + std::to_string(mails.size()) + " messages\r\n";
    for (size_t i = 0; i < mails.size(); ++i) {
      listing += std::to_string(11 + i) + " " + std::to_string(mails[i].size()) + "\r\n";
    }
    // The server knows no CAPA: RETR, and one DELE at a time.
    server.Send("+OK\r\n").Read().Send("+OK\r\n").Read().Send("+OK\r\n").Read().Send("-ERR\r\n");
    server.Read().Send(listing + ".\r\n");
    for (const std::string& mail : mails) server.Read().Send("+OK\r\n" + mail + ".\r\n");
    server.Read().Send("+OK\r\n");
    // Nothing to delete: no delete exchange.
    if (deletes > 0) {
      server.NextConnection();
      server.Send("+OK\r\n").Read().Send("+OK\r\n").Read().Send("+OK\r\n").Read().Send("-ERR\r\n");
      for (int i = 0; i < deletes; ++i) server.Read().Send("+OK\r\n");
      server.Read().Send("+OK\r\n");
    }
    server.Start();
    client_.SetPopParams("127.0.0.1", "u", "p", server.port());
  }
  // The commands of the delete exchange.
  static Lines DeleteExchange(const ScriptedServer& server) {
    Lines received = server.Received();
    size_t quit = 0;
    while (quit < received.size() && received[quit] != "QUIT") ++quit;
    return Lines(received.begin() + static_cast<long>(quit) + 1, received.end());
  }

  qv::Timings saved_;
  RecordingLogSink log_;
  CMailClient client_{&log_};
  AddressList addresses_;
  RequestList requests_;
};

TEST_F(ProcessRequestsTest, AcceptedMailsBecomeRequestsAndAreDeleted) {
  addresses_.Replace({"*@spam.example"});
  ScriptedServer server;
  Serve(server,
        {"From: " + kTaroWord + " <taro@ezweb.ne.jp>\r\n\r\n", "From: x@spam.example\r\n\r\n",
         "From: taro@ezweb.ne.jp\r\n\r\n"},
        2);
  ASSERT_EQ(client_.CheckMail(), 1);
  requests_.push_back(std::make_unique<REQUESTREC>());  // left from an earlier check
  EXPECT_EQ(ProcessRequests(client_, Filter(1, 0, 0, "", 0), addresses_, requests_, log_), 1);
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(DeleteExchange(server), (Lines{"USER u", "PASS p", "CAPA", "DELE 11", "DELE 13", "QUIT"}));
  // The same sender twice gives two requests.
  ASSERT_EQ(requests_.size(), 2u);
  EXPECT_STREQ(requests_[0]->address, "taro@ezweb.ne.jp");
  EXPECT_EQ(std::string(requests_[0]->name), Sjis("太郎"));
  EXPECT_STREQ(requests_[1]->address, "taro@ezweb.ne.jp");
  EXPECT_STREQ(requests_[1]->name, "");
  EXPECT_EQ(MessagesOf(log_), (Lines{Sjis("3個のメールを受信しました。"),
                                     Sjis("フィルタチェックを行います。"),
                                     Sjis("2個に画像を返信します。"),
                                     Sjis("受信したメールを削除します。")}));
  for (const std::string& line : log_.lines()) EXPECT_NE(line.find(Sjis("[受信]")), std::string::npos);
}

TEST_F(ProcessRequestsTest, RefusedMailsAreDeletedOnlyWhenAsked) {
  // Accept-only mode with an empty list refuses everyone.
  ScriptedServer server;
  Serve(server, {"From: a@x.jp\r\n\r\n", "From: b@y.jp\r\n\r\n"}, 2);
  ASSERT_EQ(client_.CheckMail(), 1);
  EXPECT_EQ(ProcessRequests(client_, Filter(1, 1, 0, "", 1), addresses_, requests_, log_), 0);
  ASSERT_TRUE(server.Wait());
  EXPECT_TRUE(requests_.empty());
  EXPECT_EQ(DeleteExchange(server), (Lines{"USER u", "PASS p", "CAPA", "DELE 11", "DELE 12", "QUIT"}));
  EXPECT_EQ(MessagesOf(log_), (Lines{Sjis("2個のメールを受信しました。"),
                                     Sjis("フィルタチェックを行います。"),
                                     Sjis("画像を返信できるメールがありませんでした。"),
                                     Sjis("受信したメールを削除します。"),
                                     Sjis("受信拒否したメールを削除します。")}));

  ScriptedServer keeping;
  Serve(keeping, {"From: a@x.jp\r\n\r\n"}, 0);
  ASSERT_EQ(client_.CheckMail(), 1);
  EXPECT_EQ(ProcessRequests(client_, Filter(1, 1, 0, "", 0), addresses_, requests_, log_), 0);
  ASSERT_TRUE(keeping.Wait());
  EXPECT_EQ(DeleteExchange(keeping), Lines{});
}

// The reply limits and the picture source decide after the filters: a mail over a limit is a
// refused mail; without a picture source no accepted mail is deleted and nothing is counted.
TEST_F(ProcessRequestsTest, LimitsRefuseAndAMissingCameraKeepsTheMails) {
  const std::string folder = qv::MakeWorkFolder("PR");
  ASSERT_FALSE(folder.empty());
  RequestGate gate;
  gate.statePath = folder + "Quorvex.state";
  gate.clock = [] { return static_cast<time_t>(1717236000); };
  const Lines mails{"From: taro@x.jp\r\n\r\n", "From: TARO@x.jp\r\n\r\n", "From: taro@x.jp\r\n\r\n",
                    "From: jiro@x.jp\r\n\r\n", "From: spam@bad.example\r\n\r\n"};
  addresses_.Replace({"*@bad.example"});
  const std::string overLimit =
      Sjis("同じ差出人への1時間の返信数が上限(SenderHourLimit=2)に達したため、返信しません。(taro@x.jp)");
  for (int rcvDelete : {1, 0}) {
    FilterSettings filter = Filter(1, 0, 0, "", rcvDelete);
    filter.SenderHourLimit = 2;
    std::filesystem::remove(gate.statePath);
    RecordingLogSink limited;
    ScriptedServer server;
    Serve(server, mails, rcvDelete == 1 ? 5 : 3);
    ASSERT_EQ(client_.CheckMail(), 1);
    RequestTally tally;
    EXPECT_EQ(ProcessRequests(client_, filter, addresses_, requests_, limited, gate, &tally), 1);
    ASSERT_TRUE(server.Wait());
    ASSERT_EQ(requests_.size(), 3u);
    EXPECT_STREQ(requests_[2]->address, "jiro@x.jp");
    EXPECT_EQ(tally.accepted, 3);
    EXPECT_EQ(tally.overLimit, 1);
    EXPECT_EQ(tally.held, 0);
    const Lines deleted = rcvDelete == 1 ? Lines{"USER u", "PASS p", "CAPA", "DELE 11", "DELE 12", "DELE 13", "DELE 14",
                                                 "DELE 15", "QUIT"}
                                         : Lines{"USER u", "PASS p", "CAPA", "DELE 11", "DELE 12", "DELE 14", "QUIT"};
    EXPECT_EQ(DeleteExchange(server), deleted) << rcvDelete;
    EXPECT_EQ(MessagesOf(limited)[2], overLimit);
    EXPECT_EQ(MessagesOf(limited)[3], Sjis("3個に画像を返信します。"));
  }
  // The counts were written before the deletion: the next check refuses taro at once.
  EXPECT_NE(qv::ReadFileBytes(gate.statePath).find("day "), std::string::npos);

  // Without a picture source: only the mail the filter refused is deleted; the rest wait.
  std::filesystem::remove(gate.statePath);
  gate.pictureSourceProblem = [] { return Sjis("カメラがありません。"); };
  RecordingLogSink kept;
  FilterSettings filter = Filter(1, 0, 0, "", 1);
  filter.SenderHourLimit = 2;
  ScriptedServer server;
  Serve(server, mails, 1);
  ASSERT_EQ(client_.CheckMail(), 1);
  RequestTally tally;
  EXPECT_EQ(ProcessRequests(client_, filter, addresses_, requests_, kept, gate, &tally), 0);
  ASSERT_TRUE(server.Wait());
  EXPECT_TRUE(requests_.empty());
  EXPECT_EQ(tally.held, 4);
  EXPECT_EQ(tally.accepted, 0);
  // Only the refused mail counts as judged: the kept ones are judged again when they are answered.
  ASSERT_EQ(client_.GetEntryCount(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(client_.GetEntry(i)->judged, i == 4) << i;
  EXPECT_EQ(DeleteExchange(server), (Lines{"USER u", "PASS p", "CAPA", "DELE 15", "QUIT"}));
  EXPECT_EQ(MessagesOf(kept), (Lines{Sjis("5個のメールを受信しました。"), Sjis("フィルタチェックを行います。"),
                                     overLimit, Sjis("カメラがありません。"),
                                     Sjis("返信するメールはサーバーに残し、次のチェックで返信します。"),
                                     Sjis("画像を返信できるメールがありませんでした。"),
                                     Sjis("受信したメールを削除します。"), Sjis("受信拒否したメールを削除します。")}));
  EXPECT_FALSE(std::filesystem::exists(gate.statePath));  // nothing was counted

  // Counts that cannot be read (nobody knows how many replies went out) or written (a reply is
  // never sent uncounted) keep the mails too.
  gate.pictureSourceProblem = nullptr;
  std::filesystem::create_directory(gate.statePath);
  const struct {
    std::string statePath;
    std::string logged;
  } stateCases[] = {
      {gate.statePath, Sjis("返信数の記録を読めないため、返信しません: ") + gate.statePath},
      {folder + "missing/Quorvex.state",
       Sjis("返信数を記録できないため、返信しません: ") + folder + "missing/Quorvex.state"},
  };
  for (const auto& c : stateCases) {
    gate.statePath = c.statePath;
    RecordingLogSink held;
    ScriptedServer keeping;
    Serve(keeping, {"From: jiro@x.jp\r\n\r\n"}, 0);
    ASSERT_EQ(client_.CheckMail(), 1);
    EXPECT_EQ(ProcessRequests(client_, filter, addresses_, requests_, held, gate, &tally), 0);
    ASSERT_TRUE(keeping.Wait());
    EXPECT_EQ(tally.held, 1);
    EXPECT_EQ(MessagesOf(held)[2].rfind(c.logged, 0), 0u) << c.statePath;
  }
  std::filesystem::remove_all(folder);
}

// A whole mail check against a real POP3 server: fetch, parse, filter, delete.
TEST(RequestsDovecot, FiltersRealMailsAndDeletesTheHandledOnes) {
  qv::test::DovecotServer server;
  if (!server.Start()) GTEST_SKIP() << server.why();
  const std::string subject = "Subject: " + kPictureWord + "\r\n";
  ASSERT_TRUE(server.Add({
      {"taro", "From: " + kTaroWord + " <taro@ezweb.ne.jp>\r\n" + subject + "\r\nplease\r\n"},
      {"hanako", "From: hanako@docomo.ne.jp\r\nSubject: =?iso-2022-jp?b?GyRCMmhBfBsoQg==?=\r\n\r\n"},
      {"spam", "From: Spammer <bad@spam.example>\r\n" + subject + "\r\nbuy\r\n"},
      {"other_subject", "From: jiro@softbank.ne.jp\r\nSubject: " + kPhotoWord + "\r\n\r\n"},
      // Bare LF on disk (the server sends CR LF); the quoted From in the body is no sender.
      {"quoted", "From: saburo@ezweb.ne.jp\nSubject: " + kPictureWord + "\n\n> hi\nFrom: shiro@example.jp\n"},
  }));

  qv::Timings saved = qv::GetTimings();
  qv::Timings fast = saved;
  fast.deletePauseMs = 1;
  qv::SetTimings(fast);
  RecordingLogSink log;
  CMailClient client(&log);
  client.SetPopParams("127.0.0.1", qv::test::DovecotServer::kUser,
                      qv::test::DovecotServer::kPassword, server.port());
  AddressList addresses;
  addresses.Replace({"*@spam.example"});
  RequestList requests;

  ASSERT_EQ(client.CheckMail(), 1);
  EXPECT_EQ(ProcessRequests(client, Filter(1, 0, 1, "画像", 0), addresses, requests, log), 1);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_STREQ(requests[0]->address, "taro@ezweb.ne.jp");
  EXPECT_EQ(std::string(requests[0]->name), Sjis("太郎"));
  EXPECT_STREQ(requests[1]->address, "hanako@docomo.ne.jp");
  EXPECT_STREQ(requests[1]->name, "");
  EXPECT_STREQ(requests[2]->address, "saburo@ezweb.ne.jp");
  EXPECT_EQ(server.List(), (Lines{"spam", "other_subject"}));

  // The mails judged and left on the server are not fetched again while they stay.
  EXPECT_EQ(client.CheckMail(), 0);
  EXPECT_EQ(client.GetEntryCount(), 0);

  // A client that does not know them (no state file) judges them again; refused mails are
  // deleted now: nothing accepted, the mailbox ends empty.
  CMailClient fresh(&log);
  fresh.SetPopParams("127.0.0.1", qv::test::DovecotServer::kUser, qv::test::DovecotServer::kPassword, server.port());
  ASSERT_EQ(fresh.CheckMail(), 1);
  EXPECT_EQ(ProcessRequests(fresh, Filter(1, 0, 1, "画像", 1), addresses, requests, log), 0);
  EXPECT_TRUE(requests.empty());
  EXPECT_EQ(server.List(), Lines{});
  EXPECT_EQ(fresh.CheckMail(), 0);
  qv::SetTimings(saved);
}

}  // namespace
