// Removal of one key (set and map flavour) and release of a subtree.
//
// One recursive walk, `RemoveWalk<Leaves, Mode>`, carries both removals. It
// owns everything that happens in branch nodes: the skip-prefix test, the
// child lookup, the recursion, closing an emptied child's slot, releasing a
// branch left without children, the pop-field decrement of the incoming
// edge and the downgrades. `Leaves` is the flavour: it handles every edge
// that is not a branch (immediates, linear and bitmap leaves, the full edge)
// and shrinks or converts the leaf it finds. `Mode` brackets the work inside
// each branch node: the private mode below does nothing; a shared mode makes
// the node's version odd before the child is visited and even again once the
// node's own slots are consistent, with the edits of the incoming edge (pop
// field, emptying, downgrade) after the close, inside the parent's bracket.
// The positions of `open` and `close` below are exactly those points. In
// shared mode each call works on a copy of its edge and stores it back (two
// relaxed words) when it changed, so an edge is never seen half rebuilt by
// a reader that then validates; words changed in place inside reachable
// blocks are written with relaxed atomic stores (occ.hpp).
#include "engine/remove.hpp"

#include <cstring>

#include "engine/codec.hpp"
#include "engine/convert.hpp"
#include "engine/core.hpp"
#include "engine/leaf.hpp"
#include "engine/node.hpp"

namespace corvale_trie::mutate {
namespace {

// Outcome of one step of the walk; `old` is the removed value (map flavour).
struct Removed {
  bool removed = false;
  u64 old = 0;
};

inline constexpr Removed kAbsent{};

// The pop field of `edge`, `width` bytes wide, drops by one. A node of level
// 8 (under the root edge) has no pop field.
inline void drop_pop(Edge& edge, unsigned width) noexcept {
  if (width <= 7) edge.add_pop(width, ~u64{0});
}

[[noreturn]] void linear_count_out_of_bounds(unsigned count, unsigned cap) noexcept {
  panic_fmt(CORVALE_HERE, "index out of bounds: the len is %u but the index is %u", cap, count);
}

// Private mode: nodes change in place, versions stay as they are.
struct PrivateMode {
  static constexpr bool kShared = false;
  static void open(u32& /*version*/) noexcept {}
  static void close(u32& /*version*/) noexcept {}
};

// Shared mode: the bracket of occ.hpp.
struct SharedMode {
  static constexpr bool kShared = true;
  static void open(u32& version) noexcept { occ::open_version(version); }
  static void close(u32& version) noexcept { occ::close_version(version); }
};

// Shifts `n` bytes inside a block readers may be reading (shared mode).
inline void move_bytes(const NodeAlloc& alloc, void* dst, const void* src, u64 n) noexcept {
  if (alloc.shared())
    occ::move_within(dst, src, n);
  else
    std::memmove(dst, src, n);
}

// The nibble filter of a linear branch's first `count` digits.
[[nodiscard]] inline u16 digit_filter(const u8* digits, unsigned count) noexcept {
  u16 f = 0;
  for (unsigned i = 0; i < count; ++i) f |= static_cast<u16>(1u << (digits[i] & 15));
  return f;
}

// Slot of digit d in a linear branch (a scan for up to three digits, one
// eight-lane compare of the digit row for four or more), or -1.
template <unsigned Cap>
[[nodiscard]] int linear_slot(const BranchLinear<Cap>& node, u8 d) noexcept {
  if (node.count > Cap) [[unlikely]] linear_count_out_of_bounds(node.count, Cap);
  return node.find(d);
}

template <class Leaves, class Mode>
struct RemoveWalk {
  static Removed run(NodeAlloc& alloc, Edge& edge, u64 key, unsigned level) {
    if constexpr (Mode::kShared) {
      Edge mine = occ::load_edge(edge);
      const Removed r = step(alloc, mine, key, level);
      if (std::memcmp(&mine, &edge, sizeof(Edge)) != 0) occ::store_edge(edge, mine);
      return r;
    } else {
      return step(alloc, edge, key, level);
    }
  }

  static Removed step(NodeAlloc& alloc, Edge& edge, u64 key, unsigned level) {
    switch (edge.tag) {
      case TAG_EMPTY:
        return kAbsent;
      case TAG_L3:
        return linear_branch<3>(alloc, edge, key, level);
      case TAG_L7:
        return linear_branch<7>(alloc, edge, key, level);
      case TAG_B:
        return bitmap_branch(alloc, edge, key, level);
      case TAG_U:
        return full_branch(alloc, edge, key, level);
      case TAG_FULL:
        // A full edge is first made real along the key's path, then the
        // removal proceeds in what it became.
        Leaves::expand_full(alloc, edge, level);
        return step(alloc, edge, key, level);
      default:
        return Leaves::remove_leaf(alloc, edge, key, level);
    }
  }

  // BranchL3 / BranchL7 under an edge of level E.
  template <unsigned Cap>
  static Removed linear_branch(NodeAlloc& alloc, Edge& edge, u64 key, unsigned E) {
    using Node = BranchLinear<Cap>;
    Node* node = edge.ptr<Node>();
    CORVALE_EXPECT(node != nullptr, MISSING_BLOCK);
    const unsigned L = node->level;
    if (!skip_matches(edge, key, L, E)) return kAbsent;
    const u8 d = digit_at(key, L);
    if (!node->filter_may_hold(d)) return kAbsent;
    const int slot = linear_slot(*node, d);
    if (slot < 0) return kAbsent;
    const unsigned i = static_cast<unsigned>(slot);

    Mode::open(node->version);
    const Removed r = run(alloc, node->children[i], key, L - 1);
    if (!r.removed || !node->children[i].is_empty()) {
      Mode::close(node->version);
      if (r.removed) drop_pop(edge, L);
      return r;
    }
    // The child is gone: close its slot.
    occ::store(node->count,
               static_cast<u8>(linear_remove_slot(node->digits, node->children, Cap, node->count, i)));
    if (node->count == 0) {
      occ::store(node->nibble_filter, u16{0});
      Mode::close(node->version);
      edge.clear();
      free_branch_node(alloc, node, Cap == 3);
      return r;
    }
    occ::store(node->nibble_filter, digit_filter(node->digits, node->count));
    Mode::close(node->version);
    drop_pop(edge, L);
    if (Cap == 7 && node->count < L7_MIN_CHILDREN) downgrade_l7_to_l3(alloc, edge);
    return r;
  }

  // BranchB under an edge of level E.
  static Removed bitmap_branch(NodeAlloc& alloc, Edge& edge, u64 key, unsigned E) {
    BranchB* node = edge.ptr<BranchB>();
    CORVALE_EXPECT(node != nullptr, MISSING_BLOCK);
    const unsigned L = node->level;
    if (!skip_matches(edge, key, L, E)) return kAbsent;
    const u8 d = digit_at(key, L);
    if (!node->bitmap.test(d)) return kAbsent;
    const unsigned g = d >> 5;
    const unsigned j = node->bitmap.rank_in_group(d);
    Edge* sub = node->subarrays[g];
    CORVALE_EXPECT(sub != nullptr, MISSING_BLOCK);

    Mode::open(node->version);
    const Removed r = run(alloc, sub[j], key, L - 1);
    if (!r.removed || !sub[j].is_empty()) {
      Mode::close(node->version);
      if (r.removed) drop_pop(edge, L);
      return r;
    }
    // The child is gone: take its edge out of the group's subarray.
    const u64 c = node->group_counts[g];
    occ::store(node->subarrays[g], close_slot(alloc, sub, c, j, MISSING_BLOCK));
    occ::store(node->group_counts[g], static_cast<u16>(c - 1));
    occ::reset_bit(node->bitmap, d);
    Mode::close(node->version);

    const unsigned t = node->bitmap.count();
    if (t == 0) {
      edge.clear();
      release_branch(alloc, node);
      return r;
    }
    drop_pop(edge, L);
    if (t < B_MIN_CHILDREN) downgrade_b_to_l7(alloc, edge);
    return r;
  }

  // BranchU under an edge of level E (never skip-compressed: it resolves E).
  static Removed full_branch(NodeAlloc& alloc, Edge& edge, u64 key, unsigned E) {
    BranchU* node = edge.ptr<BranchU>();
    CORVALE_EXPECT(node != nullptr, MISSING_BLOCK);
    Mode::open(node->version);
    Edge& child = node->children[digit_at(key, E)];
    const Removed r = run(alloc, child, key, E - 1);
    const bool emptied = r.removed && child.is_empty();
    Mode::close(node->version);
    if (!r.removed) return r;
    if (!emptied) {
      drop_pop(edge, E);
      return r;
    }
    const unsigned t = node->child_count();
    if (t == 0) {
      edge.clear();
      release_branch(alloc, node);
      return r;
    }
    drop_pop(edge, E);
    if (t < U_MIN_CHILDREN) downgrade_u_to_b(alloc, edge, static_cast<u8>(E));
    return r;
  }
};

// ---------------------------------------------------------------------------
// Set-flavour leaves

struct SetLeaves {
  // A FullEdge at level E becomes real one level down: a BitmapLeaf of all
  // 256 low bytes at level 1, else a BranchU of 256 FullEdges of level E-1.
  static void expand_full(NodeAlloc& alloc, Edge& edge, unsigned E) {
    if (E == 1) {
      auto* leaf = alloc.make<SetBitmapLeaf>();
      for (u64& w : leaf->bitmap.words) w = ~u64{0};
      edge.clear();
      edge.set_ptr(leaf);
      edge.decode[0] = 0xFF;
      edge.tag = TAG_BITMAP_LEAF;
      return;
    }
    BranchU* node = alloc.make<BranchU>();
    const u64 child_pop = byte_mask(E - 1);
    for (Edge& child : node->children) {
      child.set_decode_bits(child_pop);
      child.tag = TAG_FULL;
    }
    edge.clear();
    edge.set_ptr(node);
    edge.set_decode_bits(byte_mask(E));
    edge.tag = TAG_U;
  }

  static Removed remove_leaf(NodeAlloc& alloc, Edge& edge, u64 key, unsigned E) {
    const u8 tag = edge.tag;
    if (is_linear_leaf_tag(tag)) return linear_leaf(alloc, edge, key, E);
    if (tag == TAG_BITMAP_LEAF) return bitmap_leaf(alloc, edge, key, E);
    if (is_set_immed_tag(tag)) return immediate(edge, key);
    CORVALE_PANIC("valid edge tag");
  }

  // Keys packed in the edge's bytes 0..14 (W = E).
  static Removed immediate(Edge& edge, u64 key) noexcept {
    const unsigned W = immed_width(edge.tag);
    const unsigned n = immed_count(edge.tag);
    const u64 k = key & byte_mask(W);
    if (n == 1) {
      if ((edge.payload & byte_mask(W)) != k) return kAbsent;
      edge.clear();
      return {true, 0};
    }
    ImmedBytes<false> packed(edge);
    const leaf::LocateResult at = leaf::locate(packed.bytes, n, static_cast<u8>(W), k);
    if (!at.found) return kAbsent;
    packed.erase_key(at.index, n, W);
    packed.store(edge);
    edge.tag = immed_tag(W, n - 1);
    return {true, 0};
  }

  static Removed linear_leaf(NodeAlloc& alloc, Edge& edge, u64 key, unsigned E) {
    const unsigned W = linear_leaf_width(edge.tag);
    if (W < E && !skip_matches(edge, key, W, E)) return kAbsent;
    const u64 n = edge.pop(W);
    u8* block = edge.ptr<u8>();
    CORVALE_EXPECT(block != nullptr, "leaf ptr");
    const leaf::LocateResult at = leaf::locate(block, n, static_cast<u8>(W), key & byte_mask(W));
    if (!at.found) return kAbsent;
    const u64 i = at.index;

    if (n <= set_immed_max(E)) {
      // The remaining keys fit into the edge itself, at the edge's width.
      const u64 prefix = decode_key_bits(edge, W, E);
      u64 keys[16];
      u64 m = 0;
      for (u64 j = 0; j < n; ++j)
        if (j != i) keys[m++] = leaf::key_at(block, W, j) | prefix;
      if (m == 0)
        edge.clear();
      else
        write_immed(edge, static_cast<u8>(E), keys, m);
      alloc.release_bytes(block, set_leaf_bytes(n, W), "leaf ptr");
      return {true, 0};
    }
    if (capacity_for(n - 1) == capacity_for(n)) {
      move_bytes(alloc, block + i * W, block + (i + 1) * W, (n - 1 - i) * W);
      edge.add_pop(W, ~u64{0});
      return {true, 0};
    }
    u8* smaller = static_cast<u8*>(alloc.allocate_bytes(set_leaf_bytes(n - 1, W)));
    std::memcpy(smaller, block, i * W);
    std::memcpy(smaller + i * W, block + (i + 1) * W, (n - 1 - i) * W);
    edge.set_ptr(smaller);
    edge.set_pop(W, n - 1);
    alloc.release_bytes(block, set_leaf_bytes(n, W), "leaf ptr");
    return {true, 0};
  }

  static Removed bitmap_leaf(NodeAlloc& alloc, Edge& edge, u64 key, unsigned E) {
    if (E > 1 && !skip_matches(edge, key, 1, E)) return kAbsent;
    auto* leaf = edge.ptr<SetBitmapLeaf>();
    CORVALE_EXPECT(leaf != nullptr, "leaf ptr");
    const u8 b = static_cast<u8>(key);
    if (!leaf->bitmap.test(b)) return kAbsent;
    occ::reset_bit(leaf->bitmap, b);
    const u64 remaining = edge.decode[0];  // old population - 1
    if (remaining >= BITMAP_LEAF_MIN) {
      edge.decode[0] = static_cast<u8>(remaining - 1);
      return {true, 0};
    }
    // Too few keys for a bitmap: rebuild as a width-1 leaf (or, for very few
    // keys, an Immediate), keeping the skip prefix in the edge.
    u64 lows[BITMAP_LEAF_MIN];
    u64 m = 0;
    for (int bit = leaf->bitmap.next_set(0); bit >= 0 && m < remaining;
         bit = bit < 255 ? leaf->bitmap.next_set(static_cast<unsigned>(bit) + 1) : -1)
      lows[m++] = static_cast<u64>(bit);
    CORVALE_EXPECT(m == remaining, "valid node layout");
    const u64 prefix = decode_key_bits(edge, 1, E);
    alloc.destroy(leaf, "leaf ptr");
    if (m == 0) {
      edge.clear();
    } else if (m < set_immed_max(E)) {
      for (u64 j = 0; j < m; ++j) lows[j] |= prefix;
      write_immed(edge, static_cast<u8>(E), lows, m);
    } else {
      build_leaf(alloc, edge, 1, lows, m);
      if (E > 1) write_decode(edge, 1, static_cast<u8>(E), prefix);
    }
    return {true, 0};
  }
};

}  // namespace
}  // namespace corvale_trie::mutate

// ---------------------------------------------------------------------------
// Map-flavour leaves

namespace corvale_trie::mutate_map {
namespace {

using mutate::Removed;
using mutate::kAbsent;

[[noreturn]] void decode_out_of_bounds(unsigned end) noexcept {
  panic_fmt(CORVALE_HERE, "range end index %u out of range for slice of length 7", end);
}

struct MapLeaves {
  [[noreturn]] static void expand_full(NodeAlloc&, Edge&, unsigned) {
    CORVALE_UNREACHABLE("full-corvale edges are set-flavor only");
  }

  static Removed remove_leaf(NodeAlloc& alloc, Edge& edge, u64 key, unsigned E) {
    const u8 tag = edge.tag;
    if (is_linear_leaf_tag(tag)) return linear_leaf(alloc, edge, key, E);
    if (tag == TAG_BITMAP_LEAF) return bitmap_leaf(alloc, edge, key, E);
    if (is_set_immed_tag(tag)) return immediate(alloc, edge, key);
    CORVALE_PANIC("valid edge tag");
  }

  // Keys in the 7 decode bytes (W = E); the value inline for one pair, else
  // in a ValueArray.
  static Removed immediate(NodeAlloc& alloc, Edge& edge, u64 key) {
    const unsigned W = immed_width(edge.tag);
    const unsigned n = immed_count(edge.tag);
    if (n * W > 7) [[unlikely]] decode_out_of_bounds(n * W);
    const u64 k = key & byte_mask(W);
    if (n == 1) {
      if ((edge.decode_word() & byte_mask(W)) != k) return kAbsent;
      const u64 old = edge.payload;
      edge.clear();
      return {true, old};
    }
    ImmedBytes<true> packed(edge);
    const leaf::LocateResult at = leaf::locate(packed.bytes, n, static_cast<u8>(W), k);
    if (!at.found) return kAbsent;
    const u64 i = at.index;
    u64* values = edge.ptr<u64>();
    CORVALE_EXPECT(values != nullptr, "value array");
    const u64 old = values[i];
    // The keys after i move down, the freed decode bytes become zero.
    packed.erase_key(i, n, W);
    packed.store(edge);
    if (n == 2) {
      // The other pair's value moves inline, into the payload.
      edge.payload = values[1 - i];
      alloc.release_bytes(values, value_array_bytes(2), "value array");
    } else {
      edge.set_ptr(close_slot(alloc, values, n, i, "value array"));
    }
    edge.tag = immed_tag(W, n - 1);
    return {true, old};
  }

  static Removed linear_leaf(NodeAlloc& alloc, Edge& edge, u64 key, unsigned E) {
    const unsigned W = linear_leaf_width(edge.tag);
    if (W < E && !skip_matches(edge, key, W, E)) return kAbsent;
    const u64 n = edge.pop(W);
    const u64 cap = capacity_for(n);
    const bool to_immediate = n <= map_immed_max(E);
    u8* block = edge.ptr<u8>();
    CORVALE_EXPECT(block != nullptr, to_immediate ? "leaf" : "leaf ptr");
    u64* values = reinterpret_cast<u64*>(block);
    u8* keys = block + 8 * cap;
    const leaf::LocateResult at = leaf::locate(keys, n, static_cast<u8>(W), key & byte_mask(W));
    if (!at.found) return kAbsent;
    const u64 i = at.index;
    const u64 old = values[i];

    if (to_immediate) {
      if (n == 1) {
        edge.clear();
      } else {
        // The remaining pairs fit into the edge at its own width.
        const u64 prefix = decode_key_bits(edge, W, E);
        KeyValue pairs[8];
        u64 m = 0;
        for (u64 j = 0; j < n; ++j)
          if (j != i) pairs[m++] = KeyValue{leaf::key_at(keys, W, j) | prefix, values[j]};
        write_map_immed(alloc, edge, static_cast<u8>(E), pairs, m);
      }
      alloc.release_bytes(block, map_leaf_bytes(n, W), "leaf");
      return {true, old};
    }

    const u64 m = n - 1;
    if (capacity_for(m) == cap) {
      mutate::move_bytes(alloc, values + i, values + i + 1, (m - i) * 8);
      mutate::move_bytes(alloc, keys + i * W, keys + (i + 1) * W, (m - i) * W);
      edge.set_pop(W, m);
      return {true, old};
    }
    if (m == 0) {
      edge.clear();
    } else {
      u8* smaller = static_cast<u8*>(alloc.allocate_bytes(map_leaf_bytes(m, W)));
      u64* new_values = reinterpret_cast<u64*>(smaller);
      u8* new_keys = smaller + 8 * capacity_for(m);
      std::memcpy(new_values, values, i * 8);
      std::memcpy(new_values + i, values + i + 1, (m - i) * 8);
      std::memcpy(new_keys, keys, i * W);
      std::memcpy(new_keys + i * W, keys + (i + 1) * W, (m - i) * W);
      edge.set_ptr(smaller);
      edge.set_pop(W, m);
    }
    alloc.release_bytes(block, map_leaf_bytes(n, W), "leaf ptr");
    return {true, old};
  }

  static Removed bitmap_leaf(NodeAlloc& alloc, Edge& edge, u64 key, unsigned E) {
    if (E > 1 && !skip_matches(edge, key, 1, E)) return kAbsent;
    auto* leaf = edge.ptr<MapBitmapLeaf>();
    CORVALE_EXPECT(leaf != nullptr, "leaf ptr");
    const u8 b = static_cast<u8>(key);
    if (!leaf->bitmap.test(b)) return kAbsent;
    const unsigned g = b >> 5;
    const u64 idx = leaf->bitmap.rank_in_group(b);
    u64* sub = leaf->subarrays[g];
    CORVALE_EXPECT(sub != nullptr, "values");
    const u64 old = sub[idx];

    // Take the value out of its group's subarray.
    const u64 p = static_cast<u64>(std::popcount(leaf->bitmap.group(g)));
    occ::store(leaf->subarrays[g], close_slot(alloc, sub, p, idx, "values"));
    occ::reset_bit(leaf->bitmap, b);

    const u64 remaining = edge.decode[0];  // old population - 1
    if (remaining >= mutate::BITMAP_LEAF_MIN) {
      edge.decode[0] = static_cast<u8>(remaining - 1);
      return {true, old};
    }
    // Rebuild: collect the pairs, release the bitmap leaf, then make a
    // width-1 leaf that keeps the skip prefix (or an Immediate).
    const u64 prefix = decode_key_bits(edge, 1, E);
    KeyValue pairs[mutate::BITMAP_LEAF_MIN];
    u64 m = 0;
    for (unsigned grp = 0; grp < 8; ++grp) {
      u32 bits_left = leaf->bitmap.group(grp);
      if (bits_left == 0) continue;
      const u64* values = leaf->subarrays[grp];
      CORVALE_EXPECT(values != nullptr, "values");
      for (u64 r = 0; bits_left != 0; ++r, bits_left &= bits_left - 1) {
        CORVALE_EXPECT(m < remaining, "valid node layout");
        pairs[m++] = KeyValue{grp * 32u + static_cast<u64>(std::countr_zero(bits_left)), values[r]};
      }
    }
    CORVALE_EXPECT(m == remaining, "valid node layout");
    for (unsigned grp = 0; grp < 8; ++grp) {
      const u64 pop = static_cast<u64>(std::popcount(leaf->bitmap.group(grp)));
      if (pop != 0) alloc.release_bytes(leaf->subarrays[grp], value_array_bytes(pop), "values");
    }
    alloc.destroy(leaf, "leaf ptr");
    if (m == 0) {
      edge.clear();
    } else if (m >= map_immed_max(E)) {
      build_map_leaf(alloc, edge, 1, pairs, m);
      if (E > 1) mutate::write_decode(edge, 1, static_cast<u8>(E), prefix);
    } else {
      for (u64 j = 0; j < m; ++j) pairs[j].key |= prefix;
      write_map_immed(alloc, edge, static_cast<u8>(E), pairs, m);
    }
    return {true, old};
  }
};

}  // namespace

MapRemoved map_remove(NodeAlloc& alloc, Edge& edge, u64 key, u8 level) {
  const Removed r =
      alloc.shared() ? mutate::RemoveWalk<MapLeaves, mutate::SharedMode>::run(alloc, edge, key, level)
                     : mutate::RemoveWalk<MapLeaves, mutate::PrivateMode>::run(alloc, edge, key, level);
  return MapRemoved{r.removed, r.old};
}

}  // namespace corvale_trie::mutate_map

namespace corvale_trie::mutate {

bool remove(NodeAlloc& alloc, Edge& edge, u64 key, u8 level) {
  if (alloc.shared()) return RemoveWalk<SetLeaves, SharedMode>::run(alloc, edge, key, level).removed;
  return RemoveWalk<SetLeaves, PrivateMode>::run(alloc, edge, key, level).removed;
}

// ---------------------------------------------------------------------------
// Subtree release
//
// The blocks are released without a write into them but for the obsolete
// mark of each branch node (release_branch): in shared mode they are retired
// whole, and a reader still inside the old subtree finds it as it was, but
// fails its next validation against any of its branch nodes and starts
// again from the root. Only the top edge is emptied.

namespace {

template <bool IS_MAP>
void free_blocks(NodeAlloc& alloc, const Edge& edge);

// A linear branch of either kind with everything below it.
template <bool IS_MAP, class Node>
void free_linear_branch(NodeAlloc& alloc, const Node* node) {
  CORVALE_EXPECT(node != nullptr, MISSING_BLOCK);
  if (node->count > Node::kCapacity) [[unlikely]] linear_count_out_of_bounds(node->count, Node::kCapacity);
  for (unsigned i = 0; i < node->count; ++i) free_blocks<IS_MAP>(alloc, node->children[i]);
  free_branch_node(alloc, const_cast<Node*>(node), Node::kCapacity == 3);
}

// Releases every block under `edge`.
template <bool IS_MAP>
void free_blocks(NodeAlloc& alloc, const Edge& edge) {
  const u8 tag = edge.tag;
  switch (tag) {
    case TAG_EMPTY:
    case TAG_FULL:
      break;
    case TAG_L3:
      free_linear_branch<IS_MAP>(alloc, edge.ptr<BranchL3>());
      break;
    case TAG_L7:
      free_linear_branch<IS_MAP>(alloc, edge.ptr<BranchL7>());
      break;
    case TAG_B: {
      BranchB* node = edge.ptr<BranchB>();
      CORVALE_EXPECT(node != nullptr, MISSING_BLOCK);
      for (unsigned g = 0; g < 8; ++g) {
        const u64 c = node->group_counts[g];
        if (c == 0) continue;
        Edge* sub = node->subarrays[g];
        CORVALE_EXPECT(sub != nullptr, MISSING_BLOCK);
        for (u64 j = 0; j < c; ++j) free_blocks<IS_MAP>(alloc, sub[j]);
        alloc.release_bytes(sub, edge_array_bytes(c));
      }
      release_branch(alloc, node);
      break;
    }
    case TAG_U: {
      BranchU* node = edge.ptr<BranchU>();
      CORVALE_EXPECT(node != nullptr, MISSING_BLOCK);
      for (const Edge& child : node->children) free_blocks<IS_MAP>(alloc, child);
      release_branch(alloc, node);
      break;
    }
    case TAG_BITMAP_LEAF:
      if constexpr (IS_MAP) {
        auto* leaf = edge.ptr<MapBitmapLeaf>();
        CORVALE_EXPECT(leaf != nullptr, "leaf ptr");
        for (unsigned g = 0; g < 8; ++g) {
          const u64 p = static_cast<u64>(std::popcount(leaf->bitmap.group(g)));
          if (p != 0) alloc.release_bytes(leaf->subarrays[g], value_array_bytes(p), "values");
        }
        alloc.destroy(leaf, "leaf ptr");
      } else {
        alloc.destroy(edge.ptr<SetBitmapLeaf>(), "leaf ptr");
      }
      break;
    default:
      if (is_linear_leaf_tag(tag)) {
        const unsigned W = linear_leaf_width(tag);
        const u64 n = edge.pop(W);
        alloc.release_bytes(edge.ptr<void>(), IS_MAP ? map_leaf_bytes(n, W) : set_leaf_bytes(n, W),
                            "leaf ptr");
      } else if (IS_MAP ? is_map_immed_tag(tag) : is_set_immed_tag(tag)) {
        const u64 n = immed_count(tag);
        if (IS_MAP && n >= 2) alloc.release_bytes(edge.ptr<void>(), value_array_bytes(n), "value array");
      } else {
        CORVALE_PANIC("valid edge tag");
      }
      break;
  }
}

}  // namespace

template <bool IS_MAP>
void free_subtree(NodeAlloc& alloc, Edge& edge) {
  free_blocks<IS_MAP>(alloc, edge);
  occ::store_edge(edge, Edge{});
}

template void free_subtree<false>(NodeAlloc&, Edge&);
template void free_subtree<true>(NodeAlloc&, Edge&);

}  // namespace corvale_trie::mutate
