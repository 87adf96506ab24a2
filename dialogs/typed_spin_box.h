// A spin box whose arrows keep to a range while its text takes any number the user types;
// the page brings a typed number into the range itself when the box is left, as the settings
// pages define it (clamping, rounding), or refuses it with a message.
//
// Up to five digits can be typed. An empty box reads as 0 ("non-digits give 0"), so what the
// user typed is never put back silently to the value before.
#pragma once

#include <QSpinBox>

namespace qxdlg {

class CTypedSpinBox : public QSpinBox {
  Q_OBJECT

 public:
  explicit CTypedSpinBox(QWidget* parent = nullptr);

  // The range of the arrows and of setValue from the page.
  void setStepRange(int low, int high);
  [[nodiscard]] int low() const { return low_; }
  [[nodiscard]] int high() const { return high_; }

 protected:
  void stepBy(int steps) override;
  [[nodiscard]] StepEnabled stepEnabled() const override;
  QValidator::State validate(QString& text, int& position) const override;
  [[nodiscard]] int valueFromText(const QString& text) const override;

 private:
  int low_ = 0;
  int high_ = 99;
};

}  // namespace qxdlg
