// Core set: root states (Empty, Flat, Tree), the flat array's capacity steps,
// the switch to a tree at the 32nd key and back at 30, the path-cache fast
// path, node-kind thresholds reached through the container, and a seeded
// differential test against std::set over several key distributions.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "core_probe.hpp"
#include "engine/mutate.hpp"
#include "engine/remove.hpp"
#include "engine/set.hpp"
#include "engine/verify.hpp"

namespace corvale_trie {
namespace {

using set::CorvaleSet;
using coretest::probe;
using coretest::round16;

std::vector<u64> flat_contents(const CorvaleSet& s) {
  const CoreRecord& rec = s.record();
  if (rec.state != RootState::Flat) return {};
  return {rec.flat_keys(), rec.flat_keys() + rec.len};
}

// Flat array bytes counted for n keys.
u64 flat_mem(u64 n) { return round16(8 * capacity_for(n)); }

// ---------------------------------------------------------------------------
// Empty and Flat

TEST(CoreSetFlat, NewAndClearedSetsAreEmpty) {
  CorvaleSet s;
  EXPECT_EQ(s.len(), 0u);
  EXPECT_TRUE(s.is_empty());
  EXPECT_FALSE(s.contains(0));
  EXPECT_FALSE(s.contains(~u64{0}));
  EXPECT_FALSE(s.remove(0));
  EXPECT_EQ(s.mem_used(), 0u);
  EXPECT_EQ(s.total_node_allocs(), 0u);
  s.clear();
  EXPECT_EQ(s.record().state, RootState::Empty);
  EXPECT_EQ(s.len(), 0u);

  EXPECT_TRUE(s.insert(5));
  EXPECT_EQ(s.record().state, RootState::Flat);
  EXPECT_EQ(s.mem_used(), 16u);  // an 8-byte block, counted as 16
  EXPECT_FALSE(s.remove(6));
  EXPECT_TRUE(s.remove(5));
  EXPECT_EQ(s.record().state, RootState::Empty);
  EXPECT_EQ(s.len(), 0u);
  EXPECT_TRUE(s.is_empty());
  EXPECT_EQ(s.mem_used(), 0u);

  for (u64 k = 1; k <= 20; ++k) s.insert(k * 3);
  const u64 allocs = s.total_node_allocs();
  s.clear();
  EXPECT_EQ(s.len(), 0u);
  EXPECT_EQ(s.mem_used(), 0u);
  EXPECT_EQ(s.total_node_allocs(), allocs);
  EXPECT_FALSE(s.contains(3));
  EXPECT_TRUE(s.insert(7));
  EXPECT_EQ(flat_contents(s), std::vector<u64>{7});
  EXPECT_EQ(s.len(), 1u);
  CORVALE_EXPECT_VALID_SET(s);
}

// The flat array takes a new block exactly when capacity_for changes: at
// counts 1, 2, 3, 5, 9, ..., 29 on the way up and 28, 24, ..., 4, 2, 1 on the
// way down; everything else moves in place.
TEST(CoreSetFlat, TakesNewBlocksOnlyAtCapacitySteps) {
  const std::set<u64> up = {1, 2, 3, 5, 9, 13, 17, 21, 25, 29};
  const std::set<u64> down = {28, 24, 20, 16, 12, 8, 4, 2, 1};
  for (const bool ascending : {true, false}) {
    SCOPED_TRACE(ascending ? "ascending" : "descending");
    CorvaleSet s;
    std::vector<u64> keys;
    for (u64 i = 0; i < FLAT_MAX_KEYS; ++i) keys.push_back(1000 + 17 * i);
    if (!ascending) std::reverse(keys.begin(), keys.end());
    u64 allocs = 0;
    for (u64 n = 1; n <= FLAT_MAX_KEYS; ++n) {
      ASSERT_TRUE(s.insert(keys[n - 1]));
      allocs += up.count(n);
      EXPECT_EQ(s.record().state, RootState::Flat);
      EXPECT_EQ(s.len(), n);
      EXPECT_EQ(s.mem_used(), flat_mem(n)) << "n=" << n;
      EXPECT_EQ(s.total_node_allocs(), allocs) << "n=" << n;
    }
    // Present keys change nothing, also in a full array.
    for (const u64 k : keys) {
      EXPECT_FALSE(s.insert(k));
      EXPECT_EQ(s.record().state, RootState::Flat);
    }
    EXPECT_EQ(s.total_node_allocs(), allocs);
    EXPECT_EQ(s.len(), FLAT_MAX_KEYS);
    CORVALE_EXPECT_VALID_SET(s);

    // Remove from the middle outwards.
    std::vector<u64> order = keys;
    std::mt19937_64 rng(7);
    std::shuffle(order.begin(), order.end(), rng);
    for (u64 i = 0; i < order.size(); ++i) {
      const u64 m = FLAT_MAX_KEYS - 1 - i;
      ASSERT_TRUE(s.remove(order[i]));
      EXPECT_FALSE(s.remove(order[i]));
      allocs += down.count(m);
      EXPECT_EQ(s.len(), m);
      EXPECT_EQ(s.total_node_allocs(), allocs) << "m=" << m;
      EXPECT_EQ(s.mem_used(), m == 0 ? 0 : flat_mem(m)) << "m=" << m;
      EXPECT_EQ(s.record().state, m == 0 ? RootState::Empty : RootState::Flat);
    }
  }
}

// Membership in a flat array of every size (straight scan, unrolled compare,
// branch-free search), keys 0 and 2**64-1 included.
TEST(CoreSetFlat, KeepsKeysSortedAndFindsEveryOne) {
  for (u64 seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937_64 rng(seed);
    CorvaleSet s;
    std::set<u64> model;
    auto gen = [&] {
      switch (rng() % 4) {
        case 0: return u64{rng() % 64};
        case 1: return ~u64{0} - rng() % 64;
        case 2: return u64{rng() % 200} * 3;
        default: return u64{rng()};
      }
    };
    while (model.size() < FLAT_MAX_KEYS) {
      const u64 k = gen();
      EXPECT_EQ(s.insert(k), model.insert(k).second);
      ASSERT_EQ(flat_contents(s), std::vector<u64>(model.begin(), model.end()));
      for (const u64 m : model) {
        ASSERT_TRUE(s.contains(m));
        if (!model.count(m + 1)) {
          ASSERT_FALSE(s.contains(m + 1));
        }
        if (!model.count(m - 1)) {
          ASSERT_FALSE(s.contains(m - 1));
        }
      }
      EXPECT_EQ(s.contains(0), model.count(0) == 1);
      EXPECT_EQ(s.contains(~u64{0}), model.count(~u64{0}) == 1);
    }
    while (!model.empty()) {
      const u64 k = rng() % 2 ? gen() : *std::next(model.begin(), rng() % model.size());
      EXPECT_EQ(s.remove(k), model.erase(k) == 1);
      ASSERT_EQ(flat_contents(s), std::vector<u64>(model.begin(), model.end()));
      for (const u64 m : model) ASSERT_TRUE(s.contains(m));
      ASSERT_FALSE(s.contains(k));
    }
    EXPECT_EQ(s.mem_used(), 0u);
  }
}

// ---------------------------------------------------------------------------
// Tree state

TEST(CoreSetTree, SwitchesAtThirtyTwoAndCondensesAtThirty) {
  const std::vector<std::vector<u64>> key_sets = [] {
    std::vector<std::vector<u64>> out(4);
    for (u64 i = 0; i < 32; ++i) {
      out[0].push_back(i);                           // dense, one leaf
      out[1].push_back(i << 56 | i);                 // one per root digit
      out[2].push_back(~u64{0} - i * 0x1010101);     // near the top, u64::MAX first
      out[3].push_back(i % 2 ? ~u64{0} - i : i);     // both ends
    }
    std::mt19937_64 rng(3);
    std::shuffle(out[3].begin(), out[3].end(), rng);
    return out;
  }();
  for (const auto& keys : key_sets) {
    SCOPED_TRACE(::testing::Message() << "first key " << keys[0]);
    CorvaleSet s;
    for (u64 i = 0; i < 31; ++i) ASSERT_TRUE(s.insert(keys[i]));
    EXPECT_EQ(s.record().state, RootState::Flat);
    EXPECT_FALSE(s.insert(keys[30]));
    EXPECT_FALSE(s.insert(keys[0]));
    EXPECT_EQ(s.record().state, RootState::Flat);
    EXPECT_EQ(s.mem_used(), 256u);

    ASSERT_TRUE(s.insert(keys[31]));
    EXPECT_EQ(s.record().state, RootState::Tree);
    EXPECT_EQ(s.len(), 32u);
    for (const u64 k : keys) EXPECT_TRUE(s.contains(k));
    CORVALE_ASSERT_VALID_SET(s);

    ASSERT_TRUE(s.remove(keys[5]));
    EXPECT_EQ(s.record().state, RootState::Tree);
    EXPECT_EQ(s.len(), 31u);
    CORVALE_ASSERT_VALID_SET(s);
    EXPECT_FALSE(s.remove(keys[5]));
    EXPECT_EQ(s.record().state, RootState::Tree);

    const u64 allocs = s.total_node_allocs();
    ASSERT_TRUE(s.remove(keys[17]));
    EXPECT_EQ(s.record().state, RootState::Flat);
    EXPECT_EQ(s.len(), 30u);
    EXPECT_EQ(s.mem_used(), 256u);  // the tree is gone; a flat block of capacity 32
    EXPECT_EQ(s.total_node_allocs(), allocs + 1);
    std::vector<u64> rest;
    for (u64 i = 0; i < 32; ++i)
      if (i != 5 && i != 17) rest.push_back(keys[i]);
    std::sort(rest.begin(), rest.end());
    EXPECT_EQ(flat_contents(s), rest);
    CORVALE_ASSERT_VALID_SET(s);

    for (const u64 k : rest) ASSERT_TRUE(s.remove(k));
    EXPECT_TRUE(s.is_empty());
    EXPECT_EQ(s.mem_used(), 0u);
  }
}

// Up and down across the switch many times: the root state and the memory
// figures repeat exactly, and the allocation counter only grows.
TEST(CoreSetTree, OscillatesAroundTheSwitch) {
  for (const u64 stride : {u64{1}, u64{0x10001}, u64{1} << 56}) {
    SCOPED_TRACE(::testing::Message() << "stride " << stride);
    CorvaleSet s;
    for (u64 i = 0; i < 31; ++i) s.insert(i * stride);
    const u64 a = 31 * stride;
    const u64 b = 40 * stride;
    u64 tree_mem = 0;
    u64 last_allocs = s.total_node_allocs();
    for (int cycle = 0; cycle < 20; ++cycle) {
      ASSERT_EQ(s.record().state, RootState::Flat);
      ASSERT_EQ(s.mem_used(), 256u);
      ASSERT_TRUE(s.insert(a));  // 32: tree
      ASSERT_EQ(s.record().state, RootState::Tree);
      if (cycle == 0) tree_mem = s.mem_used();
      EXPECT_EQ(s.mem_used(), tree_mem);
      CORVALE_ASSERT_VALID_SET(s);
      ASSERT_TRUE(s.insert(b));  // 33
      ASSERT_TRUE(s.remove(a));  // 32
      ASSERT_TRUE(s.remove(b));  // 31: still a tree
      ASSERT_EQ(s.record().state, RootState::Tree);
      ASSERT_EQ(s.len(), 31u);
      CORVALE_ASSERT_VALID_SET(s);
      ASSERT_TRUE(s.remove(0));  // 30: flat
      ASSERT_EQ(s.record().state, RootState::Flat);
      ASSERT_EQ(s.mem_used(), 256u);
      CORVALE_ASSERT_VALID_SET(s);
      ASSERT_TRUE(s.insert(0));  // 31: flat
      ASSERT_GE(s.total_node_allocs(), last_allocs);
      last_allocs = s.total_node_allocs();
    }
  }
}

TEST(CoreSetTree, CondensesTreesHoldingTheLargestKey) {
  CorvaleSet s;
  std::vector<u64> keys;
  for (u64 i = 0; i < 32; ++i) keys.push_back(~u64{0} - i * i * 977);
  for (const u64 k : keys) s.insert(k);
  ASSERT_EQ(s.record().state, RootState::Tree);
  s.remove(keys[3]);
  s.remove(keys[9]);
  ASSERT_EQ(s.record().state, RootState::Flat);
  const std::vector<u64> flat = flat_contents(s);
  ASSERT_EQ(flat.size(), 30u);
  EXPECT_EQ(flat.back(), ~u64{0});
  EXPECT_TRUE(std::is_sorted(flat.begin(), flat.end()));
  CORVALE_EXPECT_VALID_SET(s);
}

TEST(CoreSetTree, ClearReleasesEverything) {
  CorvaleSet s;
  std::mt19937_64 rng(11);
  for (int i = 0; i < 5000; ++i) s.insert(rng() >> (rng() % 64));
  ASSERT_EQ(s.record().state, RootState::Tree);
  const u64 allocs = s.total_node_allocs();
  s.clear();
  EXPECT_EQ(s.record().state, RootState::Empty);
  EXPECT_EQ(s.len(), 0u);
  EXPECT_EQ(s.mem_used(), 0u);
  EXPECT_EQ(s.total_node_allocs(), allocs);
  EXPECT_EQ(s.record().path.depth, 0u);
  EXPECT_TRUE(s.insert(9));
  EXPECT_EQ(s.record().state, RootState::Flat);
  EXPECT_EQ(s.mem_used(), 16u);
  // A set that still holds a tree (with a full edge and a BranchU) when it
  // goes out of scope is torn down by its destructor; the sanitizer build
  // reports anything left behind.
  CorvaleSet t;
  t.insert(0x4300);  // with 0x42xx: a split at byte 1, then a level-1 leaf
  for (u64 k = 0; k < 256; ++k) t.insert(0x4200 + k);
  for (u64 d = 1; d < 200; ++d) t.insert(d << 56);
  EXPECT_EQ(t.record().root.tag, TAG_U);
  EXPECT_EQ(probe(t.record(), 0x4200).edge->tag, TAG_FULL);
}

// Condensing relies on the tree holding exactly `len` keys. A tree that
// holds more or fewer (a broken invariant, forced here by changing the tree
// behind the container's back) stops the process; it never writes past the
// new flat array.
TEST(CoreSetDeathTest, CondenseStopsOnACountMismatch) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto make = [](CorvaleSet& s) {
    for (u64 i = 0; i < 31; ++i) s.insert(i << 40);
    s.insert(u64{31} << 40);
    s.remove(u64{31} << 40);  // a tree of 31 keys
    s.record().path.flush_and_reset();
  };
  EXPECT_DEATH(
      {
        CorvaleSet s;
        make(s);
        PathCache scratch;
        mutate::insert_with_path_flat(s.record().alloc, s.record().root, 77, ROOT_LEVEL, scratch);
        s.remove(0);  // len says 30, the tree holds 31
      },
      "condensed tree holds no more keys than its count");
  EXPECT_DEATH(
      {
        CorvaleSet s;
        make(s);
        mutate::remove(s.record().alloc, s.record().root, u64{5} << 40, ROOT_LEVEL);
        s.remove(0);  // len says 30, the tree holds 29
      },
      "condensed tree holds as many keys as its count");
}

// ---------------------------------------------------------------------------
// Path-cache fast path

// Keys K | 0x01xx and K | 0x02xx: after the 33rd key the leaf under the root
// splits at byte 1 into a BranchL3 at level 2 whose level-1 edges hold the
// 0x01xx keys (a BitmapLeaf) and the 0x02xx key (an Immediate).
constexpr u64 K = 0x1122334455000000ull;

void build_level_two_branch(CorvaleSet& s) {
  for (u64 i = 0; i < 32; ++i) ASSERT_TRUE(s.insert(K | 0x100 | i));
  ASSERT_TRUE(s.insert(K | 0x200));
  ASSERT_EQ(s.record().state, RootState::Tree);
  const coretest::Probe p1 = probe(s.record(), K | 0x100);
  ASSERT_NE(p1.edge, nullptr);
  ASSERT_EQ(p1.level, 1);
  ASSERT_EQ(p1.edge->tag, TAG_BITMAP_LEAF);
  const coretest::Probe p2 = probe(s.record(), K | 0x200);
  ASSERT_NE(p2.edge, nullptr);
  ASSERT_EQ(p2.edge->tag, immed_tag(1, 1));
  CORVALE_ASSERT_VALID_SET(s);
}

TEST(CoreSetFastPath, FillsACachedBitmapLeafUpToAFullEdge) {
  CorvaleSet s;
  build_level_two_branch(s);
  const PathCache& path = s.record().path;

  ASSERT_TRUE(s.insert(K | 0x120));  // slow path, caches the bitmap leaf
  ASSERT_GT(path.depth, 1u);
  ASSERT_NE(path.bitmap_leaf, nullptr);
  EXPECT_EQ(path.leaf_count, 33);
  EXPECT_EQ(path.pending, 0u);
  EXPECT_EQ(path.prefix, (K | 0x120) >> 8);

  const u64 allocs = s.total_node_allocs();
  const u64 mem = s.mem_used();
  for (u64 low = 0x21; low < 0xFF; ++low) {
    const u64 pending = path.pending;
    ASSERT_TRUE(s.insert(K | 0x100 | low));
    ASSERT_EQ(path.pending, pending + 1) << "low " << low;
    ASSERT_EQ(probe(s.record(), K | 0x100).edge->decode[0], low);
    ASSERT_TRUE(s.contains(K | 0x100 | low));
    // A present key: nothing moves.
    ASSERT_FALSE(s.insert(K | 0x100 | (low - 1)));
    ASSERT_EQ(path.pending, pending + 1);
    if (low % 37 == 0) {
      CORVALE_ASSERT_VALID_SET(s);
    }
  }
  EXPECT_EQ(s.total_node_allocs(), allocs);
  EXPECT_EQ(s.mem_used(), mem);
  EXPECT_EQ(s.len(), 255u + 1);
  CORVALE_ASSERT_VALID_SET(s);

  // The 256th key of the block: a FullEdge, the leaf released, the cache
  // flushed and emptied.
  ASSERT_TRUE(s.insert(K | 0x1FF));
  const coretest::Probe full = probe(s.record(), K | 0x100);
  EXPECT_EQ(full.edge->tag, TAG_FULL);
  EXPECT_EQ(full.edge->decode[0], 0xFF);
  EXPECT_EQ(full.edge->payload, 0u);
  EXPECT_EQ(path.depth, 0u);
  EXPECT_EQ(path.prefix, ~u64{0});
  EXPECT_EQ(path.pending, 0u);
  EXPECT_EQ(s.mem_used(), mem - 64);
  EXPECT_EQ(s.total_node_allocs(), allocs);
  EXPECT_EQ(s.len(), 256u + 1);
  EXPECT_FALSE(s.insert(K | 0x1AB));
  CORVALE_ASSERT_VALID_SET(s);

  // Removing from the full edge makes a 255-key bitmap leaf again.
  ASSERT_TRUE(s.remove(K | 0x180));
  EXPECT_EQ(probe(s.record(), K | 0x100).edge->tag, TAG_BITMAP_LEAF);
  EXPECT_FALSE(s.contains(K | 0x180));
  ASSERT_TRUE(s.insert(K | 0x180));  // slow path: back to a full edge
  EXPECT_EQ(probe(s.record(), K | 0x100).edge->tag, TAG_FULL);
  CORVALE_ASSERT_VALID_SET(s);
}

// A cached width-1 leaf takes an append by the fast path only while it
// holds fewer than 25 keys and its capacity does not change.
TEST(CoreSetFastPath, AppendsToAWidthOneLeafOnlyWhileCapacityStays) {
  CorvaleSet s;
  build_level_two_branch(s);
  const PathCache& path = s.record().path;
  // Keys K | 0x02xx with even low bytes: an Immediate of up to 15 keys, a
  // width-1 leaf from 16.
  u64 count = 1;
  for (u64 low = 2; count < 15; low += 2, ++count) {
    ASSERT_TRUE(s.insert(K | 0x200 | low));
    EXPECT_EQ(path.depth, 0u);
  }
  EXPECT_EQ(probe(s.record(), K | 0x200).edge->tag, immed_tag(1, 15));
  // The 16th key turns the Immediate into a width-1 leaf; a conversion from
  // an Immediate leaves the cache empty, the next slow-path key fills it.
  ASSERT_TRUE(s.insert(K | 0x200 | 30));
  ++count;
  EXPECT_EQ(probe(s.record(), K | 0x200).edge->tag, linear_leaf_tag(1));
  EXPECT_EQ(path.linear_leaf, nullptr);
  ASSERT_TRUE(s.insert(K | 0x200 | 32));
  ++count;
  ASSERT_NE(path.linear_leaf, nullptr);
  EXPECT_EQ(path.leaf_count, 17);
  EXPECT_EQ(path.pending, 0u);

  for (u64 low = 34; count < 26; low += 2, ++count) {
    const u64 allocs = s.total_node_allocs();
    const u64 pending = path.pending;
    const bool expect_fast = count < W1_APPEND_MAX && capacity_for(count + 1) == capacity_for(count);
    ASSERT_TRUE(s.insert(K | 0x200 | low));
    const bool fast = path.pending == pending + 1;
    EXPECT_EQ(fast, expect_fast) << "count " << count;
    if (expect_fast) EXPECT_EQ(s.total_node_allocs(), allocs);
    else EXPECT_GT(s.total_node_allocs(), allocs);
    EXPECT_TRUE(s.contains(K | 0x200 | low));
    CORVALE_ASSERT_VALID_SET(s);
  }
  // 26 keys: a bitmap leaf, cached again.
  EXPECT_EQ(probe(s.record(), K | 0x200).edge->tag, TAG_BITMAP_LEAF);
  EXPECT_NE(path.bitmap_leaf, nullptr);
}

TEST(CoreSetFastPath, DeclinesKeysBelowTheLastOrWithOtherUpperBytes) {
  CorvaleSet s;
  build_level_two_branch(s);
  const PathCache& path = s.record().path;
  for (u64 low = 0; low < 16; ++low) s.insert(K | 0x200 | (low * 4));  // 16 keys, leaf
  for (u64 low = 16; low < 18; ++low) s.insert(K | 0x200 | (low * 4));  // 18 keys
  ASSERT_NE(path.linear_leaf, nullptr);
  ASSERT_EQ(path.leaf_count, 18);
  // Equal to the last key: answered by the fast path.
  EXPECT_FALSE(s.insert(K | 0x200 | (17 * 4)));
  EXPECT_EQ(path.leaf_count, 18);
  EXPECT_NE(path.linear_leaf, nullptr);
  // Below the last key: the slow path (pending flushed, cache refilled).
  const u64 pending_before = path.pending;
  EXPECT_GT(pending_before, 0u);
  ASSERT_TRUE(s.insert(K | 0x200 | 5));
  EXPECT_EQ(path.pending, 0u);
  EXPECT_EQ(path.leaf_count, 19);
  EXPECT_FALSE(s.insert(K | 0x200 | 5));
  // Same low bytes, other upper bytes: never into the cached leaf.
  ASSERT_TRUE(s.insert(K | 0x300 | 0x50));
  ASSERT_TRUE(s.insert((K ^ (u64{1} << 40)) | 0x200 | 0x52));
  ASSERT_TRUE(s.insert(0x252));
  EXPECT_FALSE(s.contains(K | 0x200 | 0x50));
  EXPECT_FALSE(s.contains(K | 0x200 | 0x52));
  EXPECT_EQ(s.len(), 32u + 19 + 3);
  CORVALE_EXPECT_VALID_SET(s);
}

// A split of a width-2 leaf under a level-2 edge ends with its largest key
// in a level-1 bitmap leaf; the cache, if it holds that leaf, must hold its
// whole prefix, so that a key that agrees in the two low bytes only is
// placed elsewhere.
TEST(CoreSetFastPath, KeysWithOtherUpperBytesAfterASplitLandElsewhere) {
  const u64 A = 0x0102030405060000ull;  // byte 2 = 0x06
  const u64 B = 0x0102030405070000ull;  // byte 2 = 0x07
  CorvaleSet s;
  std::set<u64> model;
  auto add = [&](u64 k) {
    ASSERT_EQ(s.insert(k), model.insert(k).second) << std::hex << k;
  };
  add(B);
  add(A);
  for (u64 i = 0; i < 30; ++i) add(A | 0x100 | i);  // 32 keys: one width-7 leaf
  add(A | 0x100 | 30);                              // 33: split at byte 2
  ASSERT_EQ(probe(s.record(), A).level, 2);
  add(A | 0x100 | 31);  // 33 keys under the level-2 edge: split at byte 1
  CORVALE_ASSERT_VALID_SET(s);
  for (const u64 k : {u64{0x120}, u64{0x121}, B | 0x120, u64{0x0405060000000120}, A | 0x120}) {
    add(k);
    CORVALE_ASSERT_VALID_SET(s);
  }
  for (const u64 k : model) EXPECT_TRUE(s.contains(k)) << std::hex << k;
  EXPECT_FALSE(s.contains(A | 0x122));
  EXPECT_FALSE(s.contains(0x11F));
  EXPECT_EQ(s.len(), model.size());
}

// ---------------------------------------------------------------------------
// Node-kind thresholds reached through the container

// Immediate -> LinearLeaf of width E at an edge of level E, and back with the
// removal's hysteresis (an n-key leaf turns into an Immediate only once n <=
// 15 / E before the removal).
TEST(CoreSetThresholds, ImmediatesAndLeavesByWidth) {
  for (unsigned E = 1; E <= 7; ++E) {
    SCOPED_TRACE(::testing::Message() << "level " << E);
    CorvaleSet s;
    u64 base;
    if (E == 7) {
      for (u64 i = 0; i < 31; ++i) s.insert(0xEE00000000000000ull | i);  // ballast
      base = 0x1100000000000000ull;
    } else {
      // Split a width-7 leaf at byte E: a BranchL3 at level E+1 whose digit-2
      // child (level E) starts as a one-key Immediate.
      const u64 T = 0x5500000000000000ull;
      for (u64 i = 0; i < 32; ++i) s.insert(T | (u64{1} << (8 * E)) | i);
      s.insert(T | (u64{2} << (8 * E)));
      base = T | (u64{2} << (8 * E));
    }
    const u64 max_immed = 15 / E;
    const u64 max_keys = E == 1 ? 25 : 32;
    u64 c = s.contains(base) ? 1 : 0;
    for (u64 i = 0; c < max_keys; ++i) {
      const u64 k = base | (i * 7);
      if (s.contains(k)) continue;
      ASSERT_TRUE(s.insert(k));
      ++c;
      const coretest::Probe p = probe(s.record(), base);
      ASSERT_NE(p.edge, nullptr);
      ASSERT_EQ(p.level, E);
      if (c <= max_immed) EXPECT_EQ(p.edge->tag, immed_tag(E, c)) << "c=" << c;
      else EXPECT_EQ(p.edge->tag, linear_leaf_tag(E)) << "c=" << c;
      CORVALE_ASSERT_VALID_SET(s);
    }
    // Down again: a leaf while c >= 15 / E, an Immediate below.
    for (u64 i = 0; c > 1; ++i) {
      const u64 k = base | (i * 7);
      if (k == base || !s.contains(k)) continue;
      ASSERT_TRUE(s.remove(k));
      --c;
      const coretest::Probe p = probe(s.record(), base);
      if (c >= max_immed) EXPECT_EQ(p.edge->tag, linear_leaf_tag(E)) << "c=" << c;
      else EXPECT_EQ(p.edge->tag, immed_tag(E, c)) << "c=" << c;
      CORVALE_ASSERT_VALID_SET(s);
    }
  }
}

// A level-1 edge: width-1 leaf to 25 keys, bitmap leaf at 26, full edge at
// 256; back down: bitmap leaf while 21 or more remain, a width-1 leaf at 20.
TEST(CoreSetThresholds, WidthOneLeafBitmapLeafAndFullEdge) {
  CorvaleSet s;
  build_level_two_branch(s);
  auto tag = [&] { return probe(s.record(), K | 0x200).edge->tag; };
  for (u64 low = 1; low < 25; ++low) s.insert(K | 0x200 | low);
  EXPECT_EQ(tag(), linear_leaf_tag(1));
  ASSERT_TRUE(s.insert(K | 0x200 | 25));  // 26
  EXPECT_EQ(tag(), TAG_BITMAP_LEAF);
  for (int i = 0; i < 3; ++i) {  // 25/26 oscillation: stays a bitmap leaf
    ASSERT_TRUE(s.remove(K | 0x200 | 25));
    EXPECT_EQ(tag(), TAG_BITMAP_LEAF);
    ASSERT_TRUE(s.insert(K | 0x200 | 25));
    CORVALE_ASSERT_VALID_SET(s);
  }
  for (u64 low = 26; low < 255; ++low) s.insert(K | 0x200 | low);
  EXPECT_EQ(tag(), TAG_BITMAP_LEAF);
  for (int i = 0; i < 3; ++i) {  // 255/256 oscillation
    ASSERT_TRUE(s.insert(K | 0x2FF));
    EXPECT_EQ(tag(), TAG_FULL);
    CORVALE_ASSERT_VALID_SET(s);
    ASSERT_TRUE(s.remove(K | 0x200 | (i * 50)));
    EXPECT_EQ(tag(), TAG_BITMAP_LEAF);
    ASSERT_TRUE(s.insert(K | 0x200 | (i * 50)));
    ASSERT_TRUE(s.remove(K | 0x2FF));
    CORVALE_ASSERT_VALID_SET(s);
  }
  // Down to 21, then 20/21 oscillation.
  for (u64 low = 254; low >= 21; --low) ASSERT_TRUE(s.remove(K | 0x200 | low));
  EXPECT_EQ(tag(), TAG_BITMAP_LEAF);
  ASSERT_TRUE(s.remove(K | 0x200 | 20));  // 20 left
  EXPECT_EQ(tag(), linear_leaf_tag(1));
  ASSERT_TRUE(s.insert(K | 0x200 | 20));  // 21: still a width-1 leaf
  EXPECT_EQ(tag(), linear_leaf_tag(1));
  CORVALE_ASSERT_VALID_SET(s);
  for (u64 low = 20; low >= 15; --low) ASSERT_TRUE(s.remove(K | 0x200 | low));
  EXPECT_EQ(tag(), linear_leaf_tag(1));  // 15 keys
  ASSERT_TRUE(s.remove(K | 0x200 | 14));
  EXPECT_EQ(tag(), immed_tag(1, 14));
  CORVALE_ASSERT_VALID_SET(s);
}

// The root node's kind by its child count, up and down, with the
// oscillations at 3/4, 7/8 and 191/192/193.
TEST(CoreSetThresholds, BranchKindsByChildCount) {
  CorvaleSet s;
  for (u64 i = 0; i < 31; ++i) s.insert(0xFF00000000000000ull | (i << 20));  // ballast
  auto digit_key = [](u64 d) { return (d << 56) | 0xABCDEF; };
  auto kind_up = [](unsigned c) { return c <= 3 ? TAG_L3 : c <= 7 ? TAG_L7 : c <= 192 ? TAG_B : TAG_U; };
  unsigned children = 1;
  for (u64 d = 0; d < 199; ++d) {
    ASSERT_TRUE(s.insert(digit_key(d)));
    ++children;
    ASSERT_EQ(coretest::branch_children(s.record().root), children);
    ASSERT_EQ(s.record().root.tag, kind_up(children)) << "children " << children;
    if (children == 4 || children == 8 || children == 193) {
      // Oscillate across the threshold: down keeps the bigger kind until its
      // own lower bound.
      ASSERT_TRUE(s.remove(digit_key(d)));
      CORVALE_ASSERT_VALID_SET(s);
      ASSERT_TRUE(s.insert(digit_key(d)));
      CORVALE_ASSERT_VALID_SET(s);
    }
  }
  ASSERT_EQ(children, 200u);
  auto kind_down = [](unsigned c) { return c >= 192 ? TAG_U : c >= 7 ? TAG_B : c >= 3 ? TAG_L7 : TAG_L3; };
  for (u64 d = 199; d-- > 0;) {
    ASSERT_TRUE(s.remove(digit_key(d)));
    --children;
    ASSERT_EQ(s.record().root.tag, kind_down(children)) << "children " << children;
    if (children == 191) {
      // A BranchB of 191 takes its 192nd child as a BranchB, the 193rd makes
      // it a BranchU again.
      ASSERT_TRUE(s.insert(digit_key(d)));
      EXPECT_EQ(s.record().root.tag, TAG_B);
      ASSERT_TRUE(s.insert(digit_key(250)));
      EXPECT_EQ(s.record().root.tag, TAG_U);
      ASSERT_TRUE(s.remove(digit_key(250)));
      ASSERT_TRUE(s.remove(digit_key(d)));
      EXPECT_EQ(s.record().root.tag, TAG_B);
    }
    if (d % 16 == 0) {
      CORVALE_ASSERT_VALID_SET(s);
    }
  }
  ASSERT_EQ(children, 1u);
  EXPECT_EQ(s.len(), 31u);
  EXPECT_EQ(s.record().state, RootState::Tree);
  ASSERT_TRUE(s.remove(0xFF00000000000000ull));
  EXPECT_EQ(s.record().state, RootState::Flat);
  s.clear();
  EXPECT_EQ(s.mem_used(), 0u);
}

// ---------------------------------------------------------------------------
// Differential test against std::set

void run_differential(coretest::Dist dist, u64 seed, u64 ops) {
  SCOPED_TRACE(::testing::Message() << "distribution " << coretest::dist_name(dist) << ", seed "
                                    << seed);
  coretest::KeyGen gen(dist, seed);
  std::mt19937_64& rng = gen.rng();
  CorvaleSet s;
  std::set<u64> model;
  u64 allocs = 0;
  auto some_present = [&]() -> u64 {
    auto it = model.lower_bound(gen());
    if (it == model.end()) it = model.begin();
    return *it;
  };
  // Phases alternately grow and shrink the set, so that every size (and
  // every node kind's threshold) is crossed in both directions.
  const u64 phase = ops / 6 + 1;
  for (u64 op = 1; op <= ops; ++op) {
    const bool growing = (op / phase) % 2 == 0;
    const u64 r = rng() % 100;
    if (r < (growing ? 60u : 25u)) {
      const u64 k = gen();
      ASSERT_EQ(s.insert(k), model.insert(k).second) << "insert " << k << " at op " << op;
    } else if (r < 95) {
      const u64 k = (model.empty() || rng() % 4 == 0) ? gen() : some_present();
      ASSERT_EQ(s.remove(k), model.erase(k) == 1) << "remove " << k << " at op " << op;
    } else if (r < 99 || rng() % 512 != 0) {
      const u64 k = gen();
      ASSERT_EQ(s.contains(k), model.count(k) == 1) << "contains " << k << " at op " << op;
      if (!model.empty()) {
        ASSERT_TRUE(s.contains(some_present()));
      }
    } else {
      s.clear();
      model.clear();
    }
    ASSERT_EQ(s.len(), model.size());
    ASSERT_GE(s.total_node_allocs(), allocs);
    allocs = s.total_node_allocs();
    if (op % 1000 == 0) {
      CORVALE_ASSERT_VALID_SET(s) << "after op " << op;
      if (op % 20000 == 0) {
        for (const u64 k : model) ASSERT_TRUE(s.contains(k)) << k;
      }
    }
  }
  CORVALE_ASSERT_VALID_SET(s);
  std::vector<u64> keys(model.begin(), model.end());
  std::shuffle(keys.begin(), keys.end(), rng);
  for (u64 i = 0; i < keys.size(); ++i) {
    ASSERT_TRUE(s.remove(keys[i]));
    if (i % 997 == 0) {
      CORVALE_ASSERT_VALID_SET(s);
    }
  }
  EXPECT_TRUE(s.is_empty());
  EXPECT_EQ(s.mem_used(), 0u);
}

class CoreSetRandom : public ::testing::TestWithParam<coretest::Dist> {};

TEST_P(CoreSetRandom, MatchesStdSet) {
  const u64 ops = coretest::SLOW_BUILD_DIVISOR == 1 ? 300000 : 60000;
  const u64 seed = 0x5E7000 + static_cast<u64>(GetParam());
  run_differential(GetParam(), seed, ops);
}

INSTANTIATE_TEST_SUITE_P(CoreSet, CoreSetRandom,
                         ::testing::Values(coretest::Dist::DenseRuns, coretest::Dist::Uniform,
                                           coretest::Dist::Clusters, coretest::Dist::SharedUpper,
                                           coretest::Dist::NearEnds, coretest::Dist::Small),
                         [](const auto& info) {
                           std::string n = coretest::dist_name(info.param);
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

}  // namespace
}  // namespace corvale_trie
