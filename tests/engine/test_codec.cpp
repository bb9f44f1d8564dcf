// Leaf and immediate codecs of both flavours: round trips for every width at
// the counts where the block capacity steps, checked byte by byte against
// the packed layouts and against the allocator's counters; immediates of
// every shape; decode-byte ranges; map bitmap leaves; and the fatal texts of
// impossible shapes.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <vector>

#include "engine/codec.hpp"
#include "engine/node.hpp"
#include "seed.hpp"

namespace corvale_trie {
namespace {

u64 round16(u64 n) { return (n + 15) & ~u64{15}; }

u64 load_le(const u8* p, unsigned w) {
  u64 v = 0;
  for (unsigned b = w; b-- > 0;) v = (v << 8) | p[b];
  return v;
}

// n pairs, ascending and distinct in their low W bytes (0 and the largest
// W-byte value among them), with random upper bytes the codecs must drop.
std::vector<KeyValue> make_pairs(std::mt19937_64& rng, unsigned w, u64 n) {
  const u64 mask = BYTE_MASK_TABLE[w];
  std::set<u64> low = {0, mask};
  while (low.size() < n) low.insert(rng() & mask);
  std::vector<KeyValue> pairs;
  for (u64 k : low) pairs.push_back({k | (rng() & ~mask), rng()});
  pairs.resize(n);
  return pairs;
}

// An edge full of stale bytes: a builder must overwrite all of them.
Edge stale_edge() {
  Edge e;
  std::memset(static_cast<void*>(&e), 0xA5, sizeof e);
  return e;
}

TEST(Codec, LinearLeavesRoundTripAtCapacitySteps) {
  const u64 seed = test_seed(0xc0de);
  std::mt19937_64 rng(seed);
  NodeAlloc alloc;
  for (unsigned w = 1; w <= 7; ++w) {
    for (u64 n : {1, 2, 3, 4, 5, 8, 9, 16, 17, 25, 32}) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " W " << w << " n " << n);
      const auto pairs = make_pairs(rng, w, n);
      std::vector<u64> keys;
      for (const KeyValue& p : pairs) keys.push_back(p.key);
      const u64 cap = capacity_for(n), mask = BYTE_MASK_TABLE[w];
      // Set leaf: cap * W key bytes; map leaf: cap values, then cap keys.
      for (int flavour = 0; flavour < 2; ++flavour) {
        const u64 key_at = flavour ? 8 * cap : 0, size = cap * w + key_at;
        const u64 mem = alloc.mem_used(), allocs = alloc.total_node_allocs();
        Edge e = stale_edge();
        if (flavour) mutate_map::build_map_leaf(alloc, e, static_cast<u8>(w), pairs.data(), n);
        else mutate::build_leaf(alloc, e, static_cast<u8>(w), keys.data(), n);
        ASSERT_EQ(alloc.mem_used() - mem, round16(size));
        ASSERT_EQ(alloc.total_node_allocs() - allocs, 1u);
        ASSERT_EQ(e.tag, TAG_LEAF_BASE + w);
        ASSERT_EQ(e.decode_word() & BYTE_MASK_TABLE[7], n - 1) << "pop field only, no prefix";
        const u8* block = e.ptr<const u8>();
        for (u64 i = 0; i < n; ++i) {
          ASSERT_EQ(load_le(block + key_at + i * w, w), keys[i] & mask) << "key " << i;
          if (flavour) {
            ASSERT_EQ(load_le(block + 8 * i, 8), pairs[i].value) << "value " << i;
          }
        }
        for (u64 i = key_at + n * w; i < size; ++i) ASSERT_EQ(block[i], 0) << "unused byte " << i;
        for (u64 i = 8 * n; flavour && i < key_at; ++i) ASSERT_EQ(block[i], 0) << "unused value byte " << i;
        if (flavour) {
          const auto back = mutate_map::read_map_leaf(e, static_cast<u8>(w), n);
          ASSERT_EQ(back.len, n);
          for (u64 i = 0; i < n; ++i) ASSERT_EQ(back[i], (KeyValue{keys[i] & mask, pairs[i].value}));
        } else {
          auto back = mutate::leaf_keys(e, static_cast<u8>(w), n);
          ASSERT_EQ(back.len, n);
          for (u64 i = 0; i < n; ++i) ASSERT_EQ(back[i], keys[i] & mask);
          back.push(mask);  // room for the key an insertion adds
        }
        alloc.release_bytes(e.ptr<void>(), size);
      }
    }
  }
  EXPECT_EQ(alloc.mem_used(), 0u);
  EXPECT_EQ(alloc.live_nodes(), 0u);
}

TEST(Codec, ImmediatesRoundTripEveryShape) {
  const u64 seed = test_seed(0x1333);
  std::mt19937_64 rng(seed);
  NodeAlloc alloc;
  for (unsigned w = 1; w <= 7; ++w) {
    for (u64 n = 1; n <= 15 / w; ++n) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " W " << w << " n " << n);
      const auto pairs = make_pairs(rng, w, n);
      std::vector<u64> keys;
      for (const KeyValue& p : pairs) keys.push_back(p.key);
      const u64 mask = BYTE_MASK_TABLE[w];
      // Set: keys packed from edge byte 0; one key keeps its upper bytes.
      Edge e = stale_edge();
      mutate::write_immed(e, static_cast<u8>(w), keys.data(), n);
      ASSERT_EQ(e.tag, immed_tag(w, static_cast<unsigned>(n)));
      u8 bytes[16];
      std::memcpy(bytes, &e, 16);
      if (n == 1) {
        ASSERT_EQ(e.payload, keys[0]);
        ASSERT_EQ(e.decode_word() & BYTE_MASK_TABLE[7], 0u);
      }
      for (u64 i = 0; i < n && n > 1; ++i) ASSERT_EQ(load_le(bytes + i * w, w), keys[i] & mask);
      for (u64 i = n * w; i < 15 && n > 1; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
      ImmedKeys back = mutate::immed_keys(e, static_cast<u8>(w), static_cast<u8>(n));
      ASSERT_EQ(back.count, n);
      for (u64 i = 0; i < 16; ++i) ASSERT_EQ(back.keys[i], i < n ? keys[i] & mask : 0u);
      if (n > 7 / w) continue;

      // Map: keys in the decode bytes; one value inline, more in a ValueArray.
      const u64 allocs = alloc.total_node_allocs(), cap = capacity_for(n);
      Edge m = stale_edge();
      mutate_map::write_map_immed(alloc, m, static_cast<u8>(w), pairs.data(), n);
      ASSERT_EQ(m.tag, immed_tag(w, static_cast<unsigned>(n)));
      for (u64 i = 0; i < n; ++i) ASSERT_EQ(load_le(m.decode + i * w, w), keys[i] & mask);
      for (u64 i = n * w; i < 7; ++i) ASSERT_EQ(m.decode[i], 0) << "decode byte " << i;
      back = mutate::immed_map_keys(m, static_cast<u8>(w), static_cast<u8>(n));
      ASSERT_EQ(back.count, n);
      for (u64 i = 0; i < n; ++i) ASSERT_EQ(back.keys[i], keys[i] & mask);
      ASSERT_EQ(alloc.total_node_allocs() - allocs, n == 1 ? 0u : 1u);
      if (n == 1) {
        ASSERT_EQ(m.payload, pairs[0].value);
        continue;
      }
      ASSERT_EQ(alloc.mem_used(), round16(8 * cap));
      for (u64 i = 0; i < cap; ++i) ASSERT_EQ(m.ptr<const u64>()[i], i < n ? pairs[i].value : 0u);
      alloc.destroy_array(m.ptr<u64>(), cap);
    }
  }
  const ImmedKeys none = mutate::immed_keys(stale_edge(), 3, 0);
  EXPECT_EQ(none.count, 0u);
  for (u64 k : none.keys) EXPECT_EQ(k, 0u);
  EXPECT_EQ(alloc.live_nodes(), 0u);
}

TEST(Codec, DecodeRangesMatchByteModel) {
  const u64 seed = test_seed(0xdec0de);
  std::mt19937_64 rng(seed);
  for (int t = 0; t < 20; ++t) {
    Edge e;
    e.payload = rng();
    e.set_decode_bits(rng());
    e.tag = static_cast<u8>(rng());
    for (u8 from = 0; from <= 7; ++from) {
      for (u8 to = from; to <= 7; ++to) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " bytes " << int(from) << ".." << int(to));
        u64 want = 0;
        for (int i = to - 1; i >= from; --i) want = (want << 8) | e.decode[i];
        ASSERT_EQ(mutate::decode_value(e, from, to), want);
        const u64 key = rng();
        Edge w = e;
        mutate::write_decode(w, from, to, key);
        ASSERT_EQ(w.payload, e.payload);
        ASSERT_EQ(w.tag, e.tag);
        for (unsigned i = 0; i < 7; ++i)
          ASSERT_EQ(w.decode[i], i >= from && i < to ? static_cast<u8>(key >> (8 * i)) : e.decode[i]) << i;
      }
    }
  }
}

TEST(Codec, MapBitmapLeavesFromLowBytePairs) {
  const u64 seed = test_seed(0xb17);
  std::mt19937_64 rng(seed);
  NodeAlloc alloc;
  for (int t = 0; t < 100; ++t) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << t);
    std::set<u64> bytes;
    if (t == 0) bytes = {0, 31, 32, 255};  // groups 0 (two keys), 1 and 7
    for (u64 n = 1 + rng() % 256; bytes.size() < n;) bytes.insert(rng() & 0xFF);
    std::vector<KeyValue> full;
    const u64 upper = rng() & ~u64{0xFF};
    for (u64 b : bytes) full.push_back({upper | b, rng()});
    const auto low = mutate_map::low_byte_pairs(full.data(), full.size());
    ASSERT_EQ(low.len, full.size());
    for (u64 i = 0; i < low.len; ++i) ASSERT_EQ(low[i], (KeyValue{full[i].key & 0xFF, full[i].value}));

    Edge e = stale_edge();
    mutate_map::build_bitmap_leaf_map(alloc, e, low.data(), low.len);
    ASSERT_EQ(e.tag, TAG_BITMAP_LEAF);
    ASSERT_EQ(e.decode_word() & BYTE_MASK_TABLE[7], low.len - 1) << "count only, no prefix";
    auto* node = e.ptr<MapBitmapLeaf>();
    u64 mem = 128;
    for (unsigned g = 0; g < 8; ++g) {
      const unsigned pop = std::popcount(node->bitmap.group(g));
      ASSERT_EQ(node->subarrays[g] == nullptr, pop == 0) << "group " << g;
      mem += round16(8 * capacity_for(pop));
    }
    ASSERT_EQ(alloc.mem_used(), mem);
    for (u64 b = 0; b < 256; ++b) ASSERT_EQ(node->bitmap.test(b), bytes.count(b) == 1) << b;
    for (const KeyValue& p : low) ASSERT_EQ(*node->value_slot(static_cast<u8>(p.key)), p.value);
    for (unsigned g = 0; g < 8; ++g) {
      const u64 cap = capacity_for(std::popcount(node->bitmap.group(g)));
      if (node->subarrays[g]) alloc.destroy_array(node->subarrays[g], cap);
    }
    alloc.destroy(node);
    ASSERT_EQ(alloc.mem_used(), 0u);
  }
}

TEST(Codec, ImpossibleShapesAreFatal) {
  NodeAlloc alloc;
  Edge e;
  const u64 keys[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const KeyValue pairs[4] = {{1, 1}, {2, 2}, {3, 3}, {256, 4}};
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { mutate::write_immed(e, 2, keys, 8); }, "immediate capacity"},
      {[&] { mutate_map::write_map_immed(alloc, e, 2, pairs, 0); }, "immediate capacity"},
      {[&] { mutate_map::write_map_immed(alloc, e, 2, pairs, 4); }, "out of range"},
      {[&] { (void)mutate::decode_value(e, 2, 8); }, "out of range"},
      {[&] { mutate::write_decode(e, 8, 8, 0); }, "out of range"},
      {[&] { mutate_map::build_bitmap_leaf_map(alloc, e, pairs, 4); }, "index out of bounds"},
  };
  for (const auto& [run, text] : cases) EXPECT_DEATH(run(), text);
}

}  // namespace
}  // namespace corvale_trie
