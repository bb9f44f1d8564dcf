// In-order cursor, range cursor, bounded scans and map projections:
// differential tests against sorted models, over hand-built tries of every
// node kind and leaf form and over the core containers after random inserts
// and removals.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/iter.hpp"
#include "engine/map.hpp"
#include "engine/set.hpp"
#include "nav_fixture.hpp"

namespace corvale_trie {
namespace {

using iter::LeafKind;
using iter::RawIter;
using testing_nav::Arena;
using testing_nav::Dist;
using testing_nav::ShapeBuilder;

constexpr u64 MAX = ~u64{0};

template <bool IS_MAP>
using Item = nav::Entry<IS_MAP>;

// A record in the Tree state over a hand-built root edge (no allocator
// blocks: the arena owns them).
void make_tree_record(CoreRecord& rec, const Edge& root, u64 len) {
  rec.state = RootState::Tree;
  rec.len = len;
  rec.root = root;
}

template <bool IS_MAP>
std::vector<Item<IS_MAP>> model_items(const std::vector<KeyValue>& kv) {
  std::vector<Item<IS_MAP>> out;
  for (const KeyValue& e : kv) {
    if constexpr (IS_MAP)
      out.push_back(e);
    else
      out.push_back(e.key);
  }
  return out;
}

template <bool IS_MAP>
std::vector<Item<IS_MAP>> drain(RawIter<IS_MAP> it) {
  std::vector<Item<IS_MAP>> out;
  while (auto x = it.next()) out.push_back(*x);
  // A finished cursor stays finished.
  EXPECT_FALSE(it.next().has_value());
  EXPECT_FALSE(it.next().has_value());
  // The walk ends on an Exhausted leaf, or a used-up flat array.
  EXPECT_TRUE(it.leaf.kind == LeafKind::Exhausted ||
              (it.leaf.kind == LeafKind::Flat && it.leaf.flat.pos == it.leaf.flat.len));
  return out;
}

u64 first_index_at_or_above(const std::vector<KeyValue>& kv, u64 lo) {
  return std::lower_bound(kv.begin(), kv.end(), lo, [](const KeyValue& a, u64 b) { return a.key < b; }) -
         kv.begin();
}

// Whole walk, copies in mid-walk, bounded scans and (map) the range cursor
// and the projections, over a hand-built trie.
template <bool IS_MAP>
void check_shape(const std::set<u64>& keys, u64 seed, const char* what) {
  SCOPED_TRACE(testing::Message() << "seed " << seed << " " << what << " n=" << keys.size());
  std::mt19937_64 rng(seed);
  std::vector<KeyValue> kv;
  for (u64 k : keys) kv.push_back({k, IS_MAP ? rng() : 0});
  Arena arena;
  ShapeBuilder<IS_MAP> builder(arena, rng);
  CoreRecord rec;
  make_tree_record(rec, builder.build_root(kv), kv.size());
  const auto want = model_items<IS_MAP>(kv);

  const auto it = RawIter<IS_MAP>::over(rec);
  ASSERT_EQ(drain<IS_MAP>(it), want);
  ASSERT_EQ(iter::collect(it), want);

  // A copy taken in mid-walk continues on its own.
  {
    auto a = it;
    const u64 cut = rng() % (kv.size() + 1);
    for (u64 i = 0; i < cut; ++i) ASSERT_TRUE(a.next().has_value());
    auto b = a;
    const auto rest_a = drain<IS_MAP>(a);
    const auto rest_b = drain<IS_MAP>(b);
    ASSERT_EQ(rest_a, rest_b);
    ASSERT_EQ(rest_a, std::vector<Item<IS_MAP>>(want.begin() + cut, want.end()));
  }

  // Bounded scans between random bounds (lo > hi included).
  for (int r = 0; r < 24; ++r) {
    const auto probes = std::vector<u64>{0, MAX, rng(), kv[rng() % kv.size()].key,
                                         kv[rng() % kv.size()].key + 1, kv[rng() % kv.size()].key - 1};
    const u64 start = probes[rng() % probes.size()];
    const u64 end = probes[rng() % probes.size()];
    const bool inclusive = rng() & 1;
    const bool bounded = rng() % 4 != 0;
    std::vector<Item<IS_MAP>> expect;
    for (u64 i = first_index_at_or_above(kv, start); i < kv.size(); ++i) {
      if (bounded && (inclusive ? kv[i].key > end : kv[i].key >= end)) break;
      expect.push_back(want[i]);
    }
    ASSERT_EQ(iter::bounded_scan<IS_MAP>(it, start, bounded ? std::optional<u64>(end) : std::nullopt,
                                         inclusive),
              expect)
        << "start " << start << " end " << end << " inclusive " << inclusive << " bounded " << bounded;
  }

  if constexpr (IS_MAP) {
    // The range cursor from probe keys: the suffix of the walk from the
    // first key >= lo.
    std::set<u64> sample;
    for (int i = 0; i < 80; ++i) sample.insert(kv[rng() % kv.size()].key);
    for (u64 lo : testing_nav::probes_for(sample, rng, 16)) {
      const u64 from = first_index_at_or_above(kv, lo);
      ASSERT_EQ(drain<true>(RawIter<true>::from_tree_range(rec.root, lo)),
                std::vector<KeyValue>(kv.begin() + from, kv.end()))
          << "lo " << lo;
    }
    std::vector<u64> ks, vs;
    for (const KeyValue& e : kv) ks.push_back(e.key), vs.push_back(e.value);
    ASSERT_EQ(iter::collect(iter::MapKeys(it)), ks);
    ASSERT_EQ(iter::collect(iter::MapValues(it)), vs);
  }
}

TEST(IterShapes, EveryNodeKindAndLeafForm) {
  const std::size_t sizes[] = {1, 2, 3, 7, 8, 16, 40, 150, 700};
  u64 seed = 0x17e4'0001;
  for (Dist d : testing_nav::ALL_DISTS) {
    for (std::size_t n : sizes) {
      for (int rep = 0; rep < 3; ++rep, ++seed) {
        std::mt19937_64 rng(seed);
        const auto keys = testing_nav::draw_keys(d, rng, n);
        check_shape<false>(keys, seed, testing_nav::dist_name(d));
        check_shape<true>(keys, seed, testing_nav::dist_name(d));
      }
    }
  }
}

TEST(IterShapes, FullRangesAndExtremeKeys) {
  u64 seed = 0xF017;
  for (int rep = 0; rep < 12; ++rep, ++seed) {
    std::mt19937_64 rng(seed);
    std::set<u64> keys;
    for (u64 b = 0; b < 256; ++b) keys.insert(MAX - 255 + b);
    for (u64 b = 0; b < 256; ++b) keys.insert(b);
    const u64 mid = rng() & ~u64{0xFF};
    for (u64 b = 0; b < 256; ++b) keys.insert(mid + b);
    for (int i = 0; i < 20; ++i) keys.insert(mid + 256 + rng() % 2000);
    check_shape<false>(keys, seed, "full ranges");
    check_shape<true>(keys, seed, "full ranges");
  }
  std::set<u64> top;
  for (u64 b = 0; b < 256; ++b) top.insert(MAX - b);
  for (u64 s = 1; s < 6; ++s) {
    check_shape<false>(top, s, "top block");
    check_shape<true>(top, s, "top block");
    check_shape<false>({0, MAX}, s, "0 and max");
    check_shape<true>({0, MAX}, s, "0 and max");
  }
}

// Hand-made nodes the random shapes cannot be relied on to produce.
TEST(IterShapes, BranchUWithEmptySlotsAndUnknownTags) {
  Arena arena;
  auto* u = arena.make<BranchU>();
  // Slot 0 empty, slots 1, 200 and 255 filled with one-key immediates; slot
  // 7 holds an edge of no known tag, which holds no keys.
  std::vector<KeyValue> kv;
  for (unsigned d : {1u, 200u, 255u}) {
    Edge& c = u->children[d];
    c.tag = immed_tag(7, 1);
    c.payload = 0x42 + d;
    kv.push_back({(u64{d} << 56) | (0x42 + d), 0});
  }
  u->children[7].tag = 13;
  Edge root;
  root.tag = TAG_U;
  root.set_ptr(u);
  CoreRecord rec;
  make_tree_record(rec, root, 3);
  EXPECT_EQ(drain<false>(RawIter<false>::over(rec)), model_items<false>(kv));

  // A root whose only child holds no keys gives a finished cursor at once.
  auto* lone = arena.make<BranchU>();
  lone->children[9].tag = 200;
  Edge root2;
  root2.tag = TAG_U;
  root2.set_ptr(lone);
  CoreRecord rec2;
  make_tree_record(rec2, root2, 0);
  EXPECT_TRUE(drain<false>(RawIter<false>::over(rec2)).empty());
}

TEST(IterShapes, FreshAndFinishedCursors) {
  RawIter<true> it;
  EXPECT_EQ(it.depth, 0u);
  EXPECT_EQ(it.leaf.kind, LeafKind::Exhausted);
  for (const auto& f : it.frames) {
    EXPECT_EQ(f.kind, iter::FrameKind::U);
    EXPECT_EQ(f.pos, 256);
    EXPECT_EQ(f.node, nullptr);
    EXPECT_EQ(f.prefix, 0u);
    EXPECT_EQ(f.level, 0);
  }
  EXPECT_FALSE(it.next().has_value());
  EXPECT_TRUE(iter::collect(it).empty());
  EXPECT_EQ(iter::collect(it).capacity(), 0u);
}

// ---------------------------------------------------------------------------
// The core containers after random inserts and removals

template <bool IS_MAP>
using Container = std::conditional_t<IS_MAP, map::CorvaleMap, set::CorvaleSet>;

template <bool IS_MAP>
void put(Container<IS_MAP>& c, std::map<u64, u64>& model, u64 k, u64 v) {
  if constexpr (IS_MAP)
    c.insert(k, v);
  else
    c.insert(k);
  model[k] = IS_MAP ? v : 0;
}

// Every walk of the container against the model: the cursor, its
// collection, the bounded scans and (map) the range cursor and the
// projections.
template <bool IS_MAP>
void check_walks(const Container<IS_MAP>& c, const std::map<u64, u64>& model, std::mt19937_64& rng,
                 const std::string& where) {
  SCOPED_TRACE(where);
  std::vector<KeyValue> kv;
  for (auto& [k, v] : model) kv.push_back({k, v});
  const auto want = model_items<IS_MAP>(kv);
  ASSERT_EQ(drain<IS_MAP>(c.iter()), want);
  ASSERT_EQ(c.to_vec(), want);
  const u64 n = kv.size();
  for (int r = 0; r < 30; ++r) {
    const u64 picks[] = {0, MAX, rng(), n ? kv[rng() % n].key : 3, n ? kv[rng() % n].key + 1 : 5,
                         n ? kv[rng() % n].key - 1 : 8};
    const u64 a = picks[rng() % 6], b = picks[rng() % 6];
    const bool inclusive = rng() & 1;
    const bool bounded = rng() % 4 != 0;
    std::vector<Item<IS_MAP>> expect;
    for (u64 i = first_index_at_or_above(kv, a); i < n; ++i) {
      if (bounded && (inclusive ? kv[i].key > b : kv[i].key >= b)) break;
      expect.push_back(want[i]);
    }
    ASSERT_EQ(iter::bounded_scan<IS_MAP>(c.iter(), a, bounded ? std::optional<u64>(b) : std::nullopt, inclusive),
              expect)
        << a << ".." << b << " inclusive " << inclusive << " bounded " << bounded;
    if constexpr (IS_MAP) {
      // The range cursor: the user stops at the first key above hi.
      std::vector<KeyValue> got;
      iter::MapRange range = c.range(a, b);
      EXPECT_EQ(range.hi, b);
      while (auto e = range.next()) {
        if (e->key > range.hi) break;
        got.push_back(*e);
      }
      std::vector<KeyValue> in_range;
      for (const KeyValue& e : kv)
        if (a <= e.key && e.key <= b) in_range.push_back(e);
      ASSERT_EQ(got, in_range) << "range " << a << ".." << b;
    }
  }
  if constexpr (IS_MAP) {
    std::vector<u64> ks, vs;
    for (const KeyValue& e : kv) ks.push_back(e.key), vs.push_back(e.value);
    ASSERT_EQ(c.keys(), ks);
    ASSERT_EQ(c.values(), vs);
  }
}

template <bool IS_MAP>
void run_container_mix(Dist dist, u64 seed, bool& saw_pending) {
  SCOPED_TRACE(testing::Message() << "seed " << seed << " " << testing_nav::dist_name(dist));
  std::mt19937_64 rng(seed);
  Container<IS_MAP> c;
  std::map<u64, u64> model;
  const u64 base = rng();
  check_walks<IS_MAP>(c, model, rng, "new");
  for (std::size_t target : {std::size_t{1}, std::size_t{31}, std::size_t{32}, std::size_t{300}, std::size_t{2000}, std::size_t{9000}}) {
    std::size_t ops = 0;
    while (model.size() < target && ops++ < 20 * target) {
      const u64 k = testing_nav::draw_key(dist, rng, base);
      if (rng() % 10 < 7 || model.empty()) {
        put<IS_MAP>(c, model, k, rng());
      } else {
        auto it = model.lower_bound(k);
        const u64 victim = it == model.end() ? k : it->first;
        c.remove(victim);
        model.erase(victim);
      }
    }
    check_walks<IS_MAP>(c, model, rng, "grown to " + std::to_string(target));
    // Walks with an ascending run's population still pending.
    const u64 leaf = testing_nav::draw_key(dist, rng, base) & ~u64{0xFF};
    for (u64 j = rng() % 50; j < 256; j += 1 + rng() % 9) put<IS_MAP>(c, model, leaf | j, rng());
    saw_pending |= c.record().path.pending != 0;
    check_walks<IS_MAP>(c, model, rng, "pending run");
  }
  while (model.size() > 3) {
    auto it = model.begin();
    std::advance(it, rng() % model.size());
    c.remove(it->first);
    model.erase(it);
    if (model.size() == 31 || model.size() == 30 || model.size() == 4)
      check_walks<IS_MAP>(c, model, rng, "shrunk to " + std::to_string(model.size()));
  }
  c.clear();
  model.clear();
  check_walks<IS_MAP>(c, model, rng, "cleared");
}

TEST(IterSet, RandomDifferential) {
  bool saw_pending = false;
  u64 seed = 0x5E7;
  for (Dist d : testing_nav::ALL_DISTS) run_container_mix<false>(d, seed++, saw_pending);
  EXPECT_TRUE(saw_pending);
}

TEST(IterMap, RandomDifferential) {
  bool saw_pending = false;
  u64 seed = 0x3A9;
  for (Dist d : testing_nav::ALL_DISTS) run_container_mix<true>(d, seed++, saw_pending);
  EXPECT_TRUE(saw_pending);
}

TEST(IterSet, FlatTreeAndTopBlock) {
  set::CorvaleSet s;
  EXPECT_TRUE(s.to_vec().empty());
  EXPECT_EQ(s.to_vec().capacity(), 0u);
  std::vector<u64> want;
  for (u64 i = 0; i < 32; ++i) {
    const u64 k = i == 0 ? 0 : i == 31 ? MAX : i * 0x0101'0101'0101'0101ull;
    s.insert(k);
    want.insert(std::lower_bound(want.begin(), want.end(), k), k);
    ASSERT_EQ(s.to_vec(), want);
    ASSERT_EQ(s.record().state, i < 31 ? RootState::Flat : RootState::Tree);
  }
  // The 256 keys ending at 2**64-1 (a full edge beside a lower key): the
  // walk ends with 2**64-1 and then stops; scans ending there include it
  // only when inclusive.
  for (int lower = 0; lower < 2; ++lower) {
    set::CorvaleSet t;
    std::vector<u64> block;
    if (lower) t.insert(MAX - 1000), block.push_back(MAX - 1000);
    for (u64 b = 0; b < 256; ++b) t.insert(MAX - 255 + b), block.push_back(MAX - 255 + b);
    EXPECT_EQ(drain<false>(t.iter()), block);
    EXPECT_EQ(iter::bounded_scan<false>(t.iter(), 0, std::nullopt, true), block);
    EXPECT_EQ(iter::bounded_scan<false>(t.iter(), 0, MAX, true), block);
    block.pop_back();
    EXPECT_EQ(iter::bounded_scan<false>(t.iter(), 0, MAX, false), block);
    EXPECT_EQ(iter::bounded_scan<false>(t.iter(), MAX, MAX, true), std::vector<u64>{MAX});
    EXPECT_TRUE(iter::bounded_scan<false>(t.iter(), MAX, MAX, false).empty());
    EXPECT_TRUE(iter::bounded_scan<false>(t.iter(), 5, 4, true).empty());
  }
  // A full lower block followed by higher blocks.
  set::CorvaleSet u;
  std::vector<u64> all = {0x700, 0x10'0000};
  for (u64 k : all) u.insert(k);
  for (u64 b = 0; b < 256; ++b) u.insert(0x500 + b), all.push_back(0x500 + b);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(u.to_vec(), all);
  EXPECT_EQ(iter::bounded_scan<false>(u.iter(), 1, 0x600, false),
            std::vector<u64>(all.begin(), all.begin() + 256));
}

TEST(IterMap, ProjectionsAndVectorGrowth) {
  map::CorvaleMap m;
  EXPECT_TRUE(m.keys().empty());
  EXPECT_EQ(m.keys().capacity(), 0u);
  EXPECT_EQ(m.values().capacity(), 0u);
  EXPECT_EQ(m.to_vec().capacity(), 0u);
  EXPECT_TRUE(drain<true>(m.range(0, MAX).cursor).empty());
  m.insert(5, 50);
  m.insert(1, 10);
  m.insert(3, 30);
  EXPECT_EQ(m.keys(), (std::vector<u64>{1, 3, 5}));
  EXPECT_EQ(m.values(), (std::vector<u64>{10, 30, 50}));
  m.insert(7, 10);
  EXPECT_EQ(m.values(), (std::vector<u64>{10, 30, 50, 10}));
  EXPECT_EQ(m.keys().capacity(), 4u);
  EXPECT_EQ(m.to_vec().capacity(), 4u);
  m.insert(9, 90);
  EXPECT_EQ(m.keys().capacity(), 8u);
  EXPECT_EQ(m.values().capacity(), 8u);
  // Flat ranges: below the first key, between keys, above the last, lo > hi.
  auto walk = [&](u64 lo, u64 hi) {
    std::vector<u64> got;
    iter::MapRange r = m.range(lo, hi);
    while (auto e = r.next()) {
      if (e->key > r.hi) break;
      got.push_back(e->key);
    }
    return got;
  };
  EXPECT_EQ(walk(0, MAX), (std::vector<u64>{1, 3, 5, 7, 9}));
  EXPECT_EQ(walk(4, 7), (std::vector<u64>{5, 7}));
  EXPECT_EQ(walk(5, 5), (std::vector<u64>{5}));
  EXPECT_TRUE(walk(10, MAX).empty());
  EXPECT_TRUE(walk(7, 5).empty());
  m.clear();
  EXPECT_TRUE(m.keys().empty());
  EXPECT_TRUE(walk(0, MAX).empty());
}

}  // namespace
}  // namespace corvale_trie
