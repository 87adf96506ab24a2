#include "dialogs/typed_spin_box.h"

#include <algorithm>

namespace qxdlg {

CTypedSpinBox::CTypedSpinBox(QWidget* parent) : QSpinBox(parent) {
  setRange(0, 99999);  // up to five typed digits
  setAccelerated(true);
}

void CTypedSpinBox::setStepRange(int low, int high) {
  low_ = low;
  high_ = high;
}

void CTypedSpinBox::stepBy(int steps) {
  setValue(std::clamp(value() + steps, low_, high_));
  selectAll();
}

QValidator::State CTypedSpinBox::validate(QString& text, int& position) const {
  if (text.isEmpty()) return QValidator::Acceptable;
  return QSpinBox::validate(text, position);
}

int CTypedSpinBox::valueFromText(const QString& text) const {
  return text.isEmpty() ? 0 : QSpinBox::valueFromText(text);
}

QAbstractSpinBox::StepEnabled CTypedSpinBox::stepEnabled() const {
  StepEnabled enabled = StepNone;
  if (value() < high_) enabled |= StepUpEnabled;
  if (value() > low_) enabled |= StepDownEnabled;
  return enabled;
}

}  // namespace qxdlg
