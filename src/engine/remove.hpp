// corvale_trie engine: removal of one key, and release of a whole subtree.
//
// Removal descends from an edge one level per call and repairs the trie on
// the way back up; there are no parent pointers, the recursion is the path.
// Every branch on the path fixes its own incoming edge after its child call
// returned:
//
//  - the child is still non-empty: the edge's pop field drops by one (a node
//    of level 8, under the root edge, has no pop field);
//  - the child became empty: its slot is closed (a linear branch shifts its
//    digits and children, a BranchB shrinks or frees the group's subarray and
//    clears the bitmap bit, a BranchU just keeps the empty slot); a branch
//    left with no child is released and its edge emptied; otherwise the pop
//    field drops and the branch steps down a kind when it fell below its
//    threshold:
//
//        BranchU  fewer than 192 children -> BranchB
//        BranchB  fewer than 7 children   -> BranchL7
//        BranchL7 1 or 2 children         -> BranchL3
//
//    A branch with a single child is never merged into its parent edge and
//    no branch level turns back into a skip prefix: a trie keeps the depth
//    insertion gave it, except that emptied branches and leaves disappear.
//
// The leaf at the bottom shrinks itself and keeps its own edge exact. The set
// and map flavours differ only there:
//
//   set  Immediate       loses a key in place, or empties the edge
//        LinearLeaf      n <= 15/E keys before the removal: the rest become
//                        an Immediate of width E; otherwise it shrinks
//        BitmapLeaf      kept while 21 or more keys remain; at 20 it becomes
//                        a width-1 LinearLeaf that keeps the skip prefix
//        FullEdge        first expanded (a 256-bit BitmapLeaf at level 1,
//                        a BranchU of FullEdges above), then removed from
//   map  Immediate       2 pairs -> 1 pair with the value inline; the
//                        ValueArray shrinks when its capacity changes
//        LinearLeaf      n <= 7/E pairs before the removal: the rest become
//                        a map Immediate of width E; otherwise it shrinks
//        BitmapLeaf      as for sets, with value subarrays per 32-byte group,
//                        rebuilt at 20 into a width-1 leaf (or an Immediate
//                        when fewer than 7/E pairs remain)
//        FullEdge        cannot occur (fatal)
//
// Both flavours run one branch walk; the flavour supplies only the leaf step
// and its result type. The walk is also parameterised by the version-bracket
// policy of branch nodes, so that the shared-mode variant (branch versions
// made odd while a writer is in or below them) runs exactly the decisions of
// the private-mode variant defined here.
//
// Absence is an ordinary result: a missing key, a skip-prefix mismatch or an
// empty edge leaves every byte of the trie unchanged. Every block is released
// with the size and alignment it was allocated with, so removing every key
// brings the allocator's mem_used and live_nodes back to what they were
// before the first insertion.
//
// Callers (the core containers) flush and reset their PathCache before
// calling, pass the root edge at ROOT_LEVEL, and adjust their own key count;
// nothing here touches the count, the root state or the path cache.
#pragma once

#include "engine/alloc.hpp"
#include "engine/types.hpp"

namespace corvale_trie::mutate {

// A bitmap leaf is kept while at least this many keys remain.
inline constexpr u64 BITMAP_LEAF_MIN = 21;
// The branch downgrade thresholds (U_MIN_CHILDREN, B_MIN_CHILDREN,
// L7_MIN_CHILDREN) are those of the conversions (convert.hpp).

// Removes `key` from the set-flavour subtree under `edge`, an edge of level
// `level` (ROOT_LEVEL for the root edge). Returns true when the key was
// present and is gone; false (and nothing changed) when it was absent.
// Runs the walk of the allocator's mode: private (no version changes) or
// shared (version brackets, copies of edges stored back, see remove.cpp).
bool remove(NodeAlloc& alloc, Edge& edge, u64 key, u8 level);

// Releases every node, leaf and array under `edge` (post-order, nothing
// written into them) and clears it to an empty edge. IS_MAP selects the
// flavour of the leaves (the map flavour also releases value arrays and
// bitmap-leaf value subarrays). A tag that is not a form of that flavour is
// fatal ("valid edge tag").
template <bool IS_MAP>
void free_subtree(NodeAlloc& alloc, Edge& edge);

extern template void free_subtree<false>(NodeAlloc&, Edge&);
extern template void free_subtree<true>(NodeAlloc&, Edge&);

}  // namespace corvale_trie::mutate

namespace corvale_trie::mutate_map {

// Result of a map removal: `old` is the removed pair's value and means
// something only when `removed` is true.
struct MapRemoved {
  bool removed = false;
  u64 old = 0;
  friend bool operator==(const MapRemoved&, const MapRemoved&) = default;
};

// Removes `key` and its value from the map-flavour subtree under `edge`, an
// edge of level `level`. When the key is absent nothing is changed.
// Either mode, as for remove.
MapRemoved map_remove(NodeAlloc& alloc, Edge& edge, u64 key, u8 level);

}  // namespace corvale_trie::mutate_map
