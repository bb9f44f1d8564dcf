// Point lookup: the set membership walk and the map's value-slot walk, both
// the step function of get.hpp run to the answer.
#include "engine/get.hpp"

namespace corvale_trie::get {

namespace detail {

void child_index_out_of_bounds(unsigned len, unsigned index) noexcept {
  panic_fmt(CORVALE_HERE, "index out of bounds: the len is %u but the index is %u", len, index);
}

void bad_tag() noexcept { CORVALE_PANIC("valid edge tag"); }

void missing_block() noexcept { CORVALE_PANIC(MISSING_BLOCK); }

}  // namespace detail

bool contains_walk(const Edge& edge, u64 key, u8 level) noexcept {
  return walk<SetLookup>(&edge, key, level);
}

u64* locate_slot(const Edge* edge, u64 key, u8 level) {
  return walk<MapLookup<true>>(edge, key, level);
}

}  // namespace corvale_trie::get
