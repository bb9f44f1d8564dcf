// Point lookup: the set membership walk and the map's value-slot walk.
//
// One walker serves both flavours. The branch steps are shared; the flavour
// policy decides the result type and what happens at the leaves, and whether
// a BranchL3 consults its nibble filter (the map walk does, the set walk
// scans its at most three digits directly).
#include "engine/get.hpp"

#include <cstring>

#include "engine/alloc.hpp"
#include "engine/bits.hpp"
#include "engine/leaf.hpp"
#include "engine/node.hpp"

namespace corvale_trie::get {
namespace {

[[noreturn]] void child_index_out_of_bounds(const char* where, unsigned len, unsigned index) noexcept {
  panic_fmt(where, "index out of bounds: the len is %u but the index is %u", len, index);
}

// Index of digit d among the first `count` digits of a row, compared one by
// one (rows of fewer than four digits), or -1.
[[nodiscard]] inline int scan_digits_3(const u8* digits, unsigned count, u8 d) noexcept {
  if (count >= 1 && digits[0] == d) return 0;
  if (count >= 2 && digits[1] == d) return 1;
  if (count >= 3 && digits[2] == d) return 2;
  return -1;
}

// Index of digit d in a BranchL7 row: one 8-lane byte compare limited to the
// first `count` lanes when count >= 4, else the short scan.
[[nodiscard]] inline int find_digit_l7(const u8* digits, unsigned count, u8 d) noexcept {
  if (count < 4) return scan_digits_3(digits, count, d);
  const u64 lanes = bits::eq_lanes(bits::load8(digits), d) & bits::low_lanes(count);
  return lanes == 0 ? -1 : static_cast<int>(bits::first_lane(lanes));
}

template <class T>
[[nodiscard]] inline const T* node_of(const Edge* e) noexcept {
  const T* node = e->ptr<T>();
  if (node == nullptr) [[unlikely]] CORVALE_PANIC(MISSING_BLOCK);
  return node;
}

// A packed 16-byte immediate area read as one buffer with zero padding, so
// that key i of width W is one unaligned 8-byte load and a mask.
struct ImmedArea {
  u8 bytes[24] = {};
  [[nodiscard]] u64 key(unsigned i, unsigned width) const noexcept {
    u64 w;
    std::memcpy(&w, bytes + i * width, 8);
    return w & BYTE_MASK_TABLE[width];
  }
};

// Set flavour: membership.
struct SetFlavor {
  using Result = bool;
  static constexpr bool kL3Filter = false;
  static Result absent() noexcept { return false; }

  static Result full(const Edge*) noexcept { return true; }

  static Result bitmap_leaf(const Edge* e, u64 key) noexcept {
    return node_of<SetBitmapLeaf>(e)->bitmap.test(static_cast<u8>(key));
  }

  static Result linear_leaf(const Edge* e, unsigned width, u64 n, u64 key) noexcept {
    const u8* keys = node_of<u8>(e);
    return leaf::search(keys, n, static_cast<u8>(width), key).has_value();
  }

  static Result one_key_immed(const Edge* e, unsigned width, u64 key) noexcept {
    return ((e->payload ^ key) & BYTE_MASK_TABLE[width]) == 0;
  }

  static Result multi_key_immed(const Edge* e, unsigned width, unsigned n, u64 key) noexcept {
    ImmedArea area;
    std::memcpy(area.bytes, e, 15);  // payload then decode; never the tag
    const u64 k = key & BYTE_MASK_TABLE[width];
    for (unsigned i = 0; i < n; ++i)
      if (area.key(i, width) == k) return true;
    return false;
  }
};

// Map flavour: address of the key's value word.
struct MapFlavor {
  using Result = u64*;
  static constexpr bool kL3Filter = true;
  static Result absent() noexcept { return nullptr; }

  [[noreturn]] static Result full(const Edge*) noexcept {
    CORVALE_UNREACHABLE("full-corvale edges are set-flavor only");
  }

  static Result bitmap_leaf(const Edge* e, u64 key) noexcept {
    const MapBitmapLeaf* leaf = node_of<MapBitmapLeaf>(e);
    const unsigned k = static_cast<u8>(key);
    const u32 word = leaf->bitmap.group(k >> 5);
    const u32 bit = u32{1} << (k & 31);
    if ((word & bit) == 0) return nullptr;
    u64* values = leaf->subarrays[k >> 5];
    if (values == nullptr) return nullptr;
    return values + std::popcount(word & (bit - 1));
  }

  static Result linear_leaf(const Edge* e, unsigned width, u64 n, u64 key) noexcept {
    u8* block = e->ptr<u8>();
    if (block == nullptr) return nullptr;
    const u8* keys = block + 8 * capacity_for(n);
    const auto i = leaf::search(keys, n, static_cast<u8>(width), key);
    if (!i) return nullptr;
    return reinterpret_cast<u64*>(block) + *i;
  }

  static Result one_key_immed(const Edge* e, unsigned width, u64 key) noexcept {
    if (((e->decode_word() ^ key) & BYTE_MASK_TABLE[width]) != 0) return nullptr;
    return const_cast<u64*>(&e->payload);
  }

  static Result multi_key_immed(const Edge* e, unsigned width, unsigned n, u64 key) noexcept {
    // A map immediate keeps its keys in the 7 decode bytes only.
    if (n * width > 7) return nullptr;
    ImmedArea area;
    std::memcpy(area.bytes, e->decode, 7);
    const u64 k = key & BYTE_MASK_TABLE[width];
    for (unsigned i = 0; i < n; ++i) {
      if (area.key(i, width) != k) continue;
      u64* values = e->ptr<u64>();
      return values == nullptr ? nullptr : values + i;
    }
    return nullptr;
  }
};

// The skip test of an edge at level E over something resolving from L < E.
[[nodiscard]] inline bool prefix_differs(const Edge* e, u64 key, unsigned L, unsigned E) noexcept {
  return L < E && ((e->decode_word() ^ key) & (byte_mask(E - L) << (8 * L))) != 0;
}

template <class Flavor>
typename Flavor::Result walk(const Edge* e, u64 key, unsigned E) {
  for (;;) {
    const u8 tag = e->tag;
    switch (tag) {
      case TAG_EMPTY:
        return Flavor::absent();

      case TAG_L3: {
        const BranchL3* n = node_of<BranchL3>(e);
        const unsigned L = n->level;
        if (prefix_differs(e, key, L, E)) return Flavor::absent();
        const u8 d = digit_at(key, L);
        if (Flavor::kL3Filter && !n->filter_may_hold(d)) return Flavor::absent();
        if (n->count > 3) [[unlikely]] child_index_out_of_bounds(CORVALE_HERE, 3, n->count - 1);
        const int i = scan_digits_3(n->digits, n->count, d);
        if (i < 0) return Flavor::absent();
        e = &n->children[i];
        E = L - 1;
        break;
      }

      case TAG_L7: {
        const BranchL7* n = node_of<BranchL7>(e);
        const unsigned L = n->level;
        if (prefix_differs(e, key, L, E)) return Flavor::absent();
        const u8 d = digit_at(key, L);
        if (!n->filter_may_hold(d)) return Flavor::absent();
        const int i = find_digit_l7(n->digits, n->count, d);
        if (i < 0) return Flavor::absent();
        if (i >= 7) [[unlikely]] child_index_out_of_bounds(CORVALE_HERE, 7, static_cast<unsigned>(i));
        e = &n->children[i];
        E = L - 1;
        break;
      }

      case TAG_B: {
        const BranchB* n = node_of<BranchB>(e);
        const unsigned L = n->level;
        if (prefix_differs(e, key, L, E)) return Flavor::absent();
        const u8 d = digit_at(key, L);
        const u32 word = n->bitmap.group(d >> 5);
        const u32 bit = u32{1} << (d & 31);
        if ((word & bit) == 0) return Flavor::absent();
        const Edge* group = n->subarrays[d >> 5];
        if (group == nullptr) [[unlikely]] CORVALE_PANIC(MISSING_BLOCK);
        e = group + std::popcount(word & (bit - 1));
        E = L - 1;
        break;
      }

      case TAG_U: {
        // A run of BranchU nodes costs one load per level.
        do {
          e = &node_of<BranchU>(e)->children[digit_at(key, E)];
          --E;
        } while (e->tag == TAG_U);
        break;
      }

      case TAG_BITMAP_LEAF:
        if (prefix_differs(e, key, 1, E)) return Flavor::absent();
        return Flavor::bitmap_leaf(e, key);

      case TAG_FULL:
        return Flavor::full(e);

      default: {
        if (is_linear_leaf_tag(tag)) {
          const unsigned W = linear_leaf_width(tag);
          if (prefix_differs(e, key, W, E)) return Flavor::absent();
          const u64 n = (e->decode_word() & BYTE_MASK_TABLE[W]) + 1;
          return Flavor::linear_leaf(e, W, n, key);
        }
        const unsigned W = immed_width(tag);
        const unsigned n = immed_count(tag);
        // Tags 13..15, 128 and up, and immediates that cannot fit their
        // edge: no key is stored here.
        if (tag < 16 || tag >= 128 || n * W >= 16) return Flavor::absent();
        if (n == 1) return Flavor::one_key_immed(e, W, key);
        return Flavor::multi_key_immed(e, W, n, key);
      }
    }
  }
}

}  // namespace

bool contains_walk(const Edge& edge, u64 key, u8 level) noexcept {
  return walk<SetFlavor>(&edge, key, level);
}

u64* locate_slot(const Edge* edge, u64 key, u8 level) {
  return walk<MapFlavor>(edge, key, level);
}

}  // namespace corvale_trie::get
