// corvale_trie engine: the node kinds of the 256-way trie.
//
// Branch nodes change kind with their child count:
//
//   BranchL3  tag 1   up to 3 children   64-byte block, size class 1
//   BranchL7  tag 2   up to 7 children  128-byte block, size class 3
//   BranchB   tag 3   bitmap + 8 group subarrays of edges, 128-byte block
//   BranchU   tag 4   256 direct slots, 4160-byte block (64-byte header)
//
// A BranchL3 grows into a BranchL7 at its 4th child, a BranchL7 into a
// BranchB at its 8th, and a BranchB into a BranchU when a child arrives while
// it holds 192 or more; removals take the same road back (below 192, below 7,
// at 1..2 children), and a branch left with no child is released.
//
// Leaves:
//   LinearLeaf  tags 5..11  n keys of W = tag-4 bytes, packed, ascending
//                           (map flavour: values[cap] first, then the keys)
//   BitmapLeaf  tag 12      one Bitmap256 over the lowest key byte
//                           (map flavour: bitmap + 8 value subarrays)
//   Immediate   tags 16..126 keys inside the edge itself
//   FullEdge    tag 127     every key of the range (set flavour only)
//
// Every block is zero-filled by the allocator; fields not written stay zero.
// The `version` word is the node's NodeVersion: odd while a shared-mode
// writer is in or below the node; it stays as made in private mode.
#pragma once

#include <optional>
#include <type_traits>

#include "engine/bits.hpp"
#include "engine/types.hpp"

namespace corvale_trie {

// The text of a missing block where the caller has no expectation of its own.
inline constexpr const char* MISSING_BLOCK = "called `Option::unwrap()` on a `None` value";

// The node or leaf block behind `edge` (a tag that names one); a null block
// is a broken invariant that stops the process.
template <class T>
[[nodiscard]] inline T* node_of(const Edge& edge) noexcept {
  T* node = edge.ptr<T>();
  if (node == nullptr) [[unlikely]] CORVALE_PANIC(MISSING_BLOCK);
  return node;
}

// The header shared by both linear branch kinds: the node's version word,
// child count, level, nibble filter and digit row. Code that serves both
// kinds reads the header through this base (and the children through the
// node's own type), so no node is ever read as the other kind.
struct BranchLinearHeader {
  u32 version;
  u8 count;
  u8 level;
  u16 nibble_filter;  // bit (d & 15) for every present digit d
  u8 digits[8];       // present digits ascending, slots from count on zero

  [[nodiscard]] bool filter_may_hold(u8 d) const noexcept { return (nibble_filter >> (d & 15)) & 1; }
  void recompute_filter() noexcept {
    u16 f = 0;
    for (unsigned i = 0; i < count; ++i) f |= static_cast<u16>(1u << (digits[i] & 15));
    nibble_filter = f;
  }
};
static_assert(sizeof(BranchLinearHeader) == 16 && std::is_standard_layout_v<BranchLinearHeader>);

template <unsigned Capacity>
struct alignas(64) BranchLinear : BranchLinearHeader {
  static constexpr unsigned kCapacity = Capacity;
  Edge children[Capacity];

  // Index of digit d among the first `count` digits, or -1. A BranchL3
  // compares its at most three digits one by one; a BranchL7 does so below
  // four children and otherwise compares all eight digit bytes at once, with
  // the lanes past `count` masked off (bits::find_byte_8).
  [[nodiscard]] int find(u8 d) const noexcept {
    CORVALE_ASSERT(count <= Capacity);
    if constexpr (Capacity <= 3) {
      for (unsigned i = 0; i < count; ++i)
        if (digits[i] == d) return static_cast<int>(i);
      return -1;
    } else {
      const std::optional<u64> i = bits::find_byte_8(digits, count, d);
      return i ? static_cast<int>(*i) : -1;
    }
  }
};
using BranchL3 = BranchLinear<3>;
using BranchL7 = BranchLinear<7>;
static_assert(sizeof(BranchL3) == 64 && alignof(BranchL3) == 64);
static_assert(sizeof(BranchL7) == 128 && alignof(BranchL7) == 64);
// The children follow the 16-byte header (offsetof of a class with a base is
// conditionally supported; g++ supports it).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(BranchL3, children) == 16 && offsetof(BranchL7, children) == 16);
#pragma GCC diagnostic pop

struct alignas(64) BranchB {
  Bitmap256 bitmap;        // bit d set when digit d has a child
  Edge* subarrays[8];      // children of digits 32g..32g+31, capacity_for(group_counts[g])
  u16 group_counts[8];     // popcount of each bitmap group
  u32 version;
  u8 level;
  u8 pad_[11];

  [[nodiscard]] unsigned child_count() const noexcept { return bitmap.count(); }
  // The child edge of digit d, or nullptr when d is absent.
  [[nodiscard]] Edge* child(u8 d) const noexcept {
    if (!bitmap.test(d)) return nullptr;
    return &child_at(d);
  }
  // The child edge of a present digit d: entry rank_in_group(d) of the
  // subarray of d's group.
  [[nodiscard]] Edge& child_at(u8 d) const noexcept {
    CORVALE_ASSERT(bitmap.test(d) && subarrays[d >> 5] != nullptr);
    return subarrays[d >> 5][bitmap.rank_in_group(d)];
  }
};
static_assert(sizeof(BranchB) == 128 && alignof(BranchB) == 64);
static_assert(offsetof(BranchB, subarrays) == 32 && offsetof(BranchB, group_counts) == 96 &&
              offsetof(BranchB, version) == 112 && offsetof(BranchB, level) == 116);

struct alignas(64) BranchU {
  u32 version;
  u8 header_rest[60];
  Edge children[256];  // children[d] for digit d, empty where absent

  [[nodiscard]] unsigned child_count() const noexcept {
    unsigned n = 0;
    for (const Edge& e : children) n += !e.is_empty();
    return n;
  }
};
static_assert(sizeof(BranchU) == 4160 && alignof(BranchU) == 64);
static_assert(offsetof(BranchU, children) == 64);

// Set BitmapLeaf: 64-byte block, the bitmap then 32 zero bytes.
struct alignas(64) SetBitmapLeaf {
  Bitmap256 bitmap;
  u8 zero_[32];
};
static_assert(sizeof(SetBitmapLeaf) == 64);

// Map BitmapLeaf: 128-byte block, the bitmap, then the value subarrays of the
// 8 groups of 32 low bytes (capacity_for(popcount) values each), then 32 zero
// bytes.
struct alignas(64) MapBitmapLeaf {
  Bitmap256 bitmap;
  u64* subarrays[8];
  u8 zero_[32];

  [[nodiscard]] u64* value_slot(u8 b) const noexcept {
    return &subarrays[b >> 5][bitmap.rank_in_group(b)];
  }
};
static_assert(sizeof(MapBitmapLeaf) == 128);

// Block sizes and alignments of the fixed kinds.
inline constexpr u64 BRANCH_L3_SIZE = 64;
inline constexpr u64 BRANCH_L7_SIZE = 128;
inline constexpr u64 BRANCH_B_SIZE = 128;
inline constexpr u64 BRANCH_U_SIZE = 4160;
inline constexpr u64 SET_BITMAP_LEAF_SIZE = 64;
inline constexpr u64 MAP_BITMAP_LEAF_SIZE = 128;
inline constexpr u64 NODE_ALIGN = 64;
inline constexpr u64 PACKED_ALIGN = 16;

// Block sizes of packed arrays.
[[nodiscard]] constexpr u64 set_leaf_bytes(u64 n, unsigned width) noexcept { return capacity_for(n) * width; }
[[nodiscard]] constexpr u64 map_leaf_bytes(u64 n, unsigned width) noexcept {
  return capacity_for(n) * (8 + width);
}
[[nodiscard]] constexpr u64 edge_array_bytes(u64 n) noexcept { return capacity_for(n) * sizeof(Edge); }
[[nodiscard]] constexpr u64 value_array_bytes(u64 n) noexcept { return capacity_for(n) * 8; }

}  // namespace corvale_trie
