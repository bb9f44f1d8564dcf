// corvale_trie engine: search in the packed key array of a LinearLeaf.
//
// A LinearLeaf of width W (1..7) keeps its n keys as their low W bytes,
// little-endian, back to back from byte 0 of its key area (the start of a set
// leaf block, or byte 8 * capacity_for(n) of a map leaf block), strictly
// ascending as unsigned W-byte integers. Keys are never compared byte by byte:
// each is assembled into one u64 from loads of 1, 2 and 4 bytes through
// std::memcpy (the area has no alignment), e.g. a 3-byte key is the u16 at
// offset 0 plus the byte at offset 2 shifted left by 16.
//
// Searching: `lower_bound_fixed<W>` returns the number of keys smaller than
// the search key (the index of the first key not below it, or n). How it is
// computed depends on W and n; every method gives the same answer on a sorted
// array:
//
//   W       branch-free count   unrolled scan   loop scan   halving loop
//   1       n = 1..4            n = 5..8        n = 13..16  n = 9..12, >= 17
//   2       n = 1..4            n = 5..8        -           n >= 9
//   4       n = 1..2            n = 3..4        -           n >= 5
//   3,5,6,7 n = 1..4            -               -           n >= 5
//
// The count adds (key_i < key) over all keys with no early exit; a scan stops
// at the first key not below the search key; the halving loop updates its
// bounds with conditional selects, so its only branch is the loop test.
//
// `locate` (insertion and removal) returns found-at-i or the insertion
// position; `search` (lookups) returns the index of an exact match, reducing
// the search key to its low W bytes itself. `search` compares 8 or 16
// one-byte keys with one lane compare (engine/bits.hpp) and small arrays with
// an equality scan; everything else is a lower bound plus one compare.
//
// The searches read the keys through an accessor (`PackedKeys`: plain loads
// from a byte pointer), so that the lock-free lookups run the same searches
// (`lower_bound_in`, `search_in`) over a leaf a writer may be changing, with
// an accessor of their own.
//
// Preconditions: `lower_bound_fixed<W>` and `locate` take a key already
// reduced to its low W bytes (key & BYTE_MASK[W]); an empty array (n = 0) is
// accepted and never read. All functions are pure: no allocation, no state,
// no failure path.
#pragma once

#include <cstring>
#include <optional>
#include <type_traits>

#include "engine/bits.hpp"
#include "engine/types.hpp"

namespace corvale_trie::leaf {

// ---------------------------------------------------------------------------
// Packed W-byte keys

// The W-byte little-endian key at p, zero-extended.
template <unsigned W>
[[nodiscard]] inline u64 load_key(const u8* p) noexcept {
  static_assert(W >= 1 && W <= 8);
  if constexpr (W == 1) {
    return p[0];
  } else if constexpr (W == 2) {
    u16 v;
    std::memcpy(&v, p, 2);
    return v;
  } else if constexpr (W == 3) {
    u16 v;
    std::memcpy(&v, p, 2);
    return u64{v} | (u64{p[2]} << 16);
  } else if constexpr (W == 4) {
    u32 v;
    std::memcpy(&v, p, 4);
    return v;
  } else if constexpr (W == 5) {
    u32 v;
    std::memcpy(&v, p, 4);
    return u64{v} | (u64{p[4]} << 32);
  } else if constexpr (W == 6) {
    u32 v;
    u16 h;
    std::memcpy(&v, p, 4);
    std::memcpy(&h, p + 4, 2);
    return u64{v} | (u64{h} << 32);
  } else if constexpr (W == 7) {
    u32 v;
    u16 h;
    std::memcpy(&v, p, 4);
    std::memcpy(&h, p + 4, 2);
    return u64{v} | (u64{h} << 32) | (u64{p[6]} << 48);
  } else {
    u64 v;
    std::memcpy(&v, p, 8);
    return v;
  }
}

// Stores the low W bytes of key at p, little-endian.
template <unsigned W>
inline void store_key(u8* p, u64 key) noexcept {
  static_assert(W >= 1 && W <= 8);
  if constexpr (W == 1) {
    p[0] = static_cast<u8>(key);
  } else if constexpr (W == 2) {
    const u16 v = static_cast<u16>(key);
    std::memcpy(p, &v, 2);
  } else if constexpr (W == 3) {
    const u16 v = static_cast<u16>(key);
    std::memcpy(p, &v, 2);
    p[2] = static_cast<u8>(key >> 16);
  } else if constexpr (W == 4) {
    const u32 v = static_cast<u32>(key);
    std::memcpy(p, &v, 4);
  } else if constexpr (W == 5) {
    const u32 v = static_cast<u32>(key);
    std::memcpy(p, &v, 4);
    p[4] = static_cast<u8>(key >> 32);
  } else if constexpr (W == 6) {
    const u32 v = static_cast<u32>(key);
    const u16 h = static_cast<u16>(key >> 32);
    std::memcpy(p, &v, 4);
    std::memcpy(p + 4, &h, 2);
  } else if constexpr (W == 7) {
    const u32 v = static_cast<u32>(key);
    const u16 h = static_cast<u16>(key >> 32);
    std::memcpy(p, &v, 4);
    std::memcpy(p + 4, &h, 2);
    p[6] = static_cast<u8>(key >> 48);
  } else {
    std::memcpy(p, &key, 8);
  }
}

// A width outside 1..7: the fatal error "valid leaf width".
[[noreturn]] void invalid_width(unsigned width) noexcept;

// Runs f(std::integral_constant<unsigned, W>{}) for a width known only at run
// time (1..7; any other width is a broken invariant that stops the process),
// so that the one template per width serves every caller. It compiles to one
// jump table.
template <class F>
[[gnu::always_inline]] inline decltype(auto) with_width(unsigned width, F&& f) {
  switch (width) {
    case 1: return f(std::integral_constant<unsigned, 1>{});
    case 2: return f(std::integral_constant<unsigned, 2>{});
    case 3: return f(std::integral_constant<unsigned, 3>{});
    case 4: return f(std::integral_constant<unsigned, 4>{});
    case 5: return f(std::integral_constant<unsigned, 5>{});
    case 6: return f(std::integral_constant<unsigned, 6>{});
    case 7: return f(std::integral_constant<unsigned, 7>{});
    default: invalid_width(width);
  }
}

// Key i of a packed array of width `width` (1..7), for callers whose width is
// a run-time value.
[[nodiscard]] inline u64 key_at(const u8* keys, unsigned width, u64 i) noexcept {
  CORVALE_ASSERT(width >= 1 && width <= 7);
  const u8* p = keys + width * i;
  return with_width(width, [&](auto w) { return load_key<w>(p); });
}
// Overwrites key i of a packed array of width `width` (1..7).
inline void set_key_at(u8* keys, unsigned width, u64 i, u64 key) noexcept {
  CORVALE_ASSERT(width >= 1 && width <= 7);
  u8* p = keys + width * i;
  with_width(width, [&](auto w) { store_key<w>(p, key); });
}

// ---------------------------------------------------------------------------
// Lower bound

// A packed key array as the searches read it: key i of width W (`at`) and
// the eight bytes 8j..8j+7 as one word (`word`, the one-byte lane compares).
// PackedKeys reads private memory (or memory no writer changes) with plain
// loads; the lock-free lookups pass a reader of their own (get.hpp) that
// loads the words of a leaf a writer may be changing.
struct PackedKeys {
  const u8* keys;

  template <unsigned W>
  [[nodiscard]] u64 at(u64 i) const noexcept {
    return load_key<W>(keys + i * W);
  }
  [[nodiscard]] u64 word(u64 j) const noexcept { return bits::load8(keys + 8 * j); }
};

namespace detail {

// Branch-free count of the keys below `key`.
template <unsigned W, class Keys>
[[nodiscard]] inline u64 count_below(const Keys& keys, u64 n, u64 key) noexcept {
  u64 c = 0;
  for (u64 i = 0; i < n; ++i) c += keys.template at<W>(i) < key ? 1 : 0;
  return c;
}

// First index whose key is not below `key` (n when none), scanning upwards.
template <unsigned W, class Keys>
[[nodiscard]] inline u64 scan_below(const Keys& keys, u64 n, u64 key) noexcept {
  for (u64 i = 0; i < n; ++i)
    if (keys.template at<W>(i) >= key) return i;
  return n;
}

// Unrolled form of scan_below for n <= 8: the compares are written out, the
// first that fails ends the scan.
template <unsigned W, class Keys>
[[nodiscard]] inline u64 unrolled_scan_8(const Keys& keys, u64 n, u64 key) noexcept {
  CORVALE_ASSERT(n <= 8);
#define CORVALE_SCAN_STEP(i) \
  if (n == (i) || keys.template at<W>(i) >= key) return (i);
  CORVALE_SCAN_STEP(0)
  CORVALE_SCAN_STEP(1)
  CORVALE_SCAN_STEP(2)
  CORVALE_SCAN_STEP(3)
  CORVALE_SCAN_STEP(4)
  CORVALE_SCAN_STEP(5)
  CORVALE_SCAN_STEP(6)
  CORVALE_SCAN_STEP(7)
#undef CORVALE_SCAN_STEP
  return 8;
}

// Halving search whose bound updates are conditional selects.
template <unsigned W, class Keys>
[[nodiscard]] inline u64 halving(const Keys& keys, u64 n, u64 key) noexcept {
  u64 lo = 0;
  u64 hi = n;
  while (lo < hi) {
    const u64 mid = (lo + hi) >> 1;
    const bool below = keys.template at<W>(mid) < key;
    lo = below ? mid + 1 : lo;
    hi = below ? hi : mid;
  }
  return lo;
}

}  // namespace detail

// Number of keys below `key` among the n packed W-byte keys of `keys`: the
// index of the first key not below it, or n. `key` < 2^(8W).
template <unsigned W, class Keys>
[[nodiscard]] inline u64 lower_bound_in(const Keys& keys, u64 n, u64 key) noexcept {
  static_assert(W >= 1 && W <= 7, "leaf keys are 1 to 7 bytes wide");
  CORVALE_ASSERT((key & ~BYTE_MASK_TABLE[W]) == 0);
  if (n == 0) return 0;
  if constexpr (W == 1) {
    if (n <= 4) return detail::count_below<1>(keys, n, key);
    if (n <= 8) return detail::unrolled_scan_8<1>(keys, n, key);
    if (n >= 13 && n <= 16) return detail::scan_below<1>(keys, n, key);
    return detail::halving<1>(keys, n, key);
  } else if constexpr (W == 2) {
    if (n <= 4) return detail::count_below<2>(keys, n, key);
    if (n <= 8) return detail::unrolled_scan_8<2>(keys, n, key);
    return detail::halving<2>(keys, n, key);
  } else if constexpr (W == 4) {
    if (n <= 2) return detail::count_below<4>(keys, n, key);
    if (n <= 4) return detail::unrolled_scan_8<4>(keys, n, key);
    return detail::halving<4>(keys, n, key);
  } else {
    if (n <= 4) return detail::count_below<W>(keys, n, key);
    return detail::halving<W>(keys, n, key);
  }
}

// The same over the packed keys at `keys`.
template <unsigned W>
[[nodiscard]] inline u64 lower_bound_fixed(const u8* keys, u64 n, u64 key) noexcept {
  return lower_bound_in<W>(PackedKeys{keys}, n, key);
}

// The same for a width known only at run time (1..7).
[[nodiscard]] inline u64 lower_bound_dyn(const u8* keys, u64 n, unsigned width, u64 key) noexcept {
  return with_width(width, [&](auto w) { return lower_bound_fixed<w>(keys, n, key); });
}

// Number of keys at or below `key` (< 2^(8W)) among n packed keys of a
// run-time width: the lower bound of key + 1, or n for the largest W-byte
// value.
[[nodiscard]] inline u64 upper_bound_dyn(const u8* keys, u64 n, unsigned width, u64 key) noexcept {
  return key == BYTE_MASK_TABLE[width] ? n : lower_bound_dyn(keys, n, width, key + 1);
}

// ---------------------------------------------------------------------------
// Ascending arrays of whole values (flat root arrays, digit rows)

// Number of entries of the ascending a[0..n) below `key` (kInclusive: at or
// below it), by the branch-free halving search: base 0, span n; while the
// span exceeds one, half = span / 2, base moves up by half when
// a[base + half] qualifies, span -= half; then one more test of a[base].
template <bool kInclusive, class T>
[[nodiscard]] inline u64 halving_count(const T* a, u64 n, T key) noexcept {
  if (n == 0) return 0;
  u64 base = 0;
  while (n > 1) {
    const u64 half = n / 2;
    const bool up = kInclusive ? a[base + half] <= key : a[base + half] < key;
    base = up ? base + half : base;
    n -= half;
  }
  return base + (kInclusive ? a[base] <= key : a[base] < key);
}

// The lower bound (entries below key) and the upper bound (entries at or
// below key) of an ascending array.
template <class T>
[[nodiscard]] inline u64 sorted_lower_bound(const T* a, u64 n, T key) noexcept {
  return halving_count<false>(a, n, key);
}
template <class T>
[[nodiscard]] inline u64 sorted_upper_bound(const T* a, u64 n, T key) noexcept {
  return halving_count<true>(a, n, key);
}

// ---------------------------------------------------------------------------
// locate and search

// Outcome of `locate`: found == true means keys[index] equals the key;
// otherwise index (0..n) is where the key would be inserted.
struct LocateResult {
  bool found = false;
  u64 index = 0;

  friend bool operator==(const LocateResult&, const LocateResult&) = default;
};

// Position of `key` (already reduced to its low W bytes) among the n packed
// keys of width `width` (1..7).
[[nodiscard]] LocateResult locate(const u8* keys, u64 n, u8 width, u64 key) noexcept;

namespace detail {

// Equality scan from key 0, stopping at the first equal key.
template <unsigned W, class Keys>
[[nodiscard]] inline std::optional<u64> scan_equal(const Keys& keys, u64 n, u64 k) noexcept {
  for (u64 i = 0; i < n; ++i)
    if (keys.template at<W>(i) == k) return i;
  return std::nullopt;
}

}  // namespace detail

// Index of the key whose W bytes equal the low W bytes of `key`, or none,
// among the n keys of `keys` (n = 0 is accepted and never read).
template <unsigned W, class Keys>
[[nodiscard]] inline std::optional<u64> search_in(const Keys& keys, u64 n, u64 key) noexcept {
  const u64 k = key & BYTE_MASK_TABLE[W];
  if (n == 0) return std::nullopt;
  if constexpr (W == 1) {
    if (n == 8) {
      const u64 lanes = bits::eq_lanes(keys.word(0), static_cast<u8>(k));
      if (lanes == 0) return std::nullopt;
      return bits::first_lane(lanes);
    }
    if (n == 16) {
      const u64 lo = bits::eq_lanes(keys.word(0), static_cast<u8>(k));
      const u64 hi = bits::eq_lanes(keys.word(1), static_cast<u8>(k));
      if (lo != 0) return bits::first_lane(lo);
      if (hi != 0) return 8 + bits::first_lane(hi);
      return std::nullopt;
    }
  }
  if constexpr (W == 2) {
    if (n == 8) return detail::scan_equal<2>(keys, n, k);
  }
  if (n <= 4) return detail::scan_equal<W>(keys, n, k);
  const u64 i = lower_bound_in<W>(keys, n, k);
  if (i < n && keys.template at<W>(i) == k) return i;
  return std::nullopt;
}

// The same over the packed keys at `keys`, of width `width` (1..7). Any u64
// may be passed; only its low `width` bytes take part.
[[nodiscard]] std::optional<u64> search(const u8* keys, u64 n, u8 width, u64 key) noexcept;

}  // namespace corvale_trie::leaf
