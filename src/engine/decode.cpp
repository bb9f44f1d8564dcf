#include "engine/decode.hpp"

namespace corvale_trie {

namespace {

[[noreturn]] void range_out_of_bounds(unsigned end, unsigned len) noexcept {
  panic_fmt(CORVALE_HERE, "range end index %u out of range for slice of length %u", end, len);
}

// Unpacks `count` keys of `width` bytes (1..8) from the first `len` bytes of
// `bytes`, which is padded with zeros to at least len + 8 bytes so that every
// key is one 8-byte load and a mask.
ImmedKeys unpack_immed(const u8* bytes, unsigned len, unsigned width, unsigned count) noexcept {
  ImmedKeys out;
  if (count == 0) return out;
  if (width > 8) [[unlikely]]
    panic_fmt(CORVALE_HERE, "index out of bounds: the len is 8 but the index is %u", width);
  const u64 mask = width == 8 ? ~u64{0} : BYTE_MASK_TABLE[width];
  for (unsigned i = 0; i < count; ++i) {
    const unsigned end = (i + 1) * width;
    if (end > len) [[unlikely]] range_out_of_bounds(end, len);
    if (i >= 16) [[unlikely]]
      panic_fmt(CORVALE_HERE, "index out of bounds: the len is 16 but the index is %u", i);
    out.keys[i] = bits::load8(bytes + i * width) & mask;
    out.count = i + 1;
  }
  return out;
}

}  // namespace

ImmedKeys immed_keys(const Edge& edge, u8 width, u8 n) noexcept {
  return unpack_immed(ImmedBytes<false>(edge).bytes, 16, width, n);
}

ImmedKeys immed_map_keys(const Edge& edge, u8 width, u8 n) noexcept {
  return unpack_immed(ImmedBytes<true>(edge).bytes, 7, width, n);
}

}  // namespace corvale_trie
