// The path cache through the core set and map: keys that land in the cached
// level-1 leaf take the fast path (no allocation, a pending delta instead of
// ancestor pop updates); rank and select see those keys exactly; a width-1
// leaf is appended to only while its capacity stays; keys with other upper
// bytes never enter the cached leaf, also right after a split; leaves above
// level 1 are never cached; every removal empties the cache.
#include <gtest/gtest.h>

#include "support.hpp"

namespace corvale_trie {
namespace {

using namespace testsupport;

constexpr u64 K = 0x1122334455000000ull;

// 32 keys K | 0x01xx and K | 0x0200: the width-7 leaf splits at byte 1 into a
// BranchL3 at level 2 whose level-1 edges hold a BitmapLeaf (0x01xx) and a
// one-key Immediate (0x0200).
template <bool IS_MAP>
void level_two_branch(Harness<IS_MAP>& h) {
  for (u64 i = 0; i < 32; ++i) h.insert(K | 0x100 | i, i);
  h.insert(K | 0x200, 2);
  ASSERT_EQ(edge_on_path(h.c.record(), K | 0x100, 1)->tag, TAG_BITMAP_LEAF);
  ASSERT_EQ(edge_on_path(h.c.record(), K | 0x200, 1)->tag, immed_tag(1, 1));
  ASSERT_TRUE(h.check());
}

// A fast-path insertion counts the key in `pending`; anything else leaves
// pending at 0 (a slow path flushes and refills the cache).
template <bool IS_MAP>
bool took_fast_path(Harness<IS_MAP>& h, u64 key, u64 value) {
  const u64 pending = h.c.record().path.pending;
  const u64 allocs = h.c.total_node_allocs();
  h.insert(key, value);
  const bool fast = h.c.record().path.pending == pending + 1;
  if (fast && !IS_MAP) {
    EXPECT_EQ(h.c.total_node_allocs(), allocs) << "the fast path allocated";
  }
  return fast;
}

template <bool IS_MAP>
void bitmap_leaf_fast_path() {
  Harness<IS_MAP> h;
  level_two_branch(h);
  const PathCache& path = h.c.record().path;
  ASSERT_FALSE(took_fast_path(h, K | 0x120, 5));  // slow path, caches the leaf
  ASSERT_NE(path.bitmap_leaf, nullptr);
  ASSERT_EQ(path.prefix, (K | 0x120) >> 8);
  ASSERT_EQ(path.leaf_count, 33);
  const u64 mem = h.c.mem_used();
  for (u64 low = 0x21; low < 0xFF; ++low) {
    ASSERT_TRUE(took_fast_path(h, K | 0x100 | low, low)) << "low " << low;
    // A present key changes no count (a map's value is replaced).
    const u64 pending = path.pending;
    h.insert(K | 0x100 | (low - 1), low);
    ASSERT_EQ(path.pending, pending);
    if (low % 50 == 0) {
      // Rank and select flush the pending delta and see every key; the
      // cache stays and the next key still takes the fast path.
      std::vector<u64> keys;
      for (const auto& kv : h.model) keys.push_back(kv.first);
      for (u64 i : {u64{0}, u64{31}, u64{40}, keys.size() - 1}) {
        const u64 k = keys[i];
        EXPECT_EQ(h.c.count_below(k), i);
        if constexpr (IS_MAP) EXPECT_EQ(h.c.by_count(i)->key, k);
        else EXPECT_EQ(h.c.by_count(i), std::optional<u64>(k));
      }
      EXPECT_EQ(path.pending, 0u);
      EXPECT_NE(path.depth, 0u);
      ASSERT_TRUE(h.check());
    }
  }
  if (!IS_MAP) {
    EXPECT_EQ(h.c.mem_used(), mem);
  }
  ASSERT_TRUE(h.check());
  if constexpr (!IS_MAP) {
    // The 256th key: a FullEdge, the leaf released, the cache emptied.
    h.insert(K | 0x1FF);
    EXPECT_EQ(edge_on_path(h.c.record(), K | 0x100, 1)->tag, TAG_FULL);
    EXPECT_EQ(path.depth, 0u);
    EXPECT_EQ(h.c.mem_used(), mem - 64);
  } else {
    ASSERT_TRUE(took_fast_path(h, K | 0x1FF, 1));  // 256 pairs: still a bitmap leaf
    EXPECT_EQ(edge_on_path(h.c.record(), K | 0x100, 1)->decode[0], 0xFF);
    h.insert_keep(K | 0x1FF, 9);
  }
  ASSERT_TRUE(h.check());
  h.remove(K | 0x999);  // absent: the cache is emptied all the same
  EXPECT_EQ(path.depth, 0u);
  EXPECT_EQ(path.prefix, ~u64{0});
  ASSERT_TRUE(h.check());
}

TEST(PathCache, SetBitmapLeafFastPath) { bitmap_leaf_fast_path<false>(); }
TEST(PathCache, MapBitmapLeafFastPath) { bitmap_leaf_fast_path<true>(); }

// A cached width-1 leaf of c keys takes an append above its last key by the
// fast path only when capacity_for(c + 1) == capacity_for(c) and c + 1 <= 24;
// a key below the last one always takes the slow path.
template <bool IS_MAP>
void width_one_leaf_appends() {
  Harness<IS_MAP> h;
  level_two_branch(h);
  const PathCache& path = h.c.record().path;
  const u64 first_leaf = (IS_MAP ? 7 : 15) + 1;  // one past the Immediate capacity
  auto key = [](u64 n) { return K | 0x200 | (2 * n); };
  u64 n = 1;  // keys under the edge
  for (; n < first_leaf; ++n) h.insert(key(n), n);
  EXPECT_EQ(edge_on_path(h.c.record(), K | 0x200, 1)->tag, linear_leaf_tag(1));
  ASSERT_FALSE(took_fast_path(h, key(n++), 0));  // caches the leaf
  ASSERT_NE(path.linear_leaf, nullptr);
  ASSERT_FALSE(took_fast_path(h, K | 0x201, 0));  // below the last key
  ++n;
  ASSERT_NE(path.linear_leaf, nullptr);
  for (; n < 26; ++n) {
    const bool want = capacity_for(n + 1) == capacity_for(n) && n + 1 <= 24;
    ASSERT_EQ(took_fast_path(h, key(n), n), want) << n << " keys";
    if (path.linear_leaf != nullptr) {
      const u64 pending = path.pending;
      h.insert(key(n), 7);  // the last key again: found, nothing added
      EXPECT_EQ(path.pending, pending);
    }
    ASSERT_TRUE(h.check());
  }
  EXPECT_EQ(edge_on_path(h.c.record(), K | 0x200, 1)->tag, TAG_BITMAP_LEAF);
}

TEST(PathCache, SetWidthOneLeafAppends) { width_one_leaf_appends<false>(); }
TEST(PathCache, MapWidthOneLeafAppends) { width_one_leaf_appends<true>(); }

// Keys agreeing with a cached leaf in their low bytes only: after a width-2
// leaf under a level-2 edge splits (re-inserting keys that carry only their
// low two bytes), the cache, if it holds the new level-1 leaf, holds its
// whole prefix. Also: keys 1..33 end in a BitmapLeaf under a level-7 edge,
// which is never cached.
template <bool IS_MAP>
void other_upper_bytes_land_elsewhere() {
  const u64 A = 0x0102030405060000ull;  // byte 2 = 0x06
  const u64 B = 0x0102030405070000ull;  // byte 2 = 0x07
  Harness<IS_MAP> h;
  h.insert(B, 1);
  h.insert(A, 2);
  for (u64 i = 0; i < 31; ++i) h.insert(A | 0x100 | i, i);  // 33: split at byte 2
  ASSERT_EQ(edge_on_path(h.c.record(), A, 2)->tag, linear_leaf_tag(2));
  h.insert(A | 0x100 | 31, 3);  // 33 keys under the level-2 edge: split at byte 1
  for (u64 k : {u64{0x120}, u64{0x121}, B | 0x120, u64{0x0405060000000120}, A | 0x120, A | 0x122}) {
    h.insert(k, k);
    ASSERT_TRUE(h.check());
  }
  for (u64 k : {A | 0x123, u64{0x11F}, B | 0x121}) h.lookup(k);

  Harness<IS_MAP> low;
  for (u64 k = 1; k <= 33; ++k) {
    low.insert(k, k);
    EXPECT_EQ(low.c.record().path.depth, 0u) << k;
  }
  EXPECT_EQ(edge_on_path(low.c.record(), 1, 1)->tag, TAG_BITMAP_LEAF);
  ASSERT_TRUE(low.check());
}

TEST(PathCache, SetOtherUpperBytesLandElsewhere) { other_upper_bytes_land_elsewhere<false>(); }
TEST(PathCache, MapOtherUpperBytesLandElsewhere) { other_upper_bytes_land_elsewhere<true>(); }

}  // namespace
}  // namespace corvale_trie
