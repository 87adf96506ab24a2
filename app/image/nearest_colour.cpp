#include "app/image/nearest_colour.h"

#include <algorithm>
#include <limits>

namespace qv {

NearestColour::NearestColour(const RgbQuad* table, int count) {
  sorted_.reserve(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) {
    const RgbQuad& e = table[k];
    sorted_.push_back({e.rgbRed + e.rgbGreen + e.rgbBlue, e.rgbRed, e.rgbGreen, e.rgbBlue, k});
  }
  std::sort(sorted_.begin(), sorted_.end(),
            [](const Entry& a, const Entry& b) { return a.sum != b.sum ? a.sum < b.sum : a.index < b.index; });
  size_t position = 0;
  for (int sum = 0; sum <= 766; ++sum) {
    while (position < sorted_.size() && sorted_[position].sum < sum) ++position;
    firstAtSum_[sum] = static_cast<int>(position);
  }
}

int NearestColour::Find(int blue, int green, int red) const {
  int best = std::numeric_limits<int>::max();
  int bestIndex = std::numeric_limits<int>::max();
  const int count = static_cast<int>(sorted_.size());
  const int sum = red + green + blue;
  auto consider = [&](const Entry& entry) {
    const int dr = red - entry.red, dg = green - entry.green, db = blue - entry.blue;
    const int distance = dr * dr + dg * dg + db * db;
    if (distance < best || (distance == best && entry.index < bestIndex)) {
      best = distance;
      bestIndex = entry.index;
    }
  };
  // Outwards from the colour's sum, alternating sides so a near entry is met early; a side ends
  // where its sum difference rules out every further entry (an equal distance still counts,
  // for its index). 3 x best cannot overflow: best starts at the first real distance.
  const int start = firstAtSum_[std::clamp(sum, 0, 766)];
  int up = start, down = start - 1;
  bool upOpen = up < count, downOpen = down >= 0;
  while (upOpen || downOpen) {
    if (upOpen) {
      const int ds = sorted_[up].sum - sum;
      if (best != std::numeric_limits<int>::max() && int64_t{ds} * ds > int64_t{3} * best) {
        upOpen = false;
      } else {
        consider(sorted_[up]);
        upOpen = ++up < count;
      }
    }
    if (downOpen) {
      const int ds = sum - sorted_[down].sum;
      if (best != std::numeric_limits<int>::max() && int64_t{ds} * ds > int64_t{3} * best) {
        downOpen = false;
      } else {
        consider(sorted_[down]);
        downOpen = --down >= 0;
      }
    }
  }
  return bestIndex == std::numeric_limits<int>::max() ? 0 : bestIndex;
}

}  // namespace qv
