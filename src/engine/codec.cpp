#include "engine/codec.hpp"

#include "engine/bits.hpp"
#include "engine/leaf.hpp"
#include "engine/node.hpp"

namespace corvale_trie {

namespace codec_detail {
void capacity_overflow(u64 want, u64 cap) noexcept {
  panic_fmt(CORVALE_HERE, "capacity overflow: %llu entries in an array of %llu",
            static_cast<unsigned long long>(want), static_cast<unsigned long long>(cap));
}
}  // namespace codec_detail

namespace {

[[noreturn]] void range_out_of_bounds(unsigned end, unsigned len) noexcept {
  panic_fmt(CORVALE_HERE, "range end index %u out of range for slice of length %u", end, len);
}

// Packs key_of(0..n-1) as W-byte keys at dst / hands the n W-byte keys at src
// to take(i, key): one loop per width, no per-key branch on it.
template <class KeyOf>
void pack_n(u8* dst, unsigned width, u64 n, KeyOf&& key_of) noexcept {
  CORVALE_ASSERT(width >= 1 && width <= 7);
  leaf::with_width(width, [&](auto w) {
    for (u64 i = 0; i < n; ++i) leaf::store_key<w>(dst + i * w, key_of(i));
  });
}

template <class Take>
void unpack_n(const u8* src, unsigned width, u64 n, Take&& take) noexcept {
  CORVALE_ASSERT(width >= 1 && width <= 7);
  leaf::with_width(width, [&](auto w) {
    for (u64 i = 0; i < n; ++i) take(i, leaf::load_key<w>(src + i * w));
  });
}

// Key areas of map pairs: the low W bytes of each pair's key, packed.
void pack_pair_keys(u8* dst, unsigned width, const KeyValue* pairs, u64 n) noexcept {
  pack_n(dst, width, n, [&](u64 i) { return pairs[i].key; });
}

// The pairs of a map leaf: keys from its packed key area, values from its
// value slots.
void unpack_pairs(const u8* keys, const u64* values, unsigned width, u64 n, KeyValue* out) noexcept {
  unpack_n(keys, width, n, [&](u64 i, u64 key) { out[i] = KeyValue{key, values[i]}; });
}

// Overwrites `edge` with the edge of a new LinearLeaf block of width W
// holding n keys: decode zero except the pop field (pop_mask = BYTE_MASK[W]).
void point_at_leaf(Edge& edge, const void* block, unsigned width, u64 n, u64 pop_mask) noexcept {
  Edge e;
  e.set_ptr(block);
  e.tag = linear_leaf_tag(width);
  e.set_decode_bits((n - 1) & pop_mask);
  edge = e;
}

// The n entries of a leaf block, unpacked by unpack(block, entries) into a
// fixed array with room for one more.
template <class Array, class Unpack>
Array unpack_leaf(const Edge& edge, u64 n, Unpack&& unpack) noexcept {
  Array out;
  if (n + 1 > Array::capacity()) [[unlikely]] codec_detail::capacity_overflow(n + 1, Array::capacity());
  if (n == 0) return out;
  CORVALE_ASSERT(edge.payload != 0);
  unpack(edge.ptr<const u8>(), out.data());
  out.len = n;
  return out;
}

}  // namespace

namespace mutate {

void pack_keys(u8* dst, unsigned width, const u64* keys, u64 n) noexcept {
  pack_n(dst, width, n, [&](u64 i) { return keys[i]; });
}

void unpack_keys(const u8* src, unsigned width, u64 n, u64* out) noexcept {
  unpack_n(src, width, n, [&](u64 i, u64 key) { out[i] = key; });
}

void build_leaf(NodeAlloc& alloc, Edge& edge, u8 width, const u64* keys, u64 n) {
  const u64 pop_mask = byte_mask(width);  // a width of 8 or more is fatal here
  CORVALE_ASSERT(width >= 1 && n >= 1);
  auto* block = static_cast<u8*>(alloc.allocate_bytes(set_leaf_bytes(n, width)));
  pack_keys(block, width, keys, n);
  point_at_leaf(edge, block, width, n, pop_mask);
}

LeafKeys leaf_keys(const Edge& edge, u8 width, u64 n) noexcept {
  return unpack_leaf<LeafKeys>(edge, n, [&](const u8* block, u64* out) { unpack_keys(block, width, n, out); });
}

void write_immed(Edge& edge, u8 width, const u64* keys, u64 n) noexcept {
  CORVALE_ASSERT(width >= 1 && width <= 7);
  Edge e;
  if (n == 1) {
    e.payload = keys[0];
    e.tag = static_cast<u8>(width << 4);
    edge = e;
    return;
  }
  if (!(width <= 7 && n != 0 && n * width < 16)) [[unlikely]] CORVALE_PANIC("immediate capacity");
  ImmedBytes<false> packed;
  pack_keys(packed.bytes, width, keys, n);
  packed.store(e);
  e.tag = immed_tag(width, static_cast<unsigned>(n));
  edge = e;
}

void write_decode(Edge& edge, u8 from, u8 to, u64 key) noexcept {
  const u8 len = static_cast<u8>(to - from);
  if (from != to && len >= 8) [[unlikely]] range_out_of_bounds(unsigned{from} + len, 7);
  if (unsigned{from} + len > 7) [[unlikely]] range_out_of_bounds(unsigned{from} + len, 7);
  if (len == 0) return;
  const u64 mask = BYTE_MASK_TABLE[len] << (8 * from);
  const u64 w = edge.decode_word();
  edge.set_decode_bits((w & ~mask) | (key & mask));
}

}  // namespace mutate

namespace mutate_map {

LeafPairs read_map_leaf(const Edge& edge, u8 width, u64 n) noexcept {
  return unpack_leaf<LeafPairs>(edge, n, [&](const u8* block, KeyValue* out) {
    unpack_pairs(block + 8 * capacity_for(n), reinterpret_cast<const u64*>(block), width, n, out);
  });
}

void build_map_leaf(NodeAlloc& alloc, Edge& edge, u8 width, const KeyValue* pairs, u64 n) {
  const u64 pop_mask = byte_mask(width);  // a width of 8 or more is fatal here
  CORVALE_ASSERT(width >= 1 && n >= 1);
  const u64 cap = capacity_for(n);
  auto* block = static_cast<u8*>(alloc.allocate_bytes(map_leaf_bytes(n, width)));
  auto* values = reinterpret_cast<u64*>(block);  // 16-aligned block, values first
  for (u64 i = 0; i < n; ++i) values[i] = pairs[i].value;
  pack_pair_keys(block + 8 * cap, width, pairs, n);
  point_at_leaf(edge, block, width, n, pop_mask);
}

void write_map_immed(NodeAlloc& alloc, Edge& edge, u8 width, const KeyValue* pairs, u64 n) {
  if (!(width <= 7 && static_cast<u8>(n) != 0 && n * width < 16)) [[unlikely]]
    CORVALE_PANIC("immediate capacity");
  CORVALE_ASSERT(width >= 1);
  if (n * width > 7) [[unlikely]] range_out_of_bounds(static_cast<unsigned>(n * width), 7);
  Edge e;
  ImmedBytes<true> packed;
  pack_pair_keys(packed.bytes, width, pairs, n);
  packed.store(e);
  if (n == 1) {
    e.payload = pairs[0].value;
  } else {
    u64* values = alloc.make_array<u64>(capacity_for(n));
    for (u64 i = 0; i < n; ++i) values[i] = pairs[i].value;
    e.set_ptr(values);
  }
  e.tag = immed_tag(width, static_cast<unsigned>(n));
  edge = e;
}

void build_bitmap_leaf_map(NodeAlloc& alloc, Edge& edge, const KeyValue* pairs, u64 n) {
  CORVALE_ASSERT(n >= 1 && n <= 256);
  for (u64 i = 0; i < n; ++i)
    if (pairs[i].key > 255) [[unlikely]]
      panic_fmt(CORVALE_HERE, "index out of bounds: the len is 8 but the index is %llu",
                static_cast<unsigned long long>(pairs[i].key >> 5));
  auto* node = alloc.make<MapBitmapLeaf>();
  for (u64 i = 0; i < n; ++i) node->bitmap.set(static_cast<unsigned>(pairs[i].key));
  u64 i = 0;
  while (i < n) {
    const u64 group = pairs[i].key >> 5;
    u64 end = i + 1;
    while (end < n && (pairs[end].key >> 5) == group) ++end;
    const u64 run = end - i;
    u64* values = alloc.make_array<u64>(capacity_for(run));
    for (u64 j = 0; j < run; ++j) values[j] = pairs[i + j].value;
    node->subarrays[group] = values;
    i = end;
  }
  Edge e;
  e.set_ptr(node);
  e.tag = TAG_BITMAP_LEAF;
  e.decode[0] = static_cast<u8>(n - 1);
  edge = e;
}

BytePairs low_byte_pairs(const KeyValue* pairs, u64 n) noexcept {
  BytePairs out;
  if (n > BytePairs::capacity()) [[unlikely]] codec_detail::capacity_overflow(n, BytePairs::capacity());
  for (u64 i = 0; i < n; ++i) out.pairs[i] = KeyValue{pairs[i].key & 0xFF, pairs[i].value};
  out.len = n;
  return out;
}

}  // namespace mutate_map
}  // namespace corvale_trie
