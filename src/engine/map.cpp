// The core map's entry points: the point operations, through the
// root-state machine of flat.hpp with the map flavour's tree operations and
// its path-cache fast path; the batch lookup, the order queries and the
// traversal, handed to the walkers (batch.cpp, nav.hpp, iter.hpp).
//
// Fast path (Tree state): a key whose upper seven bytes equal the cache's
// prefix belongs to the cached level-1 leaf.
//  - cached map BitmapLeaf: a present low byte has its value replaced (or
//    kept, for the keep-existing insertion); a new one gets its value slot in
//    the group's subarray (a new subarray of capacity_for(p + 1) values when
//    the capacity changes, in place otherwise), its bitmap bit, one more on
//    the leaf's pop byte, leaf_count and the pending delta. A map bitmap leaf
//    is never converted, so it takes all 256 low bytes.
//  - cached width-1 LinearLeaf of c pairs (values[cap] then keys): a key
//    equal to the last one has its value replaced; only an append above the
//    last key is taken, while c < W1_APPEND_MAX and the capacity stays.
// Every other case declines to the slow path, which flushes and resets the
// cache and descends from the root edge. In shared mode the cache stays
// empty (the shared walk fills none), so every insertion takes the slow path.
#include "engine/map.hpp"

#include <bit>
#include <cstring>

#include "engine/flat.hpp"
#include "engine/get.hpp"
#include "engine/iter.hpp"
#include "engine/mutate_map.hpp"
#include "engine/nav.hpp"
#include "engine/node.hpp"
#include "engine/remove.hpp"

namespace corvale_trie::map {

namespace {

struct MapFlavour {
  static constexpr bool IS_MAP = true;
  using Machine = flat::RootMachine<MapFlavour>;

  template <bool ENSURE>
  static bool fast_insert(CoreRecord& rec, u64 key, u64 value, InsertOutcome& out) {
    PathCache& path = rec.path;
    if (!path.holds(key)) return false;
    const u8 low = static_cast<u8>(key);
    if (path.bitmap_leaf != nullptr) {
      auto* leaf = static_cast<MapBitmapLeaf*>(path.bitmap_leaf);
      const unsigned g = low >> 5;
      const u32 word = leaf->bitmap.group(g);
      const u32 bit = u32{1} << (low & 31);
      const u64 idx = static_cast<u64>(std::popcount(word & (bit - 1)));
      if (word & bit) {
        CORVALE_EXPECT(leaf->subarrays[g] != nullptr, "values");
        Machine::present<ENSURE>(out, leaf->subarrays[g] + idx, value);
        return true;
      }
      const u64 p = static_cast<u64>(std::popcount(word));
      u64* sub = open_slot(rec.alloc, leaf->subarrays[g], p, idx, "values");
      sub[idx] = value;
      leaf->subarrays[g] = sub;
      leaf->bitmap.set(low);
      path.edges[0]->decode[0] = static_cast<u8>(path.leaf_count);
      path.pending += 1;
      path.leaf_count += 1;
      rec.len += 1;
      out.slot = sub + idx;
      return true;
    }
    if (path.linear_leaf != nullptr) {
      const u64 c = path.leaf_count;
      CORVALE_ASSERT(c >= 1);
      const u64 cap = capacity_for(c);
      u8* block = path.linear_leaf;
      u8* keys = block + 8 * cap;
      u64* values = reinterpret_cast<u64*>(block);
      const u8 last = keys[c - 1];
      if (low == last) {
        Machine::present<ENSURE>(out, values + (c - 1), value);
        return true;
      }
      if (low < last) return false;
      if (c >= W1_APPEND_MAX || capacity_for(c + 1) != cap) return false;
      keys[c] = low;
      values[c] = value;
      path.edges[0]->decode[0] = static_cast<u8>(c);
      path.leaf_count = static_cast<u16>(c + 1);
      path.pending += 1;
      rec.len += 1;
      out.slot = values + c;
      return true;
    }
    return false;
  }

  // The mode of the insertion is chosen by map_insert_path_dyn from the
  // allocator's collector slot. The shared-mode walk leaves the path cache
  // empty, so the fast path above never runs in shared mode.
  template <bool ENSURE>
  static void tree_insert(InsertOutcome& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value,
                          PathCache& path) {
    mutate_map::map_insert_path_dyn<ENSURE>(out, alloc, edge, key, value, ROOT_LEVEL, path);
  }

  static flat::Removed tree_remove(NodeAlloc& alloc, Edge& edge, u64 key) {
    const mutate_map::MapRemoved r = mutate_map::map_remove(alloc, edge, key, ROOT_LEVEL);
    return {r.removed, r.old};
  }

  static std::optional<KeyValue> tree_next(const Edge& edge, u64 key) {
    return nav::next<true>(edge, key, ROOT_LEVEL);
  }

  static void free_tree(NodeAlloc& alloc, Edge& edge) { mutate::free_subtree<true>(alloc, edge); }
};

using Machine = MapFlavour::Machine;

}  // namespace

CorvaleMap::~CorvaleMap() { clear(); }

std::optional<u64> CorvaleMap::insert(u64 key, u64 value) {
  const InsertOutcome out = Machine::insert<false>(rec_, key, value);
  if (out.found) return out.old;
  return std::nullopt;
}

InsertOutcome CorvaleMap::insert_keep(u64 key, u64 value) {
  return Machine::insert<true>(rec_, key, value);
}

// In a tree, membership is the map walk itself: a key is present exactly when
// it has a value word.
bool CorvaleMap::contains_key(u64 key) const {
  if (rec_.state == RootState::Flat) return flat::contains(rec_.flat_keys(), rec_.len, key);
  return locate_slot(key) != nullptr;
}

std::optional<u64> CorvaleMap::get(u64 key) const {
  if (const u64* slot = locate_slot(key)) return *slot;
  return std::nullopt;
}

u64* CorvaleMap::locate_slot(u64 key) const {
  switch (rec_.state) {
    case RootState::Empty:
      return nullptr;
    case RootState::Flat:
      return Machine::flat_slot(rec_, key);
    case RootState::Tree:
      return get::locate_slot(&rec_.root, key, ROOT_LEVEL);
  }
  CORVALE_UNREACHABLE("root state");
}

std::optional<u64> CorvaleMap::remove(u64 key) {
  const flat::Removed r = Machine::remove(rec_, key);
  if (r.removed) return r.old;
  return std::nullopt;
}

void CorvaleMap::clear() { Machine::clear(rec_); }

void CorvaleMap::get_batch(std::span<const u64> keys, FoundValue* out) const {
  get::get_batch(rec_, keys, out);
}

std::optional<KeyValue> CorvaleMap::first() const { return nav::record_first<true>(rec_); }
std::optional<KeyValue> CorvaleMap::last() const { return nav::record_last<true>(rec_); }
std::optional<KeyValue> CorvaleMap::next(u64 key) const {
  return nav::record_next<true>(rec_, key);
}
std::optional<KeyValue> CorvaleMap::prev(u64 key) const {
  return nav::record_prev<true>(rec_, key);
}
u64 CorvaleMap::count_below(u64 key) { return nav::record_count_below<true>(rec_, key); }
std::optional<KeyValue> CorvaleMap::by_count(u64 index) {
  return nav::record_by_count<true>(rec_, index);
}

iter::MapIter CorvaleMap::iter() const { return iter::RawIter<true>::over(rec_); }
iter::MapIter CorvaleMap::iter_from(u64 lo) const { return iter::RawIter<true>::seek(rec_, lo); }

iter::MapRange CorvaleMap::range(u64 lo, u64 hi) const {
  if (lo > hi) return iter::MapRange(iter::MapIter(), hi);
  return iter::MapRange(iter_from(lo), hi);
}

std::vector<KeyValue> CorvaleMap::to_vec() const { return iter::collect(iter()); }

std::vector<u64> CorvaleMap::keys() const { return iter::collect(iter::MapKeys(iter())); }

std::vector<u64> CorvaleMap::values() const { return iter::collect(iter::MapValues(iter())); }

}  // namespace corvale_trie::map
