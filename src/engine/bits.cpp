#include "engine/bits.hpp"

namespace corvale_trie::bits {

std::optional<u64> find_byte_8(const u8* bytes, u64 n, u8 b) noexcept {
  if (n < 4) {
    // Short rows: at most three plain compares, never reading past byte n-1.
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
