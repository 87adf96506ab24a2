#include "platform/bmp_layout.h"

#include <gtest/gtest.h>

#include "platform/testing/bmp_fixtures.h"

namespace qv {
namespace {

// Every prefix of an accepted file is refused without a read beyond it (each prefix sits in a
// heap block of its own size, which the address sanitizer watches).
TEST(BmpLayout, EveryTruncationOfEveryLayoutIsRefused) {
  for (const auto& fixture : bmp_fixtures::Fixtures()) {
    if (!fixture.layout.accepted) continue;
    BmpLayout layout;
    for (size_t length = 0; length <= fixture.bytes.size(); ++length) {
      const std::vector<uint8_t> prefix(fixture.bytes.begin(), fixture.bytes.begin() + static_cast<long>(length));
      const BmpFault fault = ParseBmpHeaders(prefix.data(), length, length, kBmpAllDepths, &layout);
      const bool whole = length == fixture.bytes.size();
      EXPECT_TRUE(whole ? fault == BmpFault::kNone : fault == BmpFault::kTruncated || fault == BmpFault::kTruncatedPixels)
          << fixture.layout.name << " at " << length << ": " << DescribeBmpFault(fault);
    }
  }
}

}  // namespace
}  // namespace qv
