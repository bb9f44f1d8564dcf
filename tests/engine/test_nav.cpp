// Ordered navigation and cursors of the core containers, in both flavours:
// inclusive neighbour search and the strict forms built on it (as the Python
// layer composes them, guarded at 0 and 2**64-1), first/last, rank, select,
// range counts, the in-order cursor (also copied in mid-walk), bounded scans,
// and for maps the range cursor and the key/value projections. Everything is
// checked against a std::map model after each batch of random inserts and
// removals, and rank/select also right after ascending runs whose population
// is still pending in the path cache. A census proves that the key
// distributions reach every node kind and leaf form.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "engine/iter.hpp"
#include "engine/nav.hpp"
#include "support.hpp"

namespace corvale_trie {
namespace {

using namespace testsupport;

constexpr u64 MAX = ~u64{0};

template <bool IS_MAP>
using Item = nav::Entry<IS_MAP>;

// Linear-leaf widths present under an edge, as a bit set (bit W for width W).
unsigned leaf_widths(const Edge& e) {
  unsigned w = is_linear_leaf_tag(e.tag) ? 1u << linear_leaf_width(e.tag) : 0u;
  auto kids = [&](const Edge* c, unsigned n) {
    for (unsigned i = 0; i < n; ++i) w |= leaf_widths(c[i]);
  };
  if (e.tag == TAG_L3) kids(e.ptr<BranchL3>()->children, e.ptr<BranchL3>()->count);
  if (e.tag == TAG_L7) kids(e.ptr<BranchL7>()->children, e.ptr<BranchL7>()->count);
  if (e.tag == TAG_U) kids(e.ptr<BranchU>()->children, 256);
  if (e.tag == TAG_B)
    for (unsigned g = 0; g < 8; ++g) kids(e.ptr<BranchB>()->subarrays[g], e.ptr<BranchB>()->group_counts[g]);
  return w;
}

// Every item of a cursor; a finished cursor keeps yielding nothing.
template <bool IS_MAP>
std::vector<Item<IS_MAP>> drain(iter::RawIter<IS_MAP> it) {
  std::vector<Item<IS_MAP>> out;
  while (auto x = it.next()) out.push_back(*x);
  EXPECT_FALSE(it.next().has_value());
  EXPECT_FALSE(it.next().has_value());
  return out;
}

// Every order query of the container against its model.
template <bool IS_MAP>
void check_order(Harness<IS_MAP>& h, std::mt19937_64& rng) {
  ASSERT_TRUE(h.check());  // content, verify(), counters
  std::vector<u64> keys;
  std::vector<Item<IS_MAP>> all;
  for (const auto& [k, v] : h.model) {
    keys.push_back(k);
    if constexpr (IS_MAP) all.push_back(KeyValue{k, v});
    else all.push_back(k);
  }
  const u64 n = keys.size();
  auto rank = [&](u64 k) { return u64(std::lower_bound(keys.begin(), keys.end(), k) - keys.begin()); };
  auto has = [&](u64 k) { return u64(h.model.count(k)); };
  auto entry = [&](u64 i) { return i < n ? std::optional(all[i]) : std::nullopt; };  // i may wrap
  auto pick = [&] {
    const u64 k = n ? keys[rng() % n] : rng();
    const u64 p[] = {0, MAX, rng(), k, k + 1, k - 1};
    return p[rng() % 6];
  };

  ASSERT_EQ(h.c.first(), entry(0));
  ASSERT_EQ(h.c.last(), entry(n - 1));
  std::set<u64> sample;
  for (int i = 0; i < 40 && n; ++i) sample.insert(keys[rng() % n]);
  for (u64 p : probes_for(sample, rng, 24)) {
    const u64 r = rank(p), in = has(p);
    ASSERT_EQ(h.c.next(p), entry(r)) << "next " << p;
    ASSERT_EQ(h.c.prev(p), entry(r + in - 1)) << "prev " << p;
    ASSERT_EQ(p == MAX ? std::nullopt : h.c.next(p + 1), entry(r + in)) << "after " << p;
    ASSERT_EQ(p == 0 ? std::nullopt : h.c.prev(p - 1), entry(r - 1)) << "before " << p;
    ASSERT_EQ(h.c.count_below(p), r) << "rank " << p;
    ASSERT_EQ(h.c.by_count(r), entry(r)) << "select " << r;
  }
  for (u64 i : {u64{0}, n / 2, n - 1, n, n + 1, MAX}) ASSERT_EQ(h.c.by_count(i), entry(i)) << "select " << i;

  // The cursor, and a copy taken in mid-walk that continues on its own.
  ASSERT_EQ(drain<IS_MAP>(h.c.iter()), all);
  auto a = h.c.iter();
  const u64 cut = rng() % (n + 1);
  for (u64 i = 0; i < cut; ++i) ASSERT_TRUE(a.next().has_value());
  auto b = a;
  const std::vector<Item<IS_MAP>> rest(all.begin() + cut, all.end());
  ASSERT_EQ(drain<IS_MAP>(a), rest);
  ASSERT_EQ(drain<IS_MAP>(b), rest);

  // The seeking cursor at every start near a stored key (and the ends of the
  // key space): its first entries, then (sampled) the whole rest.
  for (u64 p : probes_for(std::set<u64>(keys.begin(), keys.end()), rng, 8)) {
    const u64 from = rank(p);
    auto c = h.c.iter_from(p);
    for (u64 i = from; i < std::min(n, from + 3); ++i) ASSERT_EQ(c.next(), entry(i)) << "seek " << p;
    if (from + 3 >= n || rng() % 64 == 0) {
      const std::vector<Item<IS_MAP>> rest(all.begin() + std::min(n, from + 3), all.end());
      ASSERT_EQ(drain<IS_MAP>(c), rest) << "seek " << p;
    }
  }

  // Range counts, bounded scans and (map) the range cursor between the same
  // bounds, lo > hi included; the first rounds pin the ends of the key space.
  for (int r = 0; r < 30; ++r) {
    u64 lo = pick(), hi = pick();
    bool inclusive = rng() & 1, bounded = rng() % 4 != 0;
    if (r < 4) lo = r == 3 ? MAX : 0, hi = MAX, inclusive = r != 2, bounded = r != 0;
    SCOPED_TRACE(testing::Message() << lo << ".." << hi << " inclusive " << inclusive << " bounded " << bounded);
    const u64 from = rank(lo);
    const u64 upto = !bounded ? n : std::max(from, rank(hi) + (inclusive ? has(hi) : 0));
    const std::vector<Item<IS_MAP>> want(all.begin() + from, all.begin() + upto);
    ASSERT_EQ(iter::bounded_scan<IS_MAP>(h.c.iter(), lo, bounded ? std::optional(hi) : std::nullopt, inclusive),
              want);
    ASSERT_EQ(iter::bounded_scan<IS_MAP>(h.c.iter_from(lo), lo, bounded ? std::optional(hi) : std::nullopt,
                                         inclusive),
              want);
    const u64 in_range = lo > hi ? 0 : rank(hi) + has(hi) - from;
    if constexpr (IS_MAP) {
      iter::MapRange range = h.c.range(lo, hi);
      ASSERT_EQ(range.hi, hi);
      std::vector<KeyValue> got;
      while (auto e = range.next()) {
        if (e->key > range.hi) break;
        got.push_back(*e);
      }
      ASSERT_EQ(got, std::vector<KeyValue>(all.begin() + from, all.begin() + from + in_range));
    } else {
      ASSERT_EQ(h.c.count_range(lo, hi), in_range);
    }
  }
  if constexpr (IS_MAP) {
    std::vector<u64> values;
    for (const KeyValue& e : all) values.push_back(e.value);
    ASSERT_EQ(h.c.keys(), keys);
    ASSERT_EQ(h.c.values(), values);
  }
}

// Random inserts and removals up through the flat/tree switch to a few
// thousand keys, with ascending runs into one last-level leaf (the path cache
// then holds a pending population) checked by select or rank at once; then
// removals back through the condensing sizes to empty, and a clear.
template <bool IS_MAP>
void run_mix(Dist dist, u64 seed, Census& seen, unsigned& widths, bool& saw_pending) {
  CORVALE_SEED_TRACE(seed);
  SCOPED_TRACE(dist_name(dist));
  Harness<IS_MAP> h;
  KeyGen gen(dist, seed);
  std::mt19937_64& rng = gen.rng();
  auto take_census = [&] {
    seen += census(h.c.record());
    if (h.c.record().state == RootState::Tree) widths |= leaf_widths(h.c.record().root);
  };
  check_order(h, rng);
  for (u64 target : {u64{1}, u64{31}, u64{32}, u64{300}, scaled(8000, 3000)}) {
    for (u64 ops = 0; h.model.size() < target && ops < 20 * target; ++ops) {
      const u64 k = gen();
      const auto it = h.model.lower_bound(k);
      if (rng() % 10 < 7 || h.model.empty()) h.insert(k, rng());
      else h.remove(it == h.model.end() ? k : it->first);
    }
    take_census();
    check_order(h, rng);
    if (::testing::Test::HasFailure()) return;

    const u64 leaf = gen() & ~u64{0xFF};
    const u64 step = rng() % 3;  // 0: the whole block, beside a key that puts it on a level-1 edge
    if (step == 0) h.insert(leaf ^ 0x100, rng());
    for (u64 j = step ? rng() % 64 : 0; j < 256; j += step ? 1 + rng() % 4 : 1) h.insert(leaf | j, rng());
    take_census();
    const u64 pending = h.c.record().path.pending;
    saw_pending |= pending != 0;
    const auto lo = h.model.lower_bound(leaf);
    // Neighbour search reads no lagging population and flushes nothing.
    ASSERT_EQ(h.c.next(leaf).has_value(), lo != h.model.end());
    ASSERT_EQ(h.c.record().path.pending, pending);
    const u64 below = std::distance(h.model.begin(), lo);
    const auto hi = leaf + 256 == 0 ? h.model.end() : h.model.lower_bound(leaf + 256);
    const u64 run = std::distance(lo, hi);
    if (rng() & 1) {
      for (u64 i = below; i < below + run; ++i) {
        const auto e = h.c.by_count(i);
        ASSERT_TRUE(e.has_value());
        ASSERT_EQ(iter::item_key(*e), std::next(h.model.begin(), i)->first) << "select " << i;
      }
    } else {
      ASSERT_EQ(h.c.count_below(leaf + 255) + h.model.count(leaf + 255), below + run);
    }
    ASSERT_EQ(h.c.record().path.pending, 0u);
  }
  while (!h.model.empty()) {
    h.remove(std::next(h.model.begin(), rng() % h.model.size())->first);
    const u64 n = h.model.size();
    if (n % 100 == 0) take_census();
    if (n == 31 || n == 30 || n == 4 || n == 1 || n == 0) check_order(h, rng);
  }
  for (int i = 0; i < 100; ++i) h.insert(gen(), 1);
  h.c.clear();
  h.model.clear();
  check_order(h, rng);  // a cleared tree keeps a stale count
}

template <bool IS_MAP>
void run_all_dists(u64 seed) {
  Census seen;
  unsigned widths = 0;
  bool saw_pending = false;
  for (Dist d : ALL_DISTS) run_mix<IS_MAP>(d, test_seed(seed++), seen, widths, saw_pending);
  EXPECT_EQ(seen.missing(IS_MAP), "");
  EXPECT_EQ(widths, 0xFEu) << "linear leaf widths 1..7";
  EXPECT_TRUE(saw_pending);
}

TEST(NavSet, RandomDifferential) { run_all_dists<false>(0xA11CE); }
TEST(NavMap, RandomDifferential) { run_all_dists<true>(0xB0B); }

// Fixed contents at the edges: empty, one key, both extreme keys, the 256
// keys ending at 2**64-1 (alone, and beside a lower key so that their leaf
// stands on a level-1 edge and becomes a full edge in a set), and a full
// lower block followed by higher keys.
template <bool IS_MAP>
void check_edges() {
  const u64 block = 0x1234'5678'9ABC'DE00ull;
  std::vector<std::vector<u64>> cases = {{},  {0},         {77}, {MAX}, {0, MAX},
                                         {}, {MAX - 300}, {block - 1, 0, block + 256, block + 1000}};
  for (u64 b = 0; b < 256; ++b) {
    cases[5].push_back(MAX - b), cases[6].push_back(MAX - b), cases[7].push_back(block + b);
  }
  std::mt19937_64 rng(test_seed(0xED6E));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    Harness<IS_MAP> h;
    for (u64 k : cases[i]) h.insert(k, value_of(k));
    if (!IS_MAP && i >= 6) {
      EXPECT_EQ(census(h.c.record()).n[FULL_EDGE], 1u);
    }
    check_order(h, rng);
  }
}

TEST(NavSet, EdgeContents) { check_edges<false>(); }
TEST(NavMap, EdgeContents) { check_edges<true>(); }

TEST(NavMap, ProjectionsCollectFromCapacityFour) {
  map::CorvaleMap m;
  EXPECT_EQ(m.keys().capacity(), 0u);
  EXPECT_EQ(m.values().capacity(), 0u);
  for (u64 k : {5, 1, 3, 7}) m.insert(k, k == 7 ? 10 : 10 * k);
  EXPECT_EQ(m.keys(), (std::vector<u64>{1, 3, 5, 7}));
  EXPECT_EQ(m.values(), (std::vector<u64>{10, 30, 50, 10}));
  EXPECT_EQ(m.keys().capacity(), 4u);
  m.insert(9, 90);
  EXPECT_EQ(m.values().capacity(), 8u);
  EXPECT_EQ(m.to_vec().capacity(), 8u);
}

}  // namespace
}  // namespace corvale_trie
