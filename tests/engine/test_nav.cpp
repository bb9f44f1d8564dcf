// Neighbour search, rank and select: differential tests against sorted
// models, first over hand-built tries of every node kind and leaf form, then
// over the core containers after random inserts and removals.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
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

// ---------------------------------------------------------------------------
// The core containers after random inserts and removals

// A core container of either flavour beside its model.
template <bool IS_MAP>
struct Harness {
  using Container = std::conditional_t<IS_MAP, map::CorvaleMap, set::CorvaleSet>;
  using Item = nav::Entry<IS_MAP>;

  Container c;
  std::map<u64, u64> model;

  void insert(u64 k, u64 v) {
    if constexpr (IS_MAP)
      c.insert(k, v);
    else
      c.insert(k);
    model[k] = IS_MAP ? v : 0;
  }
  void remove(u64 k) {
    c.remove(k);
    model.erase(k);
  }
  static Item item(const std::pair<const u64, u64>& e) {
    if constexpr (IS_MAP)
      return KeyValue{e.first, e.second};
    else
      return e.first;
  }
  std::optional<Item> want_next(u64 k) const {
    auto it = model.lower_bound(k);
    if (it == model.end()) return std::nullopt;
    return item(*it);
  }
  std::optional<Item> want_prev(u64 k) const {
    auto it = model.upper_bound(k);
    if (it == model.begin()) return std::nullopt;
    return item(*std::prev(it));
  }
  bool contains(u64 k) const {
    if constexpr (IS_MAP)
      return c.contains_key(k);
    else
      return c.contains(k);
  }
  // The range count as the core set gives it, and as the map's callers
  // compose it from rank and membership.
  u64 count_range(u64 a, u64 b) {
    if constexpr (IS_MAP) {
      if (a > b) return 0;
      const u64 c_end = c.count_below(b);
      const u64 m = contains(b) ? 1 : 0;
      return c_end + m - c.count_below(a);
    } else {
      return c.count_range(a, b);
    }
  }
};

// Every order query of the container against the model, at probe keys
// around the stored ones, at random keys and at both ends of the key space.
template <bool IS_MAP>
void check_queries(Harness<IS_MAP>& h, std::mt19937_64& rng, const std::string& where) {
  SCOPED_TRACE(where);
  const std::vector<KeyValue> kv = [&] {
    std::vector<KeyValue> v;
    for (auto& [k, val] : h.model) v.push_back({k, val});
    return v;
  }();
  const u64 n = kv.size();
  ASSERT_EQ(h.c.len(), n);
  if (n == 0) {
    ASSERT_FALSE(h.c.first().has_value());
    ASSERT_FALSE(h.c.last().has_value());
  } else {
    ASSERT_EQ(h.c.first(), h.item(*h.model.begin()));
    ASSERT_EQ(h.c.last(), h.item(*h.model.rbegin()));
  }
  std::set<u64> sample;
  for (int i = 0; i < 60 && n > 0; ++i) sample.insert(kv[rng() % n].key);
  for (u64 p : testing_nav::probes_for(sample, rng, 40)) {
    ASSERT_EQ(h.c.next(p), h.want_next(p)) << "next " << p;
    ASSERT_EQ(h.c.prev(p), h.want_prev(p)) << "prev " << p;
    // Strict forms as the Python layer composes them.
    const auto after = p == MAX ? std::nullopt : h.c.next(p + 1);
    const auto before = p == 0 ? std::nullopt : h.c.prev(p - 1);
    auto up = h.model.upper_bound(p);
    ASSERT_EQ(after, up == h.model.end() ? std::nullopt : std::optional(h.item(*up))) << "after " << p;
    auto lo = h.model.lower_bound(p);
    ASSERT_EQ(before, lo == h.model.begin() ? std::nullopt : std::optional(h.item(*std::prev(lo))))
        << "before " << p;
    const u64 rank = std::distance(kv.begin(), std::lower_bound(kv.begin(), kv.end(), p,
                                                                  [](const KeyValue& a, u64 b) { return a.key < b; }));
    ASSERT_EQ(h.c.count_below(p), rank) << "rank " << p;
    if (rank < n) {
      if constexpr (IS_MAP)
        ASSERT_EQ(h.c.by_count(rank), kv[rank]);
      else
        ASSERT_EQ(h.c.by_count(rank), kv[rank].key);
    }
  }
  for (u64 i : {u64{0}, n / 2, n - 1, n, n + 1, MAX}) {
    const auto got = h.c.by_count(i);
    if (i >= n) {
      ASSERT_FALSE(got.has_value()) << "select " << i;
    } else if constexpr (IS_MAP) {
      ASSERT_EQ(got, kv[i]) << "select " << i;
    } else {
      ASSERT_EQ(got, kv[i].key) << "select " << i;
    }
  }
  for (int r = 0; r < 40; ++r) {
    const u64 picks[] = {0, MAX, rng(), n ? kv[rng() % n].key : 7, n ? kv[rng() % n].key + 1 : 9};
    const u64 a = picks[rng() % 5], b = picks[rng() % 5];
    u64 want = 0;
    if (a <= b) want = std::distance(h.model.lower_bound(a), h.model.upper_bound(b));
    ASSERT_EQ(h.count_range(a, b), want) << "range " << a << ".." << b;
  }
}

// Random mixes of inserts and removals through the Flat and Tree states,
// with runs of ascending inserts into one leaf (a pending path-cache delta)
// followed at once by rank and select, down to a few keys (condensed) and to
// an empty container after a clear.
template <bool IS_MAP>
void run_container_mix(Dist dist, u64 seed, bool& saw_pending) {
  SCOPED_TRACE(testing::Message() << "seed " << seed << " " << testing_nav::dist_name(dist));
  std::mt19937_64 rng(seed);
  Harness<IS_MAP> h;
  const u64 base = rng();
  check_queries(h, rng, "new");
  for (std::size_t target : {std::size_t{12}, std::size_t{40}, std::size_t{400}, std::size_t{2500}, std::size_t{9000}}) {
    std::size_t ops = 0;
    while (h.model.size() < target && ops++ < 20 * target) {
      const u64 k = testing_nav::draw_key(dist, rng, base);
      if (rng() % 10 < 7 || h.model.empty()) {
        h.insert(k, rng());
      } else {
        auto it = h.model.lower_bound(k);
        h.remove(it == h.model.end() ? k : it->first);
      }
      if (rng() % 97 == 0) {
        // Ascending run into one last-level leaf.
        const u64 leaf = testing_nav::draw_key(dist, rng, base) & ~u64{0xFF};
        const u64 from = rng() % 128;
        for (u64 j = from; j < from + 1 + rng() % 100 && j < 256; j += 1 + rng() % 3) h.insert(leaf | j, rng());
        const bool pending = h.c.record().path.pending != 0;
        saw_pending |= pending;
        // Neighbour search reads no lagging population and flushes nothing.
        ASSERT_EQ(h.c.next(leaf), h.want_next(leaf));
        ASSERT_EQ(h.c.prev(leaf | 0xFF), h.want_prev(leaf | 0xFF));
        ASSERT_EQ(h.c.record().path.pending != 0, pending);
        // Rank flushes first, so it counts every key of the run.
        const u64 above = (leaf | 0xFF) == MAX ? MAX : (leaf | 0xFF) + 1;
        ASSERT_EQ(h.c.count_below(above),
                  static_cast<u64>(std::distance(h.model.begin(), h.model.lower_bound(above))));
        ASSERT_EQ(h.c.record().path.pending, 0u);
      }
    }
    check_queries(h, rng, "grown to " + std::to_string(target));
    // Select right after a run with its delta still pending.
    const u64 leaf = testing_nav::draw_key(dist, rng, base) & ~u64{0xFF};
    for (u64 j = 0; j < 60; j += 2) h.insert(leaf | j, rng());
    saw_pending |= h.c.record().path.pending != 0;
    u64 i = 0;
    for (auto& e : h.model) {
      if (i % 7 == 0 || (e.first & ~u64{0xFF}) == leaf) {
        if constexpr (IS_MAP)
          ASSERT_EQ(h.c.by_count(i), (KeyValue{e.first, e.second}));
        else
          ASSERT_EQ(h.c.by_count(i), e.first);
      }
      ++i;
    }
  }
  // Shrink through condensing into the flat array.
  while (h.model.size() > 5) {
    auto it = h.model.begin();
    std::advance(it, rng() % h.model.size());
    h.remove(it->first);
    if (h.model.size() == 31 || h.model.size() == 30 || h.model.size() == 6) check_queries(h, rng, "shrunk");
  }
  h.c.clear();
  h.model.clear();
  check_queries(h, rng, "cleared");
}

TEST(NavSet, RandomDifferential) {
  bool saw_pending = false;
  u64 seed = 0xA11CE;
  for (Dist d : testing_nav::ALL_DISTS) run_container_mix<false>(d, seed++, saw_pending);
  EXPECT_TRUE(saw_pending);
}

TEST(NavMap, RandomDifferential) {
  bool saw_pending = false;
  u64 seed = 0xB0B;
  for (Dist d : testing_nav::ALL_DISTS) run_container_mix<true>(d, seed++, saw_pending);
  EXPECT_TRUE(saw_pending);
}

// Tags of a container's tree, to check that a test reached the form it is
// about.
bool holds_tag(const Edge& e, u8 tag) {
  TagSeen seen;
  seen.walk(e);
  return seen.seen[tag];
}

TEST(NavSet, FullEdgesAndTopBlock) {
  // The 256 keys ending at 2**64-1, alone and then beside a key that makes
  // their leaf stand at level 1, where it becomes a full edge.
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    const u64 low = pass;  // keys below the block
    set::CorvaleSet s;
    if (low) s.insert(MAX - 300);
    for (u64 b = 0; b < 256; ++b) s.insert(MAX - 255 + b);
    ASSERT_EQ(s.record().state, RootState::Tree);
    if (low) {
      ASSERT_TRUE(holds_tag(s.record().root, TAG_FULL));
    }
    const u64 smallest = low ? MAX - 300 : MAX - 255;
    EXPECT_EQ(s.first(), smallest);
    EXPECT_EQ(s.last(), MAX);
    EXPECT_EQ(s.next(0), smallest);
    EXPECT_EQ(s.next(MAX), MAX);
    EXPECT_EQ(s.prev(MAX), MAX);
    EXPECT_EQ(s.prev(MAX - 256), low ? std::optional<u64>(MAX - 300) : std::nullopt);
    EXPECT_EQ(s.next(MAX - 299), MAX - 255);
    EXPECT_EQ(s.next(MAX - 17), MAX - 17);
    EXPECT_EQ(s.prev(MAX - 17), MAX - 17);
    EXPECT_EQ(s.count_below(MAX), low + 255u);
    EXPECT_EQ(s.count_below(MAX - 100), low + 155u);
    EXPECT_EQ(s.count_below(MAX - 255), low);
    EXPECT_EQ(s.count_below(0), 0u);
    EXPECT_EQ(s.by_count(low + 255), MAX);
    EXPECT_EQ(s.by_count(low), MAX - 255);
    EXPECT_EQ(s.by_count(0), smallest);
    EXPECT_EQ(s.by_count(low + 100), MAX - 155);
    EXPECT_EQ(s.by_count(low + 256), std::nullopt);
    EXPECT_EQ(s.count_range(0, MAX), low + 256u);
    EXPECT_EQ(s.count_range(MAX, MAX), 1u);
    EXPECT_EQ(s.count_range(MAX - 10, MAX), 11u);
    EXPECT_EQ(s.count_range(MAX, 0), 0u);
  }

  // A full lower block followed by keys in higher blocks, and keys around it.
  set::CorvaleSet t;
  const u64 block = 0x1234'5678'9ABC'DE00ull;
  for (u64 k : {block - 1, block + 256, block + 1000, u64{0}}) t.insert(k);
  for (u64 b = 0; b < 256; ++b) t.insert(block | b);
  ASSERT_TRUE(holds_tag(t.record().root, TAG_FULL));
  EXPECT_EQ(t.count_below(block), 2u);
  EXPECT_EQ(t.count_below(block | 0x80), 2u + 0x80);
  EXPECT_EQ(t.count_below(block + 256), 258u);
  EXPECT_EQ(t.count_below(block + 257), 259u);
  EXPECT_EQ(t.by_count(2 + 0x42), block | 0x42);
  EXPECT_EQ(t.next(block + 256), block + 256);
  EXPECT_EQ(t.next(block + 257), block + 1000);
  EXPECT_EQ(t.prev(block + 999), block + 256);
  EXPECT_EQ(t.prev(block + 255), block + 255);
  EXPECT_EQ(t.prev(block - 2), 0u);
}

TEST(NavSet, EmptyAndOneKey) {
  set::CorvaleSet s;
  EXPECT_EQ(s.first(), std::nullopt);
  EXPECT_EQ(s.last(), std::nullopt);
  EXPECT_EQ(s.next(0), std::nullopt);
  EXPECT_EQ(s.prev(MAX), std::nullopt);
  EXPECT_EQ(s.count_below(MAX), 0u);
  EXPECT_EQ(s.count_range(0, MAX), 0u);
  EXPECT_EQ(s.by_count(0), std::nullopt);
  for (u64 k : {u64{0}, u64{77}, MAX}) {
    s.insert(k);
    EXPECT_EQ(s.first(), k);
    EXPECT_EQ(s.last(), k);
    EXPECT_EQ(s.next(0), k);
    EXPECT_EQ(s.prev(MAX), k);
    EXPECT_EQ(s.next(k), k);
    EXPECT_EQ(s.prev(k), k);
    if (k != MAX) {
      EXPECT_EQ(s.next(k + 1), std::nullopt);
    }
    if (k != 0) {
      EXPECT_EQ(s.prev(k - 1), std::nullopt);
    }
    EXPECT_EQ(s.count_below(k), 0u);
    EXPECT_EQ(s.count_below(MAX), k == MAX ? 0u : 1u);
    EXPECT_EQ(s.count_range(k, k), 1u);
    EXPECT_EQ(s.by_count(0), k);
    EXPECT_EQ(s.by_count(1), std::nullopt);
    s.remove(k);
  }
  // A cleared tree keeps a stale key count; every query sees an empty set.
  for (u64 k = 0; k < 100; ++k) s.insert(k * 1000);
  s.clear();
  EXPECT_EQ(s.first(), std::nullopt);
  EXPECT_EQ(s.next(0), std::nullopt);
  EXPECT_EQ(s.count_below(MAX), 0u);
  EXPECT_EQ(s.by_count(0), std::nullopt);
  EXPECT_EQ(s.count_range(0, MAX), 0u);
}

TEST(NavMap, EmptyOneKeyAndValues) {
  map::CorvaleMap m;
  EXPECT_EQ(m.first(), std::nullopt);
  EXPECT_EQ(m.last(), std::nullopt);
  EXPECT_EQ(m.by_count(0), std::nullopt);
  EXPECT_EQ(m.count_below(5), 0u);
  m.insert(MAX, 9);
  EXPECT_EQ(m.first(), (KeyValue{MAX, 9}));
  EXPECT_EQ(m.prev(MAX), (KeyValue{MAX, 9}));
  EXPECT_EQ(m.next(0), (KeyValue{MAX, 9}));
  EXPECT_EQ(m.prev(MAX - 1), std::nullopt);
  m.insert(0, 4);
  EXPECT_EQ(m.by_count(0), (KeyValue{0, 4}));
  EXPECT_EQ(m.by_count(1), (KeyValue{MAX, 9}));
  EXPECT_EQ(m.count_below(MAX), 1u);
  for (u64 k = 1; k <= 40; ++k) m.insert(k << 20, k);
  ASSERT_EQ(m.record().state, RootState::Tree);
  EXPECT_EQ(m.next(1), (KeyValue{1 << 20, 1}));
  EXPECT_EQ(m.prev(MAX - 1), (KeyValue{u64{40} << 20, 40}));
  EXPECT_EQ(m.last(), (KeyValue{MAX, 9}));
  m.clear();
  EXPECT_EQ(m.first(), std::nullopt);
  EXPECT_EQ(m.count_below(MAX), 0u);
  EXPECT_EQ(m.by_count(0), std::nullopt);
}

}  // namespace
}  // namespace corvale_trie
