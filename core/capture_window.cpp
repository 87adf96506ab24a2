#include "core/capture_window.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QThread>
#include <QTimer>
#include <QWidget>

namespace qxcore {

class PreviewWidget : public QWidget {
 public:
  explicit PreviewWidget(QWidget* parent) : QWidget(parent) {
    setObjectName("capturePreview");
    setAttribute(Qt::WA_OpaquePaintEvent);
  }

  void SetFrame(const uint8_t* bgr, int width, int height) {
    // The copy keeps the picture valid after the caller's buffer is reused.
    picture_ = QImage(bgr, width, height, width * 3, QImage::Format_BGR888).copy();
    update();
  }
  void SetScaled(bool scaled) {
    scaled_ = scaled;
    update();
  }
  [[nodiscard]] bool scaled() const { return scaled_; }
  [[nodiscard]] const QImage& picture() const { return picture_; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (picture_.isNull()) return;
    if (scaled_) {
      painter.drawImage(rect(), picture_);
    } else {
      painter.drawImage(QPoint(0, 0), picture_);
    }
  }

 private:
  QImage picture_;
  bool scaled_ = false;
};

CaptureWindow::CaptureWindow(QWidget* parent, std::function<void()> tick) : parent_(parent) {
  setObjectName("captureWindow");
  const bool guiThread = qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr &&
                         QThread::currentThread() == QCoreApplication::instance()->thread();
  if (parent != nullptr && guiThread) {
    widget_ = new PreviewWidget(parent);
    widget_->setGeometry(0, 0, 640, 480);
    widget_->show();
  }
  if (QAbstractEventDispatcher::instance() != nullptr) {
    timer_ = new QTimer(this);
    timer_->setInterval(intervalMs_);
    connect(timer_, &QTimer::timeout, this, std::move(tick));
  }
}

CaptureWindow::~CaptureWindow() { delete widget_.data(); }

bool CaptureWindow::previewRunning() const { return timer_ != nullptr && timer_->isActive(); }

void CaptureWindow::SetPreviewInterval(int milliseconds) {
  intervalMs_ = milliseconds > 0 ? milliseconds : 1;
  if (timer_ != nullptr) timer_->setInterval(intervalMs_);
}

void CaptureWindow::SetPreviewRunning(bool running) {
  if (timer_ == nullptr) return;
  if (running && !timer_->isActive()) timer_->start();
  if (!running) timer_->stop();
}

void CaptureWindow::Place(int x, int y, int width, int height, bool scale) {
  if (widget_ == nullptr) return;
  widget_->SetScaled(scale);
  widget_->setGeometry(x, y, width, height);
  widget_->repaint();
}

void CaptureWindow::ShowFrame(const uint8_t* bgr, int width, int height) {
  if (widget_ != nullptr && bgr != nullptr && width > 0 && height > 0) {
    widget_->SetFrame(bgr, width, height);
  }
}

void CaptureWindow::RefreshParent() {
  if (parent_ != nullptr) {
    parent_->update();
    parent_->repaint();
  }
}

}  // namespace qxcore
