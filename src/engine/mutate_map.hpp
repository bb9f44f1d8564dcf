// corvale_trie engine: insertion of one (key, value) pair below an edge
// (map flavour).
//
// Map insertion runs the descent shared with the set flavour (mutate.hpp):
// the same skip-prefix wraps, child slots, branch upgrades, descent stack,
// pop-field accounting and path-cache filling. Only the leaf steps differ:
//
//   Immediate   keys in the 7 decode bytes (n*W <= 7: 7 keys of width 1, 3 of
//               width 2, 2 of width 3, 1 of width 4..7), the value inline in
//               payload for one key, else a ValueArray of capacity_for(n)
//               values; a full Immediate becomes a LinearLeaf of width W
//   LinearLeaf  values[cap] then the packed keys; 25 pairs at width 1, 32 at
//               width 2..7; the next key turns a width-1 leaf into a
//               BitmapLeaf and splits a wider one (BitmapLeaf, or a BranchL3
//               at the highest differing level with every pair re-inserted)
//   BitmapLeaf  bitmap of low bytes and one value subarray per group of 32
//               bytes; takes up to 256 pairs and is never converted
//   FullEdge    never part of a map tree: meeting one is fatal
//
// Every reader and writer of a map Immediate here checks n*W <= 7 first
// ("valid immediate tag"), so no key is ever read past decode byte 6.
//
// The result is an InsertOutcome: `found` (1 when the key was present),
// `old` (its value before the call, written only when found) and `slot`
// (the address of the key's value word after the call, valid until the next
// structural change). The overwrite variant (ENSURE false) stores the new
// value over a present one; the keep-existing variant (ENSURE true) leaves a
// present value alone and lets the caller write through `slot`.
#pragma once

#include "engine/alloc.hpp"
#include "engine/path_cache.hpp"
#include "engine/types.hpp"

namespace corvale_trie::mutate_map {

// Private-mode map insertion below `edge` of level `level` (ROOT_LEVEL for a
// container's root edge). The caller has flushed and reset `path`; it adds 1
// to its pair count when out.found is 0.
template <bool ENSURE>
void map_insert_with_path_flat(InsertOutcome& out, NodeAlloc& alloc, Edge& edge, u64 key,
                               u64 value, u8 level, PathCache& path);

extern template void map_insert_with_path_flat<false>(InsertOutcome&, NodeAlloc&, Edge&, u64,
                                                      u64, u8, PathCache&);
extern template void map_insert_with_path_flat<true>(InsertOutcome&, NodeAlloc&, Edge&, u64,
                                                     u64, u8, PathCache&);

// The map insertion with OCC true: the shared-mode walk (version brackets,
// recursion, `path` left empty; see mutate.hpp). Instantiated for OCC true.
template <bool ENSURE, bool OCC>
void map_insert_with_path_occ(InsertOutcome& out, NodeAlloc& alloc, Edge& edge, u64 key,
                              u64 value, u8 level, PathCache& path);
extern template void map_insert_with_path_occ<false, true>(InsertOutcome&, NodeAlloc&, Edge&, u64,
                                                           u64, u8, PathCache&);
extern template void map_insert_with_path_occ<true, true>(InsertOutcome&, NodeAlloc&, Edge&, u64,
                                                          u64, u8, PathCache&);

// The insertion of the allocator's mode: shared when it has a collector.
template <bool ENSURE>
void map_insert_path_dyn(InsertOutcome& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value,
                         u8 level, PathCache& path);
extern template void map_insert_path_dyn<false>(InsertOutcome&, NodeAlloc&, Edge&, u64, u64, u8,
                                                PathCache&);
extern template void map_insert_path_dyn<true>(InsertOutcome&, NodeAlloc&, Edge&, u64, u64, u8,
                                               PathCache&);

}  // namespace corvale_trie::mutate_map
