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
// cursor has its answer. Its step is the point walk's own step function
// (get.hpp), taken one node at a time (a BranchU moves one level per pass):
// on a branch node it compares the skip prefix and moves to the child of the
// key's digit; on a leaf, an immediate, a full edge or an empty edge it
// finishes. A group is finished when all its cursors are; its answers are
// copied to the result buffer at the group's input positions.
//
// Flat roots are searched key by key (an equality scan up to 8 stored keys,
// the branch-free halving search above that); an Empty root answers absent
// for every key.
//
// Nothing here changes the container, allocates or reads the path cache: the
// only pop field read is that of a LinearLeaf edge, which the engine keeps
// exact at all times. A malformed tag stops the process ("valid edge tag"),
// as does the map walk meeting a FullEdge (set flavour only).
#include <array>
#include <span>
#include <type_traits>

#include "engine/core.hpp"
#include "engine/flat.hpp"
#include "engine/get.hpp"

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

// Advances a live cursor by one step of the point walk (get.hpp), a BranchU
// by one level; the cursor finishes when the step gives the answer.
template <bool IS_MAP>
inline void advance(BatchCursor& c) {
  using Flavor = std::conditional_t<IS_MAP, MapLookup<false>, SetLookup>;
  const Edge* e = c.edge;
  unsigned depth = c.depth;
  typename Flavor::Result r;
  PlainRead read;
  if (step<Flavor, false>(read, e, depth, c.key, r)) {
    c.descend(e, depth);
    return;
  }
  if constexpr (IS_MAP) {
    if (r != nullptr) return c.finish_present(*r);
  } else {
    if (r) return c.finish_present();
  }
  c.finish_absent();
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
        advance<IS_MAP>(c);
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

void contains_batch(const CoreRecord& rec, std::span<const u64> keys, u8* out) {
  batch_lookup<false>(rec, keys, out);
}

void get_batch(const CoreRecord& rec, std::span<const u64> keys, FoundValue* out) {
  batch_lookup<true>(rec, keys, out);
}

}  // namespace corvale_trie::get
