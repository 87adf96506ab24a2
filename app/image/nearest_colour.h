// Nearest entry of a colour table, as a full search would find it, found quickly.
#pragma once

#include <vector>

#include "app/image/bitmap.h"

namespace qv {

// Finds, for a colour, the table entry at the smallest squared distance
// (dr^2 + dg^2 + db^2); among equally near entries the one with the lowest index. Entries are
// kept sorted by r + g + b, and the search walks outwards from the colour's own sum until the
// difference of the sums rules out the rest: (ds)^2 <= 3 d^2 (Cauchy-Schwarz), so an entry
// whose (ds)^2 exceeds 3 x the best squared distance cannot be nearer. Along the grey axis,
// where the colours of a photograph spread most, that bound is tight, and the search looks at
// a few entries instead of all of them, with the result of a full search.
class NearestColour {
 public:
  // `count` entries (1..256) of `table`.
  NearestColour(const RgbQuad* table, int count);

  [[nodiscard]] int Find(int blue, int green, int red) const;

 private:
  struct Entry {
    int sum;
    int red;
    int green;
    int blue;
    int index;
  };
  std::vector<Entry> sorted_;
  int firstAtSum_[767] = {};  // first position in sorted_ with sum >= the value
};

}  // namespace qv
