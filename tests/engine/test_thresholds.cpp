// Thresholds between forms, driven through the core set and map.
//
// The flat array: its capacity steps (exact mem_used and allocation counts),
// the switch to a tree at the 32nd key and back at 30, and clear.
//
// The trie: each ladder watches one edge while keys are added under it one
// by one and taken away again, oscillating across every threshold it
// crosses. The expected form follows a small state machine per ladder: each
// form grows into another above a count and shrinks into another below a
// count, which models the hysteresis (a leaf becomes an Immediate again only
// well below the count that made it a leaf). After every step the edge's tag,
// the exact bytes of its blocks (from the documented block sizes), the whole
// content and verify() are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "support.hpp"

namespace corvale_trie {
namespace {

using namespace testsupport;

constexpr u64 r16(u64 n) { return (n + 15) & ~u64{15}; }

// ---------------------------------------------------------------------------
// Flat array

template <bool IS_MAP>
void flat_steps_and_switch() {
  const u64 slot = IS_MAP ? 16 : 8;  // a map's flat block holds keys then values
  const std::set<u64> up = {1, 2, 3, 5, 9, 13, 17, 21, 25, 29};
  const std::set<u64> down = {28, 24, 20, 16, 12, 8, 4, 2, 1};
  const u64 seed = test_seed(41);
  CORVALE_SEED_TRACE(seed);
  std::mt19937_64 rng(seed);
  for (unsigned variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(::testing::Message() << "variant " << variant);
    std::vector<u64> keys;
    for (u64 i = 0; i < 33; ++i) {
      keys.push_back(variant == 0 ? i : variant == 1 ? (i << 56 | i) : ~u64{0} - i * 0x1010101);
    }
    std::shuffle(keys.begin(), keys.begin() + 32, rng);
    Harness<IS_MAP> h;
    u64 allocs = 0;
    for (u64 n = 1; n <= FLAT_MAX_KEYS; ++n) {
      h.insert(keys[n - 1], n);
      allocs += up.count(n);
      ASSERT_EQ(h.c.record().state, RootState::Flat);
      ASSERT_EQ(h.c.mem_used(), r16(slot * capacity_for(n))) << "n=" << n;
      ASSERT_EQ(h.c.total_node_allocs(), allocs) << "n=" << n;
      for (u64 j = 0; j < n; ++j) h.lookup(keys[j]), h.lookup(keys[j] + 1);
    }
    for (u64 j = 0; j < FLAT_MAX_KEYS; ++j) h.insert(keys[j], 100 + j);  // present: in place
    ASSERT_EQ(h.c.total_node_allocs(), allocs);
    ASSERT_TRUE(h.check());
    // 32 keys: a tree; 31: still a tree; 30: a flat array of capacity 32.
    h.insert(keys[31], 7);
    ASSERT_EQ(h.c.record().state, RootState::Tree);
    const u64 tree_mem = h.c.mem_used();
    for (int cycle = 0; cycle < 4; ++cycle) {
      h.insert(keys[32], 8);
      h.remove(keys[31]);
      ASSERT_EQ(h.c.record().state, RootState::Tree);
      h.remove(keys[32]);
      ASSERT_EQ(h.c.record().state, RootState::Tree);
      ASSERT_TRUE(h.check());
      allocs = h.c.total_node_allocs();
      h.remove(keys[cycle]);
      ASSERT_EQ(h.c.record().state, RootState::Flat);
      ASSERT_EQ(h.c.mem_used(), slot * 32);
      ASSERT_EQ(h.c.total_node_allocs(), allocs + 1);
      ASSERT_TRUE(h.check());
      h.insert(keys[cycle], 9);
      h.insert(keys[31], 7);
      ASSERT_EQ(h.c.mem_used(), tree_mem);
    }
    h.remove(keys[31]);
    h.remove(keys[0]);  // 30 keys, flat, capacity 32
    allocs = h.c.total_node_allocs();
    for (u64 m = 29; m + 1 > 0; --m) {
      h.remove(keys[m + 1]);
      allocs += down.count(m);
      ASSERT_EQ(h.c.total_node_allocs(), allocs) << "m=" << m;
      ASSERT_EQ(h.c.mem_used(), m == 0 ? 0 : r16(slot * capacity_for(m))) << "m=" << m;
      ASSERT_EQ(h.c.record().state, m == 0 ? RootState::Empty : RootState::Flat);
      h.lookup(keys[m + 1]);
    }
    ASSERT_TRUE(h.check());
  }
}

TEST(FlatArray, SetCapacityStepsAndTreeSwitch) { flat_steps_and_switch<false>(); }
TEST(FlatArray, MapCapacityStepsAndTreeSwitch) { flat_steps_and_switch<true>(); }

// clear from every root state leaves an empty container with no memory and
// the allocation count kept; the next key starts a one-key flat array. A
// container still holding a tree with every kind of block is torn down by
// its destructor (the sanitizer build reports anything left behind).
template <bool IS_MAP>
void clear_from_every_state() {
  for (u64 n : {u64{0}, u64{20}, u64{5000}}) {
    Harness<IS_MAP> h;
    CORVALE_SEED_TRACE(test_seed(n));
    KeyGen gen(Dist::Dense, test_seed(n));
    while (h.model.size() < n) h.insert(gen(), 1);
    const u64 allocs = h.c.total_node_allocs();
    h.c.clear();
    h.model.clear();
    ASSERT_TRUE(h.check());
    EXPECT_EQ(h.c.total_node_allocs(), allocs);
    EXPECT_EQ(h.c.record().path.depth, 0u);
    h.insert(~u64{0}, 3);
    EXPECT_EQ(h.c.record().state, RootState::Flat);
    EXPECT_EQ(h.c.mem_used(), 16u);
  }
  Container<IS_MAP> t;
  for (u64 k = 0; k < 700; ++k) {
    if constexpr (IS_MAP) {
      t.insert(0x4200 + k, k);
      t.insert((k % 256) << 56 | k, k);
    } else {
      t.insert(0x4200 + k);
      t.insert((k % 256) << 56 | k);
    }
  }
  EXPECT_EQ(t.record().root.tag, TAG_U);
}

TEST(FlatArray, SetClearFromEveryState) { clear_from_every_state<false>(); }
TEST(FlatArray, MapClearFromEveryState) { clear_from_every_state<true>(); }

// ---------------------------------------------------------------------------
// Ladders

constexpr u8 IMM = 0xF0;  // an Immediate of width E holding the count
constexpr u64 NEVER = ~u64{0};

struct Form {
  u8 tag;
  u64 grow_above;  // count above which it becomes forms[grow_to]
  int grow_to;
  u64 shrink_below;  // count below which it becomes forms[shrink_to]
  int shrink_to;
};

struct Ladder {
  std::string name;
  unsigned E;      // level of the watched edge (the width of its Immediates)
  unsigned stop;   // the watched edge: the first on the path holding a node at `stop` or below
  unsigned shift;  // key i = base | digit(i) << 8 * shift
  u64 base;
  bool root_digits;            // digit(0) is 0xFF (the ballast's digit), digit(i) = i - 1
  std::vector<u64> setup;      // keys inserted first; they leave key(0) alone under the edge
  std::vector<u64> targets;    // counts to walk to, in turn
  std::vector<Form> forms;     // forms[0] is the form after the setup
  bool wraps;                  // a BranchU here hangs under a one-child BranchL3 from then on

  [[nodiscard]] u8 digit(u64 i) const { return static_cast<u8>(root_digits ? (i == 0 ? 0xFF : i - 1) : i); }
  [[nodiscard]] u64 key(u64 i) const { return base | u64{digit(i)} << (8 * shift); }
};

// The bytes of the blocks of the watched edge's form holding digits
// digit(0..c-1); the children of branches are one-key Immediates (no block).
u64 own_bytes(bool map, u8 tag, const Ladder& L, u64 c) {
  unsigned groups[8] = {};
  for (u64 i = 0; i < c; ++i) ++groups[L.digit(i) >> 5];
  u64 grouped = 0;
  const u64 per = tag == TAG_B ? 16 : 8;  // an edge or a value per slot
  for (unsigned g : groups) grouped += g ? r16(per * capacity_for(g)) : 0;
  switch (tag) {
    case IMM: return map && c >= 2 ? r16(8 * capacity_for(c)) : 0;
    case TAG_BITMAP_LEAF: return map ? 128 + grouped : 64;
    case TAG_FULL: return 0;
    case TAG_L3: return 64;
    case TAG_L7: return 128;
    case TAG_B: return 128 + grouped;
    case TAG_U: return 4160;
    default: {
      const unsigned w = linear_leaf_width(tag);
      return r16(capacity_for(c) * (map ? 8 + w : w));
    }
  }
}

constexpr u64 T = 0x5500000000000000ull;

// An edge at level E whose keys differ in the low byte: Immediates of width E,
// a LinearLeaf of width E, a BitmapLeaf once 32 (25 at level 1) are exceeded,
// a FullEdge at 256 (set, level 1); back down a width-1 leaf below 21 and an
// Immediate below the Immediate capacity.
Ladder leaf_ladder(bool map, unsigned E) {
  const u64 mi = map ? 7 / E : 15 / E;
  const u64 lmax = E == 1 ? SET_W1_LEAF_MAX : LINEAR_LEAF_MAX;
  Ladder L{"leaf forms at level " + std::to_string(E), E, E, 0, 0, false, {}, {256, 1, 40, 1}, {}, false};
  L.forms = {{IMM, mi, 1, 0, 0},
             {linear_leaf_tag(E), lmax, 2, mi, 0},
             {TAG_BITMAP_LEAF, !map && E == 1 ? 255 : NEVER, 3, 21, E == 1 ? 1 : 4},
             {TAG_FULL, NEVER, 0, 256, 2},
             {linear_leaf_tag(1), SET_W1_LEAF_MAX, 2, mi, 0}};
  if (E == 7) {
    for (u64 j = 0; j < 40; ++j) L.setup.push_back(0xEE00000000000000ull | j);  // ballast
    L.base = 0x1100000000000000ull;
  } else {
    // 32 keys of one width-7 leaf, split at byte E by the base key: a
    // BranchL3 at level E + 1 whose digit-2 child is the watched edge.
    for (u64 j = 0; j < 32; ++j) L.setup.push_back(T | u64{1} << (8 * E) | j);
    L.base = T | u64{2} << (8 * E);
  }
  L.setup.push_back(L.base);
  return L;
}

// Branch kinds by child count at the root (no skip prefix): 3/4, 7/8 and
// 191/192/193, with the hysteresis on the way down.
Ladder root_ladder() {
  Ladder L{"root node", 8, 8, 7, 0xABCDEF, true, {}, {256, 1, 12}, {}, false};
  for (u64 j = 0; j < 40; ++j) L.setup.push_back(0xFF00000000000000ull | j << 20);
  L.forms = {{TAG_L3, 3, 1, 0, 0}, {TAG_L7, 7, 2, 3, 0}, {TAG_B, 192, 3, 7, 1}, {TAG_U, NEVER, 0, 192, 2}};
  return L;
}

// A level-3 edge whose keys differ in byte 1: Immediates and a width-3 leaf,
// whose 33rd key splits it into a BranchB at level 2 (a skip prefix of one
// byte); its 193rd child first wraps it under a one-child BranchL3 at level 3,
// then makes it a BranchU.
Ladder split_ladder(bool map) {
  const u64 mi = map ? 7 / 3 : 15 / 3;
  Ladder L{"split into a branch", 3, 2, 1, T | u64{2} << 24 | 1, false, {}, {256, 1, 12}, {}, true};
  for (u64 j = 0; j < 32; ++j) L.setup.push_back(T | u64{1} << 24 | j);
  L.setup.push_back(L.base);
  L.forms = {{IMM, mi, 1, 0, 0},           {linear_leaf_tag(3), 32, 2, mi, 0}, {TAG_B, 192, 3, 7, 4},
             {TAG_U, NEVER, 0, 192, 2},    {TAG_L7, 7, 2, 3, 5},               {TAG_L3, 3, 4, 0, 0}};
  return L;
}

template <bool IS_MAP>
void climb(const Ladder& L) {
  SCOPED_TRACE(L.name);
  Harness<IS_MAP> h;
  for (u64 k : L.setup) h.insert(k, value_of(k));
  int form = 0;
  u64 c = 1;
  bool wrapped = false;
  const u64 baseline = h.c.mem_used() - own_bytes(IS_MAP, L.forms[0].tag, L, c);
  auto check = [&](const char* what) {
    SCOPED_TRACE(::testing::Message() << what << " to " << c << " keys");
    const Edge* e = edge_on_path(h.c.record(), L.key(0), L.stop);
    ASSERT_NE(e, nullptr);
    const u8 tag = L.forms[form].tag;
    ASSERT_EQ(e->tag, tag == IMM ? immed_tag(L.E, c) : tag);
    wrapped = wrapped || (L.wraps && tag == TAG_U);
    ASSERT_EQ(h.c.mem_used(), baseline + own_bytes(IS_MAP, tag, L, c) + (wrapped ? 64 : 0));
    ASSERT_TRUE(h.check());
  };
  // One key more (+1) or less (-1); true when the form changed.
  auto step = [&](int dir) {
    const Form& f = L.forms[form];
    const int before = form;
    if (dir > 0) {
      h.insert(L.key(c), value_of(c));
      if (++c > f.grow_above) form = f.grow_to;
    } else {
      h.remove(L.key(--c));
      if (c < f.shrink_below) form = f.shrink_to;
    }
    check(dir > 0 ? "grown" : "shrunk");
    return form != before;
  };
  check("set up");
  for (u64 target : L.targets) {
    while (c != target && !::testing::Test::HasFatalFailure()) {
      const int dir = c < target ? 1 : -1;
      if (step(dir)) {
        for (int i = 0; i < 4; ++i) step(i % 2 ? dir : -dir);
      }
    }
  }
  for (u64 k : L.setup) h.remove(k);
  for (u64 i = 0; i < c; ++i) h.remove(L.key(i));
  ASSERT_TRUE(h.check());
  EXPECT_EQ(h.c.mem_used(), 0u);
}

template <bool IS_MAP>
void all_ladders() {
  for (unsigned E = 1; E <= 7; ++E) climb<IS_MAP>(leaf_ladder(IS_MAP, E));
  climb<IS_MAP>(root_ladder());
  climb<IS_MAP>(split_ladder(IS_MAP));
}

TEST(Ladders, SetFormsAtEveryThreshold) { all_ladders<false>(); }
TEST(Ladders, MapFormsAtEveryThreshold) { all_ladders<true>(); }

}  // namespace
}  // namespace corvale_trie
