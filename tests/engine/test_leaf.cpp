// Leaf search primitives against plain models: the packed lower bound, locate
// and exact search for every width 1..7 and every count 0..40 (all the
// search regimes) against std::lower_bound, the exact search also as the
// lock-free lookups run it (in place, whole words at a time);
// the 8-lane byte search; the bitmap scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "engine/bits.hpp"
#include "engine/get.hpp"
#include "engine/leaf.hpp"
#include "seed.hpp"

namespace corvale_trie {
namespace leaf {
void PrintTo(const LocateResult& r, std::ostream* os) { *os << (r.found ? "found at " : "absent, at ") << r.index; }
}  // namespace leaf
namespace {

// n ascending distinct W-byte keys; shape 1 adds 0 and the largest value,
// shape 2 is a cluster, shape 3 builds every byte from 0, 1, 0x7F, 0x80, 0xFF
// (keys that order differently byte by byte than as integers).
std::vector<u64> make_keys(std::mt19937_64& rng, unsigned w, u64 n, int shape) {
  const u64 max = BYTE_MASK_TABLE[w];
  std::set<u64> s;
  if (shape == 1) s.insert({u64{0}, max});
  const u64 base = rng() & max;
  for (u64 tries = 0; s.size() < n; ++tries) {
    u64 k = rng() & max;
    if (tries < 64 * n && shape == 2) k = std::min(max, base + rng() % (4 * n + 8));
    if (tries < 64 * n && shape == 3) {
      static constexpr u8 bytes[] = {0, 1, 0x7F, 0x80, 0xFF};
      k = 0;
      for (unsigned b = 0; b < w; ++b) k |= u64{bytes[rng() % 5]} << (8 * b);
    }
    s.insert(k);
  }
  std::vector<u64> keys(s.begin(), s.end());
  keys.resize(n);
  return keys;
}

template <unsigned W>
void check_width(std::mt19937_64& rng, u64 seed) {
  const u64 max = BYTE_MASK_TABLE[W];
  for (u64 n = 0; n <= 40; ++n) {
    for (int shape = 0; shape < 4; ++shape) {
      const auto keys = make_keys(rng, W, n, shape);
      // Exactly n*W bytes on the heap: a sanitizer build catches any read
      // past the last key.
      std::unique_ptr<u8[]> packed(new u8[n * W + 1]);
      for (u64 i = 0; i < n; ++i)
        for (unsigned b = 0; b < W; ++b) packed[i * W + b] = static_cast<u8>(keys[i] >> (8 * b));
      const u8* p = n ? packed.get() : nullptr;
      // The lock-free lookups read the keys in place, a whole aligned word
      // at a time, from a block that spans whole 16-byte granules: here one
      // of exactly that size (a sanitizer build catches a word past it),
      // with ones after the keys, which must be masked off.
      const u64 granules = (n * W + 15) & ~u64{15};
      std::unique_ptr<u8[]> shared(new u8[granules]);
      std::fill(std::copy(packed.get(), packed.get() + n * W, shared.get()), shared.get() + granules, u8{0xFF});
      std::vector<u64> queries = {0, max, rng() & max, rng() & max};
      for (u64 k : keys) queries.insert(queries.end(), {k, (k - 1) & max, (k + 1) & max});
      for (u64 q : queries) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " W " << W << " n " << n << " query " << q);
        const u64 lb = u64(std::lower_bound(keys.begin(), keys.end(), q) - keys.begin());
        const bool present = lb < n && keys[lb] == q;
        ASSERT_EQ(leaf::lower_bound_fixed<W>(p, n, q), lb);
        ASSERT_EQ(leaf::locate(p, n, W, q), (leaf::LocateResult{present, lb}));
        // The exact search looks at the low W bytes only.
        ASSERT_EQ(leaf::search(p, n, W, q | (rng() << (8 * W))), present ? std::optional(lb) : std::nullopt);
        ASSERT_EQ(get::ValidatedRead::leaf_search(shared.get(), n, W, q | (rng() << (8 * W))),
                  present ? std::optional(lb) : std::nullopt);
      }
    }
  }
}

TEST(LeafSearch, EveryWidthAndCountMatchesStdLowerBound) {
  const u64 seed = test_seed(0x1eaf5eed);
  std::mt19937_64 rng(seed);
  check_width<1>(rng, seed);
  check_width<2>(rng, seed);
  check_width<3>(rng, seed);
  check_width<4>(rng, seed);
  check_width<5>(rng, seed);
  check_width<6>(rng, seed);
  check_width<7>(rng, seed);
}

TEST(LeafBits, FindByte8AndNextSetMatchModels) {
  const u64 seed = test_seed(0xb175);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  // Rows of b, b^1, b^0x80 and random bytes: a lane compare must not let
  // the borrow of one lane mark its neighbour; lanes at n and beyond never count.
  for (int t = 0; t < 20000; ++t) {
    const u8 b = static_cast<u8>(rng());
    const u64 n = rng() % 13;
    u8 row[8];
    for (u8& x : row) {
      const u64 r = rng() % 4;
      x = r == 0 ? b : r == 1 ? b ^ 1 : r == 2 ? b ^ 0x80 : static_cast<u8>(rng());
    }
    std::optional<u64> want;
    for (u64 j = std::min<u64>(n, 8); j-- > 0;)
      if (row[j] == b) want = j;
    ASSERT_EQ(bits::find_byte_8(row, n, b), want) << "n " << n << " b " << int(b);
  }
  for (int t = 0; t < 300; ++t) {
    Bitmap256 bm;
    const u64 density = (rng() % 5) * (rng() % 5);
    for (unsigned b = 0; b < 256; ++b)
      if (rng() % 64 < density) bm.set(b);
    if (t == 0) bm = Bitmap256{}, bm.set(63);  // only bit 63: nothing from 64 on
    int want = -1;
    for (int i = 255; i >= 0; --i) {
      if (bm.test(static_cast<unsigned>(i))) want = i;
      ASSERT_EQ(bm.next_set(static_cast<unsigned>(i)), want) << "i " << i;
    }
  }
}

}  // namespace
}  // namespace corvale_trie
