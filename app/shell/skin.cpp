#include "app/shell/skin.h"

#include <QPainter>

namespace {

struct ControlDefinition {
  QRect rect;
  const char* normal;
  const char* alternate;
};

// Rectangles are left, top, width, height; the alternate image is drawn as AlternateShown says.
const ControlDefinition kControls[kControlCount] = {
    {QRect(50, 10, 13, 13), "iconify_up", "iconify_down"},
    {QRect(66, 10, 13, 13), "exit_up", "exit_down"},
    {QRect(19, 110, 51, 16), "settings_up", "settings_down"},
    {QRect(19, 139, 51, 16), "preview_down", "preview_up"},
    {QRect(19, 162, 51, 16), "logview_up", "logview_down"},
    {QRect(27, 47, 33, 13), "patrol_off", "patrol_on"},
    {QRect(6, 6, 43, 21), "lamp_off", "lamp_lit"},
};

const char* const kImageNames[] = {
    "panel_active", "panel_inactive", "frame_top_active", "frame_bottom_active", "frame_top_inactive",
    "frame_bottom_inactive", "frame_side_active", "frame_side_inactive", "iconify_up", "iconify_down",
    "exit_up", "exit_down", "settings_up", "settings_down", "preview_up", "preview_down", "logview_up",
    "logview_down", "patrol_off", "patrol_on", "lamp_off", "lamp_lit", "digits", "thumb_top",
    "thumb_body", "thumb_bottom", "splash", "icon64"};

bool Pressed(const SkinState& state, int control) {
  return state.pressedControl == control && state.pointerInside;
}

bool AlternateShown(const SkinState& state, int control) {
  switch (control) {
    case kPreviewButton:
    case kLogViewButton: return Pressed(state, control) || state.previewHidden;
    case kPatrolSwitch:
    case kPatrolLamp: return Pressed(state, kPatrolSwitch) || state.patrol;
    default: return Pressed(state, control);
  }
}

}  // namespace

QRect ControlRect(int index) { return index >= 0 && index < kControlCount ? kControls[index].rect : QRect(); }

int HitTestControl(QPoint point) {
  for (int i = 0; i < kControlCount; ++i) {
    if (kControls[i].rect.contains(point)) return i;
  }
  return -1;
}

void CountdownDigits(int seconds, int digits[4]) {
  digits[0] = seconds / 600 % 10;
  digits[1] = seconds / 60 % 10;
  digits[2] = seconds % 60 / 10;
  digits[3] = seconds % 10;
}

bool Skin::Load(std::string* missing) {
  bool complete = true;
  for (const char* name : kImageNames) {
    QImage image(QString(":/skin/%1.png").arg(name));
    if (image.isNull()) {
      complete = false;
      if (missing) *missing += std::string(missing->empty() ? "" : ", ") + name;
    }
    images_[name] = image;
  }
  return complete;
}

const QImage& Skin::Image(const std::string& name) const {
  static const QImage none;
  auto found = images_.find(name);
  return found == images_.end() ? none : found->second;
}

void Skin::Compose(QPainter& painter, const SkinState& state, const QImage* logSurface) const {
  painter.fillRect(QRect(QPoint(0, 0), kWindowSize), QColor(192, 192, 192));
  const char* look = state.active ? "_active" : "_inactive";
  auto part = [&](const char* stem) -> const QImage& { return Image(std::string(stem) + look); };
  painter.drawImage(0, 0, part("panel"));
  painter.drawImage(88, 0, part("frame_top"));
  painter.drawImage(88, 246, part("frame_bottom"));
  painter.drawImage(88, 6, part("frame_side"));
  painter.drawImage(414, 6, part("frame_side"));

  for (int i = 0; i < kControlCount; ++i) {
    const ControlDefinition& control = kControls[i];
    painter.drawImage(control.rect.topLeft(), Image(AlternateShown(state, i) ? control.alternate : control.normal));
  }

  const QImage& digitImage = Image("digits");
  int digits[4];
  CountdownDigits(state.countdown, digits);
  const int offsets[4] = {0, 7, 20, 27};
  for (int i = 0; i < 4; ++i) {
    painter.drawImage(QPoint(kCountdownArea.x() + offsets[i], kCountdownArea.y()), digitImage,
                      QRect(7 + 7 * digits[i], 0, 7, 10));
  }

  if (state.previewHidden && logSurface) painter.drawImage(kPictureArea.topLeft(), *logSurface);
}
