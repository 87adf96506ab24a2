// Nearest entry of a colour table, as a full search would find it, found quickly.
#pragma once

#include <vector>

#include "app/image/bitmap.h"

namespace qv {

// Finds, for a colour, the table entry at the smallest squared distance
// (dr^2 + dg^2 + db^2); among equally near entries the one with the lowest index. Entries are
// kept sorted by green, and the search walks outwards from the colour's green value until the
// green difference alone exceeds the best distance, so it looks at a few entries instead of
// all of them with the same result.
class NearestColour {
 public:
  // `count` entries (1..256) of `table`.
  NearestColour(const RgbQuad* table, int count);

  [[nodiscard]] int Find(int blue, int green, int red) const;

 private:
  struct Entry {
    int green;
    int red;
    int blue;
    int index;
  };
  std::vector<Entry> sorted_;
  int firstAtGreen_[257] = {};  // first position in sorted_ with green >= the value
};

}  // namespace qv
