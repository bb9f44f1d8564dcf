// corvale_trie engine: the record shared by the core set and the core map.
//
// A core container keeps up to 31 keys in a sorted flat array (the Flat root
// state) and more in the trie (the Tree state, a root edge at ROOT_LEVEL 8
// holding a branch node of level 8). A 32nd key turns Flat into Tree; a
// removal that leaves 1..30 keys condenses Tree back into Flat, one that
// leaves none makes it Empty.
//
//   Empty  no array, no tree; `len` is not read (a clear does not rewrite it)
//   Flat   `root.payload` points at capacity_for(len) ascending u64 keys
//          (a map stores keys[cap] then values[cap] in the same block)
//   Tree   `root` is the root edge
//
// The record owns its NodeAlloc (every block reachable from the root comes
// from it) and its PathCache.
#pragma once

#include "engine/alloc.hpp"
#include "engine/path_cache.hpp"
#include "engine/types.hpp"

namespace corvale_trie {

struct KeyValue {
  u64 key;
  u64 value;
  friend bool operator==(const KeyValue&, const KeyValue&) = default;
};

// One answer of a batch map lookup.
struct FoundValue {
  u64 found;  // 1 when the key is present
  u64 value;  // its value, 0 when absent
};

struct CoreRecord {
  RootState state = RootState::Empty;
  u64 len = 0;
  Edge root;  // Flat: payload is the flat array; Tree: the root edge
  NodeAlloc alloc;
  PathCache path;

  // Key count: 0 whenever the root state is Empty, whatever `len` holds.
  [[nodiscard]] u64 count() const noexcept { return state == RootState::Empty ? 0 : len; }
  [[nodiscard]] u64* flat_keys() const noexcept { return root.ptr<u64>(); }
};

}  // namespace corvale_trie
