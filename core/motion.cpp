#include "core/motion.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace qxcore {
namespace {

// Every path computes, per byte, d = 2 * (frame - previous) cut to 0..255 and the weight
// 7 - ((65535 - d * d) >> 13), refreshes the previous frame and, in show mode, stores d in the
// frame. They return the sum of (65535 - d * d) >> 13 over the bytes they took ("spare"), so
// the weight sum is 7 * bytes - spare. In 16-bit lanes d * d <= 65025 fits, 65535 - x is ~x, and
// a saturating subtract followed by a saturating doubling gives d exactly.

template <bool kShow>
uint64_t SpareScalar(uint8_t* frame, uint8_t* previous, size_t begin, size_t end) {
  uint64_t spare = 0;
  for (size_t i = begin; i < end; ++i) {
    const int rise = std::max(int{frame[i]} - int{previous[i]}, 0);
    const int d = std::min(2 * rise, 255);
    spare += static_cast<uint64_t>((65535 - d * d) >> 13);
    previous[i] = frame[i];
    if constexpr (kShow) frame[i] = static_cast<uint8_t>(d);
  }
  return spare;
}

#if defined(__SSE2__)
// 16-bit accumulators gain at most 14 per step, so 2048 steps stay below 32768 (the pairwise
// sum below reads them as signed).
constexpr size_t kStepsPerFlush = 2048;

template <bool kShow>
uint64_t SpareSse2(uint8_t* frame, uint8_t* previous, size_t& done, size_t length) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i allOnes = _mm_set1_epi16(-1);
  const __m128i one = _mm_set1_epi16(1);
  uint64_t spare = 0;
  size_t i = 0;
  const size_t whole = length & ~size_t{15};
  while (i < whole) {
    const size_t stop = std::min(whole, i + 16 * kStepsPerFlush);
    __m128i sum = zero;
    for (; i < stop; i += 16) {
      const __m128i current = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame + i));
      const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(previous + i));
      const __m128i rise = _mm_subs_epu8(current, before);
      const __m128i d = _mm_adds_epu8(rise, rise);
      __m128i low = _mm_unpacklo_epi8(d, zero);
      __m128i high = _mm_unpackhi_epi8(d, zero);
      low = _mm_srli_epi16(_mm_xor_si128(_mm_mullo_epi16(low, low), allOnes), 13);
      high = _mm_srli_epi16(_mm_xor_si128(_mm_mullo_epi16(high, high), allOnes), 13);
      sum = _mm_add_epi16(sum, _mm_add_epi16(low, high));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(previous + i), current);
      if constexpr (kShow) _mm_storeu_si128(reinterpret_cast<__m128i*>(frame + i), d);
    }
    alignas(16) int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_madd_epi16(sum, one));
    spare += static_cast<uint64_t>(lanes[0]) + static_cast<uint64_t>(lanes[1]) +
             static_cast<uint64_t>(lanes[2]) + static_cast<uint64_t>(lanes[3]);
  }
  done = i;
  return spare;
}
#endif

#if defined(__x86_64__)
// The same with 32-byte vectors, for processors that have them.
template <bool kShow>
__attribute__((target("avx2"))) uint64_t SpareAvx2(uint8_t* frame, uint8_t* previous,
                                                    size_t& done, size_t length) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i allOnes = _mm256_set1_epi16(-1);
  const __m256i one = _mm256_set1_epi16(1);
  uint64_t spare = 0;
  size_t i = 0;
  const size_t whole = length & ~size_t{31};
  while (i < whole) {
    const size_t stop = std::min(whole, i + 32 * kStepsPerFlush);
    __m256i sum = zero;
    for (; i < stop; i += 32) {
      const __m256i current = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frame + i));
      const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(previous + i));
      const __m256i rise = _mm256_subs_epu8(current, before);
      const __m256i d = _mm256_adds_epu8(rise, rise);
      __m256i low = _mm256_unpacklo_epi8(d, zero);
      __m256i high = _mm256_unpackhi_epi8(d, zero);
      low = _mm256_srli_epi16(_mm256_xor_si256(_mm256_mullo_epi16(low, low), allOnes), 13);
      high = _mm256_srli_epi16(_mm256_xor_si256(_mm256_mullo_epi16(high, high), allOnes), 13);
      sum = _mm256_add_epi16(sum, _mm256_add_epi16(low, high));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(previous + i), current);
      if constexpr (kShow) _mm256_storeu_si256(reinterpret_cast<__m256i*>(frame + i), d);
    }
    alignas(32) int32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_madd_epi16(sum, one));
    for (int32_t lane : lanes) spare += static_cast<uint64_t>(lane);
  }
  done = i;
  return spare;
}

bool HasAvx2() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}
#endif

template <bool kShow>
uint64_t WeightSum(uint8_t* frame, uint8_t* previous, size_t length, MotionPath path) {
  size_t done = 0;
  uint64_t spare = 0;
#if defined(__x86_64__)
  if (path == MotionPath::kWidest && HasAvx2()) {
    spare = SpareAvx2<kShow>(frame, previous, done, length);
  } else if (path != MotionPath::kScalar) {
    spare = SpareSse2<kShow>(frame, previous, done, length);
  }
#elif defined(__SSE2__)
  if (path != MotionPath::kScalar) spare = SpareSse2<kShow>(frame, previous, done, length);
#endif
  spare += SpareScalar<kShow>(frame, previous, done, length);
  return 7 * static_cast<uint64_t>(length) - spare;
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
  const uint64_t sum = showDifference ? WeightSum<true>(frame, previous_.data(), length, path_)
                                      : WeightSum<false>(frame, previous_.data(), length, path_);
  return MotionLevelFromSum(sum, length);
}

void MotionMeter::Reset() {
  previous_.clear();
  previous_.shrink_to_fit();
}

}  // namespace qxcore
