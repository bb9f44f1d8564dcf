// corvale_trie engine: byte-lane search helpers.
//
// A linear branch keeps its present digits in an 8-byte row (ascending, the
// first `count` in use, the rest zero). Finding a digit in that row is a
// byte-equality compare of eight lanes at once, done here with SWAR
// arithmetic on one u64 (no vector intrinsics, so the code is the same on
// every target):
//
//   x    = row ^ (b * 0x0101..01)        lanes equal to b become zero
//   t    = ~(((x & 0x7F..) + 0x7F..) | x | 0x7F..)
//
// sets the high bit of exactly the zero lanes of x. Unlike the shorter
// "(x - 0x01..) & ~x & 0x80.." form this has no false positive above a
// matching lane, so the mask can be trusted lane by lane, not only for its
// lowest bit. The lanes that count are then kept with a mask of the low m
// bytes (all ones for m = 8, built without a shift by 64), and the lowest
// match is a trailing-zero count divided by 8.
//
// The leaf search (engine/leaf.hpp) uses the same lane compare for 8 and 16
// packed one-byte keys.
#pragma once

#include <bit>
#include <cstring>
#include <optional>

#include "engine/types.hpp"

namespace corvale_trie::bits {

inline constexpr u64 LANE_ONES = 0x0101'0101'0101'0101ull;
inline constexpr u64 LANE_LOW7 = 0x7F7F'7F7F'7F7F'7F7Full;

// High bit of every byte lane of `word` that equals `b`; every other bit clear.
[[nodiscard]] constexpr u64 eq_lanes(u64 word, u8 b) noexcept {
  const u64 x = word ^ (LANE_ONES * b);
  return ~(((x & LANE_LOW7) + LANE_LOW7) | x | LANE_LOW7);
}

// Mask of the low m byte lanes, m in 0..8 (all ones for m = 8).
[[nodiscard]] constexpr u64 low_lanes(u64 m) noexcept {
  return m >= 8 ? ~u64{0} : ~(~u64{0} << (8 * m));
}

// Index of the lowest lane whose high bit is set in a non-zero lane mask.
[[nodiscard]] constexpr u64 first_lane(u64 lanes) noexcept {
  return static_cast<u64>(std::countr_zero(lanes)) >> 3;
}

// Eight bytes at p as one little-endian word (p need not be aligned).
[[nodiscard]] inline u64 load8(const u8* p) noexcept {
  u64 w;
  std::memcpy(&w, p, 8);
  return w;
}

// Index of the first byte equal to b among the first min(n, 8) bytes at p,
// or none. p must point at 8 readable bytes whenever n >= 4 (a linear
// branch's digit row always does); for n < 4 only bytes 0..n-1 are read,
// with at most three plain compares.
[[nodiscard]] inline std::optional<u64> find_byte_8(const u8* bytes, u64 n, u8 b) noexcept {
  if (n < 4) {
    if (n > 0 && bytes[0] == b) return 0;
    if (n > 1 && bytes[1] == b) return 1;
    if (n > 2 && bytes[2] == b) return 2;
    return std::nullopt;
  }
  const u64 lanes = eq_lanes(load8(bytes), b) & low_lanes(n);
  if (lanes == 0) return std::nullopt;
  return first_lane(lanes);
}

}  // namespace corvale_trie::bits
