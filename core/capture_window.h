// The capture window: the object that stands for a started device on its owner thread (the
// thread that started it). It runs the preview timer and, given a parent widget, shows the
// live picture as a child widget of it. Every member must be called on the owner thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <QObject>
#include <QPointer>
#include <QWidget>

class QTimer;
class QWidget;

namespace qxcore {

class PreviewWidget;

class CaptureWindow : public QObject {
 public:
  // Creates the window on the calling thread. With `parent` (which must belong to the
  // application's GUI thread) a preview widget is created as its child at 0,0 sized 640 x 480
  // and shown. `tick` is called at every preview interval while the preview runs; the timer only
  // exists when the thread has a Qt event dispatcher.
  CaptureWindow(QWidget* parent, std::function<void()> tick);
  ~CaptureWindow() override;

  [[nodiscard]] QWidget* parentWidget() const { return parent_.data(); }
  [[nodiscard]] bool previewRunning() const;
  [[nodiscard]] int previewIntervalMs() const { return intervalMs_; }

  void SetPreviewInterval(int milliseconds);
  void SetPreviewRunning(bool running);
  // Moves the widget to x, y with the given size; with `scale` the picture is stretched to the
  // widget, else drawn at its own size from the top-left corner.
  void Place(int x, int y, int width, int height, bool scale);
  // Shows a BGR frame (rows top to bottom); the pixels are copied.
  void ShowFrame(const uint8_t* bgr, int width, int height);
  // Repaints the parent at once, so new picture settings show.
  void RefreshParent();

 private:
  QPointer<QWidget> parent_;
  QPointer<PreviewWidget> widget_;
  QTimer* timer_ = nullptr;
  int intervalMs_ = 17;
};

}  // namespace qxcore
