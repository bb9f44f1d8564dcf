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
// no collector) changes nodes in place and releases replaced blocks at once.
// Shared mode (occ.hpp: lock-free readers walk the trie meanwhile) opens the
// version bracket of every branch it passes and drives the same steps
// recursively, one edge per call, so that each bracket closes after the
// child call returned; the call then adds the new key to its own edge's pop
// field inside the parent's still open bracket. Each shared call works on a
// copy of its edge and stores it back (two relaxed words) once its subtree
// is complete, so a replacement block is filled before it is linked; blocks
// it gives up are retired by the allocator. Words changed in place in
// reachable blocks (digits, counts, filters, bitmaps, subarray pointers,
// group counts, leaf keys and values) are written with relaxed atomic
// stores in both modes (plain moves on x86-64), bulk moves inside such
// blocks with relaxed word moves in shared mode only. The shared walk keeps
// the path cache empty: the containers' fast path never runs in shared
// mode, since it would change a leaf and its edge with no version a reader
// past the branch above could see.
#pragma once

#include <bit>
#include <cstring>

#include "engine/alloc.hpp"
#include "engine/codec.hpp"
#include "engine/convert.hpp"
#include "engine/leaf.hpp"
#include "engine/node.hpp"
#include "engine/occ.hpp"
#include "engine/path_cache.hpp"
#include "engine/types.hpp"

namespace corvale_trie::mutate {

// Inserts `key` into the set-flavour subtree under `edge`, an edge of level
// `level` (ROOT_LEVEL for a container's root edge). Chooses the insertion of
// the allocator's mode (shared when it has a collector). Returns true when
// the key was added, false when it was present (then nothing changed).
bool insert_path_dyn(NodeAlloc& alloc, Edge& edge, u64 key, u8 level, PathCache& path);

// The private-mode set insertion. The caller has flushed and reset `path`
// and adds 1 to its key count when the result is true; `len` and the root
// state are never touched here.
bool insert_with_path_flat(NodeAlloc& alloc, Edge& edge, u64 key, u8 level, PathCache& path);

// The set insertion with OCC true: the shared-mode walk (version brackets,
// recursion, `path` left empty); with OCC false the private-mode one.
template <bool OCC>
bool insert_with_path_occ(NodeAlloc& alloc, Edge& edge, u64 key, u8 level, PathCache& path);
extern template bool insert_with_path_occ<false>(NodeAlloc&, Edge&, u64, u8, PathCache&);
extern template bool insert_with_path_occ<true>(NodeAlloc&, Edge&, u64, u8, PathCache&);

}  // namespace corvale_trie::mutate

// ---------------------------------------------------------------------------
// The insertion walk shared by the set and map flavours.
//
// One examination of one edge is a `Step`: examine the same edge again (it
// has just been converted or wrapped), descend into a child edge (the
// current edge is recorded on the descent stack with the width of its pop
// field), or finish with the key added or found present. The steps take
// every decision; the driver only loops over them, keeps the descent stack
// and does the final accounting. A shared-mode driver would run the same
// steps recursively instead, closing each branch's version bracket after the
// child call returned.
//
// A flavour policy `F` provides:
//   F::Ctx                  the per-call context: `alloc`, `path`, `key`,
//                           and for the map the value, the outcome record
//                           and the slot of the key's value word
//   F::kMap                 leaf layouts with a value per key
//   F::kCacheConvertedBitmap whether a BitmapLeaf built from a full width-1
//                           leaf at level 1 fills the path cache
//   F::valid_immed_tag(t)   the flavour's Immediate tag bound
//   F::empty_edge, F::immediate, F::bitmap_leaf, F::full_edge
//                           the flavour's leaf steps
//   F::Items, F::collect, F::new_item, F::item_key, F::build_bitmap,
//   F::nested_ctx           what the overflow of a full leaf needs
//   F::present(c, slot), F::added(c, slot), F::added_after_rebuild
//                           what a found or stored key reports
// A mode policy `M` provides `open_branch(version)`, called for every branch
// node the walk passes through, before anything in or below it changes, and
// `kShared`, which selects the driver (the loop or the recursion).

namespace corvale_trie::mutate::walk {

// Private mode: the allocator has no collector, no reader runs concurrently,
// so passing through a branch costs nothing; replaced blocks go straight
// back to the allocator.
struct PrivateMode {
  static constexpr bool kShared = false;
  static void open_branch(u32& /*version*/) noexcept {}
};

// Shared mode: a branch is opened (odd, full fence) before the walk changes
// anything in or below it; the recursive driver closes it.
struct SharedMode {
  static constexpr bool kShared = true;
  static void open_branch(u32& version) noexcept { occ::open_version(version); }
};

enum class StepKind : u8 { Again, Descend, Added, Present };

struct Step {
  StepKind kind = StepKind::Again;
  Edge* child = nullptr;     // Descend: the child edge
  u8 child_level = 0;        // Descend: its level
  u8 entry_level = 0;        // Descend: pop-field width of the current edge
  u32* version = nullptr;    // Descend: the version of the branch passed

  [[nodiscard]] static constexpr Step again() noexcept { return {}; }
  [[nodiscard]] static constexpr Step added() noexcept { return {StepKind::Added}; }
  [[nodiscard]] static constexpr Step present() noexcept { return {StepKind::Present}; }
  [[nodiscard]] static constexpr Step descend(Edge* child, u8 child_level, u8 entry_level,
                                              u32& version) noexcept {
    return {StepKind::Descend, child, child_level, entry_level, &version};
  }
};

// The edges a walk passed through, root first, each with the width of its
// pop field (8 for the root edge, which has none).
struct DescentStack {
  Edge* edges[8] = {};
  u8 levels[8] = {};
  unsigned depth = 0;

  void push(Edge* e, u8 level) noexcept {
    if (depth >= 8) [[unlikely]]
      panic_fmt(CORVALE_HERE, "index out of bounds: the len is 8 but the index is %u", depth);
    edges[depth] = e;
    levels[depth] = level;
    ++depth;
  }
};

// A new key below every recorded edge: each pop field below the root gains
// one, and a cache filled at the leaf gets the path, root first.
inline void account_new_key(const DescentStack& stack, PathCache& path) noexcept {
  for (unsigned i = 0; i < stack.depth; ++i) {
    if (stack.levels[i] < ROOT_LEVEL) stack.edges[i]->add_pop(stack.levels[i], 1);
    path.append(stack.edges[i], stack.levels[i]);
  }
}

// Starts the path cache at a level-1 leaf that has just taken `key`; the
// ancestors are appended by account_new_key. The previous content is
// overwritten: its pending delta is zero, the caller having flushed.
// One of `bitmap_leaf` (a BitmapLeaf block) and `linear_leaf` (a width-1
// LinearLeaf key block) is set.
inline void fill_cache(PathCache& path, u64 key, Edge& edge, void* bitmap_leaf, u8* linear_leaf,
                       u64 count) noexcept {
  path.begin_fill(key, &edge);
  path.bitmap_leaf = bitmap_leaf;
  path.linear_leaf = linear_leaf;
  path.leaf_count = static_cast<u16>(count);
}

// Level of the highest key byte in which `key` leaves the skip prefix that
// `edge` (level E) keeps above a node or leaf resolving from `node_level`:
// 1 + the index of the highest differing decode byte among node_level..E-1.
[[nodiscard]] inline u8 differing_level(const Edge& edge, u64 key, unsigned node_level,
                                        unsigned edge_level) noexcept {
  const u64 x = (edge.decode_word() ^ key) & (byte_mask(edge_level - node_level) << (8 * node_level));
  CORVALE_ASSERT(x != 0);
  return static_cast<u8>(1 + ((63 - std::countl_zero(x)) >> 3));
}

// When `key` leaves the skip prefix that `edge` (level E) keeps above the
// node or leaf resolving from `node_level`, puts a one-child BranchL3 at the
// differing level between the edge and its subtree (whose population is the
// edge's pop field of width node_level, plus one) and returns true: the
// caller examines the edge again, which adds the key as the new node's
// second child. Otherwise changes nothing and returns false.
inline bool wrap_if_outside(NodeAlloc& alloc, PathCache& path, Edge& edge, u64 key, unsigned node_level,
                            u8 E) {
  if (node_level >= E || skip_matches(edge, key, node_level, E)) return false;
  path.flush_and_reset();
  wrap_skip_level(alloc, edge, differing_level(edge, key, node_level, E), E, edge.pop(node_level));
  return true;
}

// Leaf block layout of a flavour: a set leaf is the packed keys alone, a map
// leaf keeps values[cap] before them.
template <class F>
[[nodiscard]] constexpr u64 leaf_block_bytes(u64 n, unsigned width) noexcept {
  return F::kMap ? map_leaf_bytes(n, width) : set_leaf_bytes(n, width);
}
template <class F>
[[nodiscard]] constexpr u64 leaf_key_offset(u64 n) noexcept {
  return F::kMap ? 8 * capacity_for(n) : 0;
}

template <class F, class M>
bool run(typename F::Ctx& c, Edge& edge, u8 level);

// ---------------------------------------------------------------------------
// Branch steps (flavour-neutral: branches hold only edges)

// An empty root edge gets an empty level-8 BranchL3; examining it again adds
// the key's child.
inline Step new_root_node(NodeAlloc& alloc, PathCache& path, Edge& edge) {
  auto* node = alloc.make<BranchL3>();
  node->level = ROOT_LEVEL;
  edge.clear();
  edge.set_ptr(node);
  edge.tag = TAG_L3;
  path.flush_and_reset();
  return Step::again();
}

// A linear branch (BranchL3 or BranchL7) whose digit row lacks the key's
// digit, or whose skip prefix the key leaves: the key's slot is opened here,
// after a wrap or an upgrade when needed.
template <class M, class Node>
[[gnu::noinline]] Step branch_linear_miss(NodeAlloc& alloc, PathCache& path, Edge& edge, u64 key, u8 E) {
  constexpr unsigned kCap = Node::kCapacity;
  auto* node = edge.ptr<Node>();
  const u8 L = node->level;
  if (wrap_if_outside(alloc, path, edge, key, L, E)) return Step::again();
  const u8 d = digit_at(key, L);
  const unsigned count = node->count;
  if (count == kCap) {
    path.flush_and_reset();
    if constexpr (kCap == 3)
      upgrade_l3_to_l7(alloc, edge);
    else
      upgrade_l7_to_b(alloc, edge);
    return Step::again();
  }
  M::open_branch(node->version);
  const unsigned pos = linear_insert_slot(node->digits, node->children, kCap, count, d);
  occ::store(node->count, static_cast<u8>(count + 1));
  occ::store(node->nibble_filter, static_cast<u16>(node->nibble_filter | (1u << (d & 15))));
  return Step::descend(&node->children[pos], static_cast<u8>(L - 1), L, node->version);
}

// A linear branch: descends into the child of the key's digit. The set walk
// reads a BranchL3's at most three digits without its nibble filter; a
// BranchL7 tests the filter first. A full node is upgraded to the next kind
// and examined again.
template <class M, class Node>
[[gnu::always_inline]] inline Step branch_linear(NodeAlloc& alloc, PathCache& path, Edge& edge, u64 key, u8 E) {
  constexpr unsigned kCap = Node::kCapacity;
  auto* node = edge.ptr<Node>();
  CORVALE_EXPECT(node != nullptr, MISSING_BLOCK);
  const u8 L = node->level;
  if (node->count > kCap) [[unlikely]]
    panic_fmt(CORVALE_HERE, "index out of bounds: the len is %u but the index is %u", kCap, node->count);
  if (L >= E || skip_matches(edge, key, L, E)) {
    const u8 d = digit_at(key, L);
    const int i = kCap == 3 || node->filter_may_hold(d) ? node->find(d) : -1;
    if (i >= 0) {
      M::open_branch(node->version);
      return Step::descend(&node->children[i], static_cast<u8>(L - 1), L, node->version);
    }
  }
  return branch_linear_miss<M, Node>(alloc, path, edge, key, E);
}

template <class M>
Step branch_b(NodeAlloc& alloc, PathCache& path, Edge& edge, u64 key, u8 E) {
  auto* node = edge.ptr<BranchB>();
  CORVALE_EXPECT(node != nullptr, MISSING_BLOCK);
  const u8 L = node->level;
  if (wrap_if_outside(alloc, path, edge, key, L, E)) return Step::again();
  const u8 d = digit_at(key, L);
  const unsigned g = d >> 5;
  const unsigned r = node->bitmap.rank_in_group(d);
  if (node->bitmap.test(d)) {
    CORVALE_EXPECT(node->subarrays[g] != nullptr, "subarray");
    M::open_branch(node->version);
    return Step::descend(&node->subarrays[g][r], static_cast<u8>(L - 1), L, node->version);
  }
  if (node->bitmap.count() >= B_MAX_CHILDREN) {
    path.flush_and_reset();
    if (L == E) {
      upgrade_b_to_u(alloc, edge);
    } else {
      // A BranchU keeps no skip prefix: first give the node an edge of its
      // own level under a new one-child BranchL3 directly above it.
      wrap_skip_level(alloc, edge, static_cast<u8>(L + 1), E, edge.pop(L));
    }
    return Step::again();
  }
  M::open_branch(node->version);
  const u64 n = node->group_counts[g];
  Edge* sub = open_slot(alloc, node->subarrays[g], n, r, "subarray");
  occ::store_edge(sub[r], Edge{});
  occ::store(node->subarrays[g], sub);
  occ::store(node->group_counts[g], static_cast<u16>(n + 1));
  occ::set_bit(node->bitmap, d);
  return Step::descend(&sub[r], static_cast<u8>(L - 1), L, node->version);
}

template <class M>
Step branch_u(Edge& edge, u64 key, u8 E) {
  auto* node = edge.ptr<BranchU>();
  CORVALE_EXPECT(node != nullptr, MISSING_BLOCK);
  M::open_branch(node->version);
  return Step::descend(&node->children[digit_at(key, E)], static_cast<u8>(E - 1), E, node->version);
}

// ---------------------------------------------------------------------------
// Linear leaves (one algorithm, two block layouts)

// A full leaf of n keys takes one more: gather the n + 1 keys (pairs) with
// their bytes above the leaf's width restored, then build a BitmapLeaf when
// they differ only in byte 0, else a BranchL3 at the level of their highest
// differing byte, under which every key is inserted again.
template <class F, class M>
Step overflow_leaf(typename F::Ctx& c, Edge& edge, u8 E, unsigned W, u64 n, u64 p) {
  void* old_block = edge.ptr<void>();
  typename F::Items items = F::collect(edge, static_cast<u8>(W), n);
  items.insert_at(p, F::new_item(c, c.key & byte_mask(W)));
  // Every key below the edge shares the skip prefix (decode bytes W..E-1)
  // and the inserted key's bytes E..7. The re-inserted keys carry them all,
  // so a path cache filled by a re-insertion holds its leaf's true prefix.
  const u64 upper = decode_key_bits(edge, W, E) | (c.key & ~byte_mask(E));
  for (auto& item : items) F::item_key(item) |= upper;

  const u64 x = (F::item_key(items[0]) ^ F::item_key(items[items.size() - 1])) & byte_mask(E);
  CORVALE_ASSERT(x != 0);
  const unsigned d = static_cast<unsigned>((63 - std::countl_zero(x)) >> 3);
  CORVALE_ASSERT(d < W);
  if (d == 0) {
    F::build_bitmap(c, edge, items);
    write_decode(edge, 1, E, F::item_key(items[0]));
    if (F::kCacheConvertedBitmap && E == 1)
      fill_cache(c.path, c.key, edge, edge.ptr<void>(), nullptr, items.size());
  } else {
    auto* node = c.alloc.template make<BranchL3>();
    node->level = static_cast<u8>(d + 1);
    edge.clear();
    edge.set_ptr(node);
    edge.tag = TAG_L3;
    if (d + 1 < E) write_decode(edge, static_cast<u8>(d + 1), E, F::item_key(items[0]));
    for (const auto& item : items) {
      typename F::Ctx inner = F::nested_ctx(c, item);
      run<F, M>(inner, edge, E);
    }
    edge.set_pop(d + 1, items.size());
  }
  c.alloc.release_bytes(old_block, leaf_block_bytes<F>(n, W), "leaf ptr");
  return F::added_after_rebuild(c, edge, E);
}

template <class F, class M>
Step linear_leaf(typename F::Ctx& c, Edge& edge, u8 E, unsigned W) {
  const u64 n = edge.pop(W);
  c.path.flush_and_reset();
  if (wrap_if_outside(c.alloc, c.path, edge, c.key, W, E)) return Step::again();
  u8* block = edge.ptr<u8>();
  CORVALE_EXPECT(block != nullptr, "leaf ptr");
  u8* keys = block + leaf_key_offset<F>(n);
  u64* values = reinterpret_cast<u64*>(block);  // map flavour only
  const u64 k = c.key & byte_mask(W);

  // Appends compare with the last key first and skip the search.
  const u64 last = leaf::key_at(keys, W, n - 1);
  u64 p = n;
  if (k == last) return F::present(c, F::kMap ? values + (n - 1) : nullptr);
  if (k < last) {
    p = leaf::lower_bound_dyn(keys, n, W, k);
    if (leaf::key_at(keys, W, p) == k) return F::present(c, F::kMap ? values + p : nullptr);
  }

  const u64 limit = W == 1 ? (F::kMap ? MAP_W1_LEAF_MAX : SET_W1_LEAF_MAX) : LINEAR_LEAF_MAX;
  if (n >= limit) return overflow_leaf<F, M>(c, edge, E, W, n, p);

  if (capacity_for(n + 1) == capacity_for(n)) {
    if (M::kShared) {
      occ::move_within(keys + (p + 1) * W, keys + p * W, (n - p) * W);
      if constexpr (F::kMap) occ::move_within(values + p + 1, values + p, (n - p) * 8);
    } else {
      std::memmove(keys + (p + 1) * W, keys + p * W, (n - p) * W);
      if constexpr (F::kMap) std::memmove(values + p + 1, values + p, (n - p) * 8);
    }
  } else {
    u8* grown = static_cast<u8*>(c.alloc.allocate_bytes(leaf_block_bytes<F>(n + 1, W)));
    u8* grown_keys = grown + leaf_key_offset<F>(n + 1);
    std::memcpy(grown_keys, keys, p * W);
    std::memcpy(grown_keys + (p + 1) * W, keys + p * W, (n - p) * W);
    if constexpr (F::kMap) {
      u64* grown_values = reinterpret_cast<u64*>(grown);
      std::memcpy(grown_values, values, p * 8);
      std::memcpy(grown_values + p + 1, values + p, (n - p) * 8);
    }
    c.alloc.release_bytes(block, leaf_block_bytes<F>(n, W), "leaf ptr");
    edge.set_ptr(grown);
    block = grown;
    keys = grown_keys;
    values = reinterpret_cast<u64*>(grown);
  }
  if (M::kShared)
    occ::store_key(keys, W, p, k);
  else
    leaf::set_key_at(keys, W, p, k);
  if constexpr (F::kMap) occ::store(values[p], c.value);
  edge.set_pop(W, n + 1);
  if (W == 1 && E == 1) fill_cache(c.path, c.key, edge, nullptr, block, n + 1);
  return F::added(c, F::kMap ? values + p : nullptr);
}

// ---------------------------------------------------------------------------
// One examination of one edge

template <class F, class M>
Step examine(typename F::Ctx& c, Edge& edge, u8 E) {
  const u8 tag = edge.tag;
  switch (tag) {
    case TAG_EMPTY:
      if (E == ROOT_LEVEL) return new_root_node(c.alloc, c.path, edge);
      return F::empty_edge(c, edge, E);
    case TAG_L3: return branch_linear<M, BranchL3>(c.alloc, c.path, edge, c.key, E);
    case TAG_L7: return branch_linear<M, BranchL7>(c.alloc, c.path, edge, c.key, E);
    case TAG_B: return branch_b<M>(c.alloc, c.path, edge, c.key, E);
    case TAG_U: return branch_u<M>(edge, c.key, E);
    case TAG_BITMAP_LEAF:
      if (wrap_if_outside(c.alloc, c.path, edge, c.key, 1, E)) return Step::again();
      return F::bitmap_leaf(c, edge, E);
    case TAG_FULL: return F::full_edge(c, edge, E);
    default:
      if (is_linear_leaf_tag(tag)) return linear_leaf<F, M>(c, edge, E, linear_leaf_width(tag));
      CORVALE_EXPECT(F::valid_immed_tag(tag), "valid immediate tag");
      return F::immediate(c, edge, E, immed_width(tag), immed_count(tag));
  }
}

template <class F>
bool run_shared(typename F::Ctx& c, Edge& edge, u8 level);

// The private-mode driver: a loop over the steps with the descent stack;
// a new key is accounted on every recorded edge at the end. Shared mode
// takes the recursive driver.
template <class F, class M>
bool run(typename F::Ctx& c, Edge& edge, u8 level) {
  if constexpr (M::kShared) return run_shared<F>(c, edge, level);
  DescentStack stack;
  Edge* cur = &edge;
  u8 E = level;
  for (;;) {
    const Step s = examine<F, M>(c, *cur, E);
    switch (s.kind) {
      case StepKind::Again:
        break;
      case StepKind::Descend:
        stack.push(cur, s.entry_level);
        cur = s.child;
        E = s.child_level;
        break;
      case StepKind::Present:
        return false;
      case StepKind::Added:
        account_new_key(stack, c.path);
        return true;
    }
  }
}

}  // namespace corvale_trie::mutate::walk

namespace corvale_trie::mutate::walk {

// The shared-mode driver: one edge per call, worked on in a copy `mine`.
// Each branch step has opened its node; the child call runs inside the
// bracket, the node is closed, and a new key then counts in this edge's pop
// field (none at the root). The copy is stored back when it changed, inside
// the parent's bracket (or under the container's sequence word at the root).
// A value slot the flavour reported inside the copy (a map Immediate's
// inline value) is moved to the real edge.
template <class F>
bool run_shared(typename F::Ctx& c, Edge& edge, u8 level) {
  Edge mine = occ::load_edge(edge);
  bool added = false;
  for (bool done = false; !done;) {
    const Step s = examine<F, SharedMode>(c, mine, level);
    switch (s.kind) {
      case StepKind::Again:
        break;
      case StepKind::Descend:
        added = run_shared<F>(c, *s.child, s.child_level);
        occ::close_version(*s.version);
        if (added && s.entry_level < ROOT_LEVEL) mine.add_pop(s.entry_level, 1);
        done = true;
        break;
      case StepKind::Present:
        done = true;
        break;
      case StepKind::Added:
        added = true;
        done = true;
        break;
    }
  }
  if (std::memcmp(&mine, &edge, sizeof(Edge)) != 0) occ::store_edge(edge, mine);
  F::relocate_slot(c, mine, edge);
  return added;
}

}  // namespace corvale_trie::mutate::walk
