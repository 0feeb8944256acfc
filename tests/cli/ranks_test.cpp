// How the ranks share out n items (a plan's units, a tree's parts): K
// ranges in order that cover every item once, of sizes that differ by one
// at most, and each item's owner is the rank whose range holds it.
#include "cli/ranks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>

namespace {

TEST(RankShares, RangesInOrderCoverEveryItemOnceAndNameTheirOwner) {
  for (size_t n : {1, 2, 3, 7, 16, 17, 63, 1000, 1001})
    for (unsigned count : {1u, 2u, 3u, 4u, 5u, 8u, 64u}) {
      size_t next = 0, least = n, most = 0;
      for (unsigned r = 0; r < count; ++r) {
        const size_t first = cli::Ranks::First(n, r, count),
                     end = cli::Ranks::First(n, r + 1, count);
        ASSERT_EQ(first, next) << n << " items on " << count << " ranks, rank " << r;
        least = std::min(least, end - first), most = std::max(most, end - first);
        for (size_t k = first; k < end; ++k)
          ASSERT_EQ(cli::Ranks::Owner(n, k, count), r) << "item " << k << " of " << n;
        next = end;
      }
      EXPECT_EQ(next, n);
      EXPECT_LE(most - least, 1u) << n << " items on " << count << " ranks";
    }
}

}  // namespace
