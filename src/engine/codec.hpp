// corvale_trie engine: packing and unpacking of leaves and immediates.
//
// These routines translate between the packed forms of the edge format and
// plain u64 keys (and, for the map flavour, (key, value) pairs). They work on
// the key bytes below an edge's level only: unpacked keys are the low W bytes
// of the full keys, zero-extended; callers OR the bytes above (path and skip
// prefix) back in themselves. No routine checks the order of the keys it is
// given: every key list is ascending and distinct in its low W bytes.
//
// Set flavour (namespace mutate):
//   LinearLeaf  block of capacity_for(n) * W bytes, aligned 16: the keys'
//               low W bytes back to back; edge tag 4 + W, pop field n - 1 in
//               decode bytes 0..W-1.
//   Immediate   no block. One key: payload = the whole key, decode zero, tag
//               W << 4. n keys (2 <= n, n * W <= 15): key i in edge bytes
//               i*W .. i*W+W-1 running from payload on into decode, the rest
//               of bytes 0..14 zero, tag (W << 4) | (n - 1).
//
// Map flavour (namespace mutate_map):
//   LinearLeaf  block of capacity_for(n) * (8 + W) bytes, aligned 16:
//               values[cap] as u64, then the keys' low W bytes packed from
//               byte 8 * cap on; tag 4 + W, pop field as in the set flavour.
//   BitmapLeaf  128-byte MapBitmapLeaf: Bitmap256 of the low bytes, then one
//               value subarray per non-empty group of 32 bytes
//               (capacity_for(group population) u64s, ascending byte order);
//               tag 12, decode byte 0 = n - 1.
//   Immediate   keys in the 7 decode bytes (n * W <= 7); payload = the value
//               (n = 1) or a ValueArray of capacity_for(n) u64s (n >= 2).
//
// Builders overwrite the whole edge they are given and never release what
// it held before; none writes a skip prefix (the caller writes decode bytes
// W..E-1, resp. 1..E-1 for a bitmap leaf, afterwards with write_decode).
//
// Unpacked results are small fixed-capacity values returned on the stack, so
// that the insertion path (unpack, insert one entry, repack) never touches
// the heap:
//   LeafKeys   up to 33 keys   (a LinearLeaf holds at most 32, plus one)
//   LeafPairs  up to 33 pairs  (the same for a map LinearLeaf)
//   BytePairs  up to 257 pairs (every low byte of a bitmap leaf, plus one)
// Each has a `len`, the element array, and (one template for the three)
// push / insert_at / erase_at and begin/end for range loops. Exceeding the
// capacity is a broken invariant ("capacity overflow").
//
// Reading immediates and decode bytes (ImmedBytes, immed_keys,
// immed_map_keys, decode_value, decode_key_bits) is shared with the readers
// of the trie and lives below them and this file, in decode.hpp; the names
// stay visible in namespace mutate for the writers.
//
// Broken invariants stop the process: "immediate capacity" for an immediate
// that cannot hold the keys, and out-of-range errors for widths, counts and
// byte ranges beyond what the formats allow.
#pragma once

#include <cstring>

#include "engine/alloc.hpp"
#include "engine/bits.hpp"
#include "engine/core.hpp"
#include "engine/decode.hpp"
#include "engine/leaf.hpp"
#include "engine/types.hpp"

namespace corvale_trie {

namespace codec_detail {
[[noreturn]] void capacity_overflow(u64 want, u64 cap) noexcept;

// The operations of a fixed-capacity array of Cap entries of T kept on the
// stack. `Derived` holds the entries (under the name its users know, such as
// `keys` or `pairs`) and `len`, and exposes them as store().
template <class Derived, class T, u64 Cap>
struct FixedArray {
  [[nodiscard]] static constexpr u64 capacity() noexcept { return Cap; }
  [[nodiscard]] u64 size() const noexcept { return self().len; }
  [[nodiscard]] bool empty() const noexcept { return self().len == 0; }
  [[nodiscard]] T* data() noexcept { return self().store(); }
  [[nodiscard]] const T* data() const noexcept { return self().store(); }
  [[nodiscard]] T* begin() noexcept { return data(); }
  [[nodiscard]] T* end() noexcept { return data() + size(); }
  [[nodiscard]] const T* begin() const noexcept { return data(); }
  [[nodiscard]] const T* end() const noexcept { return data() + size(); }
  [[nodiscard]] T& operator[](u64 i) noexcept { return data()[i]; }
  [[nodiscard]] const T& operator[](u64 i) const noexcept { return data()[i]; }

  void push(const T& v) noexcept {
    u64& len = self().len;
    if (len >= Cap) [[unlikely]] capacity_overflow(len + 1, Cap);
    data()[len++] = v;
  }
  // Inserts v before position i (0..len), shifting the tail up.
  void insert_at(u64 i, const T& v) noexcept {
    u64& len = self().len;
    if (len >= Cap) [[unlikely]] capacity_overflow(len + 1, Cap);
    CORVALE_ASSERT(i <= len);
    T* a = data();
    for (u64 j = len; j > i; --j) a[j] = a[j - 1];
    a[i] = v;
    ++len;
  }
  // Removes the entry at position i (0..len-1), shifting the tail down.
  void erase_at(u64 i) noexcept {
    u64& len = self().len;
    CORVALE_ASSERT(i < len);
    T* a = data();
    for (u64 j = i + 1; j < len; ++j) a[j - 1] = a[j];
    --len;
  }

 private:
  [[nodiscard]] Derived& self() noexcept { return static_cast<Derived&>(*this); }
  [[nodiscard]] const Derived& self() const noexcept { return static_cast<const Derived&>(*this); }
};

}  // namespace codec_detail

namespace mutate {

inline constexpr u64 LEAF_KEYS_CAPACITY = LINEAR_LEAF_MAX + 1;

// Keys of one LinearLeaf, with room for one more.
struct LeafKeys : codec_detail::FixedArray<LeafKeys, u64, LEAF_KEYS_CAPACITY> {
  u64 keys[LEAF_KEYS_CAPACITY];
  u64 len = 0;

  [[nodiscard]] u64* store() noexcept { return keys; }
  [[nodiscard]] const u64* store() const noexcept { return keys; }
};

// Allocates a set LinearLeaf of width W (1..7) holding the low W bytes of the
// n (>= 1) ascending keys and points `edge` at it: payload = block, decode
// zero except the pop field n - 1, tag 4 + W.
void build_leaf(NodeAlloc& alloc, Edge& edge, u8 width, const u64* keys, u64 n);

// The n keys of a set LinearLeaf of width W (the tag's width and pop field
// + 1), in leaf order, with room for one more.
[[nodiscard]] LeafKeys leaf_keys(const Edge& edge, u8 width, u64 n) noexcept;

// Overwrites all 16 bytes of `edge` with a set Immediate of the n keys of
// width W. Fatal "immediate capacity" unless n == 1 or (n >= 2, W <= 7 and
// n * W < 16).
void write_immed(Edge& edge, u8 width, const u64* keys, u64 n) noexcept;

// The readers of immediates and decode bytes (decode.hpp) under the names
// the writers have always used.
using corvale_trie::decode_key_bits;
using corvale_trie::decode_value;
using corvale_trie::immed_keys;
using corvale_trie::immed_map_keys;

// Sets decode byte i to key byte i for every i in [from, to); nothing else
// of the edge changes. Requires from <= to <= 7.
void write_decode(Edge& edge, u8 from, u8 to, u64 key) noexcept;

// Packs the low W bytes of n keys at dst / unpacks n W-byte keys from src
// (W 1..7); the building blocks of the leaf codecs, also used by callers that
// edit a leaf's key area in place.
void pack_keys(u8* dst, unsigned width, const u64* keys, u64 n) noexcept;
void unpack_keys(const u8* src, unsigned width, u64 n, u64* out) noexcept;

}  // namespace mutate

namespace mutate_map {

inline constexpr u64 LEAF_PAIRS_CAPACITY = LINEAR_LEAF_MAX + 1;
inline constexpr u64 BYTE_PAIRS_CAPACITY = 257;

// Pairs of one map LinearLeaf, with room for one more.
struct LeafPairs : codec_detail::FixedArray<LeafPairs, KeyValue, LEAF_PAIRS_CAPACITY> {
  KeyValue pairs[LEAF_PAIRS_CAPACITY];
  u64 len = 0;

  [[nodiscard]] KeyValue* store() noexcept { return pairs; }
  [[nodiscard]] const KeyValue* store() const noexcept { return pairs; }
};

// Low-byte pairs (keys 0..255) for build_bitmap_leaf_map.
struct BytePairs : codec_detail::FixedArray<BytePairs, KeyValue, BYTE_PAIRS_CAPACITY> {
  KeyValue pairs[BYTE_PAIRS_CAPACITY];
  u64 len = 0;

  [[nodiscard]] KeyValue* store() noexcept { return pairs; }
  [[nodiscard]] const KeyValue* store() const noexcept { return pairs; }
};

// The n pairs of a map LinearLeaf of width W (key i = its W stored bytes,
// value i), with room for one more.
[[nodiscard]] LeafPairs read_map_leaf(const Edge& edge, u8 width, u64 n) noexcept;

// Allocates a map LinearLeaf of width W (1..7) holding the n (>= 1) ascending
// pairs and points `edge` at it: decode zero except the pop field, tag 4 + W.
void build_map_leaf(NodeAlloc& alloc, Edge& edge, u8 width, const KeyValue* pairs, u64 n);

// Overwrites `edge` with a map Immediate of the n pairs of width W: keys in
// the decode bytes, payload = the value (n == 1) or a new ValueArray of
// capacity_for(n) slots. Fatal "immediate capacity" unless W <= 7, n != 0 and
// n * W < 16; n * W above 7 is fatal as an out-of-range key.
void write_map_immed(NodeAlloc& alloc, Edge& edge, u8 width, const KeyValue* pairs, u64 n);

// Allocates a map BitmapLeaf of the n (1..256) low-byte pairs (keys 0..255,
// ascending) with one value subarray per non-empty group of 32 bytes and
// points `edge` at it: decode zero except byte 0 = n - 1, tag 12.
void build_bitmap_leaf_map(NodeAlloc& alloc, Edge& edge, const KeyValue* pairs, u64 n);

// The n pairs with each key reduced to its low byte, in order.
[[nodiscard]] BytePairs low_byte_pairs(const KeyValue* pairs, u64 n) noexcept;

}  // namespace mutate_map
}  // namespace corvale_trie
