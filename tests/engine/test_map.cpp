// Core map: root states with the keys[cap]-then-values[cap] flat layout, the
// switch to a tree at the 32nd key and back at 30 with values still paired,
// overwrite and keep-existing insertion (with the value slot), the map
// fast path, leaf-form thresholds through the container, and a seeded
// differential test against std::map over several key distributions.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "core_probe.hpp"
#include "engine/map.hpp"
#include "engine/verify.hpp"

namespace corvale_trie {
namespace {

using coretest::probe;
using map::CorvaleMap;

u64 val(u64 key) { return key * 0x9E3779B97F4A7C15ull ^ 0xA5A5; }

// The flat array as pairs, read through the documented layout: keys in slots
// 0..len-1, values from slot capacity_for(len).
std::vector<KeyValue> flat_pairs(const CorvaleMap& m) {
  const CoreRecord& rec = m.record();
  if (rec.state != RootState::Flat) return {};
  const u64* block = rec.flat_keys();
  const u64 cap = capacity_for(rec.len);
  std::vector<KeyValue> out;
  for (u64 i = 0; i < rec.len; ++i) out.push_back({block[i], block[cap + i]});
  return out;
}

std::vector<KeyValue> as_pairs(const std::map<u64, u64>& model) {
  std::vector<KeyValue> out;
  for (const auto& [k, v] : model) out.push_back({k, v});
  return out;
}

u64 flat_mem(u64 n) { return 16 * capacity_for(n); }

// ---------------------------------------------------------------------------
// Empty and Flat

TEST(CoreMapFlat, NewAndClearedMapsAreEmpty) {
  CorvaleMap m;
  EXPECT_EQ(m.len(), 0u);
  EXPECT_TRUE(m.is_empty());
  EXPECT_FALSE(m.contains_key(0));
  EXPECT_EQ(m.get(0), std::nullopt);
  EXPECT_EQ(m.locate_slot(~u64{0}), nullptr);
  EXPECT_EQ(m.remove(0), std::nullopt);
  m.clear();
  EXPECT_EQ(m.mem_used(), 0u);
  EXPECT_EQ(m.total_node_allocs(), 0u);

  EXPECT_EQ(m.insert(5, 50), std::nullopt);
  EXPECT_EQ(m.record().state, RootState::Flat);
  EXPECT_EQ(m.mem_used(), 16u);
  EXPECT_EQ(m.insert(5, 51), std::optional<u64>(50));
  EXPECT_EQ(m.get(5), std::optional<u64>(51));
  EXPECT_EQ(m.remove(6), std::nullopt);
  EXPECT_EQ(m.remove(5), std::optional<u64>(51));
  EXPECT_EQ(m.record().state, RootState::Empty);
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(m.mem_used(), 0u);

  for (u64 k = 1; k <= 20; ++k) m.insert(k, k);
  const u64 allocs = m.total_node_allocs();
  m.clear();
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(m.mem_used(), 0u);
  EXPECT_EQ(m.total_node_allocs(), allocs);
  EXPECT_EQ(m.insert(7, 70), std::nullopt);
  EXPECT_EQ(flat_pairs(m), (std::vector<KeyValue>{{7, 70}}));
  CORVALE_EXPECT_VALID_MAP(m);
}

TEST(CoreMapFlat, TakesNewBlocksOnlyAtCapacitySteps) {
  const std::set<u64> up = {1, 2, 3, 5, 9, 13, 17, 21, 25, 29};
  const std::set<u64> down = {28, 24, 20, 16, 12, 8, 4, 2, 1};
  for (const bool ascending : {true, false}) {
    SCOPED_TRACE(ascending ? "ascending" : "descending");
    CorvaleMap m;
    std::map<u64, u64> model;
    std::vector<u64> keys;
    for (u64 i = 0; i < FLAT_MAX_KEYS; ++i) keys.push_back(1000 + 17 * i);
    if (!ascending) std::reverse(keys.begin(), keys.end());
    u64 allocs = 0;
    for (u64 n = 1; n <= FLAT_MAX_KEYS; ++n) {
      ASSERT_EQ(m.insert(keys[n - 1], val(keys[n - 1])), std::nullopt);
      model[keys[n - 1]] = val(keys[n - 1]);
      allocs += up.count(n);
      EXPECT_EQ(m.record().state, RootState::Flat);
      EXPECT_EQ(m.mem_used(), flat_mem(n)) << "n=" << n;
      EXPECT_EQ(m.total_node_allocs(), allocs) << "n=" << n;
      ASSERT_EQ(flat_pairs(m), as_pairs(model));
    }
    // Replacing values of a full array keeps its shape.
    for (const u64 k : keys) {
      EXPECT_EQ(m.insert(k, k), std::optional<u64>(val(k)));
      model[k] = k;
    }
    EXPECT_EQ(m.record().state, RootState::Flat);
    EXPECT_EQ(m.total_node_allocs(), allocs);
    EXPECT_EQ(flat_pairs(m), as_pairs(model));
    CORVALE_EXPECT_VALID_MAP(m);

    std::vector<u64> order = keys;
    std::mt19937_64 rng(5);
    std::shuffle(order.begin(), order.end(), rng);
    for (u64 i = 0; i < order.size(); ++i) {
      const u64 left = FLAT_MAX_KEYS - 1 - i;
      ASSERT_EQ(m.remove(order[i]), std::optional<u64>(order[i]));
      model.erase(order[i]);
      EXPECT_EQ(m.remove(order[i]), std::nullopt);
      allocs += down.count(left);
      EXPECT_EQ(m.total_node_allocs(), allocs) << "left=" << left;
      EXPECT_EQ(m.mem_used(), left == 0 ? 0 : flat_mem(left));
      ASSERT_EQ(flat_pairs(m), as_pairs(model));
    }
    EXPECT_EQ(m.record().state, RootState::Empty);
  }
}

// Every operation on flat maps of every size, with keep-existing insertion
// and writes through the returned value slots.
TEST(CoreMapFlat, PointOperationsAgreeWithAModel) {
  for (u64 seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937_64 rng(seed);
    CorvaleMap m;
    std::map<u64, u64> model;
    auto gen = [&] {
      switch (rng() % 3) {
        case 0: return u64{rng() % 48};
        case 1: return ~u64{0} - rng() % 48;
        default: return u64{rng()};
      }
    };
    for (int step = 0; step < 400; ++step) {
      const u64 k = gen();
      const u64 v = rng();
      const auto it = model.find(k);
      const bool present = it != model.end();
      const u64 old = present ? it->second : 0;
      switch (rng() % 6) {
        case 0:
        case 1:
          if (!present && model.size() == FLAT_MAX_KEYS) break;  // stay flat
          EXPECT_EQ(m.insert(k, v), present ? std::optional<u64>(old) : std::nullopt);
          model[k] = v;
          break;
        case 2: {
          if (!present && model.size() == FLAT_MAX_KEYS) break;
          const InsertOutcome out = m.insert_keep(k, v);
          EXPECT_EQ(out.found, present ? 1u : 0u);
          if (present) {
            EXPECT_EQ(out.old, old);
          }
          ASSERT_NE(out.slot, nullptr);
          EXPECT_EQ(*out.slot, present ? old : v);
          *out.slot = v ^ 1;  // the slot is the stored value word
          model[k] = v ^ 1;
          break;
        }
        case 3:
          EXPECT_EQ(m.remove(k), present ? std::optional<u64>(old) : std::nullopt);
          model.erase(k);
          break;
        case 4: {
          u64* slot = m.locate_slot(k);
          EXPECT_EQ(slot != nullptr, present);
          if (slot) {
            EXPECT_EQ(*slot, old);
            *slot = v;
            model[k] = v;
          }
          break;
        }
        default:
          EXPECT_EQ(m.contains_key(k), present);
          EXPECT_EQ(m.get(k), present ? std::optional<u64>(old) : std::nullopt);
      }
      ASSERT_EQ(flat_pairs(m), as_pairs(model));
      ASSERT_EQ(m.len(), model.size());
      for (const auto& [key, value] : model) {
        ASSERT_TRUE(m.contains_key(key));
        ASSERT_EQ(m.get(key), std::optional<u64>(value));
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Tree state

TEST(CoreMapTree, SwitchesAtThirtyTwoAndCondensesAtThirty) {
  std::vector<std::vector<u64>> key_sets(3);
  for (u64 i = 0; i < 32; ++i) {
    key_sets[0].push_back(i * 3);
    key_sets[1].push_back(i << 56 | i);
    key_sets[2].push_back(i % 2 ? ~u64{0} - i : i);
  }
  for (const auto& keys : key_sets) {
    SCOPED_TRACE(::testing::Message() << "first key " << keys[0]);
    CorvaleMap m;
    std::map<u64, u64> model;
    for (u64 i = 0; i < 31; ++i) {
      m.insert(keys[i], val(keys[i]));
      model[keys[i]] = val(keys[i]);
    }
    EXPECT_EQ(m.insert(keys[30], 1), std::optional<u64>(val(keys[30])));
    model[keys[30]] = 1;
    EXPECT_EQ(m.record().state, RootState::Flat);
    EXPECT_EQ(m.mem_used(), 512u);

    EXPECT_EQ(m.insert(keys[31], val(keys[31])), std::nullopt);
    model[keys[31]] = val(keys[31]);
    EXPECT_EQ(m.record().state, RootState::Tree);
    EXPECT_EQ(m.len(), 32u);
    for (const auto& [k, v] : model) EXPECT_EQ(m.get(k), std::optional<u64>(v));
    CORVALE_ASSERT_VALID_MAP(m);

    EXPECT_EQ(m.remove(keys[4]), std::optional<u64>(model[keys[4]]));
    model.erase(keys[4]);
    EXPECT_EQ(m.record().state, RootState::Tree);
    EXPECT_EQ(m.remove(keys[4]), std::nullopt);
    EXPECT_EQ(m.remove(keys[30]), std::optional<u64>(1));
    model.erase(keys[30]);
    EXPECT_EQ(m.record().state, RootState::Flat);
    EXPECT_EQ(m.len(), 30u);
    EXPECT_EQ(m.mem_used(), 512u);  // capacity 32: keys, then values at slot 32
    EXPECT_EQ(flat_pairs(m), as_pairs(model));
    CORVALE_ASSERT_VALID_MAP(m);

    for (const auto& [k, v] : model) ASSERT_EQ(m.remove(k), std::optional<u64>(v));
    EXPECT_TRUE(m.is_empty());
    EXPECT_EQ(m.mem_used(), 0u);
  }
}

TEST(CoreMapTree, OscillatesAroundTheSwitch) {
  for (const u64 stride : {u64{1}, u64{0x10001}, u64{1} << 56}) {
    SCOPED_TRACE(::testing::Message() << "stride " << stride);
    CorvaleMap m;
    for (u64 i = 0; i < 31; ++i) m.insert(i * stride, i);
    const u64 a = 31 * stride;
    u64 tree_mem = 0;
    for (int cycle = 0; cycle < 20; ++cycle) {
      ASSERT_EQ(m.record().state, RootState::Flat);
      ASSERT_EQ(m.mem_used(), 512u);
      ASSERT_EQ(m.insert(a, cycle), std::nullopt);
      ASSERT_EQ(m.record().state, RootState::Tree);
      if (cycle == 0) tree_mem = m.mem_used();
      EXPECT_EQ(m.mem_used(), tree_mem);
      ASSERT_EQ(m.insert(a, cycle + 100), std::optional<u64>(cycle));
      ASSERT_EQ(m.remove(a), std::optional<u64>(cycle + 100));  // 31: tree
      ASSERT_EQ(m.record().state, RootState::Tree);
      CORVALE_ASSERT_VALID_MAP(m);
      ASSERT_EQ(m.remove(0), std::optional<u64>(0));  // 30: flat
      ASSERT_EQ(m.record().state, RootState::Flat);
      ASSERT_EQ(flat_pairs(m).front().value, 1u);
      CORVALE_ASSERT_VALID_MAP(m);
      ASSERT_EQ(m.insert(0, 0), std::nullopt);
    }
  }
}

TEST(CoreMapTree, CondensesTreesHoldingTheLargestKey) {
  CorvaleMap m;
  std::map<u64, u64> model;
  for (u64 i = 0; i < 32; ++i) {
    const u64 k = ~u64{0} - i * i * 613;
    m.insert(k, val(k));
    model[k] = val(k);
  }
  ASSERT_EQ(m.record().state, RootState::Tree);
  for (const u64 k : {~u64{0} - 613, ~u64{0} - 4 * 613}) {
    ASSERT_EQ(m.remove(k), std::optional<u64>(val(k)));
    model.erase(k);
  }
  ASSERT_EQ(m.record().state, RootState::Flat);
  EXPECT_EQ(flat_pairs(m), as_pairs(model));
  EXPECT_EQ(flat_pairs(m).back().key, ~u64{0});
  CORVALE_EXPECT_VALID_MAP(m);
}

// Keep-existing insertion in every root state, through the switch to a tree
// and through the fast path: the slot always addresses the stored value.
TEST(CoreMapTree, KeepExistingInsertionHandsBackTheSlot) {
  CorvaleMap m;
  std::map<u64, u64> model;
  auto keep = [&](u64 k, u64 v) {
    const InsertOutcome out = m.insert_keep(k, v);
    const auto it = model.find(k);
    ASSERT_EQ(out.found, it != model.end() ? 1u : 0u) << k;
    ASSERT_NE(out.slot, nullptr);
    if (out.found) {
      ASSERT_EQ(out.old, it->second);
      ASSERT_EQ(*out.slot, it->second);
    } else {
      ASSERT_EQ(*out.slot, v);
    }
    *out.slot = val(k);  // as the bytes map does with its bucket pointer
    model[k] = val(k);
    ASSERT_EQ(m.get(k), std::optional<u64>(val(k)));
  };
  for (u64 i = 0; i < 31; ++i) keep(0x700 + i * 5, 0);
  keep(0x700, 0);
  ASSERT_EQ(m.record().state, RootState::Flat);
  keep(0x800, 0);  // 32: the tree is built, the new key's slot handed back
  ASSERT_EQ(m.record().state, RootState::Tree);
  for (u64 i = 0; i < 2000; ++i) keep(0x10000 + i, i);  // slow and fast paths
  for (u64 i = 0; i < 2000; i += 7) keep(0x10000 + i, 1);
  for (const auto& [k, v] : model) ASSERT_EQ(m.get(k), std::optional<u64>(v));
  CORVALE_EXPECT_VALID_MAP(m);
}

TEST(CoreMapTree, RemovalAlwaysEmptiesThePathCache) {
  CorvaleMap m;
  for (u64 i = 0; i < 40; ++i) m.insert(0x100 | i, i);
  m.insert(0x200, 0);
  m.insert(0x100 | 0x50, 1);  // a level-1 bitmap leaf, cached
  ASSERT_GT(m.record().path.depth, 0u);
  const u64 mem = m.mem_used();
  EXPECT_EQ(m.remove(0x999999), std::nullopt);
  EXPECT_EQ(m.record().path.depth, 0u);
  EXPECT_EQ(m.record().path.prefix, ~u64{0});
  EXPECT_EQ(m.mem_used(), mem);
  EXPECT_EQ(m.len(), 42u);
  CORVALE_EXPECT_VALID_MAP(m);
}

TEST(CoreMapTree, ClearReleasesEverything) {
  CorvaleMap m;
  std::mt19937_64 rng(13);
  for (int i = 0; i < 5000; ++i) m.insert(rng() >> (rng() % 64), i);
  ASSERT_EQ(m.record().state, RootState::Tree);
  const u64 allocs = m.total_node_allocs();
  m.clear();
  EXPECT_EQ(m.record().state, RootState::Empty);
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(m.mem_used(), 0u);
  EXPECT_EQ(m.total_node_allocs(), allocs);
  EXPECT_EQ(m.insert(1, 2), std::nullopt);
  EXPECT_EQ(m.mem_used(), 16u);
  // Torn down by the destructor with bitmap leaves, value arrays and a
  // BranchU still in place.
  CorvaleMap t;
  for (u64 k = 0; k < 300; ++k) t.insert(0x4200 + k, k);
  for (u64 d = 1; d < 200; ++d) t.insert(d << 56, d);
  EXPECT_EQ(t.record().root.tag, TAG_U);
}

// ---------------------------------------------------------------------------
// Fast path

constexpr u64 K = 0x1122334455000000ull;

// 33 keys K | 0x01xx (32) and K | 0x0200: the width-7 leaf splits at byte 1
// into a BranchL3 at level 2; its level-1 edges hold the 0x01xx pairs (a
// bitmap leaf) and the 0x0200 pair (an Immediate).
void build_level_two_branch(CorvaleMap& m) {
  for (u64 i = 0; i < 32; ++i) ASSERT_EQ(m.insert(K | 0x100 | i, val(i)), std::nullopt);
  ASSERT_EQ(m.insert(K | 0x200, val(0x200)), std::nullopt);
  ASSERT_EQ(m.record().state, RootState::Tree);
  const coretest::Probe p1 = probe(m.record(), K | 0x100);
  ASSERT_EQ(p1.level, 1);
  ASSERT_EQ(p1.edge->tag, TAG_BITMAP_LEAF);
  ASSERT_EQ(probe(m.record(), K | 0x200).edge->tag, immed_tag(1, 1));
  CORVALE_ASSERT_VALID_MAP(m);
}

TEST(CoreMapFastPath, FillsACachedBitmapLeafToAllLowBytes) {
  CorvaleMap m;
  build_level_two_branch(m);
  const PathCache& path = m.record().path;
  ASSERT_EQ(m.insert(K | 0x120, val(0x20)), std::nullopt);  // slow path, cached
  ASSERT_NE(path.bitmap_leaf, nullptr);
  ASSERT_EQ(path.leaf_count, 33);
  ASSERT_EQ(path.pending, 0u);

  u64 group_pop[8] = {32, 1, 0, 0, 0, 0, 0, 0};  // low bytes 0x00..0x20 so far
  for (u64 low = 0x21; low <= 0xFF; ++low) {
    const u64 g = low >> 5;
    const u64 p = group_pop[g];
    const bool new_block = p == 0 || capacity_for(p + 1) != capacity_for(p);
    const u64 allocs = m.total_node_allocs();
    const u64 mem = m.mem_used();
    const u64 pending = path.pending;
    ASSERT_EQ(m.insert(K | 0x100 | low, val(low)), std::nullopt);
    ++group_pop[g];
    ASSERT_EQ(path.pending, pending + 1) << "low " << low;
    ASSERT_EQ(m.total_node_allocs(), allocs + (new_block ? 1 : 0)) << "low " << low;
    ASSERT_EQ(m.mem_used(), mem + coretest::round16(8 * capacity_for(p + 1)) - coretest::round16(8 * capacity_for(p)))
        << "low " << low;
    ASSERT_EQ(probe(m.record(), K | 0x100).edge->decode[0], low);  // pop byte
    ASSERT_EQ(m.get(K | 0x100 | low), std::optional<u64>(val(low)));
    if (low % 31 == 0) {
      CORVALE_ASSERT_VALID_MAP(m);
    }
  }
  // 256 pairs: pop byte 255; the leaf stays a bitmap leaf and stays cached.
  EXPECT_EQ(probe(m.record(), K | 0x100).edge->tag, TAG_BITMAP_LEAF);
  EXPECT_EQ(path.leaf_count, 256);
  CORVALE_ASSERT_VALID_MAP(m);
  // Present keys: the value is replaced (or kept) with nothing else moving.
  const u64 pending = path.pending;
  const u64 allocs = m.total_node_allocs();
  EXPECT_EQ(m.insert(K | 0x1FF, 5), std::optional<u64>(val(0xFF)));
  EXPECT_EQ(m.insert(K | 0x100, 6), std::optional<u64>(val(0)));
  const InsertOutcome kept = m.insert_keep(K | 0x1FF, 7);
  EXPECT_EQ(kept.found, 1u);
  EXPECT_EQ(kept.old, 5u);
  EXPECT_EQ(*kept.slot, 5u);
  EXPECT_EQ(path.pending, pending);
  EXPECT_EQ(m.total_node_allocs(), allocs);
  EXPECT_EQ(m.get(K | 0x100), std::optional<u64>(6));
  EXPECT_EQ(m.len(), 257u);
  CORVALE_ASSERT_VALID_MAP(m);
}

// A cached map bitmap leaf whose group has keys but no value subarray is a
// broken invariant: the fast path stops with "values".
TEST(CoreMapDeathTest, FastPathStopsOnAGroupWithoutValues) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        CorvaleMap m;
        build_level_two_branch(m);
        m.insert(K | 0x120, 1);  // cached bitmap leaf
        auto* leaf = static_cast<MapBitmapLeaf*>(m.record().path.bitmap_leaf);
        leaf->subarrays[0] = nullptr;  // group 0 holds low bytes 0x00..0x1F
        m.insert(K | 0x11F, 3);
      },
      "map\\.cpp:[0-9]+:1:\nvalues\n");
}

// A cached width-1 leaf of c pairs takes an append by the fast path only for
// c = 9..11, 13..15, 17..19 and 21..23 (at level 1 a map leaf holds at least
// 8 pairs); a key equal to the last one has its value replaced.
TEST(CoreMapFastPath, AppendsToAWidthOneLeafOnlyWhileCapacityStays) {
  CorvaleMap m;
  build_level_two_branch(m);
  const PathCache& path = m.record().path;
  auto key = [](u64 low) { return K | 0x200 | low; };
  for (u64 c = 2; c <= 7; ++c) {
    ASSERT_EQ(m.insert(key(2 * (c - 1)), c), std::nullopt);
    EXPECT_EQ(probe(m.record(), key(0)).edge->tag, immed_tag(1, c));
    EXPECT_EQ(path.depth, 0u);
  }
  ASSERT_EQ(m.insert(key(14), 8), std::nullopt);  // 8: a width-1 leaf, not cached
  EXPECT_EQ(probe(m.record(), key(0)).edge->tag, linear_leaf_tag(1));
  EXPECT_EQ(path.linear_leaf, nullptr);
  ASSERT_EQ(m.insert(key(16), 9), std::nullopt);  // 9: slow path, cached
  ASSERT_NE(path.linear_leaf, nullptr);
  ASSERT_EQ(path.leaf_count, 9);

  const std::set<u64> fast_counts = {3, 5, 6, 7, 9, 10, 11, 13, 14, 15, 17, 18, 19, 21, 22, 23};
  for (u64 c = 9; c < 26; ++c) {
    const u64 low = 2 * c;
    // Equal to the last key: the fast path replaces its value.
    const u64 pending = path.pending;
    if (path.linear_leaf != nullptr) {
      EXPECT_EQ(m.insert(key(low - 2), 1000 + c), std::optional<u64>(c));
      EXPECT_EQ(path.pending, pending);
      ASSERT_EQ(m.insert(key(low - 2), c), std::optional<u64>(1000 + c));
    }
    const u64 allocs = m.total_node_allocs();
    ASSERT_EQ(m.insert(key(low), c + 1), std::nullopt);
    const bool fast = path.pending == pending + 1;
    EXPECT_EQ(fast, fast_counts.count(c) == 1) << "c=" << c;
    if (fast) {
      EXPECT_EQ(m.total_node_allocs(), allocs);
    }
    EXPECT_EQ(m.get(key(low)), std::optional<u64>(c + 1));
    CORVALE_ASSERT_VALID_MAP(m);
  }
  // 26 pairs: a bitmap leaf built from the full width-1 leaf; not cached.
  EXPECT_EQ(probe(m.record(), key(0)).edge->tag, TAG_BITMAP_LEAF);
  EXPECT_EQ(path.bitmap_leaf, nullptr);

  // Below the last key: always the slow path.
  ASSERT_EQ(m.insert(key(1), 77), std::nullopt);
  EXPECT_EQ(path.pending, 0u);
  EXPECT_EQ(m.get(key(1)), std::optional<u64>(77));
  CORVALE_EXPECT_VALID_MAP(m);
}

TEST(CoreMapFastPath, KeysWithOtherUpperBytesAfterASplitLandElsewhere) {
  const u64 A = 0x0102030405060000ull;
  const u64 B = 0x0102030405070000ull;
  CorvaleMap m;
  std::map<u64, u64> model;
  auto add = [&](u64 k) {
    const auto it = model.find(k);
    ASSERT_EQ(m.insert(k, val(k)), it == model.end() ? std::nullopt : std::optional<u64>(it->second));
    model[k] = val(k);
  };
  add(B);
  add(A);
  for (u64 i = 0; i < 31; ++i) add(A | 0x100 | i);  // 33: split at byte 2
  ASSERT_EQ(probe(m.record(), A).level, 2);
  add(A | 0x100 | 31);  // 33 pairs under the level-2 edge: split at byte 1
  CORVALE_ASSERT_VALID_MAP(m);
  for (const u64 k : {u64{0x120}, u64{0x121}, B | 0x120, u64{0x0405060000000120}, A | 0x120}) {
    add(k);
    CORVALE_ASSERT_VALID_MAP(m);
  }
  for (const auto& [k, v] : model) EXPECT_EQ(m.get(k), std::optional<u64>(v)) << std::hex << k;
  EXPECT_FALSE(m.contains_key(A | 0x122));
  EXPECT_EQ(m.len(), model.size());
}

// ---------------------------------------------------------------------------
// Leaf-form thresholds through the container

// A map Immediate of width E holds 7 / E pairs; a LinearLeaf takes over after
// that and, on the way down, gives back to an Immediate only once it held
// 7 / E or fewer before the removal.
TEST(CoreMapThresholds, ImmediatesAndLeavesByWidth) {
  for (unsigned E = 1; E <= 7; ++E) {
    SCOPED_TRACE(::testing::Message() << "level " << E);
    CorvaleMap m;
    u64 base;
    if (E == 7) {
      for (u64 i = 0; i < 31; ++i) m.insert(0xEE00000000000000ull | i, i);
      base = 0x1100000000000000ull;
    } else {
      const u64 T = 0x5500000000000000ull;
      for (u64 i = 0; i < 32; ++i) m.insert(T | (u64{1} << (8 * E)) | i, i);
      m.insert(T | (u64{2} << (8 * E)), 0);
      base = T | (u64{2} << (8 * E));
    }
    const u64 max_immed = 7 / E;
    const u64 max_keys = E == 1 ? 25 : 32;
    u64 c = m.contains_key(base) ? 1 : 0;
    for (u64 i = 0; c < max_keys; ++i) {
      const u64 k = base | (i * 7);
      if (m.contains_key(k)) continue;
      ASSERT_EQ(m.insert(k, val(k)), std::nullopt);
      ++c;
      const coretest::Probe p = probe(m.record(), base);
      ASSERT_EQ(p.level, E);
      if (c <= max_immed) EXPECT_EQ(p.edge->tag, immed_tag(E, c)) << "c=" << c;
      else EXPECT_EQ(p.edge->tag, linear_leaf_tag(E)) << "c=" << c;
      CORVALE_ASSERT_VALID_MAP(m);
    }
    for (u64 i = 1; c > 1; ++i) {
      const u64 k = base | (i * 7);
      if (!m.contains_key(k)) continue;
      ASSERT_EQ(m.remove(k), std::optional<u64>(val(k)));
      --c;
      const coretest::Probe p = probe(m.record(), base);
      if (c >= max_immed) EXPECT_EQ(p.edge->tag, linear_leaf_tag(E)) << "c=" << c;
      else EXPECT_EQ(p.edge->tag, immed_tag(E, c)) << "c=" << c;
      CORVALE_ASSERT_VALID_MAP(m);
    }
  }
}

// Level 1: width-1 leaf to 25 pairs, bitmap leaf from 26 (never converted
// further); back down: a bitmap leaf while 21 remain, a width-1 leaf at 20,
// an Immediate below 7.
TEST(CoreMapThresholds, WidthOneLeafAndBitmapLeaf) {
  CorvaleMap m;
  build_level_two_branch(m);
  auto tag = [&] { return probe(m.record(), K | 0x200).edge->tag; };
  for (u64 low = 1; low < 25; ++low) m.insert(K | 0x200 | low, low);
  EXPECT_EQ(tag(), linear_leaf_tag(1));
  m.insert(K | 0x200 | 25, 25);
  EXPECT_EQ(tag(), TAG_BITMAP_LEAF);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(m.remove(K | 0x200 | 25), std::optional<u64>(25));
    EXPECT_EQ(tag(), TAG_BITMAP_LEAF);
    ASSERT_EQ(m.insert(K | 0x200 | 25, 25), std::nullopt);
    CORVALE_ASSERT_VALID_MAP(m);
  }
  for (u64 low = 26; low < 256; ++low) m.insert(K | 0x200 | low, low);
  EXPECT_EQ(tag(), TAG_BITMAP_LEAF);
  EXPECT_EQ(probe(m.record(), K | 0x200).edge->decode[0], 0xFF);
  CORVALE_ASSERT_VALID_MAP(m);
  for (u64 low = 255; low >= 21; --low) ASSERT_EQ(m.remove(K | 0x200 | low), std::optional<u64>(low));
  EXPECT_EQ(tag(), TAG_BITMAP_LEAF);
  ASSERT_EQ(m.remove(K | 0x200 | 20), std::optional<u64>(20));
  EXPECT_EQ(tag(), linear_leaf_tag(1));
  ASSERT_EQ(m.insert(K | 0x200 | 20, 20), std::nullopt);
  EXPECT_EQ(tag(), linear_leaf_tag(1));
  for (u64 low = 20; low >= 7; --low) ASSERT_EQ(m.remove(K | 0x200 | low), std::optional<u64>(low));
  EXPECT_EQ(tag(), linear_leaf_tag(1));  // 7 pairs
  ASSERT_EQ(m.remove(K | 0x200 | 6), std::optional<u64>(6));
  EXPECT_EQ(tag(), immed_tag(1, 6));
  for (u64 low = 1; low < 6; ++low) EXPECT_EQ(m.get(K | 0x200 | low), std::optional<u64>(low));
  CORVALE_ASSERT_VALID_MAP(m);
}

// ---------------------------------------------------------------------------
// Differential test against std::map

void run_differential(coretest::Dist dist, u64 seed, u64 ops) {
  SCOPED_TRACE(::testing::Message() << "distribution " << coretest::dist_name(dist) << ", seed "
                                    << seed);
  coretest::KeyGen gen(dist, seed);
  std::mt19937_64& rng = gen.rng();
  CorvaleMap m;
  std::map<u64, u64> model;
  u64 allocs = 0;
  auto pick = [&]() -> u64 {
    if (model.empty() || rng() % 4 == 0) return gen();
    auto it = model.lower_bound(gen());
    if (it == model.end()) it = model.begin();
    return it->first;
  };
  const u64 phase = ops / 6 + 1;
  for (u64 op = 1; op <= ops; ++op) {
    const bool growing = (op / phase) % 2 == 0;
    const u64 r = rng() % 100;
    const u64 v = rng();
    if (r < (growing ? 45u : 20u)) {
      const u64 k = r % 3 == 0 ? pick() : gen();
      const auto it = model.find(k);
      ASSERT_EQ(m.insert(k, v), it == model.end() ? std::nullopt : std::optional<u64>(it->second))
          << "insert " << k << " at op " << op;
      model[k] = v;
    } else if (r < (growing ? 60u : 30u)) {
      const u64 k = r % 2 == 0 ? pick() : gen();
      const auto it = model.find(k);
      const InsertOutcome out = m.insert_keep(k, v);
      ASSERT_EQ(out.found, it != model.end() ? 1u : 0u) << "insert_keep " << k << " at op " << op;
      ASSERT_NE(out.slot, nullptr);
      if (out.found) {
        ASSERT_EQ(out.old, it->second);
        ASSERT_EQ(*out.slot, it->second);
      } else {
        ASSERT_EQ(*out.slot, v);
        model[k] = v;
      }
      if (rng() % 2) {
        *out.slot = v ^ 0xFF;
        model[k] = v ^ 0xFF;
      }
    } else if (r < 92) {
      const u64 k = pick();
      const auto it = model.find(k);
      ASSERT_EQ(m.remove(k), it == model.end() ? std::nullopt : std::optional<u64>(it->second))
          << "remove " << k << " at op " << op;
      if (it != model.end()) model.erase(it);
    } else if (r < 99 || rng() % 512 != 0) {
      const u64 k = pick();
      const auto it = model.find(k);
      const bool present = it != model.end();
      ASSERT_EQ(m.contains_key(k), present) << "contains_key " << k << " at op " << op;
      ASSERT_EQ(m.get(k), present ? std::optional<u64>(it->second) : std::nullopt);
      u64* slot = m.locate_slot(k);
      ASSERT_EQ(slot != nullptr, present);
      if (slot != nullptr) {
        *slot = v;
        it->second = v;
      }
    } else {
      m.clear();
      model.clear();
    }
    ASSERT_EQ(m.len(), model.size());
    ASSERT_GE(m.total_node_allocs(), allocs);
    allocs = m.total_node_allocs();
    if (op % 1000 == 0) {
      CORVALE_ASSERT_VALID_MAP(m) << "after op " << op;
      if (op % 20000 == 0) {
        for (const auto& [k, value] : model) ASSERT_EQ(m.get(k), std::optional<u64>(value)) << k;
      }
    }
  }
  CORVALE_ASSERT_VALID_MAP(m);
  std::vector<KeyValue> pairs = as_pairs(model);
  std::shuffle(pairs.begin(), pairs.end(), rng);
  for (u64 i = 0; i < pairs.size(); ++i) {
    ASSERT_EQ(m.remove(pairs[i].key), std::optional<u64>(pairs[i].value));
    if (i % 997 == 0) {
      CORVALE_ASSERT_VALID_MAP(m);
    }
  }
  EXPECT_TRUE(m.is_empty());
  EXPECT_EQ(m.mem_used(), 0u);
}

class CoreMapRandom : public ::testing::TestWithParam<coretest::Dist> {};

TEST_P(CoreMapRandom, MatchesStdMap) {
  const u64 ops = coretest::SLOW_BUILD_DIVISOR == 1 ? 300000 : 60000;
  const u64 seed = 0x3A9000 + static_cast<u64>(GetParam());
  run_differential(GetParam(), seed, ops);
}

INSTANTIATE_TEST_SUITE_P(CoreMap, CoreMapRandom,
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
