// The motion measure: how much a frame differs from the one before it, as a level from 0 to
// 65535, and optionally the difference picture in place of the frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qxcore {

// Weight of one byte's brightening d (0 to 255): 7 - ((65535 - d*d) >> 13), which is 0 up to
// d = 90 and climbs to 7 at d = 255.
[[nodiscard]] constexpr int MotionWeight(int d) { return 7 - ((65535 - d * d) >> 13); }

// Level from the weight sum of a frame of `length` bytes: sum / max(n, 1) - n with n the number
// of whole 32 KiB blocks, cut to 0..65535.
[[nodiscard]] int MotionLevelFromSum(uint64_t sum, size_t length);

// The code that measures: the widest vectors the processor has, or a narrower one (tests
// compare them all with the plain arithmetic).
enum class MotionPath { kWidest, kSse2, kScalar };

// Keeps the previous frame and measures each new one against it. Not thread-safe: the owner
// serialises calls.
class MotionMeter {
 public:
  explicit MotionMeter(MotionPath path = MotionPath::kWidest) : path_(path) {}

  // Measures `frame` (`length` bytes) against the previous frame and keeps it as the new
  // previous frame. For each byte d = 2 * (frame - previous) cut to 0..255. With
  // `showDifference` the frame's bytes are replaced by d (the difference picture); otherwise
  // the frame is left unchanged. Returns the level.
  // The first frame after the kept buffer was allocated or grown (a longer frame than any
  // before) is measured against zeros.
  int Measure(uint8_t* frame, size_t length, bool showDifference);

  // Frees the kept frame; the next frame is measured against zeros.
  void Reset();

  [[nodiscard]] size_t capacity() const { return previous_.size(); }

 private:
  MotionPath path_;
  std::vector<uint8_t> previous_;
};

}  // namespace qxcore
