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

// The version page's banner: a camera sending its picture by mail to a phone, on the product's
// colours. It fills the page's width, so the page reads as a whole.
constexpr QSize kBannerSize(540, 250);

QPixmap PaintBanner() {
  const int width = kBannerSize.width();
  const int height = kBannerSize.height();
  QPixmap banner(kBannerSize);
  QPainter painter(&banner);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, width, height);
  sky.setColorAt(0, QColor(0x1d, 0x3f, 0x6e));
  sky.setColorAt(1, QColor(0x3a, 0x8d, 0xc4));
  painter.fillRect(banner.rect(), sky);
  const QColor paper(0xf2, 0xf2, 0xf2);
  const QColor night(0x1d, 0x3f, 0x6e);
  const QColor glass(0x7f, 0xd1, 0xff);
  const QColor sun(0xff, 0xd2, 0x4d);

  // The product's name.
  QFont font = painter.font();
  font.setPixelSize(36);
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(QRectF(0, 14, width, 48), Qt::AlignCenter, "Quorvex");

  // The camera.
  painter.setPen(Qt::NoPen);
  painter.setBrush(paper);
  painter.drawRoundedRect(QRectF(34, 92, 160, 108), 12, 12);
  painter.drawRoundedRect(QRectF(62, 76, 46, 22), 5, 5);
  painter.setBrush(night);
  painter.drawEllipse(QPointF(114, 146), 40, 40);
  painter.setBrush(glass);
  painter.drawEllipse(QPointF(114, 146), 24, 24);
  painter.setBrush(paper);
  painter.drawEllipse(QPointF(104, 136), 6, 6);
  painter.setBrush(sun);
  painter.drawEllipse(QPointF(172, 110), 7, 7);

  // The phone with the picture on its screen.
  painter.setBrush(QColor(0x10, 0x24, 0x40));
  painter.drawRoundedRect(QRectF(414, 70, 92, 160), 12, 12);
  const QRectF screen(424, 88, 72, 112);
  painter.setBrush(glass);
  painter.drawRect(screen);
  painter.setBrush(sun);
  painter.drawEllipse(QPointF(472, 110), 10, 10);
  QPainterPath hill;
  hill.moveTo(screen.left(), screen.bottom());
  hill.quadTo(QPointF(448, 140), QPointF(screen.right(), 176));
  hill.lineTo(screen.bottomRight());
  hill.closeSubpath();
  painter.setBrush(QColor(0x3f, 0x9b, 0x4f));
  painter.drawPath(hill);

  // The way of the mail, and the letter on it.
  QPainterPath way;
  way.moveTo(200, 150);
  way.quadTo(QPointF(307, 70), QPointF(406, 150));
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(sun, 3, Qt::DashLine));
  painter.drawPath(way);
  const QRectF letter(270, 100, 76, 50);
  painter.setPen(QPen(night, 2));
  painter.setBrush(paper);
  painter.drawRect(letter);
  QPainterPath flap;
  flap.moveTo(letter.topLeft());
  flap.lineTo(letter.center().x(), letter.top() + 28);
  flap.lineTo(letter.topRight());
  painter.drawPath(flap);
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
  layout->addSpacing(16);
  layout->addWidget(banner, 0, Qt::AlignCenter);
  layout->addSpacing(16);
  layout->addWidget(jpeg);
  layout->addStretch();
}

}  // namespace qxdlg
