// corvale_trie engine: point lookup.
//
// Both walks go from one edge down to the single place where a key can be,
// with no recursion, no allocation and no change to anything. The walk state
// is the current edge, the key and the level of the current edge (ROOT_LEVEL
// 8 at a container's root edge). At each step:
//
//  - BranchL3 / BranchL7 / BranchB: when the node's level L is below the
//    edge's level E, the skip prefix (decode bytes L..E-1) must equal key
//    bytes L..E-1; then the digit at level L selects the child (a linear scan
//    of the digit row, guarded by the nibble filter where it pays; one
//    popcount of a bitmap group word in a BranchB), which stands at L-1.
//  - BranchU: never skip-compressed; children[digit at E] at E-1, and a run
//    of BranchU nodes costs one load per level.
//  - Leaves test the skip prefix above their width (W for a LinearLeaf, 1 for
//    a BitmapLeaf), then search their keys; an Immediate compares the low W
//    bytes of the key with each stored key; a FullEdge holds every key.
//  - An empty edge and a tag outside the table mean absent: a lookup never
//    stops the process on a malformed edge, except for the map walk meeting
//    a FullEdge, which only the set flavour may hold.
//
// The walks never read the path cache: the only pop field they read is a
// LinearLeaf's own, which is always exact.
//
// Callers: the core set's membership test in its tree state (contains_walk),
// the map's insertion (to find the slot of the key it has just stored, from
// the edge it rebuilt), and the string, bytes and blob maps (locate_slot from
// a map's root edge).
#pragma once

#include "engine/types.hpp"

namespace corvale_trie::get {

// Set flavour: whether `key` is stored under `edge`, an edge at `level`.
[[nodiscard]] bool contains_walk(const Edge& edge, u64 key, u8 level) noexcept;

// Map flavour: the address of the value word of `key` under `edge` (an edge
// at `level`), or nullptr. The address leads into a map LinearLeaf, a value
// subarray of a map BitmapLeaf, a ValueArray, or the payload word of a
// one-key map Immediate (that is, into the edge itself); it stays valid until
// the next change to the container. A FullEdge is a fatal error.
[[nodiscard]] u64* locate_slot(const Edge* edge, u64 key, u8 level);

}  // namespace corvale_trie::get
