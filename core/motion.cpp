#include "core/motion.h"

#include <algorithm>

namespace qxcore {
namespace {

// Block length whose weight sum (at most 7 per byte) fits a 32-bit accumulator comfortably,
// so the inner loop stays in narrow lanes the compiler can vectorise.
constexpr size_t kBlock = 1 << 16;

// One pass per block: the brightening d, its weight, the previous frame refreshed, and in
// show mode the frame turned into the difference picture. Every lane is 16 bits wide:
// d * d <= 65025 fits, and so does 65535 - d * d.
template <bool kShow>
uint32_t MeasureBlock(uint8_t* __restrict frame, uint8_t* __restrict previous, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t current = frame[i];
    const uint8_t before = previous[i];
    // 2 * (current - before) cut to 0..255, without leaving 8 bits.
    const uint8_t rise = current > before ? static_cast<uint8_t>(current - before) : 0;
    const uint8_t d = rise > 127 ? 255 : static_cast<uint8_t>(rise * 2);
    const uint16_t square = static_cast<uint16_t>(uint16_t{d} * uint16_t{d});
    sum += 7u - static_cast<uint16_t>(static_cast<uint16_t>(65535u - square) >> 13);
    previous[i] = current;
    if constexpr (kShow) frame[i] = d;
  }
  return sum;
}

}  // namespace

int MotionLevelFromSum(uint64_t sum, size_t length) {
  const uint64_t blocks = length / 32768;
  const int64_t level =
      static_cast<int64_t>(sum / std::max<uint64_t>(blocks, 1)) - static_cast<int64_t>(blocks);
  return static_cast<int>(std::clamp<int64_t>(level, 0, 65535));
}

int MotionMeter::Measure(uint8_t* frame, size_t length, bool showDifference) {
  // A grown buffer holds no earlier frame of this size, so the frame is measured against zeros.
  if (previous_.size() < length) previous_.assign(length, 0);
  uint64_t sum = 0;
  for (size_t offset = 0; offset < length; offset += kBlock) {
    const size_t count = std::min(kBlock, length - offset);
    sum += showDifference ? MeasureBlock<true>(frame + offset, previous_.data() + offset, count)
                          : MeasureBlock<false>(frame + offset, previous_.data() + offset, count);
  }
  return MotionLevelFromSum(sum, length);
}

void MotionMeter::Reset() {
  previous_.clear();
  previous_.shrink_to_fit();
}

}  // namespace qxcore
