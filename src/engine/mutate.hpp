// corvale_trie engine: insertion of one key below an edge (set flavour), and
// the descent that set and map insertion share.
//
// Insertion walks down from the given edge one level at a time. On the way
// it
//  - turns an empty root edge into a level-8 BranchL3 and an empty edge below
//    the root into a one-key Immediate;
//  - materialises a skipped level when the key leaves an edge's skip prefix
//    (wrap_skip_level puts a one-child BranchL3 at the highest differing
//    level, and the key becomes its second child);
//  - finds or opens the key's child slot in each branch, upgrading a full
//    branch first (BranchL3 at its 4th child, BranchL7 at its 8th, BranchB
//    when a child arrives while it holds 192 or more; a BranchB under a skip
//    prefix is first wrapped one level up so that it can become a BranchU);
//  - records every edge it passes on a fixed descent stack (at most one
//    entry per level, the entry's level being the width of that edge's pop
//    field, 8 for the root edge, which has none);
//  - grows the leaf that takes the key through its forms:
//
//      set:  Immediate (n*W <= 15) -> LinearLeaf -> BitmapLeaf -> FullEdge
//            width 1: at most 25 keys, the 26th makes a BitmapLeaf;
//            width 2..7: at most 32 keys, the 33rd splits the leaf;
//            a BitmapLeaf becomes a FullEdge at its 256th key on a level-1
//            edge only
//      map:  Immediate (n*W <= 7, value inline or in a ValueArray)
//            -> LinearLeaf -> BitmapLeaf (never converted further)
//
//  - and, when the key is new, adds one to the pop field of every recorded
//    edge below the root.
//
// A split of a full width-2..7 leaf collects its 33 keys (pairs), completes
// them with the leaf's skip prefix and with the new key's bytes above the
// edge's level, and either builds a BitmapLeaf (all keys differ only in
// byte 0) or puts a BranchL3 at level d+1 (d = highest byte in which the
// smallest and largest key differ) under the edge and inserts every key
// again through the ordinary walk. Because the re-inserted keys carry their
// true upper bytes, a re-insertion that ends in a level-1 leaf leaves the
// path cache holding that leaf's true prefix, which later fast-path
// insertions compare against whole keys.
//
// Path cache protocol: the caller flushes and resets its PathCache before the
// call. The walk resets it again before every structural change on the path
// (new root node, skip wrap, branch upgrade, a new or grown Immediate, any
// LinearLeaf visit). When the key ends in a BitmapLeaf or width-1 LinearLeaf
// under a level-1 edge, the cache is filled with that leaf (its edge first)
// and then with every edge of the descent stack from the root down; the
// fast path of the containers then appends following keys of the same leaf
// without a descent. A leaf under a skip prefix is never cached, and the map
// flavour never caches a bitmap leaf it has just built from a full leaf.
//
// The walk is written once. A flavour policy supplies the leaf steps (set or
// map leaves, immediates and the FullEdge) and its result; a mode policy says
// what passing through a branch node costs. Private mode (the allocator has
// no collector) changes nodes in place and releases replaced blocks at once;
// a shared mode would open a version bracket on every branch it passes and
// drive the same steps recursively so that each bracket closes after the
// child is done.
#pragma once

#include "engine/alloc.hpp"
#include "engine/path_cache.hpp"
#include "engine/types.hpp"

namespace corvale_trie::mutate {

// Inserts `key` into the set-flavour subtree under `edge`, an edge of level
// `level` (ROOT_LEVEL for a container's root edge). Chooses the insertion of
// the allocator's mode; the allocator has no collector slot yet, so this is
// always the private-mode insertion. Returns true when the key was added,
// false when it was present (then nothing changed).
bool insert_path_dyn(NodeAlloc& alloc, Edge& edge, u64 key, u8 level, PathCache& path);

// The private-mode set insertion. The caller has flushed and reset `path`
// and adds 1 to its key count when the result is true; `len` and the root
// state are never touched here.
bool insert_with_path_flat(NodeAlloc& alloc, Edge& edge, u64 key, u8 level, PathCache& path);

}  // namespace corvale_trie::mutate
