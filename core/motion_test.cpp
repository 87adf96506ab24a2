#include "core/motion.h"

#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace qxcore {
namespace {

// The measure written out byte by byte in plain int arithmetic.
struct Reference {
  uint64_t sum = 0;
  std::vector<uint8_t> difference;
};
Reference Measure(const std::vector<uint8_t>& frame, const std::vector<uint8_t>& previous) {
  Reference result;
  for (size_t i = 0; i < frame.size(); ++i) {
    int d = 2 * (int{frame[i]} - int{previous[i]});
    d = d < 0 ? 0 : d > 255 ? 255 : d;
    result.difference.push_back(static_cast<uint8_t>(d));
    result.sum += static_cast<uint64_t>(7 - ((65535 - d * d) >> 13));
  }
  return result;
}

TEST(MotionWeightTest, IsZeroUpToNinetyAndSevenAtFullBrightening) {
  EXPECT_EQ(MotionWeight(0), 0);
  EXPECT_EQ(MotionWeight(90), 0);
  EXPECT_EQ(MotionWeight(91), 1);
  EXPECT_EQ(MotionWeight(255), 7);
  for (int d = 1; d < 256; ++d) EXPECT_GE(MotionWeight(d), MotionWeight(d - 1)) << d;
}

TEST(MotionMeterTest, EveryPathMatchesThePlainArithmeticOnRandomFrames) {
  // Lengths with and without a tail after the last whole vector, and one long enough for the
  // vector paths to empty their narrow accumulators several times.
  std::mt19937 random(11);
  for (size_t length : {size_t{1}, size_t{31}, size_t{100003}, size_t{921600 + 17}}) {
    std::vector<uint8_t> before(length);
    std::vector<uint8_t> after(length);
    // Mostly small changes with some large ones, like a camera picture.
    for (size_t i = 0; i < length; ++i) {
      before[i] = static_cast<uint8_t>(random());
      after[i] = random() % 8 == 0 ? static_cast<uint8_t>(random())
                                   : static_cast<uint8_t>(before[i] + random() % 9 - 4);
    }
    const Reference expected = Measure(after, before);
    for (MotionPath path : {MotionPath::kWidest, MotionPath::kSse2, MotionPath::kScalar}) {
      MotionMeter meter(path);
      std::vector<uint8_t> frame = before;
      (void)meter.Measure(frame.data(), frame.size(), true);
      frame = after;
      EXPECT_EQ(meter.Measure(frame.data(), frame.size(), true),
                MotionLevelFromSum(expected.sum, length))
          << length << " path " << static_cast<int>(path);
      EXPECT_EQ(frame, expected.difference) << length << " path " << static_cast<int>(path);
    }
  }
}

TEST(MotionMeterTest, EveryBytePairMatchesThePlainArithmetic) {
  // All 65536 (current, previous) pairs in one frame, so every lane of the fast loop sees them.
  std::vector<uint8_t> previous(65536);
  std::vector<uint8_t> frame(65536);
  for (size_t i = 0; i < frame.size(); ++i) {
    previous[i] = static_cast<uint8_t>(i >> 8);
    frame[i] = static_cast<uint8_t>(i);
  }
  const Reference expected = Measure(frame, previous);
  MotionMeter meter;
  std::vector<uint8_t> first = previous;
  (void)meter.Measure(first.data(), first.size(), false);
  std::vector<uint8_t> shown = frame;
  const int level = meter.Measure(shown.data(), shown.size(), true);
  EXPECT_EQ(shown, expected.difference);
  EXPECT_EQ(level, MotionLevelFromSum(expected.sum, frame.size()));
}

TEST(MotionMeterTest, LevelsOfIdenticalAndFullyBrightenedFrames) {
  MotionMeter meter;
  std::vector<uint8_t> frame(65536, 10);
  (void)meter.Measure(frame.data(), frame.size(), false);
  EXPECT_EQ(meter.Measure(frame.data(), frame.size(), false), 0);
  // Every byte 128 above the previous: d = 255, sum = 7 x 65536, n = 2,
  // level 7 x 32768 - 2, stored as 65535.
  std::vector<uint8_t> brighter(65536, 138);
  EXPECT_EQ(meter.Measure(brighter.data(), brighter.size(), false), 65535);
  EXPECT_EQ(MotionLevelFromSum(7 * 65536, 65536), 65535);
  // Few changed bytes in a large frame: sum / n - n below zero is stored as 0.
  EXPECT_EQ(MotionLevelFromSum(70, 32768 * 10), 0);
  EXPECT_EQ(MotionLevelFromSum(7000, 32768 * 10), 690);
  EXPECT_EQ(MotionLevelFromSum(100, 100), 100);  // shorter than a block: divided by 1
}

TEST(MotionMeterTest, MeasureModeKeepsTheFrameAndShowModeReplacesIt) {
  std::mt19937 random(7);
  std::vector<uint8_t> before(100000);
  std::vector<uint8_t> after(100000);
  for (auto& byte : before) byte = static_cast<uint8_t>(random());
  for (auto& byte : after) byte = static_cast<uint8_t>(random());
  const Reference expected = Measure(after, before);

  MotionMeter measuring;
  std::vector<uint8_t> frame = before;
  (void)measuring.Measure(frame.data(), frame.size(), false);
  frame = after;
  EXPECT_EQ(measuring.Measure(frame.data(), frame.size(), false),
            MotionLevelFromSum(expected.sum, after.size()));
  EXPECT_EQ(frame, after);

  MotionMeter showing;
  frame = before;
  (void)showing.Measure(frame.data(), frame.size(), true);
  frame = after;
  (void)showing.Measure(frame.data(), frame.size(), true);
  EXPECT_EQ(frame, expected.difference);
  // The kept frame is the camera's picture, not the difference picture.
  std::vector<uint8_t> again = after;
  EXPECT_EQ(showing.Measure(again.data(), again.size(), false), 0);
}

TEST(MotionMeterTest, FirstFrameAfterTheBufferGrowsIsMeasuredAgainstZeros) {
  MotionMeter meter;
  std::vector<uint8_t> small(40000, 200);
  (void)meter.Measure(small.data(), small.size(), false);
  (void)meter.Measure(small.data(), small.size(), false);
  // A longer frame: all of it, old part included, is compared against zeros.
  std::vector<uint8_t> large(70000, 200);
  std::vector<uint8_t> shown = large;
  (void)meter.Measure(shown.data(), shown.size(), true);
  EXPECT_EQ(shown, std::vector<uint8_t>(70000, 255));
  EXPECT_EQ(meter.capacity(), 70000u);
  // A shorter frame after that is compared with the start of the kept one.
  EXPECT_EQ(meter.Measure(small.data(), small.size(), false), 0);
  meter.Reset();
  EXPECT_EQ(meter.capacity(), 0u);
  shown = small;
  (void)meter.Measure(shown.data(), shown.size(), true);
  EXPECT_EQ(shown, std::vector<uint8_t>(40000, 255));
}

}  // namespace
}  // namespace qxcore
