#include <gtest/gtest.h>

#include <random>

#include "engine/convert.hpp"
#include "engine/get.hpp"
#include "hand_trie.hpp"
#include "seed.hpp"

namespace corvale_trie {
namespace {

using hand::Flavor;

// A root branch of `tag` at level 8 whose children are linear leaves of 16
// keys each under the given digits, inside a tree-state record.
struct RootFixture {
  CoreRecord rec;
  std::vector<u64> keys;

  RootFixture(u8 tag, const std::vector<u8>& digits) {
    std::vector<hand::Child> kids;
    for (u8 d : digits) {
      std::vector<u64> low;
      for (u64 i = 0; i < 16; ++i) low.push_back(i * 3);
      for (u64 k : low) keys.push_back((u64{d} << 56) | k);
      kids.push_back({d, hand::linear_leaf(rec.alloc, Flavor::Set, 1, low)});
      hand::put_skip(kids.back().edge, 1, 7, 0);
    }
    rec.root = hand::branch(rec.alloc, tag, 8, kids, keys.size());
    rec.state = RootState::Tree;
    rec.len = keys.size();
  }
  ~RootFixture() { hand::release_all(rec.alloc, Flavor::Set, rec.root, 8); }

  // The child edges in digit order, as bytes, whatever the node kind.
  std::vector<std::pair<u8, Edge>> children() const {
    std::vector<std::pair<u8, Edge>> out;
    const Edge& e = rec.root;
    switch (e.tag) {
      case TAG_L3:
        for (unsigned i = 0; i < e.ptr<BranchL3>()->count; ++i)
          out.push_back({e.ptr<BranchL3>()->digits[i], e.ptr<BranchL3>()->children[i]});
        break;
      case TAG_L7:
        for (unsigned i = 0; i < e.ptr<BranchL7>()->count; ++i)
          out.push_back({e.ptr<BranchL7>()->digits[i], e.ptr<BranchL7>()->children[i]});
        break;
      case TAG_B:
        for (unsigned d = 0; d < 256; ++d)
          if (const Edge* c = e.ptr<BranchB>()->child(static_cast<u8>(d))) out.push_back({static_cast<u8>(d), *c});
        break;
      case TAG_U:
        for (unsigned d = 0; d < 256; ++d)
          if (!e.ptr<BranchU>()->children[d].is_empty()) out.push_back({static_cast<u8>(d), e.ptr<BranchU>()->children[d]});
        break;
    }
    return out;
  }
};

void expect_same_children(const std::vector<std::pair<u8, Edge>>& a, const std::vector<std::pair<u8, Edge>>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].first, b[i].first) << i;
    EXPECT_EQ(std::memcmp(&a[i].second, &b[i].second, sizeof(Edge)), 0) << "child " << i;
  }
}

std::vector<u8> spread_digits(std::mt19937_64& rng, unsigned n) {
  std::vector<u8> d{0, 255};
  while (d.size() < n) {
    const u8 x = static_cast<u8>(rng());
    if (std::find(d.begin(), d.end(), x) == d.end()) d.push_back(x);
  }
  d.resize(n);
  std::sort(d.begin(), d.end());
  return d;
}

// Up the road L3 -> L7 -> B -> U and back down, at the thresholds, with
// counters, versions and the edge's decode bytes checked at each step.
TEST(ConvertRoad, UpAndDownAtThresholds) {
  const u64 seed = test_seed(0x5eed0003);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const std::vector<u8> all = spread_digits(rng, 193);

  // BranchL3 with 3 children -> BranchL7: a byte copy, version included.
  {
    RootFixture f(TAG_L3, {0, 17, 255});
    f.rec.root.ptr<BranchL3>()->version = 6;
    f.rec.root.decode[0] = 0x5A;  // decode bytes ride along unchanged
    const Edge before = f.rec.root;
    const auto kids = f.children();
    const u64 mem = f.rec.alloc.mem_used(), live = f.rec.alloc.live_nodes(), total = f.rec.alloc.total_node_allocs();
    mutate::upgrade_l3_to_l7(f.rec.alloc, f.rec.root);
    EXPECT_EQ(f.rec.root.tag, TAG_L7);
    EXPECT_EQ(std::memcmp(f.rec.root.decode, before.decode, 7), 0);
    const BranchL7* n = f.rec.root.ptr<BranchL7>();
    EXPECT_EQ(n->version, 6u);
    EXPECT_EQ(n->level, 8);
    EXPECT_EQ(n->count, 3);
    EXPECT_EQ(n->nibble_filter, (1u << 0) | (1u << 1) | (1u << 15));
    for (unsigned i = 3; i < 7; ++i) EXPECT_TRUE(n->children[i].is_empty());
    expect_same_children(f.children(), kids);
    EXPECT_EQ(f.rec.alloc.mem_used(), mem + 64);
    EXPECT_EQ(f.rec.alloc.live_nodes(), live);
    EXPECT_EQ(f.rec.alloc.total_node_allocs(), total + 1);
    f.rec.root.decode[0] = 0;
    EXPECT_EQ(verify::record_errors(f.rec, Flavor::Set), "");
  }

  // BranchL7 with 7 children over several groups (digits 0 and 255
  // included) -> BranchB, version reset to 0.
  {
    std::vector<u8> d7 = spread_digits(rng, 7);
    RootFixture f(TAG_L7, d7);
    f.rec.root.ptr<BranchL7>()->version = 8;
    const auto kids = f.children();
    const u64 mem = f.rec.alloc.mem_used(), live = f.rec.alloc.live_nodes();
    mutate::upgrade_l7_to_b(f.rec.alloc, f.rec.root);
    ASSERT_EQ(f.rec.root.tag, TAG_B);
    const BranchB* b = f.rec.root.ptr<BranchB>();
    EXPECT_EQ(b->version, 0u);
    EXPECT_EQ(b->level, 8);
    u64 sub_bytes = 0, groups = 0;
    for (unsigned g = 0; g < 8; ++g) {
      if (b->group_counts[g]) {
        sub_bytes += edge_array_bytes(b->group_counts[g]);
        ++groups;
      } else {
        EXPECT_EQ(b->subarrays[g], nullptr);
      }
    }
    expect_same_children(f.children(), kids);
    EXPECT_EQ(f.rec.alloc.mem_used(), mem + sub_bytes);  // 128 for 128
    EXPECT_EQ(f.rec.alloc.live_nodes(), live + groups);
    EXPECT_EQ(verify::record_errors(f.rec, Flavor::Set), "");
    for (u64 k : f.keys) EXPECT_TRUE(get::contains_walk(f.rec.root, k, 8));
  }

  // BranchB with 192 children -> BranchU: subarrays and node released.
  {
    std::vector<u8> d192(all.begin(), all.begin() + 192);
    RootFixture f(TAG_B, d192);
    const auto kids = f.children();
    ASSERT_EQ(verify::record_errors(f.rec, Flavor::Set), "");
    const u64 mem = f.rec.alloc.mem_used(), live = f.rec.alloc.live_nodes();
    u64 sub_bytes = 0, groups = 0;
    for (unsigned g = 0; g < 8; ++g)
      if (u16 c = f.rec.root.ptr<BranchB>()->group_counts[g]) sub_bytes += edge_array_bytes(c), ++groups;
    mutate::upgrade_b_to_u(f.rec.alloc, f.rec.root);
    ASSERT_EQ(f.rec.root.tag, TAG_U);
    EXPECT_EQ(f.rec.root.ptr<BranchU>()->version, 0u);
    expect_same_children(f.children(), kids);
    EXPECT_EQ(f.rec.alloc.mem_used(), mem - 128 - sub_bytes + 4160);
    EXPECT_EQ(f.rec.alloc.live_nodes(), live - groups);
    EXPECT_EQ(verify::record_errors(f.rec, Flavor::Set), "");

    // Remove one child by hand (191 left) -> BranchB at the edge's level.
    BranchU* u = f.rec.root.ptr<BranchU>();
    const u8 gone = d192[rng() % 192];
    hand::release_all(f.rec.alloc, Flavor::Set, u->children[gone], 7);
    std::erase_if(f.keys, [&](u64 k) { return (k >> 56) == gone; });
    f.rec.len = f.keys.size();
    const auto kids191 = f.children();
    ASSERT_EQ(kids191.size(), 191u);
    const u64 mem2 = f.rec.alloc.mem_used();
    mutate::downgrade_u_to_b(f.rec.alloc, f.rec.root, 8);
    ASSERT_EQ(f.rec.root.tag, TAG_B);
    EXPECT_EQ(f.rec.root.ptr<BranchB>()->level, 8);
    expect_same_children(f.children(), kids191);
    u64 sub2 = 0;
    for (unsigned g = 0; g < 8; ++g)
      if (u16 c = f.rec.root.ptr<BranchB>()->group_counts[g]) sub2 += edge_array_bytes(c);
    EXPECT_EQ(f.rec.alloc.mem_used(), mem2 - 4160 + 128 + sub2);
    EXPECT_EQ(verify::record_errors(f.rec, Flavor::Set), "");
    for (u64 k : f.keys) EXPECT_TRUE(get::contains_walk(f.rec.root, k, 8));
  }

  // BranchB with 6 children -> BranchL7; BranchL7 with 2 -> BranchL3.
  {
    std::vector<u8> d6 = spread_digits(rng, 6);
    RootFixture f(TAG_B, d6);
    f.rec.root.ptr<BranchB>()->version = 4;
    const auto kids = f.children();
    const u64 live = f.rec.alloc.live_nodes();
    unsigned groups = 0;
    for (unsigned g = 0; g < 8; ++g) groups += f.rec.root.ptr<BranchB>()->group_counts[g] != 0;
    mutate::downgrade_b_to_l7(f.rec.alloc, f.rec.root);
    ASSERT_EQ(f.rec.root.tag, TAG_L7);
    const BranchL7* n = f.rec.root.ptr<BranchL7>();
    EXPECT_EQ(n->count, 6);
    EXPECT_EQ(n->version, 0u);
    EXPECT_EQ(n->level, 8);
    u16 filter = 0;
    for (u8 d : d6) filter |= static_cast<u16>(1u << (d & 15));
    EXPECT_EQ(n->nibble_filter, filter);
    EXPECT_EQ(n->digits[6], 0);
    EXPECT_EQ(n->digits[7], 0);
    expect_same_children(f.children(), kids);
    EXPECT_EQ(f.rec.alloc.live_nodes(), live - groups);
    EXPECT_EQ(verify::record_errors(f.rec, Flavor::Set), "");
  }
  {
    RootFixture f(TAG_L7, {0, 255});
    f.rec.root.ptr<BranchL7>()->version = 12;
    const auto kids = f.children();
    const u64 mem = f.rec.alloc.mem_used();
    mutate::downgrade_l7_to_l3(f.rec.alloc, f.rec.root);
    ASSERT_EQ(f.rec.root.tag, TAG_L3);
    EXPECT_EQ(f.rec.root.ptr<BranchL3>()->version, 12u);
    EXPECT_EQ(f.rec.root.ptr<BranchL3>()->count, 2);
    expect_same_children(f.children(), kids);
    EXPECT_EQ(f.rec.alloc.mem_used(), mem - 64);
    EXPECT_EQ(verify::record_errors(f.rec, Flavor::Set), "");
  }
}

// Random child sets driven up and down the road, map flavour too, under a
// skip-prefixed edge: after each step every key is found with its value,
// the edge's decode bytes are unchanged, and verify() passes wherever the
// node's child count is one its kind may hold.
TEST(ConvertRoad, RandomRoundTrips) {
  const u64 seed = test_seed(0x5eed0004);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 24; ++round) {
    const Flavor f = round % 2 ? Flavor::Map : Flavor::Set;
    // A level-4 node under a level-6 edge (skip prefix in bytes 4 and 5).
    const unsigned n = round % 4 == 3 ? 192 : 2 + rng() % 6;
    std::vector<u64> keys;
    const u64 top = rng() & ~BYTE_MASK_TABLE[4];
    for (u8 d : spread_digits(rng, n))
      for (unsigned j = 0; j < (n == 192 ? 2 : 40); ++j) keys.push_back(top | (u64{d} << 24) | (rng() & 0xFFFF));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    NodeAlloc a;
    Edge e = hand::bulk_build(a, f, keys.data(), keys.size(), 6).edge;
    ASSERT_TRUE(is_branch_tag(e.tag));
    ASSERT_EQ(e.tag == TAG_B ? e.ptr<BranchB>()->level : e.ptr<BranchL3>()->level, 4);
    const Edge start = e;
    auto check = [&](const Edge& at, unsigned level, const char* step, bool counts_valid,
                     bool same_decode = true) {
      if (counts_valid) {
        EXPECT_EQ(verify::subtree_errors(at, static_cast<u8>(level), top, f), "") << step;
      }
      for (u64 k : keys) {
        if (f == Flavor::Set) {
          ASSERT_TRUE(get::contains_walk(at, k, static_cast<u8>(level))) << step;
        } else {
          const u64* s = get::locate_slot(&at, k, static_cast<u8>(level));
          ASSERT_NE(s, nullptr) << step;
          ASSERT_EQ(*s, hand::value_of(k)) << step;
        }
      }
      if (same_decode) {
        EXPECT_EQ(std::memcmp(at.decode, start.decode, 7), 0) << step;
      }
    };
    check(e, 6, "built", true);
    const u64 live0 = a.live_nodes();
    if (n == 192) {
      ASSERT_EQ(e.tag, TAG_B);
      // A skip-prefixed BranchB is wrapped one level up before it becomes a U.
      mutate::wrap_skip_level(a, e, 5, 6, keys.size());
      Edge& inner = e.ptr<BranchL3>()->children[0];
      mutate::upgrade_b_to_u(a, inner);
      check(e, 6, "wrap + B -> U", true, false);
      mutate::downgrade_u_to_b(a, inner, 4);
      check(e, 6, "U -> B", true, false);
      Edge moved = inner;
      mutate::free_branch_node(a, e.ptr<BranchL3>(), true);
      std::memcpy(moved.decode + 4, start.decode + 4, 2);  // the prefix goes back into the edge
      e = moved;
      check(e, 6, "unwrapped", true);
    } else {
      if (e.tag == TAG_L3) {
        mutate::upgrade_l3_to_l7(a, e);
        check(e, 6, "L3 -> L7", n >= 3);
      }
      mutate::upgrade_l7_to_b(a, e);
      check(e, 6, "L7 -> B", n == 7);
      mutate::downgrade_b_to_l7(a, e);
      check(e, 6, "B -> L7", n >= 3);
      if (n <= 2) {
        mutate::downgrade_l7_to_l3(a, e);
        check(e, 6, "L7 -> L3", true);
      }
    }
    EXPECT_EQ(a.live_nodes(), live0);
    hand::release_all(a, f, e, 6);
    EXPECT_EQ(a.mem_used(), 0u);
    EXPECT_EQ(a.live_nodes(), 0u);
  }
}

// wrap_skip_level at several (new level, edge level) pairs over several
// subtree kinds; the keys stay reachable and the edge bytes split as stated.
TEST(ConvertWrap, SplitsTheSkipPrefix) {
  struct Case {
    unsigned E, L;     // edge level, new node level
    unsigned shape;    // 0 branch at level 2, 1 bitmap leaf, 2 width-2 leaf
  };
  const Case cases[] = {{5, 4, 0}, {5, 5, 0}, {7, 3, 0}, {7, 7, 0}, {3, 2, 1}, {7, 5, 1}, {6, 3, 2}, {4, 4, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "E " << c.E << " L " << c.L << " shape " << c.shape);
    for (Flavor f : {Flavor::Set, Flavor::Map}) {
      NodeAlloc a;
      const u64 top = 0x1122334455667788ull & ~BYTE_MASK_TABLE[c.E];
      const u64 mid = 0x00A1B2C3D4E5F600ull & BYTE_MASK_TABLE[c.E];
      std::vector<u64> keys;
      if (c.shape == 0)
        for (u64 d : {3, 9, 200}) for (u64 b = 0; b < 20; ++b) keys.push_back(top | (mid & ~u64{0xFFFF}) | (d << 8) | b);
      else if (c.shape == 1)
        for (u64 b = 0; b < 200; ++b) keys.push_back(top | (mid & ~u64{0xFF}) | b);
      else
        for (u64 b = 0; b < 30; ++b) keys.push_back(top | (mid & ~u64{0xFFFF}) | (b * 2000));
      Edge e = hand::bulk_build(a, f, keys.data(), keys.size(), c.E).edge;
      ASSERT_EQ(verify::subtree_errors(e, c.E, top, f), "");
      const Edge old = e;
      const u64 mem = a.mem_used(), live = a.live_nodes();
      mutate::wrap_skip_level(a, e, c.L, c.E, keys.size());
      ASSERT_EQ(e.tag, TAG_L3);
      const BranchL3* n = e.ptr<BranchL3>();
      EXPECT_EQ(n->count, 1);
      EXPECT_EQ(n->level, c.L);
      EXPECT_EQ(n->version, 0u);
      EXPECT_EQ(n->digits[0], old.decode[c.L - 1]);
      EXPECT_EQ(n->nibble_filter, 1u << (old.decode[c.L - 1] & 15));
      const Edge& child = n->children[0];
      EXPECT_EQ(child.payload, old.payload);
      EXPECT_EQ(child.tag, old.tag);
      for (unsigned i = 0; i < 7; ++i) {
        EXPECT_EQ(child.decode[i], i + 1 < c.L ? old.decode[i] : 0) << "child byte " << i;
        const u8 want = i < c.L ? static_cast<u8>((keys.size() - 1) >> (8 * i)) : i < c.E ? old.decode[i] : 0;
        EXPECT_EQ(e.decode[i], want) << "edge byte " << i;
      }
      EXPECT_EQ(a.mem_used(), mem + 64);
      EXPECT_EQ(a.live_nodes(), live + 1);
      EXPECT_EQ(verify::subtree_errors(e, c.E, top, f), "");
      hand::release_all(a, f, e, c.E);
      EXPECT_EQ(a.mem_used(), 0u);
    }
  }
}

TEST(ConvertSlots, InsertAndRemoveShiftTheRow) {
  BranchL7 n{};
  auto child = [](u64 tagval) {
    Edge e;
    e.payload = tagval;
    e.tag = 0x10;
    return e;
  };
  n.digits[0] = 10;
  n.children[0] = child(10);
  n.digits[1] = 20;
  n.children[1] = child(20);
  unsigned count = 2;
  EXPECT_EQ(mutate::linear_insert_slot(n.digits, n.children, 7, count, 5), 0u);  // below all
  EXPECT_TRUE(n.children[0].is_empty());
  n.children[0] = child(5);
  ++count;
  EXPECT_EQ(mutate::linear_insert_slot(n.digits, n.children, 7, count, 30), 3u);  // above all
  n.children[3] = child(30);
  ++count;
  EXPECT_EQ(mutate::linear_insert_slot(n.digits, n.children, 7, count, 15), 2u);  // between
  n.children[2] = child(15);
  ++count;
  const u8 want[] = {5, 10, 15, 20, 30};
  for (unsigned i = 0; i < 5; ++i) {
    EXPECT_EQ(n.digits[i], want[i]);
    EXPECT_EQ(n.children[i].payload, want[i]);
  }
  count = mutate::linear_remove_slot(n.digits, n.children, 7, count, 0);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(n.digits[0], 10);
  EXPECT_EQ(n.digits[4], 0);
  EXPECT_TRUE(n.children[4].is_empty());
  count = mutate::linear_remove_slot(n.digits, n.children, 7, count, 3);  // the last one
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(n.digits[3], 0);
  EXPECT_TRUE(n.children[3].is_empty());
  EXPECT_EQ(n.children[2].payload, 20u);

  // A full BranchL3 row: the insert position is still reported, shifting
  // stops at the third slot.
  BranchL3 l3{};
  l3.digits[0] = 1;
  l3.digits[1] = 2;
  EXPECT_EQ(mutate::linear_insert_slot(l3.digits, l3.children, 3, 2, 3), 2u);
}

TEST(ConvertSlots, FreeBranchNodeCounts) {
  NodeAlloc a;
  void* l3 = a.make<BranchL3>();
  void* l7 = a.make<BranchL7>();
  EXPECT_EQ(a.mem_used(), 192u);
  mutate::free_branch_node(a, l3, true);
  EXPECT_EQ(a.mem_used(), 128u);
  mutate::free_branch_node(a, l7, false);
  EXPECT_EQ(a.mem_used(), 0u);
  EXPECT_EQ(a.live_nodes(), 0u);
  EXPECT_EQ(a.total_node_allocs(), 2u);
}

TEST(ConvertDeathTest, BrokenInputsStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  NodeAlloc a;
  Edge null_l3;
  null_l3.tag = TAG_L3;
  EXPECT_DEATH(mutate::upgrade_l3_to_l7(a, null_l3), "panicked");
  EXPECT_DEATH(mutate::free_branch_node(a, nullptr, true), "panicked");
  u8 digits[8] = {};
  Edge children[3];
  EXPECT_DEATH(mutate::linear_insert_slot(digits, children, 3, 9, 1), "out of range");
}

}  // namespace
}  // namespace corvale_trie
