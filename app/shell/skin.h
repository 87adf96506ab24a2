// The window's skin: the layout of the 420 x 252 window, its seven controls in hit-test order,
// the images (compiled in under ":/skin/"), and the composition of the whole surface.
#pragma once

#include <map>
#include <string>

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>

class QPainter;

// The controls, numbered in hit-test order.
enum SkinControl {
  kIconifyButton = 0,
  kExitButton = 1,
  kSettingsButton = 2,
  kPreviewButton = 3,
  kLogViewButton = 4,
  kPatrolSwitch = 5,
  kPatrolLamp = 6,
  kControlCount = 7,
};

inline constexpr QSize kWindowSize(420, 252);
inline constexpr QRect kPictureArea(94, 6, 320, 240);
inline constexpr QRect kCountdownArea(27, 82, 34, 10);

// Rectangle of control `index` in window coordinates.
[[nodiscard]] QRect ControlRect(int index);
// The first control (in hit-test order) that contains `point`, or -1.
[[nodiscard]] int HitTestControl(QPoint point);
// The four countdown digits of `seconds`: tens of minutes, minutes, tens of seconds, seconds.
void CountdownDigits(int seconds, int digits[4]);

// What the composition depends on.
struct SkinState {
  bool active = true;          // foreground and the settings dialog closed
  int pressedControl = -1;     // control the button went down on, -1 for none
  bool pointerInside = false;  // the pointer is still inside the pressed control
  bool previewHidden = true;   // the picture area shows the log view
  bool patrol = false;
  int countdown = 0;           // seconds
};

class Skin {
 public:
  // Loads every image; false (with the missing names in *missing) when one is not there.
  bool Load(std::string* missing = nullptr);
  // The image of resource `name` ("panel_active" ...); a null image when unknown.
  [[nodiscard]] const QImage& Image(const std::string& name) const;

  // Composes the whole window: grey ground, panel and frame, the controls, the countdown and,
  // with the preview hidden, the log view surface in the picture area.
  void Compose(QPainter& painter, const SkinState& state, const QImage* logSurface) const;

 private:
  std::map<std::string, QImage> images_;
};
