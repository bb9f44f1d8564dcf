#include <gtest/gtest.h>

#include <random>
#include <set>

#include "engine/get.hpp"
#include "hand_trie.hpp"
#include "seed.hpp"

namespace corvale_trie {
namespace {

using hand::Flavor;
constexpr u64 kMax = ~u64{0};

// Both walks against a sorted-set model over hand-built canonical tries of
// every key shape; every tree is checked by verify() first.
TEST(GetLookup, RandomTriesAgreeWithModel) {
  const u64 seed = test_seed(0x5eed0005);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::map<u8, u64> seen;
  for (int round = 0; round < 72; ++round) {
    const Flavor f = round % 2 ? Flavor::Map : Flavor::Set;
    const size_t n = 31 + rng() % (round % 3 == 0 ? 3000 : 400);
    hand::HandTree t(f, hand::sample_keys(rng, round / 2, n));
    ASSERT_EQ(t.errors(), "") << "round " << round;
    hand::census(t.rec.root, ROOT_LEVEL, seen);
    const std::set<u64> model(t.keys.begin(), t.keys.end());
    auto probe = [&](u64 k) {
      const bool want = model.count(k) != 0;
      if (f == Flavor::Set) {
        ASSERT_EQ(get::contains_walk(t.rec.root, k, ROOT_LEVEL), want) << std::hex << k;
      } else {
        const u64* slot = get::locate_slot(&t.rec.root, k, ROOT_LEVEL);
        ASSERT_EQ(slot != nullptr, want) << std::hex << k;
        if (slot) {
          ASSERT_EQ(*slot, hand::value_of(k)) << std::hex << k;
        }
      }
    };
    for (u64 k : t.keys) {
      probe(k);
      probe(k + 1);
      probe(k - 1);
      probe(k ^ (u64{1} << (rng() % 64)));
    }
    for (int i = 0; i < 200; ++i) probe(rng());
    probe(0);
    probe(kMax);
  }
  // Every edge kind took part.
  for (u8 tag : {TAG_L3, TAG_L7, TAG_B, TAG_U, TAG_BITMAP_LEAF, u8{0x10}, u8{5}, u8{6}, u8{7}, u8{8}, u8{9}, u8{10}, u8{11}})
    EXPECT_GT(seen[tag], 0u) << "edge kind " << int(tag) << " never built";
}

// Writing through a slot changes what the next lookup reads, for every map
// leaf form (immediate payload, value array, linear leaf, bitmap subarray).
TEST(GetLookup, MapSlotsAreTheStoredValueWords) {
  std::vector<u64> keys;
  for (u64 i = 0; i < 40; ++i) keys.push_back(0x0100000000000000ull + (i << 32));  // one-key immediates
  for (u64 i = 0; i < 3; ++i) keys.push_back(0x0200000000000000ull + i);          // small runs
  for (u64 i = 0; i < 20; ++i) keys.push_back(0x0300000000000000ull + 3 * i);     // linear leaf
  for (u64 i = 0; i < 100; ++i) keys.push_back(0x0400000000000000ull + 2 * i);    // bitmap leaf
  keys.push_back(0);
  keys.push_back(kMax);
  hand::HandTree t(Flavor::Map, keys);
  ASSERT_EQ(t.errors(), "");
  for (u64 k : t.keys) {
    u64* slot = get::locate_slot(&t.rec.root, k, ROOT_LEVEL);
    ASSERT_NE(slot, nullptr);
    *slot = ~k;
    EXPECT_EQ(*get::locate_slot(&t.rec.root, k, ROOT_LEVEL), ~k);
  }
}

TEST(GetLookup, OneKeyMapImmediateSlotIsTheEdgePayload) {
  NodeAlloc a;
  Edge e = hand::map_immed(a, 3, {0x123456});
  u64* slot = get::locate_slot(&e, 0xAB123456, 3);  // bytes above the edge's level do not count
  ASSERT_EQ(slot, &e.payload);
  *slot = 99;
  EXPECT_EQ(e.payload, 99u);
  EXPECT_EQ(get::locate_slot(&e, 0x123457, 3), nullptr);
}

TEST(GetLookup, EmptyAndInvalidTagsAreAbsent) {
  Edge e;
  for (u64 k : {u64{0}, u64{1}, kMax}) {
    EXPECT_FALSE(get::contains_walk(e, k, 8));
    EXPECT_EQ(get::locate_slot(&e, k, 8), nullptr);
  }
  for (u8 tag : {u8{13}, u8{14}, u8{15}, u8{0x28}, u8{0x18 + 0x10}, u8{0x7E}, u8{128}, u8{255}}) {
    Edge bad;
    bad.tag = tag;
    bad.payload = 0;
    EXPECT_FALSE(get::contains_walk(bad, 0, 2)) << int(tag);
    EXPECT_EQ(get::locate_slot(&bad, 0, 2), nullptr) << int(tag);
  }
  // A map immediate tag whose keys could not fit the decode bytes is absent too.
  Edge wide;
  wide.tag = immed_tag(2, 5);
  EXPECT_EQ(get::locate_slot(&wide, 0, 2), nullptr);
}

TEST(GetLookup, SetImmediates) {
  // Fifteen one-byte keys fill bytes 0..14; the last one sits in decode byte 6.
  std::vector<u64> k15;
  for (u64 i = 0; i < 15; ++i) k15.push_back(i * 17);
  Edge e = hand::set_immed(1, k15);
  EXPECT_EQ(e.tag, 0x1E);
  for (u64 b = 0; b < 256; ++b) EXPECT_EQ(get::contains_walk(e, 0xFF00 | b, 1), b % 17 == 0 && b <= 238) << b;
  // Width 7, two keys: the second one runs from the payload into decode.
  Edge w7 = hand::set_immed(7, {0x00000000000001, 0xFFFFFFFFFFFFFF});
  EXPECT_TRUE(get::contains_walk(w7, 0xAAFFFFFFFFFFFFFF, 7));
  EXPECT_TRUE(get::contains_walk(w7, 1, 7));
  EXPECT_FALSE(get::contains_walk(w7, 0xFFFFFFFFFFFFFE, 7));
  // One key: compared on its low W bytes only.
  Edge one = hand::set_immed(2, {0xBEEF});
  one.payload = 0x1234BEEF;
  EXPECT_TRUE(get::contains_walk(one, 0xBEEF, 2));
  EXPECT_FALSE(get::contains_walk(one, 0xBEEE, 2));
}

TEST(GetLookup, FullEdgeHoldsItsWholeRange) {
  Edge full = hand::full_edge();
  for (u64 b = 0; b < 256; ++b) EXPECT_TRUE(get::contains_walk(full, (u64{0x77} << 8) | b, 1));
}

TEST(GetLookupDeathTest, MapWalkStopsAtFullEdge) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Edge full = hand::full_edge();
  EXPECT_DEATH((void)get::locate_slot(&full, 5, 1), "full-corvale edges are set-flavor only");
}

// A skip-compressed BranchL3 at level 5 under an edge at level 7: only key
// bytes 5 and 6 are compared with the stored prefix.
TEST(GetLookup, SkipPrefixOfBranchComparesOnlyItsBytes) {
  NodeAlloc a;
  const u64 k1 = 0x00'A6'A5'04'00'00'00'01ull;  // bytes 6,5 = A6,A5; digit at level 5 (byte 4) = 04
  const u64 k2 = 0x00'A6'A5'09'00'00'00'02ull;
  Edge c1 = hand::set_immed(4, {k1 & 0xFFFFFFFF});
  Edge c2 = hand::set_immed(4, {k2 & 0xFFFFFFFF});
  Edge e = hand::branch(a, TAG_L3, 5, {{0x04, c1}, {0x09, c2}}, 2);
  hand::put_skip(e, 5, 7, k1);
  EXPECT_EQ(verify::subtree_errors(e, 7, 0, Flavor::Set), "");
  EXPECT_TRUE(get::contains_walk(e, k1, 7));
  EXPECT_TRUE(get::contains_walk(e, k2, 7));
  EXPECT_TRUE(get::contains_walk(e, k1 | (u64{0xEE} << 56), 7));  // byte 7 is above the edge
  EXPECT_FALSE(get::contains_walk(e, k1 ^ (u64{1} << 40), 7));    // byte 5 differs
  EXPECT_FALSE(get::contains_walk(e, k1 ^ (u64{1} << 48), 7));    // byte 6 differs
  hand::release_all(a, Flavor::Set, e, 7);
  EXPECT_EQ(a.mem_used(), 0u);
}

// Digit 0x13 shares its low nibble with present digit 0x03 of a BranchL7.
TEST(GetLookup, NibbleCollisionIsStillAbsent) {
  NodeAlloc a;
  std::vector<hand::Child> kids;
  for (u8 d : {0x00, 0x03, 0x21, 0x45, 0x80, 0xFE}) kids.push_back({d, hand::set_immed(1, {d})});
  for (Flavor f : {Flavor::Set, Flavor::Map}) {
    std::vector<hand::Child> k2 = kids;
    if (f == Flavor::Map)
      for (auto& c : k2) c.edge = hand::map_immed(a, 1, {c.digit});
    Edge e = hand::branch(a, TAG_L7, 2, k2, k2.size());
    auto present = [&](u64 k) {
      return f == Flavor::Set ? get::contains_walk(e, k, 2) : get::locate_slot(&e, k, 2) != nullptr;
    };
    for (const auto& c : kids) EXPECT_TRUE(present((u64{c.digit} << 8) | c.digit));
    EXPECT_FALSE(present(0x1313));  // nibble 3 is set, digit 0x13 is not there
    EXPECT_FALSE(present(0x0202));  // nibble 2 is clear
    EXPECT_FALSE(present(0x0304));  // right digit, wrong low byte
    hand::release_all(a, f, e, 2);
  }
  EXPECT_EQ(a.mem_used(), 0u);
}

// A BitmapLeaf under a level-3 edge: key bytes 1 and 2 must match its prefix.
TEST(GetLookup, BitmapLeafSkipPrefix) {
  NodeAlloc a;
  std::vector<u64> low;
  for (u64 b = 0; b < 256; b += 3) low.push_back(b);
  for (Flavor f : {Flavor::Set, Flavor::Map}) {
    Edge e = hand::bitmap_leaf(a, f, low);
    hand::put_skip(e, 1, 3, 0x00BEEF00);
    EXPECT_EQ(verify::subtree_errors(e, 3, 0, f), "");
    auto present = [&](u64 k) {
      return f == Flavor::Set ? get::contains_walk(e, k, 3) : get::locate_slot(&e, k, 3) != nullptr;
    };
    EXPECT_TRUE(present(0xBEEF00));
    EXPECT_TRUE(present(0xBEEFFF));
    EXPECT_FALSE(present(0xBEEF01));
    EXPECT_FALSE(present(0xBEEE00));  // byte 1 differs
    EXPECT_FALSE(present(0xBFEF00));  // byte 2 differs
    hand::release_all(a, f, e, 3);
  }
}

// A map BitmapLeaf whose group has its bit set but no value subarray: absent.
TEST(GetLookup, MapBitmapLeafWithoutSubarrayIsAbsent) {
  NodeAlloc a;
  Edge e = hand::bitmap_leaf(a, Flavor::Map, {1, 2, 40});
  auto* leaf = e.ptr<MapBitmapLeaf>();
  u64* saved = leaf->subarrays[1];
  leaf->subarrays[1] = nullptr;
  EXPECT_EQ(get::locate_slot(&e, 40, 1), nullptr);
  EXPECT_NE(get::locate_slot(&e, 2, 1), nullptr);
  leaf->subarrays[1] = saved;
  hand::release_all(a, Flavor::Map, e, 1);
}

// A chain of BranchU nodes from level 8 down to level 2 ends at the level-1
// edge chosen by key bytes 7 down to 1.
TEST(GetLookup, BranchUChain) {
  NodeAlloc a;
  const u64 key = 0xFFEEDDCCBBAA9988ull;
  Edge e = hand::set_immed(1, {0x88});
  for (unsigned L = 2; L <= 8; ++L) {
    auto* u = a.make<BranchU>();
    u->children[digit_at(key, L)] = e;
    Edge up;
    up.set_ptr(u);
    up.tag = TAG_U;
    e = up;
  }
  EXPECT_TRUE(get::contains_walk(e, key, 8));
  for (unsigned byte = 0; byte < 8; ++byte)
    EXPECT_FALSE(get::contains_walk(e, key ^ (u64{1} << (8 * byte)), 8)) << byte;
  for (unsigned L = 8; L >= 2; --L) {
    auto* u = e.ptr<BranchU>();
    Edge next = u->children[digit_at(key, L)];
    a.destroy(u);
    e = next;
  }
  EXPECT_EQ(a.live_nodes(), 0u);
}

// Linear leaves of every width under skip prefixes, keys 0 and 2**64-1.
TEST(GetLookup, LinearLeavesOfEveryWidth) {
  NodeAlloc a;
  for (unsigned w = 1; w <= 7; ++w) {
    for (Flavor f : {Flavor::Set, Flavor::Map}) {
      for (u64 top : {u64{0}, kMax}) {
        std::vector<u64> low;
        const u64 m = BYTE_MASK_TABLE[w];
        for (u64 i = 0; i < (w == 1 ? 25u : 32u); ++i) low.push_back((top & m) == 0 ? i * (m / 40) : m - i * (m / 40));
        std::sort(low.begin(), low.end());
        Edge e = hand::linear_leaf(a, f, w, low);
        hand::put_skip(e, w, 7, top);
        EXPECT_EQ(verify::subtree_errors(e, 7, top, f), "") << w;
        for (u64 k : low) {
          const u64 full = (top & ~m) | k;
          const bool found = f == Flavor::Set ? get::contains_walk(e, full, 7) : get::locate_slot(&e, full, 7) != nullptr;
          EXPECT_TRUE(found) << w << " " << std::hex << full;
        }
        if (w < 7) {
          const u64 other = (top ^ (u64{1} << (8 * w))) | low[0];
          EXPECT_FALSE(get::contains_walk(e, other, 7));
        }
        hand::release_all(a, f, e, 7);
      }
    }
  }
  EXPECT_EQ(a.mem_used(), 0u);
}

}  // namespace
}  // namespace corvale_trie
