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

}  // namespace

LocateResult locate(const u8* keys, u64 n, u8 width, u64 key) noexcept {
  if (n == 0) return LocateResult{false, 0};
  return with_width(width, [&](auto w) { return locate_w<w>(keys, n, key); });
}

std::optional<u64> search(const u8* keys, u64 n, u8 width, u64 key) noexcept {
  return with_width(width, [&](auto w) { return search_in<w>(PackedKeys{keys}, n, key); });
}

}  // namespace corvale_trie::leaf
