#include "engine/leaf.hpp"

#include "engine/bits.hpp"

namespace corvale_trie::leaf {

void invalid_width(unsigned /*width*/) noexcept {
  CORVALE_PANIC("valid leaf width");
}

namespace {

template <unsigned W>
LocateResult locate_w(const u8* keys, u64 n, u64 key) noexcept {
  const u64 i = lower_bound_fixed<W>(keys, n, key);
  return LocateResult{i < n && load_key<W>(keys + i * W) == key, i};
}

// Equality scan from key 0, stopping at the first equal key.
template <unsigned W>
std::optional<u64> scan_equal(const u8* keys, u64 n, u64 k) noexcept {
  for (u64 i = 0; i < n; ++i)
    if (load_key<W>(keys + i * W) == k) return i;
  return std::nullopt;
}

template <unsigned W>
std::optional<u64> search_w(const u8* keys, u64 n, u64 key) noexcept {
  const u64 k = key & BYTE_MASK_TABLE[W];
  if (n == 0) return std::nullopt;
  if constexpr (W == 1) {
    if (n == 8) {
      const u64 lanes = bits::eq_lanes(bits::load8(keys), static_cast<u8>(k));
      if (lanes == 0) return std::nullopt;
      return bits::first_lane(lanes);
    }
    if (n == 16) {
      const u64 lo = bits::eq_lanes(bits::load8(keys), static_cast<u8>(k));
      const u64 hi = bits::eq_lanes(bits::load8(keys + 8), static_cast<u8>(k));
      if (lo != 0) return bits::first_lane(lo);
      if (hi != 0) return 8 + bits::first_lane(hi);
      return std::nullopt;
    }
  }
  if constexpr (W == 2) {
    if (n == 8) return scan_equal<2>(keys, n, k);
  }
  if (n <= 4) return scan_equal<W>(keys, n, k);
  const u64 i = lower_bound_fixed<W>(keys, n, k);
  if (i < n && load_key<W>(keys + i * W) == k) return i;
  return std::nullopt;
}

}  // namespace

LocateResult locate(const u8* keys, u64 n, u8 width, u64 key) noexcept {
  if (n == 0) return LocateResult{false, 0};
  return with_width(width, [&](auto w) { return locate_w<w>(keys, n, key); });
}

std::optional<u64> search(const u8* keys, u64 n, u8 width, u64 key) noexcept {
  return with_width(width, [&](auto w) { return search_w<w>(keys, n, key); });
}

}  // namespace corvale_trie::leaf
