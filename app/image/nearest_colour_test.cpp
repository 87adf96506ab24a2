#include "app/image/nearest_colour.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

namespace qv {
namespace {

// The definition: the first entry with the smallest squared distance.
int FullSearch(const std::vector<RgbQuad>& table, int count, int blue, int green, int red) {
  int best = 0, bestDistance = std::numeric_limits<int>::max();
  for (int k = 0; k < count; ++k) {
    const int db = blue - table[k].rgbBlue, dg = green - table[k].rgbGreen, dr = red - table[k].rgbRed;
    const int distance = db * db + dg * dg + dr * dr;
    if (distance < bestDistance) {
      bestDistance = distance;
      best = k;
    }
  }
  return best;
}

TEST(NearestColour, AgreesWithAFullSearchIncludingTies) {
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    const int count = round == 0 ? 1 : 1 + static_cast<int>(random() % 256);
    // Coarse levels make many equal distances and duplicate entries.
    const int levels = round % 3 == 0 ? 4 : 256;
    std::vector<RgbQuad> table(256);
    for (auto& entry : table) {
      entry.rgbBlue = static_cast<uint8_t>(random() % levels * (256 / levels));
      entry.rgbGreen = static_cast<uint8_t>(random() % levels * (256 / levels));
      entry.rgbRed = static_cast<uint8_t>(random() % levels * (256 / levels));
    }
    const NearestColour nearest(table.data(), count);
    for (int probe = 0; probe < 2000; ++probe) {
      const int blue = static_cast<int>(random() % 256), green = static_cast<int>(random() % 256),
                red = static_cast<int>(random() % 256);
      ASSERT_EQ(nearest.Find(blue, green, red), FullSearch(table, count, blue, green, red))
          << round << ": " << blue << "," << green << "," << red;
    }
  }
}

}  // namespace
}  // namespace qv
