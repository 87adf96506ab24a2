#include "core/jpeg_writer.h"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace qxcore {
namespace {

TEST(JpegEncoderTest, OutputThatCannotGrowFailsCleanly) {
  // Noise compresses badly, so the output buffer has to grow several times.
  const int width = 256;
  const int height = 256;
  std::vector<uint8_t> noise(static_cast<size_t>(width) * height * 3);
  uint32_t seed = 12345;
  for (uint8_t& byte : noise) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(seed >> 24);
  }
  std::vector<uint8_t> whole;
  ASSERT_TRUE(EncodeJpeg(noise.data(), width, height, JpegInput::kBgr, 90, whole));
  ASSERT_GT(whole.size(), 4u * 4096);
  // Allocation failing at the first buffer, after some growth, and one byte short of enough.
  for (size_t limit : {size_t{0}, size_t{10000}, whole.size() / 2, whole.size() - 1}) {
    std::vector<uint8_t> jpeg{1, 2, 3};
    EXPECT_FALSE(EncodeJpeg(noise.data(), width, height, JpegInput::kBgr, 90, jpeg, limit)) << limit;
    EXPECT_TRUE(jpeg.empty()) << limit;
  }
  std::vector<uint8_t> roomy;
  EXPECT_TRUE(EncodeJpeg(noise.data(), width, height, JpegInput::kBgr, 90, roomy, whole.size() * 2));
  EXPECT_EQ(roomy, whole);
}

}  // namespace
}  // namespace qxcore
