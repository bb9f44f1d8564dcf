// Leaf search primitives: every search regime against std::lower_bound, the
// byte-lane compare, and the bitmap scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "engine/bits.hpp"
#include "engine/leaf.hpp"

namespace corvale_trie {
namespace leaf {
void PrintTo(const LocateResult& r, std::ostream* os) {
  *os << (r.found ? "found at " : "absent, insert at ") << r.index;
}
}  // namespace leaf
namespace {

constexpr u64 kSeed = 0x1eaf5eed;

// Keys packed into a heap block of exactly n * W bytes, so that a sanitizer
// build catches any read past the last key.
struct Packed {
  std::unique_ptr<u8[]> bytes;
  u64 n = 0;
  unsigned width = 0;

  Packed(const std::vector<u64>& keys, unsigned w)
      : bytes(new u8[keys.size() * w]), n(keys.size()), width(w) {
    for (u64 i = 0; i < n; ++i) leaf::set_key_at(bytes.get(), w, i, keys[i]);
  }
  const u8* data() const { return bytes.get(); }
};

u64 width_max(unsigned w) { return BYTE_MASK_TABLE[w]; }

// n distinct ascending keys of width w drawn by one of several shapes.
std::vector<u64> make_keys(std::mt19937_64& rng, unsigned w, u64 n, int shape) {
  const u64 max = width_max(w);
  std::set<u64> s;
  if (shape == 1 && n >= 1) {
    s.insert(0);
    if (n > 1) s.insert(max);
  }
  const u64 base = rng() & max;
  const u64 spread = std::min<u64>(max, 4 * n + 8);
  u64 attempts = 0;
  while (s.size() < n) {
    u64 k = 0;
    // Small shapes (a 5-value byte alphabet at width 1) run dry: fill up
    // with uniform keys.
    switch (++attempts > 64 * n ? 0 : shape) {
      case 0:
      case 1:
        k = rng() & max;
        break;
      case 2:  // a cluster, possibly touching the top of the range
        k = std::min(max, base + rng() % (spread + 1));
        break;
      default: {  // every byte 0, 1, 0x7F, 0x80 or 0xFF: byte-order traps
        static constexpr u8 choices[] = {0, 1, 0x7F, 0x80, 0xFF};
        for (unsigned b = 0; b < w; ++b) k |= u64{choices[rng() % 5]} << (8 * b);
        break;
      }
    }
    s.insert(k);
  }
  return {s.begin(), s.end()};
}

template <unsigned W>
void check_width(std::mt19937_64& rng) {
  const u64 max = width_max(W);
  for (u64 n = 0; n <= 40; ++n) {
    for (int shape = 0; shape < 4; ++shape) {
      for (int trial = 0; trial < 3; ++trial) {
        const auto keys = make_keys(rng, W, n, shape);
        const Packed packed(keys, W);
        std::vector<u64> queries = {0, max};
        for (u64 k : keys) {
          queries.push_back(k);
          if (k > 0) queries.push_back(k - 1);
          if (k < max) queries.push_back(k + 1);
        }
        for (int r = 0; r < 6; ++r) queries.push_back(rng() & max);
        for (u64 q : queries) {
          SCOPED_TRACE(testing::Message() << "seed " << kSeed << " W " << W << " n " << n
                                          << " shape " << shape << " query " << q);
          const u64 expect = static_cast<u64>(std::lower_bound(keys.begin(), keys.end(), q) -
                                              keys.begin());
          const bool present = expect < n && keys[expect] == q;
          EXPECT_EQ(leaf::lower_bound_fixed<W>(packed.data(), n, q), expect);
          EXPECT_EQ(leaf::locate(packed.data(), n, W, q), (leaf::LocateResult{present, expect}));
          // search ignores everything above the low W bytes
          const u64 noisy = q | (W < 8 ? (rng() << (8 * W)) : 0);
          const auto found = leaf::search(packed.data(), n, W, noisy);
          EXPECT_EQ(found, present ? std::optional<u64>(expect) : std::nullopt);
          if (testing::Test::HasFailure()) return;
        }
      }
    }
  }
}

TEST(LeafSearch, EveryRegimeMatchesStdLowerBound) {
  std::mt19937_64 rng(kSeed);
  check_width<1>(rng);
  check_width<2>(rng);
  check_width<3>(rng);
  check_width<4>(rng);
  check_width<5>(rng);
  check_width<6>(rng);
  check_width<7>(rng);
}

TEST(LeafSearch, KeyLoadsAndStoresAreLittleEndianPerWidth) {
  std::mt19937_64 rng(kSeed + 1);
  for (unsigned w = 1; w <= 7; ++w) {
    for (int t = 0; t < 200; ++t) {
      u8 buf[3 * 7 + 8];
      std::memset(buf, 0xA5, sizeof buf);
      const u64 key = rng();
      leaf::set_key_at(buf, w, 1, key);
      for (unsigned b = 0; b < w; ++b) EXPECT_EQ(buf[w + b], static_cast<u8>(key >> (8 * b)));
      // neighbours untouched
      for (unsigned b = 0; b < w; ++b) EXPECT_EQ(buf[b], 0xA5);
      EXPECT_EQ(buf[2 * w], 0xA5);
      EXPECT_EQ(leaf::key_at(buf, w, 1), key & width_max(w));
    }
  }
}

TEST(LeafSearch, DocumentedSmallCases) {
  const Packed p1({10, 20, 30}, 1);
  EXPECT_EQ(leaf::lower_bound_fixed<1>(p1.data(), 3, 5), 0u);
  EXPECT_EQ(leaf::lower_bound_fixed<1>(p1.data(), 3, 10), 0u);
  EXPECT_EQ(leaf::lower_bound_fixed<1>(p1.data(), 3, 25), 2u);
  EXPECT_EQ(leaf::lower_bound_fixed<1>(p1.data(), 3, 31), 3u);
  EXPECT_EQ(leaf::locate(p1.data(), 3, 1, 20), (leaf::LocateResult{true, 1}));
  EXPECT_EQ(leaf::locate(p1.data(), 3, 1, 31), (leaf::LocateResult{false, 3}));

  // 3-byte keys compare as integers, not from the lowest byte up.
  const Packed p3({255, 65536}, 3);
  EXPECT_EQ(leaf::lower_bound_fixed<3>(p3.data(), 2, 65535), 1u);
  EXPECT_EQ(leaf::search(p3.data(), 2, 3, 65535), std::nullopt);
  EXPECT_EQ(leaf::search(p3.data(), 2, 3, 65536), std::optional<u64>(1));

  // Empty arrays are never read.
  EXPECT_EQ(leaf::lower_bound_fixed<5>(nullptr, 0, 7), 0u);
  EXPECT_EQ(leaf::locate(nullptr, 0, 4, 7), (leaf::LocateResult{false, 0}));
  EXPECT_EQ(leaf::search(nullptr, 0, 2, 7), std::nullopt);
}

TEST(LeafSearch, WidthOneRegimeBoundariesAgree) {
  // The same 17 keys cut to 12, 13, 16 and 17: the prefixes cross the
  // halving / loop-scan / halving boundaries and must agree on every key.
  std::vector<u64> keys;
  for (u64 i = 0; i < 17; ++i) keys.push_back(3 + 14 * i);
  for (u64 n : {12u, 13u, 16u, 17u}) {
    const std::vector<u64> prefix(keys.begin(), keys.begin() + n);
    const Packed p(prefix, 1);
    for (u64 q = 0; q < 256; ++q) {
      const u64 expect = static_cast<u64>(std::lower_bound(prefix.begin(), prefix.end(), q) -
                                          prefix.begin());
      ASSERT_EQ(leaf::lower_bound_fixed<1>(p.data(), n, q), expect) << "n " << n << " q " << q;
    }
  }
}

TEST(LeafSearch, SearchIgnoresHighBytesAndUsesLaneCompares) {
  const Packed p2({0x0102, 0x0304, 0xFFFF}, 2);
  EXPECT_EQ(leaf::search(p2.data(), 3, 2, 0xDEAD'BEEF'0000'0304ull), std::optional<u64>(1));
  EXPECT_EQ(leaf::search(p2.data(), 3, 2, ~u64{0}), std::optional<u64>(2));

  std::vector<u64> sixteen;
  for (u64 i = 0; i < 16; ++i) sixteen.push_back(i * 16 + 1);
  const Packed p16(sixteen, 1);
  EXPECT_EQ(leaf::search(p16.data(), 16, 1, 241), std::optional<u64>(15));
  EXPECT_EQ(leaf::search(p16.data(), 16, 1, 1), std::optional<u64>(0));
  EXPECT_EQ(leaf::search(p16.data(), 16, 1, 240), std::nullopt);

  const Packed p8({0, 1, 2, 3, 0x80, 0x81, 0xFE, 0xFF}, 1);
  EXPECT_EQ(leaf::search(p8.data(), 8, 1, 0x7F), std::nullopt);
  for (u64 i = 0; i < 8; ++i) {
    const u64 k = leaf::key_at(p8.data(), 1, i);
    EXPECT_EQ(leaf::search(p8.data(), 8, 1, k | 0xAB00), std::optional<u64>(i));
  }
}

TEST(LeafBits, LaneCompareHasNoFalsePositives) {
  // The borrow of a matching lane must not mark the lane above it: rows of
  // b, b^1 and b^0x80 next to each other.
  std::mt19937_64 rng(kSeed + 2);
  for (unsigned b = 0; b < 256; ++b) {
    for (int t = 0; t < 64; ++t) {
      u8 row[8];
      for (auto& x : row) {
        const u64 r = rng() % 4;
        x = r == 0 ? b : r == 1 ? (b ^ 1) : r == 2 ? (b ^ 0x80) : static_cast<u8>(rng());
      }
      const u64 lanes = bits::eq_lanes(bits::load8(row), static_cast<u8>(b));
      for (unsigned j = 0; j < 8; ++j) {
        const u64 lane = (lanes >> (8 * j)) & 0xFF;
        ASSERT_EQ(lane, row[j] == b ? 0x80u : 0u) << "b " << b << " lane " << j;
      }
    }
  }
}

TEST(LeafBits, FindByte8MatchesModel) {
  std::mt19937_64 rng(kSeed + 3);
  for (u64 n = 0; n <= 12; ++n) {
    for (int t = 0; t < 400; ++t) {
      u8 row[8];
      for (auto& x : row) x = static_cast<u8>(rng() % 6);  // many repeats
      const u8 b = static_cast<u8>(rng() % 7);
      std::optional<u64> expect;
      for (u64 j = 0; j < std::min<u64>(n, 8); ++j)
        if (row[j] == b) {
          expect = j;
          break;
        }
      ASSERT_EQ(bits::find_byte_8(row, n, b), expect) << "n " << n << " b " << int(b);
    }
  }
  const u8 row[8] = {1, 2, 3, 4, 5, 6, 9, 8};
  EXPECT_EQ(bits::find_byte_8(row, 5, 9), std::nullopt);  // only at index 6
  EXPECT_EQ(bits::find_byte_8(row, 12, 9), std::optional<u64>(6));
  EXPECT_EQ(bits::find_byte_8(row, 12, 8), std::optional<u64>(7));
  EXPECT_EQ(bits::find_byte_8(row, 3, 4), std::nullopt);
  EXPECT_EQ(bits::find_byte_8(row, 0, 1), std::nullopt);
  // n < 4 reads only the first n bytes
  const u8 one[1] = {7};
  EXPECT_EQ(bits::find_byte_8(one, 1, 7), std::optional<u64>(0));
}

TEST(LeafBits, NextSetMatchesModel) {
  std::mt19937_64 rng(kSeed + 4);
  for (int t = 0; t < 300; ++t) {
    Bitmap256 bm;
    const int density = static_cast<int>(rng() % 5);
    for (unsigned b = 0; b < 256; ++b)
      if (rng() % 64 < static_cast<u64>(density * density)) bm.set(b);
    for (unsigned i = 0; i < 256; ++i) {
      int expect = -1;
      for (unsigned j = i; j < 256; ++j)
        if (bm.test(j)) {
          expect = static_cast<int>(j);
          break;
        }
      ASSERT_EQ(bm.next_set(i), expect) << "i " << i;
    }
  }
  Bitmap256 bm;
  bm.set(63);
  EXPECT_EQ(bm.next_set(63), 63);
  EXPECT_EQ(bm.next_set(64), -1);
  EXPECT_EQ(bm.next_set(255), -1);
  bm.set(255);
  EXPECT_EQ(bm.next_set(255), 255);
  EXPECT_EQ(bm.next_set(64), 255);
}

}  // namespace
}  // namespace corvale_trie
