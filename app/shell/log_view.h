// The log view: the activity log's text painted into the 320 x 240 picture area, wrapped at
// 310 pixels, pushed down to the bottom while it is short, following the end while it is
// scrolled to the end, with a painted scroll bar whose thumb can be dragged; the mouse wheel and
// the page keys scroll it too (LogScroll::ScrollBy).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <QFont>
#include <QImage>

class QPainter;

// One display line: a byte range of the log text.
struct WrappedLine {
  size_t start = 0;
  size_t length = 0;
};

// Splits the CP932 log text into display lines no wider than `maxWidth`. A source line ends at
// a CR or LF; a CR or LF right after it belongs to the same break; text after the last break is
// not shown. A line is cut before the character that would make it wider than `maxWidth`, never
// between the two bytes of a double-byte character, and a line holds at least one character.
// `width` gives the width of one character (one or two bytes) in pixels, fractions kept, so
// the sum matches what the painter draws.
[[nodiscard]] std::vector<WrappedLine> WrapLogText(std::string_view text, double maxWidth,
                                                   const std::function<double(std::string_view)>& width);

// Scrolling state of the view, in wrapped lines and pixels of the 250-pixel track.
class LogScroll {
 public:
  static constexpr int kTrack = 250;

  // Takes a new count of wrapped lines and lines that fit: sets the maximum top line and the
  // thumb; a view that was at the end stays at the end. Returns the push-down in lines (the
  // empty lines above a text shorter than the view).
  int Layout(int wrappedLines, int visibleLines);

  // Thumb drag: begins at the current offset, moves by `dy` pixels from where it began (the top
  // line follows), ends with the thumb placed at the top line.
  void BeginDrag();
  void DragBy(int dy);
  void EndDrag();
  [[nodiscard]] bool dragging() const { return dragging_; }

  // Moves the top line by `lines` (negative: towards the start), within 0 and the maximum top
  // line, and places the thumb there; ignored while the thumb is dragged. Reaching the maximum
  // makes the view follow the end again.
  void ScrollBy(int lines);

  [[nodiscard]] int topLine() const { return topLine_; }
  [[nodiscard]] int maxTopLine() const { return maxTopLine_; }
  [[nodiscard]] int thumbOffset() const { return thumbOffset_; }
  [[nodiscard]] int thumbHeight() const { return thumbHeight_; }

 private:
  [[nodiscard]] int ThumbLimit() const { return kTrack - thumbHeight_ - 1; }
  void PlaceThumb();

  int topLine_ = 0;
  int maxTopLine_ = 0;
  int thumbOffset_ = 0;
  int thumbHeight_ = 238;
  bool dragging_ = false;
  int dragStartOffset_ = 0;
};

// The painter of the view's 320 x 240 surface.
class LogView {
 public:
  static constexpr int kWidth = 320;
  static constexpr int kHeight = 240;
  static constexpr int kTextWidth = 310;

  LogView();

  // The scroll thumb's top cap (8 x 2), body row (8 x 1) and bottom cap (8 x 2).
  void SetThumbImages(const QImage& top, const QImage& body, const QImage& bottom);
  // Lays out and paints `text` (CP932, the activity log's buffer) into the surface.
  void Paint(const std::string& text);
  [[nodiscard]] const QImage& surface() const { return surface_; }

  LogScroll& scroll() { return scroll_; }
  [[nodiscard]] int lineHeight() const { return lineHeight_; }
  [[nodiscard]] int visibleLines() const { return visibleLines_; }
  [[nodiscard]] int wrappedLines() const { return wrappedLines_; }

 private:
  double CharacterWidth(std::string_view character);

  QFont font_;
  QImage surface_;
  QImage thumbTop_, thumbBody_, thumbBottom_;
  LogScroll scroll_;
  int lineHeight_ = 5;
  int visibleLines_ = 48;
  int wrappedLines_ = 0;
  std::unordered_map<unsigned, double> widths_;  // character code -> pixels
};
