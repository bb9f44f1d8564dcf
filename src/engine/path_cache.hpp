// corvale_trie engine: the cache of the last insertion path.
//
// Every core set and map remembers the path of its last slow-path insertion
// that ended in a last-level leaf (a leaf under a level-1 edge, whose keys
// differ only in their lowest byte). While later keys land in that leaf
// (their upper seven bytes equal `prefix`), insertion writes the leaf
// directly, updates the leaf's own edge at once and only counts the key in
// `pending` instead of touching every ancestor's pop field.
//
// Invariants while depth > 0:
//  - edges[0] is the cached leaf's edge and its pop field is exact;
//  - every edges[i], 1 <= i < depth, with levels[i] < 8 has a pop field short
//    by exactly `pending` (the root edge, level 8, has no pop field);
//  - at most one of bitmap_leaf / linear_leaf is set.
//
// The cache holds raw pointers into the trie: every operation that may move,
// free or restructure a node on the path flushes and resets it first (every
// removal, clear and slow-path insertion). Rank and select only flush.
#pragma once

#include "engine/types.hpp"

namespace corvale_trie {

struct PathCache {
  Edge* edges[8] = {};
  u64 prefix = ~u64{0};   // key >> 8 of the cached leaf; u64::MAX when empty
  u8 levels[8] = {};      // pop-field width of each edge (8 for the root)
  u64 depth = 0;
  void* bitmap_leaf = nullptr;  // cached BitmapLeaf block, or null
  u8* linear_leaf = nullptr;    // cached width-1 LinearLeaf key block, or null
  u64 pending = 0;
  u16 leaf_count = 0;

  [[nodiscard]] bool holds(u64 key) const noexcept { return prefix == (key >> 8); }

  // Adds the pending delta to the pop fields of the path.
  void flush() noexcept {
    if (depth == 0 || pending == 0) return;
    if (depth > 8) [[unlikely]]
      panic_fmt(CORVALE_HERE, "index out of bounds: the len is 8 but the index is 8");
    const u64 d = pending;
    pending = 0;
    for (u64 i = 1; i < depth; ++i)
      if (levels[i] < 8) edges[i]->add_pop(levels[i], d);
  }

  // Empties the cache; callers flush first.
  void reset() noexcept {
    prefix = ~u64{0};
    depth = 0;
    bitmap_leaf = nullptr;
    linear_leaf = nullptr;
    leaf_count = 0;
  }

  void flush_and_reset() noexcept {
    flush();
    reset();
  }

  // Starts a fill at the cached leaf's edge (level 1).
  void begin_fill(u64 key, Edge* leaf_edge) noexcept {
    prefix = key >> 8;
    edges[0] = leaf_edge;
    levels[0] = 1;
    depth = 1;
    pending = 0;
  }
  // Appends an ancestor edge with the width of its pop field (8 for root).
  void append(Edge* e, u8 width) noexcept {
    if (depth >= 1 && depth <= 7) {
      edges[depth] = e;
      levels[depth] = width;
      ++depth;
    }
  }
};

}  // namespace corvale_trie
