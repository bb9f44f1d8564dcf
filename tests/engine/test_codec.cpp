// Leaf and immediate codecs of both flavours: round trips for every width and
// count up to the capacity limits, exact block layouts and memory counts, and
// the fatal paths of impossible shapes.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "engine/codec.hpp"
#include "engine/leaf.hpp"
#include "engine/node.hpp"

namespace corvale_trie {
namespace {

constexpr u64 kSeed = 0xc0dec5eed;

u64 round16(u64 n) { return (n + 15) & ~u64{15}; }

// n keys, distinct and ascending in their low W bytes, with random bytes
// above them (the codecs must store only the low W bytes).
std::vector<u64> make_keys(std::mt19937_64& rng, unsigned w, u64 n) {
  const u64 mask = BYTE_MASK_TABLE[w];
  std::set<u64> low;
  if (n >= 1) low.insert(0);
  if (n >= 2) low.insert(mask);
  while (low.size() < n) low.insert(rng() & mask);
  std::vector<u64> keys;
  for (u64 k : low) keys.push_back(k | (rng() & ~mask));
  return keys;
}

std::vector<KeyValue> make_pairs(std::mt19937_64& rng, unsigned w, u64 n) {
  std::vector<KeyValue> pairs;
  for (u64 k : make_keys(rng, w, n)) pairs.push_back({k, rng()});
  return pairs;
}

const u8* edge_bytes(const Edge& e) { return reinterpret_cast<const u8*>(&e); }

// ---------------------------------------------------------------------------
// Set LinearLeaf

TEST(CodecSetLeaf, RoundTripEveryWidthAndCount) {
  std::mt19937_64 rng(kSeed);
  NodeAlloc alloc;
  for (unsigned w = 1; w <= 7; ++w) {
    for (u64 n = 1; n <= LINEAR_LEAF_MAX; ++n) {
      SCOPED_TRACE(testing::Message() << "seed " << kSeed << " W " << w << " n " << n);
      const auto keys = make_keys(rng, w, n);
      Edge e;
      e.payload = 0x1234;
      e.set_decode_bits(~u64{0});
      e.tag = TAG_B;
      const u64 mem_before = alloc.mem_used();
      mutate::build_leaf(alloc, e, static_cast<u8>(w), keys.data(), n);
      const u64 bytes = capacity_for(n) * w;
      EXPECT_EQ(alloc.mem_used() - mem_before, round16(bytes));
      EXPECT_EQ(e.tag, TAG_LEAF_BASE + w);
      EXPECT_EQ(e.pop(w), n);
      EXPECT_EQ(e.decode_word() & ~BYTE_MASK_TABLE[w] & BYTE_MASK_TABLE[7], 0u)
          << "no skip prefix is written";
      const u8* block = e.ptr<const u8>();
      ASSERT_NE(block, nullptr);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
      for (u64 i = 0; i < n; ++i)
        for (unsigned b = 0; b < w; ++b)
          ASSERT_EQ(block[i * w + b], static_cast<u8>(keys[i] >> (8 * b)));
      for (u64 i = n * w; i < bytes; ++i) EXPECT_EQ(block[i], 0) << "unused slot byte " << i;

      const auto back = mutate::leaf_keys(e, static_cast<u8>(w), n);
      ASSERT_EQ(back.len, n);
      for (u64 i = 0; i < n; ++i) EXPECT_EQ(back.keys[i], keys[i] & BYTE_MASK_TABLE[w]);
      // the unpacked array agrees with the leaf search over the same block
      for (u64 i = 0; i < n; ++i)
        EXPECT_EQ(leaf::search(block, n, static_cast<u8>(w), keys[i]), std::optional<u64>(i));
      alloc.release_bytes(e.ptr<void>(), bytes);
      if (HasFailure()) return;
    }
  }
  EXPECT_EQ(alloc.mem_used(), 0u);
  EXPECT_EQ(alloc.live_nodes(), 0u);
}

TEST(CodecSetLeaf, ThreeTwoByteKeys) {
  NodeAlloc alloc;
  const u64 keys[] = {0x0102, 0x0A0B, 0xFFFE};
  Edge e;
  mutate::build_leaf(alloc, e, 2, keys, 3);
  EXPECT_EQ(alloc.mem_used(), 16u);  // 8-byte block (capacity 4), class of 8 bytes
  EXPECT_EQ(e.tag, 6);
  EXPECT_EQ(e.decode[0], 2);
  EXPECT_EQ(e.decode[1], 0);
  for (unsigned i = 2; i < 7; ++i) EXPECT_EQ(e.decode[i], 0);
  const u8* b = e.ptr<const u8>();
  const u8 expect[8] = {0x02, 0x01, 0x0B, 0x0A, 0xFE, 0xFF, 0, 0};
  EXPECT_EQ(std::memcmp(b, expect, 8), 0);
  alloc.release_bytes(e.ptr<void>(), 8);
}

TEST(CodecSetLeaf, LeafKeysHaveRoomForOneMore) {
  Edge empty;
  auto none = mutate::leaf_keys(empty, 3, 0);
  EXPECT_EQ(none.len, 0u);
  none.push(5);
  EXPECT_EQ(none.len, 1u);

  std::mt19937_64 rng(kSeed + 1);
  NodeAlloc alloc;
  for (unsigned w = 1; w <= 7; ++w) {
    const u64 n = LINEAR_LEAF_MAX;
    const auto keys = make_keys(rng, w, n);
    Edge e;
    mutate::build_leaf(alloc, e, static_cast<u8>(w), keys.data(), n);
    auto lk = mutate::leaf_keys(e, static_cast<u8>(w), n);
    lk.insert_at(3, 77);  // the 33rd key fits
    EXPECT_EQ(lk.len, n + 1);
    EXPECT_EQ(lk[3], 77u);
    EXPECT_EQ(lk[4], keys[3] & BYTE_MASK_TABLE[w]);
    EXPECT_EQ(lk[n], keys[n - 1] & BYTE_MASK_TABLE[w]);
    lk.erase_at(3);
    for (u64 i = 0; i < n; ++i) EXPECT_EQ(lk[i], keys[i] & BYTE_MASK_TABLE[w]);
    alloc.release_bytes(e.ptr<void>(), capacity_for(n) * w);
  }
  mutate::LeafKeys full;
  for (u64 i = 0; i < mutate::LeafKeys::capacity(); ++i) full.push(i);
  EXPECT_DEATH(full.push(99), "capacity overflow");
}

// ---------------------------------------------------------------------------
// Set Immediate

TEST(CodecSetImmed, RoundTripEveryShape) {
  std::mt19937_64 rng(kSeed + 2);
  for (unsigned w = 1; w <= 7; ++w) {
    for (u64 n = 1; n <= set_immed_max(w); ++n) {
      for (int t = 0; t < 20; ++t) {
        SCOPED_TRACE(testing::Message() << "seed " << kSeed + 2 << " W " << w << " n " << n);
        const auto keys = make_keys(rng, w, n);
        Edge e;
        e.payload = ~u64{0};
        e.set_decode_bits(~u64{0});
        mutate::write_immed(e, static_cast<u8>(w), keys.data(), n);
        EXPECT_EQ(e.tag, immed_tag(w, static_cast<unsigned>(n)));
        EXPECT_TRUE(is_set_immed_tag(e.tag));
        const u8* bytes = edge_bytes(e);
        if (n == 1) {
          EXPECT_EQ(e.payload, keys[0]) << "one key keeps its upper bytes";
          EXPECT_EQ(e.decode_word() & BYTE_MASK_TABLE[7], 0u);
        } else {
          for (u64 i = 0; i < n; ++i)
            for (unsigned b = 0; b < w; ++b)
              ASSERT_EQ(bytes[i * w + b], static_cast<u8>(keys[i] >> (8 * b)));
          for (u64 i = n * w; i < 15; ++i) EXPECT_EQ(bytes[i], 0) << "byte " << i;
        }
        const ImmedKeys back = mutate::immed_keys(e, static_cast<u8>(immed_width(e.tag)),
                                                  static_cast<u8>(immed_count(e.tag)));
        ASSERT_EQ(back.count, n);
        for (u64 i = 0; i < 16; ++i)
          EXPECT_EQ(back.keys[i], i < n ? keys[i] & BYTE_MASK_TABLE[w] : 0u);
        if (HasFailure()) return;
      }
    }
  }
}

TEST(CodecSetImmed, DocumentedShapes) {
  u64 keys[15];
  for (u64 i = 0; i < 15; ++i) keys[i] = 3 * i + 1;
  Edge e;
  mutate::write_immed(e, 1, keys, 15);
  EXPECT_EQ(e.tag, 0x1E);
  for (unsigned i = 0; i < 15; ++i) EXPECT_EQ(edge_bytes(e)[i], 3 * i + 1);

  const u64 big = 0xFEDC'BA98'7654'3210ull;
  mutate::write_immed(e, 3, &big, 1);
  EXPECT_EQ(e.tag, 0x30);
  EXPECT_EQ(e.payload, big);
  const ImmedKeys one = mutate::immed_keys(e, 3, 1);
  EXPECT_EQ(one.count, 1u);
  EXPECT_EQ(one.keys[0], 0x54'3210u);

  const ImmedKeys none = mutate::immed_keys(e, 3, 0);
  EXPECT_EQ(none.count, 0u);
  for (u64 k : none.keys) EXPECT_EQ(k, 0u);

  const u64 eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_DEATH(mutate::write_immed(e, 2, eight, 8), "immediate capacity");
}

// ---------------------------------------------------------------------------
// Decode bytes

TEST(CodecDecode, ValueAndWriteMatchByteModel) {
  std::mt19937_64 rng(kSeed + 3);
  for (int t = 0; t < 50; ++t) {
    Edge e;
    e.payload = rng();
    e.set_decode_bits(rng());
    e.tag = static_cast<u8>(rng());
    for (u8 from = 0; from <= 7; ++from) {
      for (u8 to = from; to <= 7; ++to) {
        u64 expect = 0;
        for (int i = to - 1; i >= static_cast<int>(from); --i) expect = (expect << 8) | e.decode[i];
        ASSERT_EQ(mutate::decode_value(e, from, to), expect) << int(from) << ".." << int(to);

        const u64 key = rng();
        Edge w = e;
        mutate::write_decode(w, from, to, key);
        EXPECT_EQ(w.payload, e.payload);
        EXPECT_EQ(w.tag, e.tag);
        for (unsigned i = 0; i < 7; ++i) {
          const u8 want = (i >= from && i < to) ? static_cast<u8>(key >> (8 * i)) : e.decode[i];
          ASSERT_EQ(w.decode[i], want) << "byte " << i << " of " << int(from) << ".." << int(to);
        }
        // a written prefix reads back as the key's own bytes
        EXPECT_EQ(mutate::decode_value(w, from, to) << (8 * from),
                  key & (BYTE_MASK_TABLE[to - from] << (8 * from)));
      }
    }
  }
}

TEST(CodecDecode, DocumentedRanges) {
  Edge e;
  const u8 dec[7] = {1, 2, 3, 4, 5, 6, 7};
  std::memcpy(e.decode, dec, 7);
  e.tag = 0x55;
  EXPECT_EQ(mutate::decode_value(e, 3, 3), 0u);
  EXPECT_EQ(mutate::decode_value(e, 0, 7), 0x07'0605'0403'0201ull);
  EXPECT_EQ(mutate::decode_value(e, 7, 7), 0u);

  Edge w = e;
  mutate::write_decode(w, 1, 4, 0xAABB'CCDD'EEFF'0011ull);
  const u8 want[7] = {1, 0x00, 0xFF, 0xEE, 5, 6, 7};  // key bytes 1..3
  EXPECT_EQ(std::memcmp(w.decode, want, 7), 0);
  EXPECT_EQ(w.tag, 0x55);
  Edge same = e;
  mutate::write_decode(same, 7, 7, ~u64{0});
  EXPECT_EQ(std::memcmp(&same, &e, 16), 0);

  EXPECT_DEATH((void)mutate::decode_value(e, 2, 8), "out of range");
  EXPECT_DEATH(mutate::write_decode(w, 8, 8, 0), "out of range");
}

// ---------------------------------------------------------------------------
// Map LinearLeaf

TEST(CodecMapLeaf, RoundTripEveryWidthAndCount) {
  std::mt19937_64 rng(kSeed + 4);
  NodeAlloc alloc;
  for (unsigned w = 1; w <= 7; ++w) {
    for (u64 n = 1; n <= LINEAR_LEAF_MAX; ++n) {
      SCOPED_TRACE(testing::Message() << "seed " << kSeed + 4 << " W " << w << " n " << n);
      const auto pairs = make_pairs(rng, w, n);
      Edge e;
      e.set_decode_bits(~u64{0});
      const u64 mem_before = alloc.mem_used();
      mutate_map::build_map_leaf(alloc, e, static_cast<u8>(w), pairs.data(), n);
      const u64 cap = capacity_for(n);
      const u64 bytes = cap * (8 + w);
      EXPECT_EQ(alloc.mem_used() - mem_before, round16(bytes));
      EXPECT_EQ(e.tag, TAG_LEAF_BASE + w);
      EXPECT_EQ(e.pop(w), n);
      EXPECT_EQ(e.decode_word() & ~BYTE_MASK_TABLE[w] & BYTE_MASK_TABLE[7], 0u);
      const u8* block = e.ptr<const u8>();
      for (u64 i = 0; i < n; ++i) {
        u64 v;
        std::memcpy(&v, block + 8 * i, 8);
        ASSERT_EQ(v, pairs[i].value);
        ASSERT_EQ(leaf::key_at(block + 8 * cap, w, i), pairs[i].key & BYTE_MASK_TABLE[w]);
      }
      for (u64 i = 8 * n; i < 8 * cap; ++i) EXPECT_EQ(block[i], 0);
      for (u64 i = 8 * cap + n * w; i < bytes; ++i) EXPECT_EQ(block[i], 0);

      const auto back = mutate_map::read_map_leaf(e, static_cast<u8>(w), n);
      ASSERT_EQ(back.len, n);
      for (u64 i = 0; i < n; ++i) {
        EXPECT_EQ(back[i].key, pairs[i].key & BYTE_MASK_TABLE[w]);
        EXPECT_EQ(back[i].value, pairs[i].value);
      }
      alloc.release_bytes(e.ptr<void>(), bytes);
      if (HasFailure()) return;
    }
  }
  EXPECT_EQ(alloc.mem_used(), 0u);
}

TEST(CodecMapLeaf, DocumentedBlockSizes) {
  std::mt19937_64 rng(kSeed + 5);
  NodeAlloc alloc;
  const u64 slots[] = {0, 1, 2, 4, 4};
  for (u64 n = 1; n <= 4; ++n) {
    const auto pairs = make_pairs(rng, 2, n);
    Edge e;
    mutate_map::build_map_leaf(alloc, e, 2, pairs.data(), n);
    EXPECT_EQ(alloc.mem_used(), round16(slots[n] * 10)) << n;
    alloc.release_bytes(e.ptr<void>(), slots[n] * 10);
  }
  {  // W = 3, n = 5: 8 slots of 11 bytes, keys from byte 64
    const auto pairs = make_pairs(rng, 3, 5);
    Edge e;
    mutate_map::build_map_leaf(alloc, e, 3, pairs.data(), 5);
    EXPECT_EQ(alloc.mem_used(), 96u);  // 88 rounded up
    EXPECT_EQ(leaf::key_at(e.ptr<const u8>() + 64, 3, 4), pairs[4].key & 0xFF'FFFF);
    alloc.release_bytes(e.ptr<void>(), 88);
  }
  {  // width-1 leaf at its limit: 28 slots of 9 bytes
    const auto pairs = make_pairs(rng, 1, MAP_W1_LEAF_MAX);
    Edge e;
    mutate_map::build_map_leaf(alloc, e, 1, pairs.data(), MAP_W1_LEAF_MAX);
    EXPECT_EQ(alloc.mem_used(), 256u);  // 252 rounded up
    alloc.release_bytes(e.ptr<void>(), 252);
  }
  EXPECT_EQ(alloc.live_nodes(), 0u);

  mutate_map::LeafPairs lp = mutate_map::read_map_leaf(Edge{}, 4, 0);
  EXPECT_EQ(lp.len, 0u);
  lp.push({1, 2});
  EXPECT_EQ(lp.len, 1u);
}

// ---------------------------------------------------------------------------
// Map Immediate

TEST(CodecMapImmed, RoundTripEveryShape) {
  std::mt19937_64 rng(kSeed + 6);
  NodeAlloc alloc;
  for (unsigned w = 1; w <= 7; ++w) {
    for (u64 n = 1; n <= map_immed_max(w); ++n) {
      SCOPED_TRACE(testing::Message() << "seed " << kSeed + 6 << " W " << w << " n " << n);
      const auto pairs = make_pairs(rng, w, n);
      Edge e;
      e.payload = 99;
      e.set_decode_bits(~u64{0});
      const u64 allocs_before = alloc.total_node_allocs();
      mutate_map::write_map_immed(alloc, e, static_cast<u8>(w), pairs.data(), n);
      EXPECT_EQ(e.tag, immed_tag(w, static_cast<unsigned>(n)));
      EXPECT_TRUE(is_map_immed_tag(e.tag));
      for (u64 i = 0; i < n; ++i)
        for (unsigned b = 0; b < w; ++b)
          ASSERT_EQ(e.decode[i * w + b], static_cast<u8>(pairs[i].key >> (8 * b)));
      for (u64 i = n * w; i < 7; ++i) EXPECT_EQ(e.decode[i], 0);
      const ImmedKeys keys = mutate::immed_map_keys(e, static_cast<u8>(w), static_cast<u8>(n));
      ASSERT_EQ(keys.count, n);
      for (u64 i = 0; i < n; ++i) EXPECT_EQ(keys.keys[i], pairs[i].key & BYTE_MASK_TABLE[w]);
      if (n == 1) {
        EXPECT_EQ(e.payload, pairs[0].value);
        EXPECT_EQ(alloc.total_node_allocs(), allocs_before);
      } else {
        EXPECT_EQ(alloc.total_node_allocs(), allocs_before + 1);
        const u64* values = e.ptr<const u64>();
        for (u64 i = 0; i < n; ++i) EXPECT_EQ(values[i], pairs[i].value);
        for (u64 i = n; i < capacity_for(n); ++i) EXPECT_EQ(values[i], 0u);
        alloc.destroy_array(e.ptr<u64>(), capacity_for(n));
      }
    }
  }
  EXPECT_EQ(alloc.mem_used(), 0u);
}

TEST(CodecMapImmed, DocumentedShapes) {
  NodeAlloc alloc;
  std::vector<KeyValue> seven;
  for (u64 i = 0; i < 7; ++i) seven.push_back({0x100 + 10 * i, 1000 + i});
  Edge e;
  mutate_map::write_map_immed(alloc, e, 1, seven.data(), 7);
  EXPECT_EQ(e.tag, 0x16);
  for (unsigned i = 0; i < 7; ++i) EXPECT_EQ(e.decode[i], 10 * i);
  EXPECT_EQ(alloc.mem_used(), 64u);  // a ValueArray of 8 slots
  alloc.destroy_array(e.ptr<u64>(), 8);

  const KeyValue three[3] = {{0x0102, 7}, {0x0304, 8}, {0xFFFF, 9}};
  mutate_map::write_map_immed(alloc, e, 2, three, 3);
  EXPECT_EQ(e.decode[6], 0);
  EXPECT_EQ(alloc.mem_used(), 32u);  // 4 slots
  alloc.destroy_array(e.ptr<u64>(), 4);

  const KeyValue four[4] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}};
  EXPECT_DEATH(mutate_map::write_map_immed(alloc, e, 2, four, 4), "out of range");
  EXPECT_DEATH(mutate_map::write_map_immed(alloc, e, 2, four, 0), "immediate capacity");
  EXPECT_DEATH(mutate_map::write_map_immed(alloc, e, 8, four, 1), "immediate capacity");
}

// ---------------------------------------------------------------------------
// Map BitmapLeaf and low-byte pairs

void release_bitmap_leaf(NodeAlloc& alloc, const Edge& e) {
  auto* node = e.ptr<MapBitmapLeaf>();
  for (unsigned g = 0; g < 8; ++g) {
    const unsigned pop = std::popcount(node->bitmap.group(g));
    if (node->subarrays[g] != nullptr) alloc.destroy_array(node->subarrays[g], capacity_for(pop));
  }
  alloc.destroy(node);
}

TEST(CodecMapBitmap, RandomLowBytePairs) {
  std::mt19937_64 rng(kSeed + 7);
  NodeAlloc alloc;
  for (int t = 0; t < 200; ++t) {
    std::set<u64> bytes_set;
    const u64 n = 1 + rng() % 256;
    while (bytes_set.size() < n) bytes_set.insert(rng() & 0xFF);
    std::vector<KeyValue> full;
    const u64 upper = rng() & ~u64{0xFF};
    for (u64 b : bytes_set) full.push_back({upper | b, rng()});
    const auto low = mutate_map::low_byte_pairs(full.data(), full.size());
    ASSERT_EQ(low.len, n);
    for (u64 i = 0; i < n; ++i) {
      EXPECT_EQ(low[i].key, full[i].key & 0xFF);
      EXPECT_EQ(low[i].value, full[i].value);
    }

    Edge e;
    e.set_decode_bits(~u64{0});
    mutate_map::build_bitmap_leaf_map(alloc, e, low.data(), low.len);
    EXPECT_EQ(e.tag, TAG_BITMAP_LEAF);
    EXPECT_EQ(e.decode[0], static_cast<u8>(n - 1));
    for (unsigned i = 1; i < 7; ++i) EXPECT_EQ(e.decode[i], 0);
    const auto* node = e.ptr<const MapBitmapLeaf>();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(node) % 64, 0u);
    u64 expect_mem = 128;
    for (unsigned g = 0; g < 8; ++g) {
      const unsigned pop = std::popcount(node->bitmap.group(g));
      EXPECT_EQ(node->subarrays[g] == nullptr, pop == 0) << "group " << g;
      expect_mem += round16(8 * capacity_for(pop));
    }
    EXPECT_EQ(alloc.mem_used(), expect_mem);
    EXPECT_EQ(node->bitmap.count(), n);
    for (u64 b = 0; b < 256; ++b) EXPECT_EQ(node->bitmap.test(b), bytes_set.count(b) == 1);
    for (const auto& p : low) EXPECT_EQ(*node->value_slot(static_cast<u8>(p.key)), p.value);
    for (auto z : node->zero_) EXPECT_EQ(z, 0);
    release_bitmap_leaf(alloc, e);
    ASSERT_EQ(alloc.mem_used(), 0u);
    if (HasFailure()) return;
  }
}

TEST(CodecMapBitmap, DocumentedGroups) {
  NodeAlloc alloc;
  const KeyValue pairs[] = {{0, 10}, {31, 11}, {32, 12}, {255, 13}};
  Edge e;
  mutate_map::build_bitmap_leaf_map(alloc, e, pairs, 4);
  EXPECT_EQ(e.decode[0], 3);
  const auto* node = e.ptr<const MapBitmapLeaf>();
  EXPECT_EQ(alloc.mem_used(), 128u + 16 + 16 + 16);
  ASSERT_NE(node->subarrays[0], nullptr);
  EXPECT_EQ(node->subarrays[0][0], 10u);
  EXPECT_EQ(node->subarrays[0][1], 11u);
  EXPECT_EQ(node->subarrays[1][0], 12u);
  EXPECT_EQ(node->subarrays[7][0], 13u);
  for (unsigned g = 2; g <= 6; ++g) EXPECT_EQ(node->subarrays[g], nullptr);
  release_bitmap_leaf(alloc, e);

  const auto none = mutate_map::low_byte_pairs(nullptr, 0);
  EXPECT_EQ(none.len, 0u);

  const KeyValue wide[] = {{3, 1}, {256, 2}};
  EXPECT_DEATH(mutate_map::build_bitmap_leaf_map(alloc, e, wide, 2), "index out of bounds");
}

}  // namespace
}  // namespace corvale_trie
