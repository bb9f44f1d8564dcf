// Batch lookups: many point lookups against one container in one call.
//
// The answers are those of the point lookups (contains_walk, locate_slot),
// key by key, in input order. What differs is the order of the memory
// accesses. A point lookup walks one key to its leaf before starting the
// next, so each node it loads is a dependent load that must arrive before
// the walk can go on. The batch walk keeps BATCH_WIDTH (8) independent
// lookups in flight instead: the keys are taken in groups of eight, each key
// gets a BatchCursor standing on the root edge, and every pass advances each
// live cursor by exactly one node. The loads of the eight cursors do not
// depend on each other, so the processor overlaps their cache misses.
//
// A cursor is (edge, key, value, depth, done, found): `depth` is the level of
// the edge it stands on (ROOT_LEVEL at the start), `done` is set once the
// cursor has its answer. One step on a branch node compares the skip prefix
// (decode bytes L..D-1 of the edge, when the node's level L is below the
// cursor's depth D), picks the child of the digit at level L and moves there
// with depth L-1; on a leaf, an immediate, a full edge or an empty edge it
// finishes. A group is finished when all its cursors are; its answers are
// copied to the result buffer at the group's input positions.
//
// Flat roots are searched key by key (an equality scan up to 8 stored keys,
// the branch-free halving search above that); an Empty root answers absent
// for every key.
//
// Nothing here changes the container, allocates or reads the path cache: the
// only pop field read is that of a LinearLeaf edge, which the engine keeps
// exact at all times. A malformed tag answers absent, except that the map
// walk meeting a FullEdge (set flavour only) stops the process.
#include <array>
#include <bit>
#include <cstring>
#include <span>

#include "engine/alloc.hpp"
#include "engine/bits.hpp"
#include "engine/core.hpp"
#include "engine/flat.hpp"
#include "engine/leaf.hpp"
#include "engine/map.hpp"
#include "engine/node.hpp"
#include "engine/set.hpp"

namespace corvale_trie::get {
namespace {

inline constexpr unsigned BATCH_WIDTH = 8;

struct BatchCursor {
  const Edge* edge = nullptr;
  u64 key = 0;
  u64 value = 0;  // map flavour: the value once found
  u8 depth = ROOT_LEVEL;
  u8 done = 1;
  u8 found = 0;

  void finish_absent() noexcept {
    done = 1;
    found = 0;
  }
  void finish_present(u64 v = 0) noexcept {
    done = 1;
    found = 1;
    value = v;
  }
  void descend(const Edge* child, unsigned level) noexcept {
    edge = child;
    depth = static_cast<u8>(level);
  }
};

template <class T>
[[nodiscard]] inline const T* block_of(const Edge* e) noexcept {
  const T* p = e->ptr<T>();
  if (p == nullptr) [[unlikely]] CORVALE_PANIC(MISSING_BLOCK);
  return p;
}

// Skip-prefix test of a node resolving from level L under a cursor at depth D.
[[nodiscard]] inline bool prefix_matches(const Edge* e, u64 key, unsigned L, unsigned D) noexcept {
  if (D <= L) return true;
  return ((e->decode_word() ^ key) & (byte_mask(D - L) << (8 * L))) == 0;
}

// Digit row search of a linear branch: one compare per digit for rows of
// fewer than four, an 8-lane byte compare otherwise.
[[nodiscard]] inline int find_digit(const u8* digits, unsigned count, u8 d) noexcept {
  if (count < 4) {
    if (count >= 1 && digits[0] == d) return 0;
    if (count >= 2 && digits[1] == d) return 1;
    if (count >= 3 && digits[2] == d) return 2;
    return -1;
  }
  const u64 lanes = bits::eq_lanes(bits::load8(digits), d) & bits::low_lanes(count);
  return lanes == 0 ? -1 : static_cast<int>(bits::first_lane(lanes));
}

// Key i of width W from a zero-padded copy of an immediate's key bytes.
[[nodiscard]] inline u64 immed_key(const u8* area, unsigned i, unsigned width) noexcept {
  u64 w;
  std::memcpy(&w, area + i * width, 8);
  return w & BYTE_MASK_TABLE[width];
}

template <bool IS_MAP>
void step(BatchCursor& c) {
  const Edge* e = c.edge;
  const unsigned D = c.depth;
  const u64 key = c.key;
  const u8 tag = e->tag;
  switch (tag) {
    case TAG_EMPTY:
      c.finish_absent();
      return;

    case TAG_L3: {
      const BranchL3* n = block_of<BranchL3>(e);
      const unsigned L = n->level;
      if (!prefix_matches(e, key, L, D)) return c.finish_absent();
      const u8 d = digit_at(key, L);
      const unsigned count = n->count < 3 ? n->count : 3;
      const int i = find_digit(n->digits, count, d);
      if (i < 0) return c.finish_absent();
      c.descend(&n->children[i], L - 1);
      return;
    }

    case TAG_L7: {
      const BranchL7* n = block_of<BranchL7>(e);
      const unsigned L = n->level;
      if (!prefix_matches(e, key, L, D)) return c.finish_absent();
      const u8 d = digit_at(key, L);
      if (!n->filter_may_hold(d)) return c.finish_absent();
      // A digit found past the seventh slot would lie outside the node.
      const unsigned count = n->count < 7 ? n->count : 7;
      const int i = find_digit(n->digits, count, d);
      if (i < 0) return c.finish_absent();
      c.descend(&n->children[i], L - 1);
      return;
    }

    case TAG_B: {
      const BranchB* n = block_of<BranchB>(e);
      const unsigned L = n->level;
      if (!prefix_matches(e, key, L, D)) return c.finish_absent();
      const u8 d = digit_at(key, L);
      const u32 word = n->bitmap.group(d >> 5);
      const u32 bit = u32{1} << (d & 31);
      if ((word & bit) == 0) return c.finish_absent();
      const Edge* group = n->subarrays[d >> 5];
      if (group == nullptr) [[unlikely]] CORVALE_PANIC(MISSING_BLOCK);
      c.descend(group + std::popcount(word & (bit - 1)), L - 1);
      return;
    }

    case TAG_U: {
      const BranchU* n = block_of<BranchU>(e);
      c.descend(&n->children[digit_at(key, D)], D - 1);
      return;
    }

    case TAG_BITMAP_LEAF: {
      if (!prefix_matches(e, key, 1, D)) return c.finish_absent();
      const u8 b = static_cast<u8>(key);
      if constexpr (IS_MAP) {
        const MapBitmapLeaf* leaf = block_of<MapBitmapLeaf>(e);
        const u32 word = leaf->bitmap.group(b >> 5);
        const u32 bit = u32{1} << (b & 31);
        if ((word & bit) == 0) return c.finish_absent();
        const u64* values = leaf->subarrays[b >> 5];
        if (values == nullptr) [[unlikely]] CORVALE_PANIC(MISSING_BLOCK);
        return c.finish_present(values[std::popcount(word & (bit - 1))]);
      } else {
        const SetBitmapLeaf* leaf = block_of<SetBitmapLeaf>(e);
        if (leaf->bitmap.test(b)) return c.finish_present();
        return c.finish_absent();
      }
    }

    case TAG_FULL:
      if constexpr (IS_MAP) {
        CORVALE_UNREACHABLE("full-corvale edges are set-flavor only");
      } else {
        return c.finish_present();
      }

    default:
      break;
  }

  if (is_linear_leaf_tag(tag)) {
    const unsigned W = linear_leaf_width(tag);
    if (!prefix_matches(e, key, W, D)) return c.finish_absent();
    const u64 count = (e->decode_word() & BYTE_MASK_TABLE[W]) + 1;
    const u8* block = block_of<u8>(e);
    if constexpr (IS_MAP) {
      const u8* keys = block + 8 * capacity_for(count);
      const std::optional<u64> i = leaf::search(keys, count, static_cast<u8>(W), key);
      if (!i) return c.finish_absent();
      u64 v;
      std::memcpy(&v, block + 8 * *i, 8);
      return c.finish_present(v);
    } else {
      if (leaf::search(block, count, static_cast<u8>(W), key)) return c.finish_present();
      return c.finish_absent();
    }
  }

  // Immediates. Tags 13..15, 128 and above, and immediates too large for
  // their edge hold no key.
  const unsigned W = immed_width(tag);
  const unsigned n = immed_count(tag);
  if (tag < 0x10 || tag >= 0x80 || n * W >= 16) return c.finish_absent();
  const u64 k = key & BYTE_MASK_TABLE[W];
  if constexpr (IS_MAP) {
    // A map immediate keeps its keys in the 7 decode bytes only; a wider
    // one cannot be read without leaving the edge.
    if (n * W > 7) return c.finish_absent();
    u8 area[16] = {};
    std::memcpy(area, e->decode, 7);
    for (unsigned i = 0; i < n; ++i) {
      if (immed_key(area, i, W) != k) continue;
      if (n == 1) return c.finish_present(e->payload);
      const u64* values = e->ptr<u64>();
      if (values == nullptr) [[unlikely]] CORVALE_PANIC(MISSING_BLOCK);
      return c.finish_present(values[i]);
    }
    return c.finish_absent();
  } else {
    if (n == 1) {
      if ((e->payload & BYTE_MASK_TABLE[W]) == k) return c.finish_present();
      return c.finish_absent();
    }
    u8 area[24] = {};
    std::memcpy(area, e, 15);  // payload and decode, never the tag
    for (unsigned i = 0; i < n; ++i)
      if (immed_key(area, i, W) == k) return c.finish_present();
    return c.finish_absent();
  }
}

// Writes one answer: a byte for the set, a (found, value) pair for the map.
inline void emit(u8* out, u64 i, const BatchCursor& c) noexcept { out[i] = c.found; }
inline void emit(FoundValue* out, u64 i, const BatchCursor& c) noexcept {
  out[i] = FoundValue{c.found, c.found ? c.value : 0};
}

template <bool IS_MAP, class Out>
void interleaved_walk(const Edge& root, std::span<const u64> keys, Out* out) {
  std::array<BatchCursor, BATCH_WIDTH> cursors;
  for (u64 base = 0; base < keys.size(); base += BATCH_WIDTH) {
    const unsigned m = static_cast<unsigned>(
        keys.size() - base < BATCH_WIDTH ? keys.size() - base : BATCH_WIDTH);
    cursors.fill(BatchCursor{});
    for (unsigned j = 0; j < m; ++j) {
      BatchCursor& c = cursors[j];
      c.edge = &root;
      c.key = keys[base + j];
      c.depth = ROOT_LEVEL;
      c.done = 0;
    }
    unsigned live = m;
    while (live != 0) {
      for (unsigned j = 0; j < m; ++j) {
        BatchCursor& c = cursors[j];
        if (c.done) continue;
        step<IS_MAP>(c);
        live -= c.done;
      }
    }
    for (unsigned j = 0; j < m; ++j) emit(out, base + j, cursors[j]);
  }
}

// Position of `key` among the n ascending keys of a flat array, or n when it
// is absent: an equality scan up to 8 keys, the halving search above.
[[nodiscard]] inline u64 flat_index(const u64* keys, u64 n, u64 key) noexcept {
  if (n <= 8) {
    u64 at = n;
    for (u64 i = n; i-- > 0;) at = keys[i] == key ? i : at;
    return at;
  }
  const flat::FlatPos pos = flat::search(keys, n, key);
  return pos.found ? pos.index : n;
}

template <bool IS_MAP, class Out>
void batch_lookup(const CoreRecord& rec, std::span<const u64> keys, Out* out) {
  if (keys.empty()) return;
  switch (rec.state) {
    case RootState::Empty:
      break;
    case RootState::Flat: {
      const flat::FlatArray<IS_MAP> a{rec.flat_keys(), rec.len};
      BatchCursor c;
      for (u64 i = 0; i < keys.size(); ++i) {
        const u64 at = a.n == 0 ? 0 : flat_index(a.keys(), a.n, keys[i]);
        c.found = at < a.n;
        if constexpr (IS_MAP) c.value = c.found ? a.values()[at] : 0;
        emit(out, i, c);
      }
      return;
    }
    case RootState::Tree:
      interleaved_walk<IS_MAP>(rec.root, keys, out);
      return;
  }
  // Empty (or an unknown state word): every key is absent.
  const BatchCursor absent;
  for (u64 i = 0; i < keys.size(); ++i) emit(out, i, absent);
}

}  // namespace

}  // namespace corvale_trie::get

namespace corvale_trie::set {

void CorvaleSet::contains_batch(std::span<const u64> keys, u8* out) const {
  get::batch_lookup<false>(record(), keys, out);
}

}  // namespace corvale_trie::set

namespace corvale_trie::map {

void CorvaleMap::get_batch(std::span<const u64> keys, FoundValue* out) const {
  get::batch_lookup<true>(record(), keys, out);
}

}  // namespace corvale_trie::map
