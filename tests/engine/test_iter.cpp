// In-order cursor, range cursor, bounded scans and map projections:
// differential tests against sorted models, over hand-built tries of every
// node kind and leaf form and over the core containers after random inserts
// and removals.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
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
  EXPECT_TRUE(it.finished());
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
    for (u64 lo : testing_nav::probes_for(keys, rng, 16)) {
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

}  // namespace
}  // namespace corvale_trie
