#include "app/image/nearest_colour.h"

#include <algorithm>
#include <limits>

namespace qv {

NearestColour::NearestColour(const RgbQuad* table, int count) {
  sorted_.reserve(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k)
    sorted_.push_back({table[k].rgbGreen, table[k].rgbRed, table[k].rgbBlue, k});
  std::sort(sorted_.begin(), sorted_.end(), [](const Entry& a, const Entry& b) {
    return a.green != b.green ? a.green < b.green : a.index < b.index;
  });
  size_t position = 0;
  for (int green = 0; green <= 256; ++green) {
    while (position < sorted_.size() && sorted_[position].green < green) ++position;
    firstAtGreen_[green] = static_cast<int>(position);
  }
}

int NearestColour::Find(int blue, int green, int red) const {
  int best = std::numeric_limits<int>::max();
  int bestIndex = std::numeric_limits<int>::max();
  const int count = static_cast<int>(sorted_.size());
  auto consider = [&](const Entry& entry, int greenDistance) {
    const int dr = red - entry.red, db = blue - entry.blue;
    const int distance = greenDistance + dr * dr + db * db;
    if (distance < best || (distance == best && entry.index < bestIndex)) {
      best = distance;
      bestIndex = entry.index;
    }
  };
  const int start = firstAtGreen_[std::clamp(green, 0, 256)];
  // Upwards, then downwards; an entry whose green difference alone is beyond the best
  // distance cannot win (an equal one still can, with a lower index).
  for (int i = start; i < count; ++i) {
    const int dg = sorted_[i].green - green;
    if (dg * dg > best) break;
    consider(sorted_[i], dg * dg);
  }
  for (int i = start - 1; i >= 0; --i) {
    const int dg = green - sorted_[i].green;
    if (dg * dg > best) break;
    consider(sorted_[i], dg * dg);
  }
  return bestIndex == std::numeric_limits<int>::max() ? 0 : bestIndex;
}

}  // namespace qv
