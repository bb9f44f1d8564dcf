// The core set's entry points: the point operations, through the
// root-state machine of flat.hpp with the set flavour's tree operations and
// its path-cache fast path; the batch lookup, the order queries and the
// traversal, handed to the walkers (batch.cpp, nav.hpp, iter.hpp).
//
// Fast path (Tree state, tried before every slow-path insertion): a key whose
// upper seven bytes equal the cache's prefix belongs to the cached level-1
// leaf.
//  - cached BitmapLeaf: set the key's bit; a new key adds one to the leaf's
//    pop byte, to leaf_count and to the pending delta of the ancestors. The
//    256th key turns the edge into a FullEdge (flush, release the leaf, reset).
//  - cached width-1 LinearLeaf of n keys: only an append above the last key,
//    only while n < W1_APPEND_MAX and only when capacity_for(n + 1) equals
//    capacity_for(n), so the fast path never allocates and never takes a
//    width-1 leaf past 24 keys; anything else declines to the slow path.
// In shared mode the cache stays empty (the shared walk fills none), so every
// insertion takes the slow path.
#include "engine/set.hpp"

#include "engine/flat.hpp"
#include "engine/get.hpp"
#include "engine/iter.hpp"
#include "engine/mutate.hpp"
#include "engine/nav.hpp"
#include "engine/node.hpp"
#include "engine/remove.hpp"

namespace corvale_trie::set {

namespace {

struct SetFlavour {
  static constexpr bool IS_MAP = false;

  template <bool ENSURE>
  static bool fast_insert(CoreRecord& rec, u64 key, u64 /*value*/, InsertOutcome& out) {
    PathCache& path = rec.path;
    if (!path.holds(key)) return false;
    const u8 low = static_cast<u8>(key);
    if (path.bitmap_leaf != nullptr) {
      auto* leaf = static_cast<SetBitmapLeaf*>(path.bitmap_leaf);
      if (leaf->bitmap.test_and_set(low)) {
        out.found = 1;
        return true;
      }
      path.pending += 1;
      path.leaf_count += 1;
      path.edges[0]->decode[0] = static_cast<u8>(path.leaf_count - 1);
      if (path.leaf_count == 256) {
        // Every key of the block is present: the leaf becomes a FullEdge.
        path.flush();
        Edge& edge = *path.edges[0];
        rec.alloc.destroy(leaf, "leaf ptr");
        edge = Edge{};
        edge.tag = TAG_FULL;
        edge.decode[0] = 0xFF;
        path.reset();
      }
      rec.len += 1;
      return true;
    }
    if (path.linear_leaf != nullptr) {
      const u64 n = path.leaf_count;
      CORVALE_ASSERT(n >= 1);
      const u8 last = path.linear_leaf[n - 1];
      if (last == low) {
        out.found = 1;
        return true;
      }
      if (last > low) return false;
      if (n >= W1_APPEND_MAX || capacity_for(n + 1) != capacity_for(n)) return false;
      path.linear_leaf[n] = low;
      path.edges[0]->decode[0] = static_cast<u8>(n);
      path.leaf_count = static_cast<u16>(n + 1);
      path.pending += 1;
      rec.len += 1;
      return true;
    }
    return false;
  }

  // insert_path_dyn chooses the insertion of the allocator's mode. The
  // shared-mode walk leaves the path cache empty, so the fast path above
  // never runs in shared mode.
  template <bool ENSURE>
  static void tree_insert(InsertOutcome& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 /*value*/,
                          PathCache& path) {
    out.found = mutate::insert_path_dyn(alloc, edge, key, ROOT_LEVEL, path) ? 0 : 1;
  }

  static flat::Removed tree_remove(NodeAlloc& alloc, Edge& edge, u64 key) {
    return {mutate::remove(alloc, edge, key, ROOT_LEVEL), 0};
  }

  static std::optional<KeyValue> tree_next(const Edge& edge, u64 key) {
    const std::optional<u64> k = nav::next<false>(edge, key, ROOT_LEVEL);
    if (!k) return std::nullopt;
    return KeyValue{*k, 0};
  }

  static void free_tree(NodeAlloc& alloc, Edge& edge) { mutate::free_subtree<false>(alloc, edge); }
};

using Machine = flat::RootMachine<SetFlavour>;

}  // namespace

CorvaleSet::~CorvaleSet() { clear(); }

bool CorvaleSet::insert(u64 key) { return Machine::insert<false>(rec_, key, 0).found == 0; }

bool CorvaleSet::contains(u64 key) const {
  switch (rec_.state) {
    case RootState::Empty:
      return false;
    case RootState::Flat:
      return flat::contains(rec_.flat_keys(), rec_.len, key);
    case RootState::Tree:
      return get::contains_walk(rec_.root, key, ROOT_LEVEL);
  }
  CORVALE_UNREACHABLE("root state");
}

bool CorvaleSet::remove(u64 key) { return Machine::remove(rec_, key).removed; }

void CorvaleSet::clear() { Machine::clear(rec_); }

void CorvaleSet::contains_batch(std::span<const u64> keys, u8* out) const {
  get::contains_batch(rec_, keys, out);
}

std::optional<u64> CorvaleSet::first() const { return nav::record_first<false>(rec_); }
std::optional<u64> CorvaleSet::last() const { return nav::record_last<false>(rec_); }
std::optional<u64> CorvaleSet::next(u64 key) const { return nav::record_next<false>(rec_, key); }
std::optional<u64> CorvaleSet::prev(u64 key) const { return nav::record_prev<false>(rec_, key); }
u64 CorvaleSet::count_below(u64 key) { return nav::record_count_below<false>(rec_, key); }
std::optional<u64> CorvaleSet::by_count(u64 index) {
  return nav::record_by_count<false>(rec_, index);
}

u64 CorvaleSet::count_range(u64 start, u64 end) {
  if (start > end) return 0;
  const u64 c_end = count_below(end);
  const u64 m = contains(end) ? 1 : 0;
  const u64 c_start = count_below(start);
  return c_end + m - c_start;
}

iter::SetIter CorvaleSet::iter() const { return iter::RawIter<false>::over(rec_); }
iter::SetIter CorvaleSet::iter_from(u64 lo) const { return iter::RawIter<false>::seek(rec_, lo); }

std::vector<u64> CorvaleSet::to_vec() const { return iter::collect(iter()); }

}  // namespace corvale_trie::set
