// corvale_trie engine: the root-state machine shared by the core set and map.
//
// Both core containers run the same machine over a CoreRecord (core.hpp):
//
//   Empty --insert--> Flat(1) --insert--> ... Flat(31) --32nd key--> Tree(32)
//   Tree(n) --remove--> Tree(n-1) while n-1 > 30, else condensed to Flat(n-1)
//   Flat(1) --remove--> Empty;  any --clear--> Empty
//
// The flat array is one NodeAlloc block of capacity_for(len) slots per part:
// a set holds keys[cap]; a map holds keys[cap] then values[cap], so the value
// of key i sits at slot cap + i (cap, not len). The block is replaced only
// when capacity_for changes (counts 1, 2, 3, 5, 9, ..., 29 on the way up and
// 28, 24, ..., 4, 2, 1 on the way down); between those steps the entries move
// in place.
//
// The machine is one template over a flavour that supplies what really
// differs between set and map: the tree insertion and removal below the root
// edge, the path-cache fast path, the neighbour search used to condense and
// the subtree release. A set flavour ignores values; its outcomes carry no
// slot.
//
// Path-cache protocol (see path_cache.hpp): every removal, clear, condense
// and slow-path insertion flushes and resets the cache before it touches the
// tree. When a full flat array becomes a tree, the tree of the first 31 keys
// is built under a local edge with throw-away caches, then installed as the
// root edge, and only then does the 32nd key go in with the container's own
// cache; so no cached edge pointer can ever refer to the local edge.
//
// Shared mode (occ.hpp): the root words (state, len, root edge or flat
// array pointer) and the words of a flat array changed in place are written
// with relaxed atomic stores in both modes (plain moves on x86-64); bulk
// moves inside a flat array take relaxed word moves in shared mode only.
// Readers validate them against the concurrent container's sequence word.
// Replaced arrays and trees are released through the allocator, which
// retires them in shared mode.
#pragma once

#include <cstring>
#include <optional>

#include "engine/core.hpp"
#include "engine/leaf.hpp"

namespace corvale_trie::flat {

// Where a key stands in a sorted flat array: its index when `found`, else
// the index at which it would be inserted.
struct FlatPos {
  u64 index;
  bool found;
};

// Binary search over n >= 1 ascending keys: the branch-free halving search
// (leaf::sorted_upper_bound) narrows a window by halves with a conditional
// move and ends on the largest key <= `key`; the key is present when that
// one equals it.
[[nodiscard]] inline FlatPos search(const u64* keys, u64 n, u64 key) noexcept {
  CORVALE_ASSERT(n >= 1);
  const u64 upto = leaf::sorted_upper_bound(keys, n, key);
  if (upto != 0 && keys[upto - 1] == key) return {upto - 1, true};
  return {upto, false};
}

// The position of a key about to be inserted: an append above the largest
// key (the common case of ascending input) needs no search.
[[nodiscard]] inline FlatPos find_insert_pos(const u64* keys, u64 n, u64 key) noexcept {
  CORVALE_ASSERT(n >= 1);
  const u64 last = keys[n - 1];
  if (key > last) return {n, false};
  if (key == last) return {n - 1, true};
  return search(keys, n, key);
}

// Membership: a straight scan below 5 keys, an unrolled compare of all keys
// up to 8, the branch-free search above.
[[nodiscard]] inline bool contains(const u64* keys, u64 n, u64 key) noexcept {
  if (n < 5) {
    for (u64 i = 0; i < n; ++i)
      if (keys[i] == key) return true;
    return false;
  }
  if (n <= 8) {
    bool hit = (keys[0] == key) | (keys[1] == key) | (keys[2] == key) | (keys[3] == key) |
               (keys[4] == key);
    if (n > 5) hit |= keys[5] == key;
    if (n > 6) hit |= keys[6] == key;
    if (n > 7) hit |= keys[7] == key;
    return hit;
  }
  return search(keys, n, key).found;
}

// View of a flat array block of `n` entries.
template <bool IS_MAP>
struct FlatArray {
  static constexpr u64 kWordsPerSlot = IS_MAP ? 2 : 1;

  // Byte size of the block that holds n entries.
  [[nodiscard]] static constexpr u64 bytes(u64 n) noexcept { return capacity_for(n) * 8 * kWordsPerSlot; }

  u64* block;
  u64 n;

  [[nodiscard]] u64 cap() const noexcept { return capacity_for(n); }
  [[nodiscard]] u64* keys() const noexcept { return block; }
  // The value part starts at slot capacity_for(n); a set has none.
  [[nodiscard]] u64* values() const noexcept {
    if constexpr (IS_MAP) {
      return block + cap();
    } else {
      return nullptr;
    }
  }
};
static_assert(FlatArray<false>::bytes(31) == 256 && FlatArray<true>::bytes(31) == 512);
static_assert(FlatArray<false>::bytes(1) == 8 && FlatArray<true>::bytes(1) == 16);

template <bool IS_MAP>
[[nodiscard]] inline u64* allocate_flat(NodeAlloc& alloc, u64 n) {
  return static_cast<u64*>(alloc.allocate_bytes(FlatArray<IS_MAP>::bytes(n)));
}

template <bool IS_MAP>
inline void release_flat(NodeAlloc& alloc, u64* block, u64 n) {
  alloc.release_bytes(block, FlatArray<IS_MAP>::bytes(n));
}

// Moves `n` words inside a flat array that readers may be reading.
inline void move_words(const NodeAlloc& alloc, u64* dst, const u64* src, u64 n) noexcept {
  if (alloc.shared())
    occ::move_within(dst, src, n * 8);
  else
    std::memmove(dst, src, n * 8);
}

// The root words, written with relaxed stores (readers may load them).
inline void set_root(CoreRecord& rec, const Edge& root) noexcept { occ::store_edge(rec.root, root); }
inline void set_flat_block(CoreRecord& rec, const u64* block) noexcept {
  occ::store(rec.root.payload, static_cast<u64>(reinterpret_cast<std::uintptr_t>(block)));
}
inline void set_state(CoreRecord& rec, RootState state) noexcept {
  occ::store(rec.state, state);
}
inline void set_len(CoreRecord& rec, u64 len) noexcept { occ::store(rec.len, len); }
// A root edge holding a flat array block.
[[nodiscard]] inline Edge flat_root(const u64* block) noexcept {
  Edge e;
  e.set_ptr(block);
  return e;
}

// Inserts (key, value) at `pos` of a flat array of n < 31 entries; returns
// the (possibly new) block. A new block is taken only when the capacity
// changes.
template <bool IS_MAP>
[[nodiscard]] u64* insert_at(NodeAlloc& alloc, u64* block, u64 n, u64 pos, u64 key, u64 value) {
  CORVALE_ASSERT(n < FLAT_MAX_KEYS && pos <= n);
  const FlatArray<IS_MAP> from{block, n};
  if (capacity_for(n + 1) == capacity_for(n)) {
    u64* keys = from.keys();
    move_words(alloc, keys + pos + 1, keys + pos, n - pos);
    occ::store(keys[pos], key);
    if constexpr (IS_MAP) {
      u64* values = from.values();
      move_words(alloc, values + pos + 1, values + pos, n - pos);
      occ::store(values[pos], value);
    }
    return block;
  }
  const FlatArray<IS_MAP> to{allocate_flat<IS_MAP>(alloc, n + 1), n + 1};
  std::memcpy(to.keys(), from.keys(), pos * 8);
  to.keys()[pos] = key;
  std::memcpy(to.keys() + pos + 1, from.keys() + pos, (n - pos) * 8);
  if constexpr (IS_MAP) {
    std::memcpy(to.values(), from.values(), pos * 8);
    to.values()[pos] = value;
    std::memcpy(to.values() + pos + 1, from.values() + pos, (n - pos) * 8);
  }
  release_flat<IS_MAP>(alloc, block, n);
  return to.block;
}

// Removes the entry at `pos` of a flat array of n >= 2 entries; returns the
// (possibly new) block.
template <bool IS_MAP>
[[nodiscard]] u64* erase_at(NodeAlloc& alloc, u64* block, u64 n, u64 pos) {
  CORVALE_ASSERT(n >= 2 && pos < n);
  const FlatArray<IS_MAP> from{block, n};
  const u64 tail = n - pos - 1;
  if (capacity_for(n - 1) == capacity_for(n)) {
    move_words(alloc, from.keys() + pos, from.keys() + pos + 1, tail);
    if constexpr (IS_MAP) move_words(alloc, from.values() + pos, from.values() + pos + 1, tail);
    return block;
  }
  const FlatArray<IS_MAP> to{allocate_flat<IS_MAP>(alloc, n - 1), n - 1};
  std::memcpy(to.keys(), from.keys(), pos * 8);
  std::memcpy(to.keys() + pos, from.keys() + pos + 1, tail * 8);
  if constexpr (IS_MAP) {
    std::memcpy(to.values(), from.values(), pos * 8);
    std::memcpy(to.values() + pos, from.values() + pos + 1, tail * 8);
  }
  release_flat<IS_MAP>(alloc, block, n);
  return to.block;
}

// Result of a removal: whether the key was present and, for a map, its value.
struct Removed {
  bool removed = false;
  u64 old = 0;
};

// The root-state machine over a flavour. A flavour provides:
//
//   static constexpr bool IS_MAP;
//   template <bool ENSURE> static bool fast_insert(CoreRecord&, u64 key, u64 value, InsertOutcome&);
//       the path-cache fast path: true when it answered (and then it has
//       filled the outcome and counted a new key in `len`), false when it
//       declines;
//   template <bool ENSURE> static void tree_insert(InsertOutcome&, NodeAlloc&, Edge&, u64 key,
//                                                  u64 value, PathCache&);
//       slow-path insertion below an edge at ROOT_LEVEL (`found` set for a
//       present key); the mode choice is the flavour's;
//   static Removed tree_remove(NodeAlloc&, Edge&, u64 key);
//   static std::optional<KeyValue> tree_next(const Edge&, u64 key);
//       smallest entry >= key under an edge at ROOT_LEVEL;
//   static void free_tree(NodeAlloc&, Edge&);
//
// ENSURE selects the keep-existing insertion of a map: a present key keeps
// its value. Without it a present key's value is replaced (a set has none).
template <class Flavour>
struct RootMachine {
  static constexpr bool IS_MAP = Flavour::IS_MAP;
  using Array = FlatArray<IS_MAP>;

  [[nodiscard]] static Array flat(const CoreRecord& rec) noexcept { return {rec.flat_keys(), rec.len}; }

  // Fills `out` for a present key whose value word is `slot` (null for a set).
  template <bool ENSURE>
  static void present(InsertOutcome& out, u64* slot, u64 value) noexcept {
    out.found = 1;
    out.slot = slot;
    if constexpr (IS_MAP) {
      out.old = *slot;
      if constexpr (!ENSURE) occ::store(*slot, value);
    } else {
      (void)value;
    }
  }

  template <bool ENSURE>
  static InsertOutcome insert(CoreRecord& rec, u64 key, u64 value) {
    switch (rec.state) {
      case RootState::Empty:
        return insert_empty(rec, key, value);
      case RootState::Flat:
        return insert_flat<ENSURE>(rec, key, value);
      case RootState::Tree:
        return insert_tree<ENSURE>(rec, key, value);
    }
    CORVALE_UNREACHABLE("root state");
  }

  static InsertOutcome insert_empty(CoreRecord& rec, u64 key, u64 value) {
    u64* block = allocate_flat<IS_MAP>(rec.alloc, 1);
    const Array a{block, 1};
    a.keys()[0] = key;
    InsertOutcome out;
    if constexpr (IS_MAP) {
      a.values()[0] = value;
      out.slot = a.values();
    }
    set_root(rec, flat_root(block));
    set_state(rec, RootState::Flat);
    set_len(rec, 1);
    return out;
  }

  template <bool ENSURE>
  static InsertOutcome insert_flat(CoreRecord& rec, u64 key, u64 value) {
    const Array a = flat(rec);
    const FlatPos at = find_insert_pos(a.keys(), a.n, key);
    InsertOutcome out;
    if (at.found) {
      // A present key never changes the array's shape, not even at 31.
      present<ENSURE>(out, IS_MAP ? a.values() + at.index : nullptr, value);
      return out;
    }
    if (a.n < FLAT_MAX_KEYS) {
      const Array grown{insert_at<IS_MAP>(rec.alloc, a.block, a.n, at.index, key, value), a.n + 1};
      set_flat_block(rec, grown.block);
      set_len(rec, grown.n);
      if constexpr (IS_MAP) out.slot = grown.values() + at.index;
      return out;
    }
    return grow_to_tree<ENSURE>(rec, key, value);
  }

  // A full flat array receives a new 32nd key.
  template <bool ENSURE>
  static InsertOutcome grow_to_tree(CoreRecord& rec, u64 key, u64 value) {
    const Array a = flat(rec);
    CORVALE_ASSERT(a.n == FLAT_MAX_KEYS);
    Edge tree;
    for (u64 i = 0; i < a.n; ++i) {
      PathCache scratch;
      InsertOutcome ignored;
      Flavour::template tree_insert<false>(ignored, rec.alloc, tree, a.keys()[i],
                                           IS_MAP ? a.values()[i] : 0, scratch);
    }
    // Install the tree first: the container's cache, filled by the next
    // insertion, must refer to the root edge and never to the local `tree`.
    rec.path.flush_and_reset();
    set_root(rec, tree);
    set_state(rec, RootState::Tree);
    set_len(rec, FLAT_MAX_KEYS);
    InsertOutcome out;
    Flavour::template tree_insert<ENSURE>(out, rec.alloc, rec.root, key, value, rec.path);
    CORVALE_EXPECT(out.found == 0, "new key absent from the rebuilt tree");
    release_flat<IS_MAP>(rec.alloc, a.block, a.n);
    set_len(rec, FLAT_MAX_KEYS + 1);
    return out;
  }

  template <bool ENSURE>
  static InsertOutcome insert_tree(CoreRecord& rec, u64 key, u64 value) {
    InsertOutcome out;
    if (Flavour::template fast_insert<ENSURE>(rec, key, value, out)) return out;
    rec.path.flush_and_reset();
    Flavour::template tree_insert<ENSURE>(out, rec.alloc, rec.root, key, value, rec.path);
    if (out.found == 0) set_len(rec, rec.len + 1);
    return out;
  }

  static Removed remove(CoreRecord& rec, u64 key) {
    rec.path.flush_and_reset();
    switch (rec.state) {
      case RootState::Empty:
        return {};
      case RootState::Flat:
        return remove_flat(rec, key);
      case RootState::Tree:
        return remove_tree(rec, key);
    }
    CORVALE_UNREACHABLE("root state");
  }

  static Removed remove_flat(CoreRecord& rec, u64 key) {
    const Array a = flat(rec);
    Removed r;
    if (a.n == 1) {
      if (a.keys()[0] != key) return r;
      if constexpr (IS_MAP) r.old = a.values()[0];
      r.removed = true;
      release_flat<IS_MAP>(rec.alloc, a.block, 1);
      set_root(rec, Edge{});
      set_state(rec, RootState::Empty);  // `len` is not written
      return r;
    }
    const FlatPos at = search(a.keys(), a.n, key);
    if (!at.found) return r;
    if constexpr (IS_MAP) r.old = a.values()[at.index];
    r.removed = true;
    set_flat_block(rec, erase_at<IS_MAP>(rec.alloc, a.block, a.n, at.index));
    set_len(rec, a.n - 1);
    return r;
  }

  static Removed remove_tree(CoreRecord& rec, u64 key) {
    const Removed r = Flavour::tree_remove(rec.alloc, rec.root, key);
    if (!r.removed) return r;
    set_len(rec, rec.len - 1);
    if (rec.len == 0) {
      // A tree never holds fewer than 31 keys before a removal; should it
      // ever run dry, the removal has emptied the root edge already.
      Flavour::free_tree(rec.alloc, rec.root);
      set_root(rec, Edge{});
      set_state(rec, RootState::Empty);
    } else if (rec.len <= CONDENSE_MAX_KEYS) {
      condense(rec);
    }
    return r;
  }

  // Turns a tree of len (1..30) keys back into a flat array. The neighbour
  // search must deliver exactly `len` entries, ascending; any other count is
  // a broken invariant and stops the process before a slot past the array
  // could be written.
  static void condense(CoreRecord& rec) {
    rec.path.flush_and_reset();
    if (rec.state != RootState::Tree) CORVALE_UNREACHABLE("condense outside tree state");
    const u64 m = rec.len;
    CORVALE_EXPECT(m >= 1 && m <= CONDENSE_MAX_KEYS, "condense count within the flat range");
    const Array a{allocate_flat<IS_MAP>(rec.alloc, m), m};
    u64 got = 0;
    u64 k = 0;
    while (true) {
      const std::optional<KeyValue> kv = Flavour::tree_next(rec.root, k);
      if (!kv) break;
      CORVALE_EXPECT(got < m, "condensed tree holds no more keys than its count");
      a.keys()[got] = kv->key;
      if constexpr (IS_MAP) a.values()[got] = kv->value;
      ++got;
      if (kv->key == ~u64{0}) break;
      k = kv->key + 1;
    }
    CORVALE_EXPECT(got == m, "condensed tree holds as many keys as its count");
    // The flat array is complete before the root words name it; the old
    // tree is released (retired in shared mode) whole.
    Edge old_root = rec.root;
    set_root(rec, flat_root(a.block));
    set_state(rec, RootState::Flat);
    set_len(rec, m);
    Flavour::free_tree(rec.alloc, old_root);
  }

  static void clear(CoreRecord& rec) {
    rec.path.flush_and_reset();
    switch (rec.state) {
      case RootState::Empty:
        break;
      case RootState::Flat:
        release_flat<IS_MAP>(rec.alloc, rec.flat_keys(), rec.len);
        break;
      case RootState::Tree:
        Flavour::free_tree(rec.alloc, rec.root);
        break;
    }
    set_root(rec, Edge{});
    set_state(rec, RootState::Empty);  // `len` is not written
  }

  // Address of a key's value word in a flat array, or null.
  [[nodiscard]] static u64* flat_slot(const CoreRecord& rec, u64 key) noexcept {
    static_assert(IS_MAP);
    const Array a = flat(rec);
    const FlatPos at = search(a.keys(), a.n, key);
    return at.found ? a.values() + at.index : nullptr;
  }
};

}  // namespace corvale_trie::flat
