// corvale_trie engine: reading the key bytes an edge carries.
//
// Below both the readers (lookups, navigation, cursors) and the writers
// (insertion, removal, the leaf codecs), these routines read what an edge
// holds of its keys without changing anything:
//
//   ImmedBytes      the packed key area of an Immediate (edge bytes 0..14 in
//                   the set flavour, the 7 decode bytes in the map flavour)
//                   copied into a zero-padded buffer, searched and edited in
//                   place and stored back by the writers
//   immed_keys      the keys of a set Immediate, unpacked
//   immed_map_keys  the keys of a map Immediate (its decode bytes), unpacked
//   decode_value    decode bytes from..to-1 as an integer
//   decode_key_bits the same left at the key's own byte positions: a skip
//                   prefix as a reader ORs it into the keys below the edge
//
// A key area or byte range beyond what the edge format allows is a broken
// invariant that stops the process (out-of-range errors).
#pragma once

#include <cstring>

#include "engine/bits.hpp"
#include "engine/leaf.hpp"
#include "engine/types.hpp"

namespace corvale_trie {

// The packed key area of an Immediate: edge bytes 0..14 (payload, then
// decode) in the set flavour, the 7 decode bytes in the map flavour, copied
// into a zero-padded buffer. Key i of width W is its W bytes at i*W,
// little-endian; thanks to the padding it is also one unaligned 8-byte load
// and a mask. An edited copy goes back into the edge with store(), which
// writes the key area only (never the tag, nor the payload of a map edge).
template <bool IS_MAP>
struct ImmedBytes {
  static constexpr unsigned kSize = IS_MAP ? 7 : 15;
  u8 bytes[24];

  ImmedBytes() noexcept { std::memset(bytes, 0, sizeof bytes); }
  explicit ImmedBytes(const Edge& e) noexcept {
    std::memcpy(bytes, area(e), kSize);
    std::memset(bytes + kSize, 0, sizeof bytes - kSize);
  }
  void store(Edge& e) const noexcept { std::memcpy(area(e), bytes, kSize); }

  [[nodiscard]] u64 key(unsigned i, unsigned width) const noexcept {
    return bits::load8(bytes + i * width) & BYTE_MASK_TABLE[width];
  }
  // Index of the key equal to k (already reduced to its low W bytes) among
  // the first n, or -1.
  [[nodiscard]] int find(unsigned n, unsigned width, u64 k) const noexcept {
    for (unsigned i = 0; i < n; ++i)
      if (key(i, width) == k) return static_cast<int>(i);
    return -1;
  }
  // Opens position i among n keys (the area holds n + 1) and writes k there.
  void insert_key(u64 i, u64 n, unsigned width, u64 k) noexcept {
    std::memmove(bytes + (i + 1) * width, bytes + i * width, (n - i) * width);
    leaf::set_key_at(bytes, width, i, k);
  }
  // Closes position i among n keys and zeroes the bytes freed at the end.
  void erase_key(u64 i, u64 n, unsigned width) noexcept {
    std::memmove(bytes + i * width, bytes + (i + 1) * width, (n - 1 - i) * width);
    std::memset(bytes + (n - 1) * width, 0, kSize - (n - 1) * width);
  }

 private:
  static const u8* area(const Edge& e) noexcept {
    if constexpr (IS_MAP)
      return e.decode;
    else
      return reinterpret_cast<const u8*>(&e);
  }
  static u8* area(Edge& e) noexcept {
    if constexpr (IS_MAP)
      return e.decode;
    else
      return reinterpret_cast<u8*>(&e);
  }
};

// Reads a set Immediate (W = tag >> 4, n = (tag & 15) + 1); a one-key
// Immediate yields the low W bytes of its payload.
[[nodiscard]] ImmedKeys immed_keys(const Edge& edge, u8 width, u8 n) noexcept;

// Reads the keys of a map Immediate from its decode bytes.
[[nodiscard]] ImmedKeys immed_map_keys(const Edge& edge, u8 width, u8 n) noexcept;

// Decode bytes from..to-1 as an integer whose bit 0 is the lowest bit of
// decode byte `from` (0 when from == to). Requires from <= 7 and to <= 7.
[[nodiscard]] inline u64 decode_value(const Edge& edge, u8 from, u8 to) noexcept {
  if (from > 7) [[unlikely]]
    panic_fmt(CORVALE_HERE, "index out of bounds: the len is 8 but the index is %u", unsigned{from});
  if (to == from) return 0;
  const u8 len = static_cast<u8>(to - from);
  if (unsigned{from} + len > 7) [[unlikely]]
    panic_fmt(CORVALE_HERE, "range end index %u out of range for slice of length 7", unsigned{from} + len);
  return (edge.decode_word() >> (8 * from)) & BYTE_MASK_TABLE[len];
}

// The key bytes from..to-1 that an edge keeps in its decode bytes (a skip
// prefix, for from = the level of what lies below the edge and to = the
// edge's level), left at their own byte positions of a key: what a reader
// ORs into the keys it finds below the edge. 0 when from >= to.
[[nodiscard]] inline u64 decode_key_bits(const Edge& edge, unsigned from, unsigned to) noexcept {
  if (from >= to) return 0;
  return decode_value(edge, static_cast<u8>(from), static_cast<u8>(to)) << (8 * from);
}

}  // namespace corvale_trie
