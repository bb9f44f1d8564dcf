// corvale_trie engine: point lookup.
//
// Both walks go from one edge down to the single place where a key can be,
// with no recursion, no allocation and no change to anything. The walk state
// is the current edge, the key and the level of the current edge (ROOT_LEVEL
// 8 at a container's root edge). At each step:
//
//  - BranchL3 / BranchL7 / BranchB: when the node's level L is below the
//    edge's level E, the skip prefix (decode bytes L..E-1) must equal key
//    bytes L..E-1; then the digit at level L selects the child (a scan of the
//    digit row, guarded by the nibble filter where it pays; one popcount of a
//    bitmap group word in a BranchB), which stands at L-1.
//  - BranchU: never skip-compressed; children[digit at E] at E-1.
//  - Leaves test the skip prefix above their width (W for a LinearLeaf, 1 for
//    a BitmapLeaf), then search their keys; an Immediate compares the low W
//    bytes of the key with each stored key; a FullEdge holds every key.
//  - An empty edge means absent. A tag outside the table (or an immediate
//    tag that does not fit the flavour's key area) is the fatal error "valid
//    edge tag", as in every other walk; the map walk meeting a FullEdge,
//    which only the set flavour may hold, is fatal too.
//
// The walk is one step function, `step`, over (edge, level, key): it either
// moves to the child edge that can hold the key or finishes with the answer.
// The point lookups loop over it, passing a run of BranchU nodes in one step
// (one load per level); the batch lookups of the core set and map (batch.cpp)
// keep eight walks in flight and advance each by one step per pass, a
// BranchU by one level. A flavour policy decides the answer and the leaf
// tests:
//
//   SetLookup           bool: the key is stored (set-flavour leaves)
//   MapLookup<Filter>   u64*: the key's value word, or null (map leaves);
//                       Filter says whether a BranchL3 consults its nibble
//                       filter before its digits (locate_slot, which serves
//                       every point lookup of the map, does; the map's batch
//                       walk scans the at most three digits directly)
//
// The walks never read the path cache: the only pop field they read is a
// LinearLeaf's own, which is always exact.
//
// Callers: the core set's membership test in its tree state (contains_walk),
// the core map's point lookups (locate_slot from its root edge), the map
// insertion (locate_slot, to find the slot of the key it has just stored
// from the edge it rebuilt), and the batch lookups of both (batch.cpp).
#pragma once

#include <bit>
#include <cstring>
#include <optional>
#include <span>

#include "engine/core.hpp"
#include "engine/decode.hpp"
#include "engine/leaf.hpp"
#include "engine/node.hpp"
#include "engine/types.hpp"

namespace corvale_trie::get {

// Set flavour: whether `key` is stored under `edge`, an edge at `level`.
[[nodiscard]] bool contains_walk(const Edge& edge, u64 key, u8 level) noexcept;

// Batch lookups over a container record (batch.cpp): out[i] = 1 when
// keys[i] is present (set), {1, value} or {0, 0} (map).
void contains_batch(const CoreRecord& rec, std::span<const u64> keys, u8* out);
void get_batch(const CoreRecord& rec, std::span<const u64> keys, FoundValue* out);

// Map flavour: the address of the value word of `key` under `edge` (an edge
// at `level`), or nullptr. The address leads into a map LinearLeaf, a value
// subarray of a map BitmapLeaf, a ValueArray, or the payload word of a
// one-key map Immediate (that is, into the edge itself); it stays valid until
// the next change to the container. A FullEdge is a fatal error.
[[nodiscard]] u64* locate_slot(const Edge* edge, u64 key, u8 level);

// ---------------------------------------------------------------------------
// The step function and its flavours

namespace detail {

[[noreturn]] void child_index_out_of_bounds(unsigned len, unsigned index) noexcept;
// A tag of no known kind: the fatal error "valid edge tag".
[[noreturn]] void bad_tag() noexcept;

}  // namespace detail

// Set flavour: membership.
struct SetLookup {
  using Result = bool;
  static constexpr bool kL3Filter = false;
  static Result absent() noexcept { return false; }
  static bool valid_immed_tag(u8 tag) noexcept { return is_set_immed_tag(tag); }

  static Result full(const Edge*) noexcept { return true; }

  static Result bitmap_leaf(const Edge* e, u64 key) noexcept {
    return node_of<const SetBitmapLeaf>(*e)->bitmap.test(static_cast<u8>(key));
  }

  static Result linear_leaf(const Edge* e, unsigned width, u64 n, u64 key) noexcept {
    const u8* keys = node_of<const u8>(*e);
    return leaf::search(keys, n, static_cast<u8>(width), key).has_value();
  }

  static Result one_key_immed(const Edge* e, unsigned width, u64 key) noexcept {
    return ((e->payload ^ key) & BYTE_MASK_TABLE[width]) == 0;
  }

  // The keys lie packed from edge byte 0 (payload, then decode).
  static Result multi_key_immed(const Edge* e, unsigned width, unsigned n, u64 key) noexcept {
    return ImmedBytes<false>(*e).find(n, width, key & BYTE_MASK_TABLE[width]) >= 0;
  }
};

// Map flavour: the address of the key's value word.
template <bool L3Filter>
struct MapLookup {
  using Result = u64*;
  static constexpr bool kL3Filter = L3Filter;
  static Result absent() noexcept { return nullptr; }
  static bool valid_immed_tag(u8 tag) noexcept { return is_map_immed_tag(tag); }

  [[noreturn]] static Result full(const Edge*) noexcept {
    CORVALE_UNREACHABLE("full-corvale edges are set-flavor only");
  }

  static Result bitmap_leaf(const Edge* e, u64 key) noexcept {
    const MapBitmapLeaf* leaf = node_of<const MapBitmapLeaf>(*e);
    const unsigned k = static_cast<u8>(key);
    const u32 word = leaf->bitmap.group(k >> 5);
    const u32 bit = u32{1} << (k & 31);
    if ((word & bit) == 0) return nullptr;
    u64* values = leaf->subarrays[k >> 5];
    if (values == nullptr) return nullptr;
    return values + std::popcount(word & (bit - 1));
  }

  // The keys follow the capacity_for(n) value slots of the block.
  static Result linear_leaf(const Edge* e, unsigned width, u64 n, u64 key) noexcept {
    u8* block = e->ptr<u8>();
    if (block == nullptr) return nullptr;
    const std::optional<u64> i = leaf::search(block + 8 * capacity_for(n), n, static_cast<u8>(width), key);
    if (!i) return nullptr;
    return reinterpret_cast<u64*>(block) + *i;
  }

  // The value of a one-key Immediate is the edge's own payload word.
  static Result one_key_immed(const Edge* e, unsigned width, u64 key) noexcept {
    if (((e->decode_word() ^ key) & BYTE_MASK_TABLE[width]) != 0) return nullptr;
    return const_cast<u64*>(&e->payload);
  }

  // The keys lie in the 7 decode bytes only; payload is the ValueArray.
  static Result multi_key_immed(const Edge* e, unsigned width, unsigned n, u64 key) noexcept {
    const int i = ImmedBytes<true>(*e).find(n, width, key & BYTE_MASK_TABLE[width]);
    if (i < 0) return nullptr;
    u64* values = e->ptr<u64>();
    return values == nullptr ? nullptr : values + i;
  }
};

// Ends a step with its answer: stores it and reports that the walk is over.
template <class R>
[[gnu::always_inline]] inline bool finish(R& out, R answer) noexcept {
  out = answer;
  return false;
}

// The steps of the two linear branch kinds (the set walk reads a BranchL3's
// at most three digits without its nibble filter).
template <class Flavor, class Node>
[[gnu::always_inline]] inline bool linear_step(const Edge*& e, unsigned& E, u64 key,
                                               typename Flavor::Result& out) {
  const Node* n = node_of<const Node>(*e);
  const unsigned L = n->level;
  if (!skip_matches(*e, key, L, E)) return finish(out, Flavor::absent());
  const u8 d = digit_at(key, L);
  constexpr bool kFilter = Node::kCapacity == 7 || Flavor::kL3Filter;
  if (kFilter && !n->filter_may_hold(d)) return finish(out, Flavor::absent());
  if constexpr (Node::kCapacity == 3) {
    if (n->count > 3) [[unlikely]] detail::child_index_out_of_bounds(3, n->count - 1);
  }
  const int i = n->find(d);
  if (i < 0) return finish(out, Flavor::absent());
  if (i >= static_cast<int>(Node::kCapacity)) [[unlikely]]
    detail::child_index_out_of_bounds(Node::kCapacity, static_cast<unsigned>(i));
  e = &n->children[i];
  E = L - 1;
  return true;
}

// One step of a lookup for `key` at edge `e` of level `E`: moves (e, E) to the
// child edge that can hold the key and returns true, or stores the answer in
// `out` and returns false. With kURuns a run of BranchU nodes is passed in
// one step; without it a BranchU moves one level.
template <class Flavor, bool kURuns>
[[gnu::always_inline]] inline bool step(const Edge*& e, unsigned& E, u64 key, typename Flavor::Result& out) {
  const u8 tag = e->tag;
  switch (tag) {
    case TAG_EMPTY:
      return finish(out, Flavor::absent());

    case TAG_L3:
      return linear_step<Flavor, BranchL3>(e, E, key, out);

    case TAG_L7:
      return linear_step<Flavor, BranchL7>(e, E, key, out);

    case TAG_B: {
      const BranchB* n = node_of<const BranchB>(*e);
      const unsigned L = n->level;
      if (!skip_matches(*e, key, L, E)) return finish(out, Flavor::absent());
      const u8 d = digit_at(key, L);
      const u32 word = n->bitmap.group(d >> 5);
      const u32 bit = u32{1} << (d & 31);
      if ((word & bit) == 0) return finish(out, Flavor::absent());
      const Edge* group = n->subarrays[d >> 5];
      if (group == nullptr) [[unlikely]] CORVALE_PANIC(MISSING_BLOCK);
      e = group + std::popcount(word & (bit - 1));
      E = L - 1;
      return true;
    }

    case TAG_U:
      do {
        e = &node_of<const BranchU>(*e)->children[digit_at(key, E)];
        --E;
      } while (kURuns && e->tag == TAG_U);
      return true;

    case TAG_BITMAP_LEAF:
      if (!skip_matches(*e, key, 1, E)) return finish(out, Flavor::absent());
      return finish(out, Flavor::bitmap_leaf(e, key));

    case TAG_FULL:
      return finish(out, Flavor::full(e));

    default:
      break;
  }
  if (is_linear_leaf_tag(tag)) {
    const unsigned W = linear_leaf_width(tag);
    if (!skip_matches(*e, key, W, E)) return finish(out, Flavor::absent());
    const u64 n = (e->decode_word() & BYTE_MASK_TABLE[W]) + 1;
    return finish(out, Flavor::linear_leaf(e, W, n, key));
  }
  // Tags 13..15, 128 and up, and immediates that cannot fit their edge (7
  // key bytes in the map flavour) are broken invariants.
  if (!Flavor::valid_immed_tag(tag)) [[unlikely]] detail::bad_tag();
  const unsigned W = immed_width(tag);
  const unsigned n = immed_count(tag);
  if (n == 1) return finish(out, Flavor::one_key_immed(e, W, key));
  return finish(out, Flavor::multi_key_immed(e, W, n, key));
}

// The point walk: steps from `e` (at `level`) until the answer.
template <class Flavor>
[[nodiscard]] inline typename Flavor::Result walk(const Edge* e, u64 key, unsigned level) {
  typename Flavor::Result out;
  while (step<Flavor, true>(e, level, key, out)) {
  }
  return out;
}

}  // namespace corvale_trie::get
