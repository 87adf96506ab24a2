#include "app/shell/log_view.h"

#include <algorithm>

#include <QFontMetrics>
#include <QFontMetricsF>
#include <QPainter>
#include <QString>

#include "platform/text.h"

namespace {

bool IsBreak(char c) { return c == '\r' || c == '\n'; }

// Bytes of the character at `i`: two for a lead byte followed by a trail byte on the same line.
size_t CharacterLength(std::string_view text, size_t i, size_t end) {
  if (qv::IsSjisLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < end) return 2;
  return 1;
}

QString ToQString(std::string_view cp932) { return QString::fromStdString(qv::Utf8FromCp932(cp932)); }

const QColor kBackground(192, 192, 192);
const QColor kTrackColour(224, 224, 224);

}  // namespace

std::vector<WrappedLine> WrapLogText(std::string_view text, double maxWidth,
                                     const std::function<double(std::string_view)>& width) {
  std::vector<WrappedLine> lines;
  size_t lineStart = 0;
  while (lineStart < text.size()) {
    size_t lineEnd = lineStart;
    while (lineEnd < text.size() && !IsBreak(text[lineEnd])) ++lineEnd;
    if (lineEnd == text.size()) break;  // no break after it: not shown
    size_t start = lineStart;
    do {
      double used = 0;
      size_t i = start;
      while (i < lineEnd) {
        size_t length = CharacterLength(text, i, lineEnd);
        double w = width(text.substr(i, length));
        if (used + w > maxWidth && i > start) break;
        used += w;
        i += length;
      }
      lines.push_back({start, i - start});
      start = i;
    } while (start < lineEnd);
    lineStart = lineEnd + 1;
    if (lineStart < text.size() && IsBreak(text[lineStart])) ++lineStart;
  }
  return lines;
}

int LogScroll::Layout(int wrappedLines, int visibleLines) {
  int newMax = std::max(0, wrappedLines - visibleLines);
  if (topLine_ == maxTopLine_) topLine_ = newMax;
  maxTopLine_ = newMax;
  topLine_ = std::min(topLine_, maxTopLine_);
  thumbHeight_ = visibleLines * kTrack / (visibleLines + maxTopLine_) - 1;
  if (!dragging_) PlaceThumb();
  return std::max(0, visibleLines - wrappedLines);
}

void LogScroll::PlaceThumb() {
  thumbOffset_ = maxTopLine_ == 0 ? 0 : ThumbLimit() * topLine_ / maxTopLine_;
}

void LogScroll::BeginDrag() {
  dragging_ = true;
  dragStartOffset_ = thumbOffset_;
}

void LogScroll::DragBy(int dy) {
  int limit = ThumbLimit();
  thumbOffset_ = std::clamp(dragStartOffset_ + dy, 0, std::max(0, limit));
  if (maxTopLine_ > 0 && limit > 0) topLine_ = std::min(maxTopLine_, maxTopLine_ * thumbOffset_ / limit);
}

void LogScroll::ScrollBy(int lines) {
  if (dragging_) return;
  topLine_ = std::clamp(topLine_ + lines, 0, maxTopLine_);
  PlaceThumb();
}

void LogScroll::EndDrag() {
  PlaceThumb();
  dragging_ = false;
}

LogView::LogView() : surface_(kWidth, kHeight, QImage::Format_RGB32) {
  // A Japanese face at 12 pixels, narrowed so that a half-width character is about 5 wide.
  font_.setFamilies({"IPAGothic", "IPAPGothic", "Noto Sans CJK JP", "Noto Sans Mono CJK JP"});
  font_.setStyleHint(QFont::SansSerif);
  font_.setPixelSize(12);
  font_.setStretch(85);
  surface_.fill(kBackground);
}

double LogView::CharacterWidth(std::string_view character) {
  unsigned code = static_cast<unsigned char>(character[0]);
  if (character.size() == 2) code = code << 8 | static_cast<unsigned char>(character[1]);
  auto found = widths_.find(code);
  if (found != widths_.end()) return found->second;
  double w = QFontMetricsF(font_).horizontalAdvance(ToQString(character));
  widths_.emplace(code, w);
  return w;
}

void LogView::Paint(const std::string& text) {
  QFontMetrics metrics(font_);
  lineHeight_ = metrics.height() > 0 ? metrics.height() : 5;
  visibleLines_ = kHeight / lineHeight_;

  surface_.fill(kBackground);
  QPainter painter(&surface_);
  painter.setFont(font_);
  painter.setPen(Qt::black);
  std::vector<WrappedLine> lines =
      WrapLogText(text, kTextWidth, [this](std::string_view c) { return CharacterWidth(c); });
  wrappedLines_ = static_cast<int>(lines.size());
  int pushDown = scroll_.Layout(wrappedLines_, visibleLines_);
  for (int row = 0; row < visibleLines_; ++row) {
    size_t index = static_cast<size_t>(scroll_.topLine() + row);
    if (index >= lines.size()) break;
    int y = (row + pushDown) * lineHeight_;
    painter.drawText(0, y + metrics.ascent(), ToQString(std::string_view(text).substr(lines[index].start, lines[index].length)));
  }

  // The track runs 10 pixels below the surface; the thumb sits in its inner 8 pixels.
  painter.fillRect(kTextWidth, 0, kWidth - kTextWidth, LogScroll::kTrack, kTrackColour);
  if (thumbTop_.isNull() || thumbBody_.isNull() || thumbBottom_.isNull()) return;
  int x = kTextWidth + 1;
  int top = scroll_.thumbOffset();
  int bottom = top + scroll_.thumbHeight() - 2;
  painter.drawImage(x, top + 1, thumbTop_);
  for (int y = top + 3; y < bottom; ++y) painter.drawImage(x, y, thumbBody_);
  painter.drawImage(x, bottom, thumbBottom_);
}

void LogView::SetThumbImages(const QImage& top, const QImage& body, const QImage& bottom) {
  thumbTop_ = top;
  thumbBody_ = body;
  thumbBottom_ = bottom;
}
