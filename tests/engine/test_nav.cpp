// Neighbour search, rank and select: differential tests against sorted
// models, first over hand-built tries of every node kind and leaf form, then
// over the core containers after random inserts and removals.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "engine/map.hpp"
#include "engine/nav.hpp"
#include "engine/set.hpp"
#include "nav_fixture.hpp"

namespace corvale_trie {
namespace {

using testing_nav::Arena;
using testing_nav::Dist;
using testing_nav::ShapeBuilder;

constexpr u64 MAX = ~u64{0};

// The sorted model of a container's entries.
struct Model {
  std::vector<KeyValue> kv;

  std::optional<KeyValue> next(u64 k) const {
    auto it = std::lower_bound(kv.begin(), kv.end(), k, [](const KeyValue& a, u64 b) { return a.key < b; });
    if (it == kv.end()) return std::nullopt;
    return *it;
  }
  std::optional<KeyValue> prev(u64 k) const {
    auto it = std::upper_bound(kv.begin(), kv.end(), k, [](u64 a, const KeyValue& b) { return a < b.key; });
    if (it == kv.begin()) return std::nullopt;
    return *(it - 1);
  }
  u64 below(u64 k) const {
    return std::lower_bound(kv.begin(), kv.end(), k, [](const KeyValue& a, u64 b) { return a.key < b; }) -
           kv.begin();
  }
};

std::optional<u64> key_of(const std::optional<KeyValue>& e) {
  if (!e) return std::nullopt;
  return e->key;
}

// Tags met in the hand-built tries, so that the suites can assert that every
// node kind and leaf form was exercised.
struct TagSeen {
  bool seen[256] = {};
  void walk(const Edge& e) {
    seen[e.tag] = true;
    switch (e.tag) {
      case TAG_L3:
        for (unsigned i = 0; i < e.ptr<BranchL3>()->count; ++i) walk(e.ptr<BranchL3>()->children[i]);
        break;
      case TAG_L7:
        for (unsigned i = 0; i < e.ptr<BranchL7>()->count; ++i) walk(e.ptr<BranchL7>()->children[i]);
        break;
      case TAG_B:
        for (unsigned d = 0; d < 256; ++d)
          if (e.ptr<BranchB>()->bitmap.test(d)) walk(*e.ptr<BranchB>()->child(static_cast<u8>(d)));
        break;
      case TAG_U:
        for (const Edge& c : e.ptr<BranchU>()->children) walk(c);
        break;
      default:
        break;
    }
  }
  bool any_immediate() const {
    for (unsigned t = 0x10; t < 0x7F; ++t)
      if (seen[t]) return true;
    return false;
  }
  bool all_kinds(bool set_flavour) const {
    bool linear = false;
    for (unsigned w = 1; w <= 7; ++w) linear |= seen[linear_leaf_tag(w)];
    return seen[TAG_L3] && seen[TAG_L7] && seen[TAG_B] && seen[TAG_U] && linear &&
           seen[TAG_BITMAP_LEAF] && any_immediate() && (!set_flavour || seen[TAG_FULL]);
  }
};
TagSeen g_seen[2];

// Every query of both flavours' edge operations at the root of a hand-built
// trie of random shape.
template <bool IS_MAP>
void check_shape(const std::set<u64>& keys, u64 seed, const char* what) {
  SCOPED_TRACE(testing::Message() << "seed " << seed << " " << what << " n=" << keys.size());
  std::mt19937_64 rng(seed);
  Model model;
  for (u64 k : keys) model.kv.push_back({k, IS_MAP ? rng() : 0});
  Arena arena;
  ShapeBuilder<IS_MAP> builder(arena, rng);
  const Edge root = builder.build_root(model.kv);
  g_seen[IS_MAP].walk(root);

  for (u64 p : testing_nav::probes_for(keys, rng, 64)) {
    const auto want_next = model.next(p);
    const auto want_prev = model.prev(p);
    if constexpr (IS_MAP) {
      ASSERT_EQ(nav::next<true>(root, p, ROOT_LEVEL), want_next) << "next " << p;
      ASSERT_EQ(nav::prev<true>(root, p, ROOT_LEVEL), want_prev) << "prev " << p;
    } else {
      ASSERT_EQ(nav::next<false>(root, p, ROOT_LEVEL), key_of(want_next)) << "next " << p;
      ASSERT_EQ(nav::prev<false>(root, p, ROOT_LEVEL), key_of(want_prev)) << "prev " << p;
    }
    ASSERT_EQ(nav::count_below<IS_MAP>(root, p, ROOT_LEVEL), model.below(p)) << "rank " << p;
  }
  for (u64 i = 0; i < model.kv.size(); ++i) {
    if constexpr (IS_MAP)
      ASSERT_EQ(nav::by_count<true>(root, i, ROOT_LEVEL), model.kv[i]) << "select " << i;
    else
      ASSERT_EQ(nav::by_count<false>(root, i, ROOT_LEVEL), model.kv[i].key) << "select " << i;
  }
}

TEST(NavShapes, EveryNodeKindAndLeafForm) {
  const std::size_t sizes[] = {1, 2, 3, 7, 8, 16, 40, 150, 700};
  u64 seed = 0x5eed'0001;
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

TEST(NavShapes, FullRangesAndExtremeKeys) {
  // Whole level-1 ranges (full edges in the set flavour), at both ends of the
  // key space and in the middle, with stray keys around them.
  u64 seed = 0xF011;
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
  // The 256 keys ending at 2**64-1 alone, and the two extreme keys alone.
  std::set<u64> top;
  for (u64 b = 0; b < 256; ++b) top.insert(MAX - b);
  for (u64 s = 1; s < 6; ++s) {
    check_shape<false>(top, s, "top block");
    check_shape<true>(top, s, "top block");
    check_shape<false>({0, MAX}, s, "0 and max");
    check_shape<true>({0, MAX}, s, "0 and max");
    check_shape<false>({MAX}, s, "max");
    check_shape<true>({0}, s, "zero");
  }
  EXPECT_TRUE(g_seen[0].all_kinds(true));
  EXPECT_TRUE(g_seen[1].all_kinds(false));
}

}  // namespace
}  // namespace corvale_trie
