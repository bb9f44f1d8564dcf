#include "engine/leaf.hpp"

#include "engine/bits.hpp"

namespace corvale_trie::leaf {

u64 key_at(const u8* keys, unsigned width, u64 i) noexcept {
  switch (width) {
    case 1: return load_key<1>(keys + i);
    case 2: return load_key<2>(keys + 2 * i);
    case 3: return load_key<3>(keys + 3 * i);
    case 4: return load_key<4>(keys + 4 * i);
    case 5: return load_key<5>(keys + 5 * i);
    case 6: return load_key<6>(keys + 6 * i);
    default: CORVALE_ASSERT(width == 7); return load_key<7>(keys + 7 * i);
  }
}

void set_key_at(u8* keys, unsigned width, u64 i, u64 key) noexcept {
  switch (width) {
    case 1: store_key<1>(keys + i, key); break;
    case 2: store_key<2>(keys + 2 * i, key); break;
    case 3: store_key<3>(keys + 3 * i, key); break;
    case 4: store_key<4>(keys + 4 * i, key); break;
    case 5: store_key<5>(keys + 5 * i, key); break;
    case 6: store_key<6>(keys + 6 * i, key); break;
    default: CORVALE_ASSERT(width == 7); store_key<7>(keys + 7 * i, key); break;
  }
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
  switch (width) {
    case 1: return locate_w<1>(keys, n, key);
    case 2: return locate_w<2>(keys, n, key);
    case 3: return locate_w<3>(keys, n, key);
    case 4: return locate_w<4>(keys, n, key);
    case 5: return locate_w<5>(keys, n, key);
    case 6: return locate_w<6>(keys, n, key);
    default: return locate_w<7>(keys, n, key);
  }
}

std::optional<u64> search(const u8* keys, u64 n, u8 width, u64 key) noexcept {
  switch (width) {
    case 1: return search_w<1>(keys, n, key);
    case 2: return search_w<2>(keys, n, key);
    case 3: return search_w<3>(keys, n, key);
    case 4: return search_w<4>(keys, n, key);
    case 5: return search_w<5>(keys, n, key);
    case 6: return search_w<6>(keys, n, key);
    default: return search_w<7>(keys, n, key);
  }
}

}  // namespace corvale_trie::leaf
