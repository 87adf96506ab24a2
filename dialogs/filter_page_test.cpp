#include "dialogs/filter_page.h"

#include <signal.h>
#include <sys/resource.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QSpinBox>

#include "dialogs/testing/test_support.h"

namespace qxdlg {
namespace {

using testing::Message;
using testing::SheetFixture;

class FilterPageTest : public SheetFixture {
 protected:
  std::unique_ptr<CSettingsSheet> OpenFilterPage() {
    auto sheet = OpenSheet();
    ShowPage(*sheet, kFilterPage);
    return sheet;
  }
  // Adds or changes an entry through the address dialog, typing `address` there.
  static void EnterAddress(CSettingsSheet& sheet, const char* button, const std::string& address) {
    testing::HandleNextDialog([address](QDialog& dialog) {
      Type(dialog, "address", address);
      dialog.accept();
      if (dialog.isVisible()) dialog.reject();
    });
    Find<QPushButton>(sheet, button)->click();
  }
  [[nodiscard]] std::string List() const { return qv::ReadFileBytes(folder_ + "MailList.dat"); }
  void WriteList(const std::string& bytes) const { qv::WriteFileBytes(folder_ + "MailList.dat", bytes); }
};

TEST_F(FilterPageTest, AddressDialogChecksTheFormOfEachEntry) {
  const std::string form = "xxxxx@xxxxxの形式で入力してください。";
  const struct {
    const char* typed;
    const char* message;  // empty: accepted
  } cases[] = {
      {"カメラ@example.jp", "英数字、記号以外の文字が使用されています。"},
      {"", form.c_str()},
      {"example.jp", form.c_str()},
      {"@example.jp", form.c_str()},
      {"cam@", form.c_str()},
      {"cam@example@jp", form.c_str()},
      {"*cam*@example.jp", "@より前に設定できる*は１つまでです。"},
      {"cam@*.*", "@より後ろに設定できる*は１つまでです。"},
      {"*@*", ""},
      {"c*m@example.jp", ""},
      {"\"my cam\"@example.jp", ""},
      // Entries are addresses the mail reader can give: no blank outside quotes, no '*' among
      // the letters of a domain, no empty part of a domain.
      {"my cam@example.jp", form.c_str()},
      {"cam@ex*mple.jp", form.c_str()},
      {"cam@example.jp.", form.c_str()},
  };
  for (const auto& c : cases) {
    messages_.clear();
    CFilterAddrDlg dialog(qv::Cp932FromUtf8(c.typed), nullptr);
    dialog.accept();
    if (*c.message == '\0') {
      EXPECT_TRUE(messages_.empty()) << c.typed;
      EXPECT_EQ(dialog.result(), QDialog::Accepted) << c.typed;
      EXPECT_EQ(dialog.address(), c.typed);
    } else {
      EXPECT_EQ(messages_, (std::vector<Message>{{c.message, "メールアドレスエラー"}})) << c.typed;
      EXPECT_NE(dialog.result(), QDialog::Accepted) << c.typed;
      EXPECT_EQ(dialog.focusWidget(), dialog.findChild<QWidget*>("address")) << c.typed;
    }
  }
}

TEST_F(FilterPageTest, AddChangeAndDeleteAreWrittenToTheListFileOnApply) {
  WriteList("a@example.jp\nB@example.jp\r\n*@docomo.ne.jp\nno line end@x");
  auto sheet = OpenFilterPage();
  auto* addresses = Find<QListWidget>(*sheet, "addresses");
  ASSERT_EQ(addresses->count(), 3);  // the last line has no line end: not an entry
  // Without a settings file the first settings show: only the listed senders are answered.
  EXPECT_TRUE(Find<QCheckBox>(*sheet, "addressFilter")->isChecked());
  EXPECT_EQ(Find<QComboBox>(*sheet, "filterMode")->currentIndex(), 1);
  EXPECT_EQ(Find<QLabel>(*sheet, "filterState")->text(), "登録された3件のアドレスにだけ画像を返信します。");
  // With the address filter off the list and its buttons cannot be used.
  Find<QCheckBox>(*sheet, "addressFilter")->click();
  EXPECT_EQ(Find<QLabel>(*sheet, "filterState")->text(), "アドレスフィルタを使わない設定のため、すべての差出人に画像を返信します。");
  EXPECT_FALSE(addresses->isEnabled());
  EXPECT_FALSE(Find<QComboBox>(*sheet, "filterMode")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>(*sheet, "add")->isEnabled());
  EXPECT_TRUE(Find<QCheckBox>(*sheet, "deleteRefused")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>(*sheet, "bodyFilter")->isEnabled());

  Find<QCheckBox>(*sheet, "addressFilter")->click();
  EXPECT_TRUE(Find<QPushButton>(*sheet, "add")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>(*sheet, "change")->isEnabled());  // nothing selected yet
  EnterAddress(*sheet, "add", "A@EXAMPLE.JP");                      // a duplicate but for case
  EXPECT_EQ(messages_, (std::vector<Message>{{"そのアドレスはすでに登録されています。", " 重複エラー"}}));
  EnterAddress(*sheet, "add", "\"a\"@example.jpn");  // only begins like an entry; stored unquoted
  EXPECT_EQ(addresses->count(), 4);
  EXPECT_EQ(addresses->currentRow(), 3);
  EXPECT_EQ(addresses->item(3)->text(), "a@example.jpn");
  addresses->setCurrentRow(0);
  EnterAddress(*sheet, "change", "*@docomo.ne.jp");  // equal to another entry: no test on change
  EXPECT_EQ(addresses->item(0)->text(), "*@docomo.ne.jp");
  addresses->setCurrentRow(3);
  Find<QPushButton>(*sheet, "delete")->click();
  EXPECT_EQ(addresses->currentRow(), 2);  // the new last entry
  Find<QComboBox>(*sheet, "filterMode")->setCurrentIndex(0);
  EXPECT_EQ(Find<QLabel>(*sheet, "filterState")->text(), "登録された3件のアドレスを除き、すべての差出人に画像を返信します。");
  Type(*sheet, "titleText", "カメラ");
  sheet->okButton()->click();

  EXPECT_EQ(List(), "*@docomo.ne.jp\nB@example.jp\r\n*@docomo.ne.jp\n");
  EXPECT_EQ(Ini(), std::string(testing::kDefaultBasic) +
                       "[FilterSettings]\r\nMailFill=1\r\nFiltMode=0\r\nTitleFilt=0\r\nTextFilt=0\r\nRcvDelete=1\r\n"
                       "TitleFiltText=" + SJIS("カメラ") + "\r\nTextFiltText=\r\nSenderHourLimit=5\r\nDayLimit=200\r\n");
}

TEST_F(FilterPageTest, ReplyLimitsAndTheStateLine) {
  auto sheet = OpenFilterPage();
  auto* hour = Find<QSpinBox>(*sheet, "senderHourLimit");
  auto* day = Find<QSpinBox>(*sheet, "dayLimit");
  EXPECT_EQ(hour->value(), 5);
  EXPECT_EQ(day->value(), 200);
  auto* state = Find<QLabel>(*sheet, "filterState");
  EXPECT_EQ(state->text(), "返信するアドレスが登録されていないため、どのメールにも返信しません。"
                           "「Quorvex --senders add アドレス」か、設定のフィルタ設定で登録してください。");
  EnterAddress(*sheet, "add", "taro@example.jp");
  EXPECT_EQ(state->text(), "登録された1件のアドレスにだけ画像を返信します。");
  // The boxes hold the limits' ranges: 999 and 99999 are the largest, 0 is no limit.
  hour->setValue(1000);
  EXPECT_EQ(hour->value(), 999);
  day->setValue(100000);
  EXPECT_EQ(day->value(), 99999);
  day->setValue(0);
  sheet->okButton()->click();
  FilterSettings stored;
  LoadFilterSettings(ini_.c_str(), &stored);
  EXPECT_EQ(stored.SenderHourLimit, 999);
  EXPECT_EQ(stored.DayLimit, 0);
  EXPECT_EQ(List(), "taro@example.jp\n");

  // A hand-edited limit beyond the box shows at its end but is kept unless the box is changed.
  qv::WriteFileBytes(ini_, "[FilterSettings]\r\nSenderHourLimit=5000\r\nDayLimit=-3\r\n");
  auto again = OpenFilterPage();
  EXPECT_EQ(Find<QSpinBox>(*again, "senderHourLimit")->value(), 999);
  EXPECT_EQ(Find<QSpinBox>(*again, "dayLimit")->value(), 0);
  Type(*again, "titleText", "x");
  again->okButton()->click();
  LoadFilterSettings(ini_.c_str(), &stored);
  EXPECT_EQ(stored.SenderHourLimit, 5000);
  EXPECT_EQ(stored.DayLimit, -3);
}

TEST_F(FilterPageTest, DeletingTheOnlyEntryLeavesNothingSelected) {
  WriteList("only@example.jp\n");
  FilterSettings on;
  on.MailFill = 1;
  SaveFilterSettings(ini_.c_str(), &on);
  auto sheet = OpenFilterPage();
  auto* addresses = Find<QListWidget>(*sheet, "addresses");
  addresses->setCurrentRow(0);
  EXPECT_TRUE(Find<QPushButton>(*sheet, "delete")->isEnabled());
  Find<QPushButton>(*sheet, "delete")->click();
  EXPECT_EQ(addresses->currentRow(), -1);
  EXPECT_FALSE(Find<QPushButton>(*sheet, "change")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>(*sheet, "delete")->isEnabled());
  sheet->okButton()->click();
  EXPECT_EQ(List(), "");
}

TEST_F(FilterPageTest, ListFileThatCannotBeWrittenIsReportedAndTheOldOneStays) {
  WriteList("a@example.jp\n");
  auto sheet = OpenFilterPage();
  for (int i = 0; i < 40; ++i) EnterAddress(*sheet, "add", "camera" + std::to_string(i) + "@example.jp");
  // Files may not grow beyond 512 bytes: the settings file still fits, the new list does not.
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = saved;
  small.rlim_cur = 512;
  auto* previous = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  sheet->okButton()->click();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);

  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text.rfind("アドレス一覧を保存できませんでした。\n" + folder_ + "MailList.dat\n", 0), 0u)
      << messages_[0].text;
  EXPECT_EQ(List(), "a@example.jp\n");
  EXPECT_TRUE(sheet->isVisible());
  for (const auto& file : std::filesystem::directory_iterator(folder_)) {
    EXPECT_EQ(file.path().filename().string().rfind(".qvnew", 0), std::string::npos) << "left behind: " << file.path();
  }
}

}  // namespace
}  // namespace qxdlg
