// Batch lookups: many point lookups against one container in one call.
//
// The answers are those of the point lookups (contains_walk, locate_slot),
// key by key, in input order. What differs is the order of the memory
// accesses. A point lookup walks one key to its leaf before starting the
// next, so each node it loads is a dependent load that must arrive before
// the walk can go on. The batch walk keeps BATCH_WIDTH (8) independent
// lookups in flight instead: the keys are taken in groups of eight, each key
// gets a BatchCursor standing on the root edge, and every pass advances each
// live cursor by exactly one node.
//
// A cursor is (edge, key, slot, depth, done, found): `depth` is the level of
// the edge it stands on (ROOT_LEVEL at the start), `done` is set once the
// cursor has its answer, `slot` is the address of a map's value word once
// found. Its step is the point walk's own step function (get.hpp), taken one
// node at a time (a BranchU moves one level per pass): on a branch node it
// compares the skip prefix and moves to the child of the key's digit; on a
// leaf, an immediate, a full edge or an empty edge it finishes. A group is
// finished when all its cursors are; its answers are copied to the result
// buffer at the group's input positions.
//
// Loads in flight. Out-of-order execution alone overlaps little of eight
// cursors' misses: a step is a few dozen instructions of dependent loads
// and branches, and the window fills before the next cursor's load issues.
// So in a tree whose blocks outgrow the caches (mem_used at least
// BATCH_AHEAD_MIN_BYTES, get.hpp) the walk requests its lines itself, a
// sweep before it reads them. A pass is two sweeps over the live cursors:
//
//   1. request: each cursor's edge is there (it was requested when the
//      cursor moved onto it); prefetch_step (get.hpp) requests the lines its
//      step will read: a linear branch or BranchB block, a leaf's key area
//      or bitmap word. A BranchU step reads nothing but its edge.
//   2. step: each cursor takes its step, on lines requested a sweep before,
//      and requests the edge it moved to: its line is there by the next
//      pass's request sweep. A map cursor that finds its key requests the
//      value word, which is read when the group's answers are written.
//
// Every miss of a sweep is independent of the others in it, so a sweep
// costs about one memory latency for the eight cursors instead of eight. In
// a smaller tree the lines are in the cache already and the requests only
// add work (measured with uniform keys: 10 to 20% slower up to 2 MB, even
// at 4 to 5 MB for the set, faster from there on), so the walk runs the
// steps alone.
//
// The next group's first miss is requested while a group runs. Large trees of
// spread keys begin with a run of BranchU nodes whose slots the steps only
// index (the top levels of a uniform tree of 100M keys are BranchU nodes, the
// third holding 272 MB of slots); the first miss is the edge below the run.
// The level where the previous group's first path left the run is taken as
// the run's end for the next group's keys, whose edges at that level are
// requested before the current group's passes begin, by indexing the BranchU
// nodes above it (edge_below_u_run). Where the paths differ the request is
// wasted, never wrong. Measured at 100M uniform keys: 5 to 6% less time per
// key for the set and the map; a second stage (the blocks under those edges
// requested too) gained nothing.
//
// A rolling window (a cursor that finishes takes the next key at once) was
// measured too, and was 10 to 25% slower than the group at 1M to 100M
// uniform keys: these reach their leaves in the same pass, so there is
// little to fill, and the bookkeeping costs.
//
// Flat roots are searched key by key (an equality scan up to 8 stored keys,
// the branch-free halving search above that); an Empty root answers absent
// for every key.
//
// Nothing here changes the container, allocates or reads the path cache: the
// only pop field read is that of a LinearLeaf edge, which the engine keeps
// exact at all times. A malformed tag stops the process ("valid edge tag"),
// as does the map walk meeting a FullEdge (set flavour only).
#include <algorithm>
#include <array>
#include <span>
#include <type_traits>

#include "engine/core.hpp"
#include "engine/flat.hpp"
#include "engine/get.hpp"

namespace corvale_trie::get {
namespace {

inline constexpr unsigned BATCH_WIDTH = 8;

[[nodiscard]] inline u64 ahead_min_bytes() noexcept {
#ifdef CORVALE_PAUSE_POINTS
  return test_hooks::batch_ahead_min_bytes.load(std::memory_order_relaxed);
#else
  return BATCH_AHEAD_MIN_BYTES;
#endif
}

struct BatchCursor {
  const Edge* edge = nullptr;
  u64 key = 0;
  const u64* slot = nullptr;  // map flavour: the value word once found
  u8 depth = ROOT_LEVEL;
  u8 done = 1;
  u8 found = 0;

  void finish_absent() noexcept {
    done = 1;
    found = 0;
  }
  void finish_present(const u64* value_slot = nullptr) noexcept {
    done = 1;
    found = 1;
    slot = value_slot;
  }
  void descend(const Edge* child, unsigned level) noexcept {
    edge = child;
    depth = static_cast<u8>(level);
  }
};

template <bool IS_MAP>
using BatchFlavor = std::conditional_t<IS_MAP, MapLookup<false>, SetLookup>;

// Advances a live cursor by one step of the point walk (get.hpp), a BranchU
// by one level; the cursor finishes when the step gives the answer. With
// kAhead, the edge moved to (or a map's value word) is requested.
template <bool IS_MAP, bool kAhead>
inline void advance(BatchCursor& c) {
  const Edge* e = c.edge;
  unsigned depth = c.depth;
  typename BatchFlavor<IS_MAP>::Result r;
  PlainRead read;
  if (step<BatchFlavor<IS_MAP>, false>(read, e, depth, c.key, r)) {
    c.descend(e, depth);
    if (kAhead) __builtin_prefetch(e);
    return;
  }
  if constexpr (IS_MAP) {
    if (r != nullptr) {
      if (kAhead) __builtin_prefetch(r);
      return c.finish_present(r);
    }
  } else {
    if (r) return c.finish_present();
  }
  c.finish_absent();
}

// Writes one answer: a byte for the set, a (found, value) pair for the map.
inline void emit(u8* out, u64 i, const BatchCursor& c) noexcept { out[i] = c.found; }
inline void emit(FoundValue* out, u64 i, const BatchCursor& c) noexcept {
  out[i] = FoundValue{c.found, c.found ? *c.slot : 0};
}

// The edge at level `floor` on the path of `key`, reached by reading only
// the BranchU edges above it; null when the path leaves the BranchU run
// first (a broken edge is left to the step that meets it).
inline const Edge* edge_below_u_run(const Edge& root, u64 key, unsigned floor) noexcept {
  const Edge* e = &root;
  for (unsigned E = ROOT_LEVEL; E > floor; --E) {
    const BranchU* n = e->tag == TAG_U ? e->ptr<const BranchU>() : nullptr;
    if (n == nullptr) return nullptr;
    e = &n->children[digit_at(key, E)];
  }
  return e;
}

template <bool IS_MAP, bool kAhead, class Out>
void interleaved_walk(const Edge& root, std::span<const u64> keys, Out* out) {
  std::array<BatchCursor, BATCH_WIDTH> cursors;
  unsigned floor = ROOT_LEVEL;  // where the last group's first path left the BranchU run
  for (u64 base = 0; base < keys.size(); base += BATCH_WIDTH) {
    const unsigned m = static_cast<unsigned>(
        keys.size() - base < BATCH_WIDTH ? keys.size() - base : BATCH_WIDTH);
    if (kAhead && floor < ROOT_LEVEL) {
      const u64 end = std::min<u64>(keys.size(), base + 2 * BATCH_WIDTH);
      for (u64 i = base + BATCH_WIDTH; i < end; ++i)
        if (const Edge* e = edge_below_u_run(root, keys[i], floor)) __builtin_prefetch(e);
    }
    cursors.fill(BatchCursor{});
    for (unsigned j = 0; j < m; ++j) {
      BatchCursor& c = cursors[j];
      c.edge = &root;
      c.key = keys[base + j];
      c.depth = ROOT_LEVEL;
      c.done = 0;
    }
    unsigned live = m;
    bool run_end_known = false;
    while (live != 0) {
      if constexpr (kAhead) {
        if (!run_end_known && !cursors[0].done && cursors[0].edge->tag != TAG_U) {
          floor = cursors[0].depth;
          run_end_known = true;
        }
        for (unsigned j = 0; j < m; ++j) {
          const BatchCursor& c = cursors[j];
          if (!c.done) prefetch_step<BatchFlavor<IS_MAP>>(*c.edge, c.depth, c.key);
        }
      }
      for (unsigned j = 0; j < m; ++j) {
        BatchCursor& c = cursors[j];
        if (c.done) continue;
        advance<IS_MAP, kAhead>(c);
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
        if constexpr (IS_MAP) c.slot = c.found ? &a.values()[at] : nullptr;
        emit(out, i, c);
      }
      return;
    }
    case RootState::Tree:
      if (rec.alloc.mem_used() >= ahead_min_bytes())
        interleaved_walk<IS_MAP, true>(rec.root, keys, out);
      else
        interleaved_walk<IS_MAP, false>(rec.root, keys, out);
      return;
  }
  // Empty (or an unknown state word): every key is absent.
  const BatchCursor absent;
  for (u64 i = 0; i < keys.size(); ++i) emit(out, i, absent);
}

}  // namespace

void contains_batch(const CoreRecord& rec, std::span<const u64> keys, u8* out) {
  batch_lookup<false>(rec, keys, out);
}

void get_batch(const CoreRecord& rec, std::span<const u64> keys, FoundValue* out) {
  batch_lookup<true>(rec, keys, out);
}

}  // namespace corvale_trie::get
