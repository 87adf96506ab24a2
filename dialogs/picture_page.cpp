#include "dialogs/picture_page.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/settings/converter_lookup.h"
#include "app/settings/setting_rules.h"
#include "app/settings/settings_schema.h"
#include "core/qxdvcore.h"
#include "dialogs/text_fields.h"
#include "dialogs/typed_spin_box.h"

namespace qxdlg {
namespace {

const char* const kTabCaptions[4] = {"ａｕ", "Vodafone", "Docomo", "その他"};
const char* const kFormatNames[4] = {"ＰＮＧ", "ＪＰＥＧ", "ＢＭＰ", "ＧＩＦ"};
const char* const kColQualityNames[5] = {"極低", "低", "普通", "高", "極高"};
const char* const kFormatTips[4] = {
    "送信する画像形式を選択します。\nデフォルトはＰＮＧです。\nIrfanView32がｲﾝｽﾄｰﾙされているとＧＩＦが設定できます。",
    "送信する画像形式を選択します。\nデフォルトはＪＰＥＧです。\nIrfanView32がｲﾝｽﾄｰﾙされているとＧＩＦが設定できます。",
    "送信する画像形式を選択します。\nデフォルトはＧＩＦです。\nIrfanView32がｲﾝｽﾄｰﾙされているとＧＩＦが設定できます。",
    "送信する画像形式を選択します。\nデフォルトはＪＰＥＧです。\nIrfanView32がｲﾝｽﾄｰﾙされているとＧＩＦが設定できます。",
};

// The live result is shown in a box of the largest reply size that fits beside the controls;
// larger pictures are shown reduced.
constexpr int kResultWidth = 240;
constexpr int kResultHeight = 180;
// While the page is in front, the result follows the camera at this period.
constexpr int kLiveRefreshMs = 1000;
constexpr int kInfoLines = 3;

constexpr qv::SettingRange kWidth = qv::RangeOf("Width");
constexpr qv::SettingRange kHeight = qv::RangeOf("Height");
constexpr qv::SettingRange kColQuality = qv::RangeOf("ColQuality");
static_assert(kColQuality.min == 0 && std::size(kColQualityNames) == kColQuality.max + 1);

QLabel* ValueText(QWidget* parent, const char* name) {
  auto* text = new QLabel(parent);
  text->setObjectName(name);
  text->setMinimumWidth(40);
  text->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return text;
}

}  // namespace

CPictProfileDlg::CPictProfileDlg(int tab, QWidget* parent) : QWidget(parent), tab_(tab) {
  setObjectName(QString("profile%1").arg(tab));
  auto* controls = new QVBoxLayout;
  controls->addWidget(createFormatGroup());
  controls->addWidget(createPictureGroup());
  controls->addStretch();
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  layout->addLayout(controls);
  layout->addWidget(createResultView(), 0, Qt::AlignTop);
  initialising_ = false;
}

QSlider* CPictProfileDlg::addSlider(const char* name, qv::SettingRange range) {
  auto* slider = new QSlider(Qt::Horizontal, this);
  slider->setObjectName(name);
  slider->setRange(range.min, range.max);
  slider->setSingleStep(1);
  slider->setPageStep(1);
  slider->setTickInterval(1);
  slider->setTickPosition(QSlider::TicksBelow);
  connect(slider, &QSlider::valueChanged, this, [this, slider](int value) { onSliderMoved(slider, value); });
  return slider;
}

QWidget* CPictProfileDlg::createFormatGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("画像形式"), this);
  format_ = new QComboBox(group);
  format_->setObjectName("format");
  AddTool(format_, kFormatTips[tab_]);
  quality_ = addSlider("quality", qv::kPngQuality);
  AddTool(quality_, "送信する画像の品質を設定します。");
  quality_->setMinimumWidth(96);  // between its two labels it would be squeezed to a few ticks
  qualityText_ = ValueText(group, "qualityText");
  auto* label = new QLabel(QString::fromUtf8("画像品質："), group);
  auto* low = new QLabel(QString::fromUtf8("低"), group);
  auto* high = new QLabel(QString::fromUtf8("高"), group);
  qualityLabels_[0] = label;
  qualityLabels_[1] = low;
  qualityLabels_[2] = high;
  auto* defaults = new QPushButton(QString::fromUtf8("ﾃﾞﾌｫﾙﾄ"), group);
  defaults->setObjectName("defaults");
  defaults->setAutoDefault(false);

  auto* layout = new QGridLayout(group);
  layout->addWidget(new QLabel(QString::fromUtf8("画像形式："), group), 0, 0);
  layout->addWidget(format_, 0, 1, 1, 3);
  layout->addWidget(defaults, 0, 4);
  layout->addWidget(label, 1, 0);
  layout->addWidget(low, 1, 1);
  layout->addWidget(quality_, 1, 2);
  layout->addWidget(high, 1, 3);
  layout->addWidget(qualityText_, 1, 4);
  layout->setColumnStretch(2, 1);

  connect(format_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (showing_ || initialising_ || index < 0) return;
    profile_.Type = index;
    ShowProfile();
    changed(true);
  });
  connect(defaults, &QPushButton::clicked, this, &CPictProfileDlg::onDefault);
  return group;
}

QWidget* CPictProfileDlg::createPictureGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("画像設定"), this);
  width_ = new CTypedSpinBox(group);
  width_->setObjectName("width");
  width_->setStepRange(kWidth.min, kWidth.max);
  width_->setSingleStep(4);  // the arrows keep the width a multiple of 4
  height_ = new CTypedSpinBox(group);
  height_->setObjectName("height");
  height_->setStepRange(kHeight.min, kHeight.max);
  AddTool(width_, "送信する画像の幅を設定します。\n４の倍数で設定してください。");
  AddTool(height_, "送信する画像の高さを設定します。");
  aspect_ = new QCheckBox(QString::fromUtf8("縦横比を変更しない"), group);
  aspect_->setObjectName("aspect");
  AddTool(aspect_, "チェックを付けると画像のサイズを変換するときに\n縦横の比率が変わらないように変換します。");
  colQuality_ = addSlider("colQuality", kColQuality);
  AddTool(colQuality_, "送信する画像を減色する時の品質を設定します。");
  colQualityText_ = ValueText(group, "colQualityText");
  colorNum_ = addSlider("colorNum", qv::RangeOf("ColorNum"));
  AddTool(colorNum_, "送信する画像の色数を設定します。");
  colorNumText_ = ValueText(group, "colorNumText");
  contrast_ = addSlider("contrast", qv::RangeOf("Contrast"));
  AddTool(contrast_, "送信する画像のｺﾝﾄﾗｽﾄを設定します。");
  contrastText_ = ValueText(group, "contrastText");
  light_ = addSlider("light", qv::RangeOf("Light"));
  AddTool(light_, "送信する画像の明るさを設定します。");
  lightText_ = ValueText(group, "lightText");

  auto* size = new QHBoxLayout;
  size->addWidget(new QLabel(QString::fromUtf8("幅"), group));
  size->addWidget(width_);
  size->addSpacing(12);
  size->addWidget(new QLabel(QString::fromUtf8("高さ"), group));
  size->addWidget(height_);
  size->addStretch();
  auto* layout = new QGridLayout(group);
  layout->addLayout(size, 0, 0, 1, 3);
  layout->addWidget(aspect_, 1, 0, 1, 3);
  const struct {
    const char* label;
    QSlider* slider;
    QLabel* text;
  } rows[] = {{"減色品質：", colQuality_, colQualityText_},
              {"色数：", colorNum_, colorNumText_},
              {"ｺﾝﾄﾗｽﾄ：", contrast_, contrastText_},
              {"明るさ：", light_, lightText_}};
  for (int i = 0; i < 4; ++i) {
    layout->addWidget(new QLabel(QString::fromUtf8(rows[i].label), group), i + 2, 0);
    layout->addWidget(rows[i].slider, i + 2, 1);
    layout->addWidget(rows[i].text, i + 2, 2);
  }
  layout->setColumnStretch(1, 1);

  connect(width_, &QSpinBox::valueChanged, this, &CPictProfileDlg::onWidthTyped);
  connect(width_, &QSpinBox::editingFinished, this, &CPictProfileDlg::onWidthLeft);
  connect(height_, &QSpinBox::valueChanged, this, &CPictProfileDlg::onHeightTyped);
  connect(height_, &QSpinBox::editingFinished, this, &CPictProfileDlg::onHeightLeft);
  connect(aspect_, &QCheckBox::clicked, this, [this](bool on) {
    profile_.Aspect = on;
    ShowProfile();
    changed(true);
  });
  return group;
}

QWidget* CPictProfileDlg::createResultView() {
  auto* group = new QGroupBox(QString::fromUtf8("送信される画像"), this);
  resultPicture_ = new QLabel(group);
  resultPicture_->setObjectName("resultPicture");
  resultPicture_->setFixedSize(kResultWidth + 4, kResultHeight + 4);
  resultPicture_->setAlignment(Qt::AlignCenter);
  resultPicture_->setFrameShape(QFrame::StyledPanel);
  resultInfo_ = new QLabel(group);
  resultInfo_->setObjectName("resultInfo");
  resultInfo_->setFixedWidth(kResultWidth + 4);
  resultInfo_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // Three lines: the fields of a result take two; a longer reason (also in the tooltip) must not
  // make the page, and with it the sheet, grow.
  resultInfo_->setFixedHeight(QFontMetrics(SheetFont()).lineSpacing() * kInfoLines);
  auto* layout = new QVBoxLayout(group);
  layout->addWidget(resultPicture_);
  layout->addWidget(resultInfo_);
  return group;
}

void CPictProfileDlg::SetProfile(const PictSettings& profile, bool converterPresent) {
  converterPresent_ = converterPresent;
  profile_ = profile;
  showing_ = true;
  format_->clear();
  for (int type = 0; type < (converterPresent ? 4 : 3); ++type) format_->addItem(QString::fromUtf8(kFormatNames[type]));
  showing_ = false;
  ShowProfile();
}

void CPictProfileDlg::ShowProfile() {
  showing_ = true;
  format_->setCurrentIndex(profile_.Type >= 0 && profile_.Type < format_->count() ? profile_.Type : -1);
  const bool png = profile_.Type == PICT_PNG;
  const bool jpeg = profile_.Type == PICT_JPEG;
  quality_->setEnabled(png || jpeg);
  qualityText_->setEnabled(png || jpeg);
  for (QWidget* label : qualityLabels_) label->setEnabled(png || jpeg);
  if (png || jpeg) {
    const qv::SettingRange range = qv::PictQualityRange(profile_.Type);
    quality_->setRange(range.min, range.max);
    quality_->setValue(profile_.PictQuality);
    // The text shows what the slider shows: a stored value beyond the format's range is held
    // to it until the slider moves.
    qualityText_->setText(QString::number(quality_->value() * (jpeg ? 5 : 1)));
  }
  width_->setValue(std::clamp(profile_.Width, kWidth.min, kWidth.max));
  height_->setValue(std::clamp(profile_.Height, kHeight.min, kHeight.max));
  aspect_->setChecked(profile_.Aspect != 0);
  colQuality_->setValue(profile_.ColQuality);
  colQualityText_->setText(profile_.ColQuality >= kColQuality.min && profile_.ColQuality <= kColQuality.max
                               ? QString::fromUtf8(kColQualityNames[profile_.ColQuality])
                               : QString::number(profile_.ColQuality));
  colorNum_->setValue(profile_.ColorNum);
  colorNumText_->setText(QString::fromStdString(qv::ColorCountLabel(profile_.ColorNum)));
  contrast_->setValue(profile_.Contrast);
  contrastText_->setText(QString::number(profile_.Contrast * 8));
  light_->setValue(profile_.Light);
  lightText_->setText(QString::number(profile_.Light * 8));
  showing_ = false;
}

void CPictProfileDlg::onSliderMoved(QSlider* slider, int value) {
  if (showing_ || initialising_) return;
  if (slider == quality_) profile_.PictQuality = value;
  if (slider == colQuality_) profile_.ColQuality = value;
  if (slider == colorNum_) profile_.ColorNum = value;
  if (slider == contrast_) profile_.Contrast = value;
  if (slider == light_) profile_.Light = value;
  ShowProfile();
  changed(true);
}

void CPictProfileDlg::onWidthTyped() {
  if (showing_ || initialising_) return;
  const int width = qv::PictureWidthFrom(width_->value());
  if (width == profile_.Width) return;
  profile_.Width = width;
  changed(true);
}

void CPictProfileDlg::onWidthLeft() {
  if (showing_ || initialising_) return;
  const int width = qv::PictureWidthFrom(width_->value());
  if (width == profile_.Width && width == width_->value()) return;
  profile_.Width = width;
  showing_ = true;
  width_->setValue(width);
  showing_ = false;
  changed(true);
}

void CPictProfileDlg::onHeightTyped() {
  if (showing_ || initialising_) return;
  const int height = std::clamp(height_->value(), kHeight.min, kHeight.max);
  if (height == profile_.Height) return;
  profile_.Height = height;
  changed(true);
}

void CPictProfileDlg::onHeightLeft() {
  if (showing_ || initialising_) return;
  const int height = std::clamp(height_->value(), kHeight.min, kHeight.max);
  if (height != profile_.Height) {
    profile_.Height = height;
    changed(true);
  }
  // The box shows what is stored, also when typing had already stored the held value.
  showing_ = true;
  height_->setValue(height);
  showing_ = false;
}

void CPictProfileDlg::onDefault() {
  profile_ = qv::kPictDefaults[tab_];
  if (profile_.Type == PICT_GIF && !converterPresent_) profile_.Type = PICT_JPEG;
  ShowProfile();
  changed(false);
}

void CPictProfileDlg::changed(bool byUser) {
  if (byUser) emit modified();
  emit profileChanged();
}

void CPictProfileDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      event->accept();
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

void CPictProfileDlg::ShowPending() {
  resultInfo_->setWordWrap(false);
  resultInfo_->setText(QString::fromUtf8("作成中…"));
}

void CPictProfileDlg::ShowResult(const LivePicture& picture) {
  if (!picture.made || picture.image.isNull()) {
    resultPicture_->clear();
    // A sentence: it may wrap anywhere, as Japanese text does.
    resultInfo_->setWordWrap(true);
    resultInfo_->setText(picture.error.empty() ? QString::fromUtf8("画像を作成できませんでした。")
                                               : FromCp932(picture.error));
    resultInfo_->setToolTip(resultInfo_->text());
    return;
  }
  QPixmap shown = QPixmap::fromImage(picture.image);
  const bool reduced = shown.width() > kResultWidth || shown.height() > kResultHeight;
  if (reduced) shown = shown.scaled(kResultWidth, kResultHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  resultPicture_->setPixmap(shown);
  const QLocale locale(QLocale::Japanese, QLocale::Japan);
  QStringList fields = {QString::fromUtf8(kFormatNames[std::clamp(picture.type, 0, 3)]),
                        QString::fromUtf8("%1 × %2 ピクセル").arg(picture.image.width()).arg(picture.image.height()),
                        QString::fromUtf8("%1 色").arg(locale.toString(picture.colours)),
                        QString::fromUtf8("%1 バイト").arg(locale.toString(picture.bytes.size()))};
  if (reduced) fields << QString::fromUtf8("（縮小表示）");
  // Fields of numbers and units: the line breaks only between them.
  resultInfo_->setWordWrap(false);
  resultInfo_->setText(JoinFieldsWrapped(fields, resultInfo_->fontMetrics(), resultInfo_->width()));
  resultInfo_->setToolTip(QString());
}

CPictSettingsDlg::CPictSettingsDlg(std::string iniFile) : CSettingsPage("画像設定", std::move(iniFile)) {
  setObjectName("pictPage");
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName("profiles");
  for (int tab = 0; tab < 4; ++tab) {
    profiles_[tab] = new CPictProfileDlg(tab, tabs_);
    tabs_->addTab(profiles_[tab], QString::fromUtf8(kTabCaptions[tab]));
  }
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  layout->addWidget(tabs_);
}

CPictSettingsDlg::~CPictSettingsDlg() = default;

void CPictSettingsDlg::OnInitDialog() {
  std::string converterPath;
  const bool converterPresent = LocateConverter(&converterPath);
  for (int profile = 0; profile < 4; ++profile) {
    LoadPictSettings(iniFile_.c_str(), profile, &records_[profile]);
    if (!converterPresent && records_[profile].Type == PICT_GIF) records_[profile].Type = PICT_JPEG;
  }
  maker_ = std::make_unique<LivePictureMaker>(converterPath);
  connect(maker_.get(), &LivePictureMaker::ready, this, [this](const LivePicture& picture) {
    // A result of a profile that has changed since is stale: the newer one is on its way.
    if (!(picture.profile == profiles_[picture.tab]->profile())) return;
    profiles_[picture.tab]->ShowResult(picture);
    emit resultShown(picture);
  });
  for (int tab = 0; tab < 4; ++tab) {
    profiles_[tab]->SetProfile(records_[tab], converterPresent);
    connect(profiles_[tab], &CPictProfileDlg::modified, this, [this] { SetModified(); });
    connect(profiles_[tab], &CPictProfileDlg::profileChanged, this, [this, tab] { requestResult(tab, false); });
    requestResult(tab, tab == 0);
  }
}

void CPictSettingsDlg::requestResult(int tab, bool freshFrame) {
  if (!maker_) return;
  profiles_[tab]->ShowPending();
  maker_->Request(tab, profiles_[tab]->profile(), freshFrame);
}

void CPictSettingsDlg::showEvent(QShowEvent* event) {
  CSettingsPage::showEvent(event);
  if (refreshTimer_ == 0) refreshTimer_ = startTimer(kLiveRefreshMs);
}

void CPictSettingsDlg::hideEvent(QHideEvent* event) {
  CSettingsPage::hideEvent(event);
  if (refreshTimer_ != 0) killTimer(refreshTimer_);
  refreshTimer_ = 0;
}

void CPictSettingsDlg::timerEvent(QTimerEvent* event) {
  if (event->timerId() != refreshTimer_) return CSettingsPage::timerEvent(event);
  // Only a running camera gives anything new to show.
  if (QXGetCurDevice() >= 0) requestResult(tabs_->currentIndex(), true);
}

bool CPictSettingsDlg::OnApply() {
  for (int profile = 0; profile < 4; ++profile) {
    records_[profile] = profiles_[profile]->profile();
    if (!Saved(SavePictSettings(iniFile_.c_str(), profile, &records_[profile]))) return false;
  }
  return true;
}

}  // namespace qxdlg
