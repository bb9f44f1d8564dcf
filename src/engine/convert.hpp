// corvale_trie engine: conversions between the branch node kinds.
//
// A branch changes kind as its child count crosses fixed thresholds:
//
//   BranchL3 --4th child--> BranchL7 --8th child--> BranchB --193rd child--> BranchU
//   BranchL3 <--1..2 left-- BranchL7 <--1..6 left-- BranchB <--1..191 left-- BranchU
//
// The up and down thresholds differ (L7_MIN_CHILDREN, B_MIN_CHILDREN,
// U_MIN_CHILDREN below), so a node sitting at a threshold does not flip kind
// on every alternating insert and remove. The callers (insertion and removal
// of both flavours and both allocator modes) decide when to convert; the
// routines here only build the new node and swap it into the parent edge.
//
// Protocol of every conversion: build the new node from the old one, rewrite
// the parent edge's payload and tag, and only then release the old block. The
// old node is never written but for its obsolete mark (below), so in shared
// mode a concurrent reader that still holds it sees it whole until the
// collector recycles it. All seven decode bytes of the edge (pop field in
// the low L bytes, skip prefix in bytes L..E-1) stay as they were, except in
// wrap_skip_level, which splits the edge's skip prefix around a new node.
//
// Version words: the byte copies between BranchL3 and BranchL7 carry the
// node's version word over; every other new node starts at version 0. In
// shared mode the old node is marked obsolete (mark_leaving) once the new one
// is built and before the edge is pointed at it: the children move to the
// new node as they are, so a reader still inside the old node must fail its
// next validation rather than read a child that later changes under the new
// node's bracket. Beyond that mark the routines bump no version: the caller
// brackets the edge rewrite with its parent node's version.
//
// Branches hold only edges, so the same code serves the set and the map
// flavour.
#pragma once

#include "engine/alloc.hpp"
#include "engine/node.hpp"
#include "engine/types.hpp"

namespace corvale_trie::mutate {

// Child-count thresholds, applied by the insertion and removal paths.
inline constexpr unsigned L3_MAX_CHILDREN = 3;  // a 4th child upgrades a BranchL3
inline constexpr unsigned L7_MAX_CHILDREN = 7;  // an 8th child upgrades a BranchL7
// A new child arriving at a BranchB that already holds this many children (and
// carries no skip prefix) upgrades it to a BranchU.
inline constexpr unsigned B_MAX_CHILDREN = 192;
// Removals: a BranchU left with fewer than U_MIN_CHILDREN children becomes a
// BranchB, a BranchB with fewer than B_MIN_CHILDREN a BranchL7, a BranchL7
// with fewer than L7_MIN_CHILDREN a BranchL3. A branch left with no child is
// released by the removal itself; a one-child branch is never merged into its
// parent edge.
inline constexpr unsigned U_MIN_CHILDREN = 192;
inline constexpr unsigned B_MIN_CHILDREN = 7;
inline constexpr unsigned L7_MIN_CHILDREN = 3;

// Replace the node under `edge` by one of the next larger kind holding the
// same children. The caller inserts the new child afterwards.
void upgrade_l3_to_l7(NodeAlloc& alloc, Edge& edge);
void upgrade_l7_to_b(NodeAlloc& alloc, Edge& edge);
// Precondition: the BranchB's level equals the edge's level (no skip prefix).
void upgrade_b_to_u(NodeAlloc& alloc, Edge& edge);

// Replace the node under `edge` by one of the next smaller kind. `level` is
// the edge's level, which becomes the new BranchB's level byte; the other
// two take the level from the old node.
void downgrade_u_to_b(NodeAlloc& alloc, Edge& edge, u8 level);
void downgrade_b_to_l7(NodeAlloc& alloc, Edge& edge);
void downgrade_l7_to_l3(NodeAlloc& alloc, Edge& edge);

// Materialises skipped level `new_level` (1 <= new_level <= edge_level,
// new_level <= 7) of `edge`, an edge at `edge_level`: the old subtree moves
// under a new one-child BranchL3 of level `new_level`, keeping the part of
// its skip prefix below that level; the edge keeps the part above it and
// gets a pop field of `new_level` bytes holding `population` - 1.
void wrap_skip_level(NodeAlloc& alloc, Edge& edge, u8 new_level, u8 edge_level, u64 population);

// Releases a linear branch block: a BranchL3 (is_l3) or a BranchL7.
void free_branch_node(NodeAlloc& alloc, void* node, bool is_l3);

// A branch node of any kind leaves the tree. In shared mode its version is
// marked obsolete (occ::mark_obsolete): every conversion marks the old node
// before it links the new one, and every release of a branch (an emptied
// node, a subtree) goes through release_branch. Private mode leaves the
// version alone.
template <class Node>
inline void mark_leaving(const NodeAlloc& alloc, Node& node) noexcept {
  if (alloc.shared()) occ::mark_obsolete(node.version);
}
template <class Node>
inline void release_branch(NodeAlloc& alloc, Node* node) {
  CORVALE_EXPECT(node != nullptr, "");
  mark_leaving(alloc, *node);
  alloc.destroy(node, "");
}

// Opens the slot for `digit` in a linear branch's digit row and child array
// (`capacity` 3 or 7 edges, `count` present) and returns its index; the new
// child edge is empty. `count` and `nibble_filter` are left to the caller.
// Both write the node's words with relaxed stores (readers may be in it).
unsigned linear_insert_slot(u8* digits, Edge* children, unsigned capacity, unsigned count, u8 digit);
// Closes slot `index`, zeroing the freed last slot, and returns count - 1.
unsigned linear_remove_slot(u8* digits, Edge* children, unsigned capacity, unsigned count,
                            unsigned index);

}  // namespace corvale_trie::mutate
