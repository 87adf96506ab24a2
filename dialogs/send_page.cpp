#include "dialogs/send_page.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/settings/setting_rules.h"
#include "dialogs/text_fields.h"
#include "platform/text.h"

namespace qxdlg {
namespace {

// The version page's banner: a camera lens sending a picture by mail, on the product's colours.
QPixmap PaintBanner() {
  QPixmap banner(300, 72);
  QPainter painter(&banner);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 300, 72);
  sky.setColorAt(0, QColor(0x1d, 0x3f, 0x6e));
  sky.setColorAt(1, QColor(0x3a, 0x8d, 0xc4));
  painter.fillRect(banner.rect(), sky);
  // The lens.
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0xf2, 0xf2, 0xf2));
  painter.drawRoundedRect(QRectF(16, 18, 56, 40), 6, 6);
  painter.drawRect(QRectF(26, 12, 16, 8));
  painter.setBrush(QColor(0x1d, 0x3f, 0x6e));
  painter.drawEllipse(QPointF(44, 38), 14, 14);
  painter.setBrush(QColor(0x7f, 0xd1, 0xff));
  painter.drawEllipse(QPointF(44, 38), 7, 7);
  // The letter the picture travels in.
  painter.setPen(QPen(QColor(0xf2, 0xf2, 0xf2), 2));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(QRectF(238, 22, 44, 30));
  QPainterPath flap;
  flap.moveTo(238, 22);
  flap.lineTo(260, 40);
  flap.lineTo(282, 22);
  painter.drawPath(flap);
  painter.setPen(QPen(QColor(0xff, 0xd2, 0x4d), 2, Qt::DashLine));
  painter.drawLine(QPointF(84, 38), QPointF(228, 38));
  painter.setPen(QColor(Qt::white));
  QFont font = painter.font();
  font.setPixelSize(22);
  font.setBold(true);
  painter.setFont(font);
  painter.drawText(QRectF(84, 6, 150, 30), Qt::AlignCenter, "Quorvex");
  return banner;
}

}  // namespace

CSendSettingsDlg::CSendSettingsDlg(std::string iniFile) : CSettingsPage("送信内容設定", std::move(iniFile)) {
  setObjectName("sendPage");
  title_ = new QLineEdit(this);
  title_->setObjectName("title");
  LimitField(title_, sizeof record_.Title - 1);
  AddTool(title_, "送信メールのタイトルを設定します。");
  connect(title_, &QLineEdit::textChanged, this, [this] {
    if (!initialising_) SetModified();
  });
  body_ = addMultiLine("mailText", "送信メールの本文を設定します。");
  signature_ = addMultiLine("signature", "送信メールの本文に付加する著名を設定します。");

  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel(QString::fromUtf8("タイトル："), this), 0, 0);
  layout->addWidget(title_, 0, 1);
  layout->addWidget(new QLabel(QString::fromUtf8("メール本文："), this), 1, 0, Qt::AlignTop);
  layout->addWidget(body_, 1, 1);
  layout->addWidget(new QLabel(QString::fromUtf8("著名："), this), 2, 0, Qt::AlignTop);
  layout->addWidget(signature_, 2, 1);
  layout->setRowStretch(1, 3);
  layout->setRowStretch(2, 1);
}

QPlainTextEdit* CSendSettingsDlg::addMultiLine(const char* name, const char* tip) {
  auto* edit = new QPlainTextEdit(this);
  edit->setObjectName(name);
  edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  edit->setTabChangesFocus(true);
  // The settings file gives back at most 255 bytes of a value, line breaks counted as "<BR>".
  LimitMultiLineField(edit, qv::kStoredValueBytes);
  AddTool(edit, tip);
  connect(edit, &QPlainTextEdit::textChanged, this, [this] {
    if (!initialising_) SetModified();
  });
  return edit;
}

void CSendSettingsDlg::OnInitDialog() {
  LoadSendSettings(iniFile_.c_str(), &record_);
  title_->setText(FromCp932(record_.Title));
  body_->setPlainText(FromCp932(qv::ShownMultiLine(record_.MailText)));
  signature_->setPlainText(FromCp932(qv::ShownMultiLine(record_.SendName)));
}

bool CSendSettingsDlg::OnApply() {
  qv::CopySjisField(record_.Title, sizeof record_.Title, ToCp932(title_->text()));
  qv::CopySjisField(record_.MailText, sizeof record_.MailText, qv::StoredMultiLine(ToCp932(body_->toPlainText())));
  qv::CopySjisField(record_.SendName, sizeof record_.SendName,
                    qv::StoredMultiLine(ToCp932(signature_->toPlainText())));
  return Saved(SaveSendSettings(iniFile_.c_str(), &record_));
}

CVersionInfoDlg::CVersionInfoDlg() : CSettingsPage("バージョン情報", std::string()) {
  setObjectName("versionPage");
  auto* version = new QLabel("Quorvex Version " QUORVEX_VERSION, this);
  version->setObjectName("version");
  version->setAlignment(Qt::AlignCenter);
  QFont large = version->font();
  large.setPixelSize(24);
  version->setFont(large);
  auto* banner = new QPushButton(this);
  banner->setObjectName("banner");
  banner->setFlat(true);
  banner->setFocusPolicy(Qt::NoFocus);
  const QPixmap picture = PaintBanner();
  banner->setIcon(picture);
  banner->setIconSize(picture.size());
  auto* jpeg = new QLabel("This software is based in part on the work of the Independent JPEG Group.", this);
  jpeg->setObjectName("jpegNotice");
  jpeg->setAlignment(Qt::AlignCenter);
  jpeg->setWordWrap(true);

  auto* layout = new QVBoxLayout(this);
  layout->addStretch();
  layout->addWidget(version);
  layout->addSpacing(12);
  layout->addWidget(banner, 0, Qt::AlignCenter);
  layout->addSpacing(12);
  layout->addWidget(jpeg);
  layout->addStretch();
}

}  // namespace qxdlg
