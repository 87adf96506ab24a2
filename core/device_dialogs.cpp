#include "core/device_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QSpinBox>
#include <QString>
#include <QVBoxLayout>

#include "platform/dialog_look.h"

namespace qxcore {
namespace {

// A dialog with `content` above OK and Cancel buttons.
class DeviceDialog : public QDialog {
 public:
  DeviceDialog(QWidget* parent, const char* title, const QString& name)
      : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QString::fromUtf8(title));
    setObjectName(name);
    auto* layout = new QVBoxLayout(this);
    form_ = new QFormLayout;
    layout->addLayout(form_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName("dialogButtons");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
  }
  QFormLayout* form() { return form_; }

  // Runs the dialog in the look of the program's other dialogs.
  int exec() override {
    qv::UseDialogLook(this);
    return QDialog::exec();
  }

 private:
  QFormLayout* form_;
};

QString FormatText(const FrameFormat& format) {
  return QStringLiteral("%1 x %2  %3")
      .arg(format.width)
      .arg(format.height)
      .arg(QString::fromStdString(format.description));
}

}  // namespace

bool RunFormatDialog(QWidget* parent, const std::vector<FrameFormat>& formats,
                     const FrameFormat& current, FrameFormat& chosen) {
  if (formats.empty()) return false;
  DeviceDialog dialog(parent, "ビデオ形式", QStringLiteral("formatDialog"));
  auto* list = new QComboBox(&dialog);
  list->setObjectName("formatList");
  for (const FrameFormat& format : formats) {
    list->addItem(FormatText(format));
    if (format == current) list->setCurrentIndex(list->count() - 1);
  }
  dialog.form()->addRow(QString::fromUtf8("サイズと形式："), list);
  if (dialog.exec() != QDialog::Accepted || list->currentIndex() < 0) return false;
  chosen = formats[static_cast<size_t>(list->currentIndex())];
  return true;
}

bool RunSourceDialog(QWidget* parent, std::vector<DriverControl>& controls) {
  DeviceDialog dialog(parent, "ビデオソース", QStringLiteral("sourceDialog"));
  std::vector<QWidget*> editors;
  for (const DriverControl& control : controls) {
    const QString name = QStringLiteral("control%1").arg(control.id);
    if (control.isBoolean) {
      auto* box = new QCheckBox(&dialog);
      box->setObjectName(name);
      box->setChecked(control.value != 0);
      editors.push_back(box);
    } else {
      auto* spin = new QSpinBox(&dialog);
      spin->setObjectName(name);
      spin->setRange(control.minimum, control.maximum);
      spin->setSingleStep(control.step);
      spin->setValue(control.value);
      editors.push_back(spin);
    }
    dialog.form()->addRow(QString::fromStdString(control.name) + QString::fromUtf8("："), editors.back());
  }
  if (dialog.exec() != QDialog::Accepted) return false;
  for (size_t i = 0; i < controls.size(); ++i) {
    if (auto* box = qobject_cast<QCheckBox*>(editors[i])) {
      controls[i].value = box->isChecked() ? 1 : 0;
    } else if (auto* spin = qobject_cast<QSpinBox*>(editors[i])) {
      controls[i].value = spin->value();
    }
  }
  return true;
}

bool RunCompressionDialog(QWidget* parent, int& quality) {
  DeviceDialog dialog(parent, "ビデオ圧縮", QStringLiteral("compressionDialog"));
  dialog.form()->addRow(QString::fromUtf8("圧縮方式："), new QLabel(QStringLiteral("Motion-JPEG"), &dialog));
  auto* spin = new QSpinBox(&dialog);
  spin->setObjectName("streamQuality");
  spin->setRange(1, 100);
  spin->setValue(quality);
  dialog.form()->addRow(QString::fromUtf8("品質："), spin);
  if (dialog.exec() != QDialog::Accepted) return false;
  quality = spin->value();
  return true;
}

}  // namespace qxcore
