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
// BranchU by one level, requesting the lines of each step a sweep before
// (prefetch_step) once the tree outgrows the caches. A flavour policy
// decides the answer and the leaf tests:
//
//   SetLookup           bool: the key is stored (set-flavour leaves)
//   MapLookup<Filter>   u64*: the key's value word, or null (map leaves);
//                       Filter says whether a BranchL3 consults its nibble
//                       filter before its digits (locate_slot, which serves
//                       every point lookup of the map, does; the map's batch
//                       walk scans the at most three digits directly)
//
// A read policy decides how the walk reads the trie:
//
//   PlainRead       the private walk: plain loads, a broken invariant ends
//                   the process
//   ValidatedRead   the lock-free lookups of the concurrent containers
//                   (sync.cpp): relaxed atomic loads, each branch node's
//                   version as the guard, every child edge validated before
//                   it is followed, and any inconsistency a failed attempt
//                   that the caller retries
//
// With PlainRead every check that only a racing reader needs is a constant
// and compiles away, so the private walk is the one it always was.
//
// The walks never read the path cache: the only pop field they read is a
// LinearLeaf's own, which is always exact.
//
// Callers: the core set's membership test in its tree state (contains_walk),
// the core map's point lookups (locate_slot from its root edge), the map
// insertion (locate_slot, to find the slot of the key it has just stored
// from the edge it rebuilt), the batch lookups of both (batch.cpp), and the
// optimistic lookups of the concurrent set and map (sync.cpp).
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>

#include "engine/bits.hpp"
#include "engine/core.hpp"
#include "engine/decode.hpp"
#include "engine/leaf.hpp"
#include "engine/node.hpp"
#include "engine/occ.hpp"
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
// Read policies

namespace detail {

[[noreturn]] void child_index_out_of_bounds(unsigned len, unsigned index) noexcept;
// A tag of no known kind: the fatal error "valid edge tag".
[[noreturn]] void bad_tag() noexcept;
[[noreturn]] void missing_block() noexcept;

}  // namespace detail

// Private walk: the container is not shared, every word is read with a
// plain load, the checks that only a racing reader needs are constant false
// and compile away, and a broken invariant ends the process.
struct PlainRead {
  static constexpr bool kValidates = false;

  template <class T>
  [[nodiscard]] static T load(const T& word) noexcept {
    return word;
  }
  // The block behind a node or leaf edge; null is a broken invariant.
  template <class T>
  [[nodiscard]] static T* block(const Edge& e) noexcept {
    return node_of<T>(e);
  }
  [[nodiscard]] static constexpr bool enter(const u32& /*version*/) noexcept { return true; }
  [[nodiscard]] static constexpr bool holds() noexcept { return true; }
  [[nodiscard]] static constexpr bool insane(bool /*condition*/) noexcept { return false; }
  // Moves the walk to `child`, an edge inside the node it is in.
  [[nodiscard]] static bool descend(const Edge*& e, const Edge& child) noexcept {
    e = &child;
    return true;
  }
  template <class Node>
  [[nodiscard]] static int find_digit(const Node& node, unsigned /*count*/, u8 d) noexcept {
    return node.find(d);
  }
  [[nodiscard, gnu::always_inline]] static std::optional<u64> leaf_search(const u8* keys, u64 n, unsigned width,
                                                                          u64 key) noexcept {
    return leaf::search(keys, n, static_cast<u8>(width), key);
  }
  // Never taken by a plain walk: every caller sits behind a constant check.
  template <class R>
  [[nodiscard]] static R fail(R absent) noexcept {
    return absent;
  }
  // A broken invariant: `panic` ends the process.
  template <class R, class Panic>
  [[noreturn]] static R broken(R /*absent*/, Panic&& panic) noexcept {
    panic();
    __builtin_unreachable();
  }
  // A leaf without its block: the key is not there.
  template <class R>
  [[nodiscard]] static R missing(R absent) noexcept {
    return absent;
  }
  [[nodiscard]] static constexpr bool failed() noexcept { return false; }
};

// A pause point for the concurrency tests, compiled into the engine only
// when it is built for its tests: a validated walk calls the hook right
// after it has copied and validated a child edge (the reader is then inside
// the node holding that edge), so that a test can let a writer act there.
#ifdef CORVALE_PAUSE_POINTS
namespace test_hooks {
inline std::atomic<void (*)(const Edge& child)> after_descend{nullptr};
}  // namespace test_hooks
#define CORVALE_PAUSE_AFTER_DESCEND(child)                                                    \
  do {                                                                                        \
    if (auto* hook_ = ::corvale_trie::get::test_hooks::after_descend.load(std::memory_order_acquire)) \
      hook_(child);                                                                           \
  } while (0)
#else
#define CORVALE_PAUSE_AFTER_DESCEND(child) ((void)0)
#endif

// The size of a tree (mem_used) from which the batch walk requests its
// lines a sweep ahead (batch.cpp). The engine's tests move it, so that both
// walks run over every node kind.
inline constexpr u64 BATCH_AHEAD_MIN_BYTES = u64{4} << 20;
#ifdef CORVALE_PAUSE_POINTS
namespace test_hooks {
inline std::atomic<u64> batch_ahead_min_bytes{BATCH_AHEAD_MIN_BYTES};
}  // namespace test_hooks
#endif

// The packed keys of a leaf that a writer may be changing, searched where
// they lie (leaf::search_in): a key is put together from the one or two
// aligned 8-byte words that hold its bytes, each a relaxed atomic load, so
// that a search touches only the words of the keys it compares. The key
// area starts 8-aligned (a packed block is 16-aligned, and a map leaf's keys
// follow its 8-byte value slots) and ends with its block, and a block of a
// shared container spans whole 16-byte granules (shared_allocate): every
// word that holds a key byte lies inside the block. The bytes of such a word
// past the keys are masked off.
struct SharedLeafKeys {
  const occ::detail::alias_u64* words;

  explicit SharedLeafKeys(const u8* keys) noexcept : words(reinterpret_cast<const occ::detail::alias_u64*>(keys)) {
    CORVALE_ASSERT((reinterpret_cast<std::uintptr_t>(keys) & 7) == 0);
  }

  // Key i of width W.
  template <unsigned W>
  [[nodiscard]] u64 at(u64 i) const noexcept {
    if constexpr (W == 1) {
      return static_cast<u8>(word(i >> 3) >> (8 * (i & 7)));
    } else {
      // The bytes of lo from the key's first on, then those of hi above
      // them (hi << (64 - shift), written so that shift 0 is no shift by 64).
      const u64 first = i * W;
      const unsigned shift = 8 * static_cast<unsigned>(first & 7);
      const u64 lo = word(first >> 3);
      const u64 hi = word((first + W - 1) >> 3);
      return ((lo >> shift) | ((hi << 1) << (63 - shift))) & BYTE_MASK_TABLE[W];
    }
  }
  // Key bytes 8j..8j+7.
  [[nodiscard]] u64 word(u64 j) const noexcept { return occ::load(words[j]); }
};

// Optimistic walk of a concurrent container (occ.hpp), run while a writer
// may change the trie: racing words are read with relaxed atomic loads, each
// branch node's version becomes the guard when the walk enters it (odd: the
// attempt fails), every child edge is copied out and validated against the
// node it lies in before it is followed, counts are checked against their
// kind's capacity before any array is indexed, and packed leaf keys are
// searched in place with relaxed loads (SharedLeafKeys). Anything
// inconsistent fails the attempt (failed()); the caller validates the answer
// against guard() once more after reading the value it names, and starts
// again on a failure.
class ValidatedRead {
 public:
  static constexpr bool kValidates = true;

  // Starts at the root, whose edge the caller read and validated against
  // `root` (the container's sequence word).
  explicit ValidatedRead(const occ::Guard& root) noexcept : guard_(root) {}

  template <class T>
  [[nodiscard]] static T load(const T& word) noexcept {
    return occ::load(word);
  }
  template <class T>
  [[nodiscard]] static T* block(const Edge& e) noexcept {
    return e.ptr<T>();
  }
  [[nodiscard]] bool enter(const u32& version) noexcept { return guard_.enter(version); }
  [[nodiscard]] bool holds() const noexcept { return guard_.holds(); }
  [[nodiscard]] bool insane(bool condition) noexcept {
    if (condition) failed_ = true;
    return condition;
  }
  [[nodiscard]] bool descend(const Edge*& e, const Edge& child) noexcept {
    edge_ = occ::load_edge(child);
    if (!guard_.holds()) return false;
    e = &edge_;
    CORVALE_PAUSE_AFTER_DESCEND(edge_);
    return true;
  }
  // Index of digit d among the first `count` (already bounded) digits of a
  // linear branch, from one load of the digit row.
  template <class Node>
  [[nodiscard]] static int find_digit(const Node& node, unsigned count, u8 d) noexcept {
    const u64 row = occ::load(*reinterpret_cast<const occ::detail::alias_u64*>(node.digits));
    const u64 lanes = bits::eq_lanes(row, d) & bits::low_lanes(count);
    return lanes == 0 ? -1 : static_cast<int>(bits::first_lane(lanes));
  }
  // The search of a leaf's n (at most LINEAR_LEAF_MAX) packed keys.
  [[nodiscard]] static std::optional<u64> leaf_search(const u8* keys, u64 n, unsigned width, u64 key) noexcept {
    const SharedLeafKeys shared(keys);
    return leaf::with_width(width, [&](auto w) { return leaf::search_in<w>(shared, n, key); });
  }
  template <class R>
  [[nodiscard]] R fail(R absent) noexcept {
    failed_ = true;
    return absent;
  }
  template <class R, class Panic>
  [[nodiscard]] R broken(R absent, Panic&& /*panic*/) noexcept {
    return fail(absent);
  }
  template <class R>
  [[nodiscard]] R missing(R absent) noexcept {
    return fail(absent);
  }
  [[nodiscard]] bool failed() const noexcept { return failed_; }
  [[nodiscard]] const occ::Guard& guard() const noexcept { return guard_; }

 private:
  occ::Guard guard_;
  bool failed_ = false;
  Edge edge_;  // the copy of the edge the walk stands on
};

// ---------------------------------------------------------------------------
// The step function and its flavours

// Requests from memory the lines of `len` bytes at `p`.
[[gnu::always_inline]] inline void prefetch_lines(const void* p, u64 len) noexcept {
  const auto first = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{63};
  const auto last = reinterpret_cast<std::uintptr_t>(p) + len - 1;
  for (std::uintptr_t a = first; a <= last; a += 64) __builtin_prefetch(reinterpret_cast<const void*>(a));
}

// Group word g of a bitmap read through the policy.
template <class Read>
[[gnu::always_inline]] inline u32 group_word(const Read& read, const Bitmap256& bitmap, unsigned g) noexcept {
  return static_cast<u32>(read.load(bitmap.words[g >> 1]) >> (32 * (g & 1)));
}

// Set flavour: membership.
struct SetLookup {
  using Result = bool;
  static constexpr bool kL3Filter = false;
  static Result absent() noexcept { return false; }
  static bool valid_immed_tag(u8 tag) noexcept { return is_set_immed_tag(tag); }

  template <class Read>
  static Result full(Read&, const Edge*) noexcept {
    return true;
  }

  template <class Read>
  static Result bitmap_leaf(Read& read, const Edge* e, u64 key) noexcept {
    const auto* leaf = read.template block<const SetBitmapLeaf>(*e);
    if (leaf == nullptr) return read.fail(absent());
    const unsigned b = static_cast<u8>(key);
    return (read.load(leaf->bitmap.words[b >> 6]) >> (b & 63)) & 1;
  }

  template <class Read>
  static Result linear_leaf(Read& read, const Edge* e, unsigned width, u64 n, u64 key) noexcept {
    const u8* block = read.template block<const u8>(*e);
    if (block == nullptr) return read.fail(absent());
    return read.leaf_search(block, n, width, key).has_value();
  }

  template <class Read>
  static Result one_key_immed(Read&, const Edge* e, unsigned width, u64 key) noexcept {
    return ((e->payload ^ key) & BYTE_MASK_TABLE[width]) == 0;
  }

  // The keys lie packed from edge byte 0 (payload, then decode).
  template <class Read>
  static Result multi_key_immed(Read&, const Edge* e, unsigned width, unsigned n, u64 key) noexcept {
    return ImmedBytes<false>(*e).find(n, width, key & BYTE_MASK_TABLE[width]) >= 0;
  }

  // What bitmap_leaf and linear_leaf read (prefetch_step).
  static void prefetch_bitmap_leaf(const u8* block, u64 key) noexcept {
    __builtin_prefetch(block + 8 * (static_cast<u8>(key) >> 6));
  }
  static void prefetch_linear_leaf(const u8* block, u64 n, unsigned width) noexcept {
    prefetch_lines(block, n * width);
  }
};

// Map flavour: the address of the key's value word. A validated walk checks
// its guard once the key is found, before it names the value's address (the
// caller loads the value and checks the guard again).
template <bool L3Filter>
struct MapLookup {
  using Result = u64*;
  static constexpr bool kL3Filter = L3Filter;
  static Result absent() noexcept { return nullptr; }
  static bool valid_immed_tag(u8 tag) noexcept { return is_map_immed_tag(tag); }

  template <class Read>
  static Result full(Read& read, const Edge*) noexcept {
    return read.broken(absent(), [] { CORVALE_UNREACHABLE("full-corvale edges are set-flavor only"); });
  }

  // The value subarray and the rank must agree (validated) before the
  // address of an entry is formed.
  template <class Read>
  static Result bitmap_leaf(Read& read, const Edge* e, u64 key) noexcept {
    const auto* leaf = read.template block<const MapBitmapLeaf>(*e);
    if (leaf == nullptr) return read.fail(absent());
    const unsigned k = static_cast<u8>(key);
    const u32 word = group_word(read, leaf->bitmap, k >> 5);
    const u32 bit = u32{1} << (k & 31);
    if ((word & bit) == 0) return nullptr;
    u64* values = read.load(leaf->subarrays[k >> 5]);
    if (values == nullptr) return read.missing(absent());
    if (!read.holds()) return read.fail(absent());
    return values + std::popcount(word & (bit - 1));
  }

  // The keys follow the capacity_for(n) value slots of the block.
  template <class Read>
  static Result linear_leaf(Read& read, const Edge* e, unsigned width, u64 n, u64 key) noexcept {
    u8* block = e->ptr<u8>();
    if (block == nullptr) return read.missing(absent());
    const std::optional<u64> i = read.leaf_search(block + 8 * capacity_for(n), n, width, key);
    if (!i) return nullptr;
    if (!read.holds()) return read.fail(absent());
    return reinterpret_cast<u64*>(block) + *i;
  }

  // The value of a one-key Immediate is the edge's own payload word.
  template <class Read>
  static Result one_key_immed(Read&, const Edge* e, unsigned width, u64 key) noexcept {
    if (((e->decode_word() ^ key) & BYTE_MASK_TABLE[width]) != 0) return nullptr;
    return const_cast<u64*>(&e->payload);
  }

  // What bitmap_leaf and linear_leaf read (prefetch_step): the bitmap group
  // word and the group's subarray pointer; the key area behind the values.
  static void prefetch_bitmap_leaf(const u8* block, u64 key) noexcept {
    const unsigned g = static_cast<u8>(key) >> 5;
    __builtin_prefetch(block + 4 * g);
    __builtin_prefetch(block + offsetof(MapBitmapLeaf, subarrays) + 8 * g);
  }
  static void prefetch_linear_leaf(const u8* block, u64 n, unsigned width) noexcept {
    prefetch_lines(block + 8 * capacity_for(n), n * width);
  }

  // The keys lie in the 7 decode bytes only; payload is the ValueArray.
  template <class Read>
  static Result multi_key_immed(Read& read, const Edge* e, unsigned width, unsigned n, u64 key) noexcept {
    const int i = ImmedBytes<true>(*e).find(n, width, key & BYTE_MASK_TABLE[width]);
    if (i < 0) return nullptr;
    if (!read.holds()) return read.fail(absent());
    u64* values = e->ptr<u64>();
    return values == nullptr ? read.missing(absent()) : values + i;
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
template <class Flavor, class Node, class Read>
[[gnu::always_inline]] inline bool linear_step(Read& read, const Edge*& e, unsigned& E, u64 key,
                                               typename Flavor::Result& out) {
  const Node* n = read.template block<const Node>(*e);
  if (n == nullptr || !read.enter(n->version)) return finish(out, read.fail(Flavor::absent()));
  const unsigned L = read.load(n->level);
  if (read.insane(L < 2 || L > E)) return finish(out, Flavor::absent());
  if (!skip_matches(*e, key, L, E)) return finish(out, Flavor::absent());
  const u8 d = digit_at(key, L);
  constexpr bool kFilter = Node::kCapacity == 7 || Flavor::kL3Filter;
  if (kFilter && ((read.load(n->nibble_filter) >> (d & 15)) & 1) == 0) return finish(out, Flavor::absent());
  const unsigned count = read.load(n->count);
  if constexpr (Node::kCapacity == 3 || Read::kValidates) {
    if (count > Node::kCapacity) [[unlikely]]
      return finish(out, read.broken(Flavor::absent(), [&] {
        detail::child_index_out_of_bounds(Node::kCapacity, count - 1);
      }));
  }
  const int i = read.find_digit(*n, count, d);
  if (i < 0) return finish(out, Flavor::absent());
  if (i >= static_cast<int>(Node::kCapacity)) [[unlikely]]
    detail::child_index_out_of_bounds(Node::kCapacity, static_cast<unsigned>(i));
  if (!read.descend(e, n->children[i])) return finish(out, read.fail(Flavor::absent()));
  E = L - 1;
  return true;
}

// One step of a lookup for `key` at edge `e` of level `E`: moves (e, E) to the
// child edge that can hold the key and returns true, or stores the answer in
// `out` and returns false. With kURuns a run of BranchU nodes is passed in
// one step; without it a BranchU moves one level. A validated read that
// fails also ends the walk (read.failed()).
template <class Flavor, bool kURuns, class Read>
[[gnu::always_inline]] inline bool step(Read& read, const Edge*& e, unsigned& E, u64 key,
                                        typename Flavor::Result& out) {
  const u8 tag = e->tag;
  switch (tag) {
    case TAG_EMPTY:
      return finish(out, Flavor::absent());

    case TAG_L3:
      return linear_step<Flavor, BranchL3>(read, e, E, key, out);

    case TAG_L7:
      return linear_step<Flavor, BranchL7>(read, e, E, key, out);

    case TAG_B: {
      const BranchB* n = read.template block<const BranchB>(*e);
      if (n == nullptr || !read.enter(n->version)) return finish(out, read.fail(Flavor::absent()));
      const unsigned L = read.load(n->level);
      if (read.insane(L < 2 || L > E)) return finish(out, Flavor::absent());
      if (!skip_matches(*e, key, L, E)) return finish(out, Flavor::absent());
      const u8 d = digit_at(key, L);
      const u32 word = group_word(read, n->bitmap, d >> 5);
      const u32 bit = u32{1} << (d & 31);
      if ((word & bit) == 0) return finish(out, Flavor::absent());
      const Edge* group = read.load(n->subarrays[d >> 5]);
      if (group == nullptr) [[unlikely]]
        return finish(out, read.broken(Flavor::absent(), [] { detail::missing_block(); }));
      // The subarray and the rank agree before an entry is read.
      if (!read.holds()) return finish(out, read.fail(Flavor::absent()));
      if (!read.descend(e, group[std::popcount(word & (bit - 1))]))
        return finish(out, read.fail(Flavor::absent()));
      E = L - 1;
      return true;
    }

    case TAG_U:
      do {
        const BranchU* n = read.template block<const BranchU>(*e);
        if (n == nullptr || !read.enter(n->version) || read.insane(E < 2))
          return finish(out, read.fail(Flavor::absent()));
        if (!read.descend(e, n->children[digit_at(key, E)])) return finish(out, read.fail(Flavor::absent()));
        --E;
      } while (kURuns && e->tag == TAG_U);
      return true;

    case TAG_BITMAP_LEAF:
      if (!skip_matches(*e, key, 1, E)) return finish(out, Flavor::absent());
      return finish(out, Flavor::bitmap_leaf(read, e, key));

    case TAG_FULL:
      return finish(out, Flavor::full(read, e));

    default:
      break;
  }
  if (is_linear_leaf_tag(tag)) {
    const unsigned W = linear_leaf_width(tag);
    if (read.insane(W > E)) return finish(out, Flavor::absent());
    if (!skip_matches(*e, key, W, E)) return finish(out, Flavor::absent());
    const u64 n = (e->decode_word() & BYTE_MASK_TABLE[W]) + 1;
    if (read.insane(n > LINEAR_LEAF_MAX)) return finish(out, Flavor::absent());
    return finish(out, Flavor::linear_leaf(read, e, W, n, key));
  }
  // Tags 13..15, 128 and up, and immediates that cannot fit their edge (7
  // key bytes in the map flavour) are broken invariants.
  if (!Flavor::valid_immed_tag(tag)) [[unlikely]]
    return finish(out, read.broken(Flavor::absent(), [] { detail::bad_tag(); }));
  const unsigned W = immed_width(tag);
  const unsigned n = immed_count(tag);
  if (read.insane(W != E)) return finish(out, Flavor::absent());
  if (n == 1) return finish(out, Flavor::one_key_immed(read, e, W, key));
  return finish(out, Flavor::multi_key_immed(read, e, W, n, key));
}

// ---------------------------------------------------------------------------
// Requests ahead of a step (the batch walk)

// Requests the lines that `step` will read at edge `e` (of level `E`) beyond
// the edge itself: the block of a linear branch or a BranchB, the key area of
// a LinearLeaf, the bitmap word (and, in a map, the subarray pointer) of a
// BitmapLeaf. A BranchU step reads only its own edge, and empty edges,
// immediates and full edges finish on the edge: nothing to request. A map's
// value word is not among them either: the step's answer is its address.
// The edge must be loaded already; nothing is checked beyond the bounds of
// what is requested, since a request for any address is harmless and the
// step that follows makes every check. The batch walk of the private
// containers (batch.cpp) calls it a sweep ahead of the step.
template <class Flavor>
[[gnu::always_inline]] inline void prefetch_step(const Edge& e, unsigned E, u64 key) noexcept {
  const u8* block = e.ptr<const u8>();
  const u8 tag = e.tag;
  if (tag == TAG_L3) {
    __builtin_prefetch(block);
  } else if (tag == TAG_L7 || tag == TAG_B) {
    prefetch_lines(block, 128);
  } else if (tag == TAG_BITMAP_LEAF) {
    Flavor::prefetch_bitmap_leaf(block, key);
  } else if (is_linear_leaf_tag(tag)) {
    const unsigned W = linear_leaf_width(tag);
    const u64 n = (e.decode_word() & BYTE_MASK_TABLE[W]) + 1;
    if (W <= E) Flavor::prefetch_linear_leaf(block, n < LINEAR_LEAF_MAX ? n : LINEAR_LEAF_MAX, W);
  }
}

// The point walk: steps from `e` (at `level`) until the answer. A validated
// walk's answer still has to be validated by the caller (ValidatedRead).
template <class Flavor, class Read>
[[nodiscard]] inline typename Flavor::Result walk(Read& read, const Edge* e, u64 key, unsigned level) {
  typename Flavor::Result out;
  while (step<Flavor, true>(read, e, level, key, out)) {
  }
  return out;
}

template <class Flavor>
[[nodiscard]] inline typename Flavor::Result walk(const Edge* e, u64 key, unsigned level) {
  PlainRead read;
  return walk<Flavor>(read, e, key, level);
}

}  // namespace corvale_trie::get
