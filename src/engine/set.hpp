// corvale_trie engine: the core ordered set of u64 keys.
//
// Root states and their moves are those of CoreRecord (core.hpp). In the
// Tree state an insertion first tries the path-cache fast path (a key whose
// upper seven bytes equal the cached leaf's prefix is written straight into
// the cached bitmap or width-1 leaf), else flushes and resets the cache and
// descends from the root edge. Removal flushes and resets the cache first and
// condenses a tree left with 1..30 keys back into a flat array.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "engine/core.hpp"

namespace corvale_trie::iter {
class SetIter;
}

namespace corvale_trie::set {

class CorvaleSet {
 public:
  CorvaleSet() noexcept = default;
  CorvaleSet(const CorvaleSet&) = delete;
  CorvaleSet& operator=(const CorvaleSet&) = delete;
  ~CorvaleSet();

  // Every method is defined in set.cpp, over the walkers of the engine.

  // Point operations.
  bool insert(u64 key);
  [[nodiscard]] bool contains(u64 key) const;
  bool remove(u64 key);
  void clear();
  [[nodiscard]] u64 len() const noexcept { return rec_.count(); }
  [[nodiscard]] bool is_empty() const noexcept { return rec_.count() == 0; }
  [[nodiscard]] u64 mem_used() const noexcept { return rec_.alloc.mem_used(); }
  [[nodiscard]] u64 total_node_allocs() const noexcept { return rec_.alloc.total_node_allocs(); }

  // Batch membership: out[i] = 1 when keys[i] is present (the interleaved
  // walk of batch.cpp).
  void contains_batch(std::span<const u64> keys, u8* out) const;

  // Ordered navigation (nav.hpp). next/prev are inclusive: the smallest key
  // >= k, the largest key <= k. Rank and select flush the path cache first.
  [[nodiscard]] std::optional<u64> first() const;
  [[nodiscard]] std::optional<u64> last() const;
  [[nodiscard]] std::optional<u64> next(u64 key) const;
  [[nodiscard]] std::optional<u64> prev(u64 key) const;
  [[nodiscard]] u64 count_below(u64 key);
  [[nodiscard]] u64 count_range(u64 start, u64 end);
  [[nodiscard]] std::optional<u64> by_count(u64 index);

  // In-order traversal (the cursors of iter.hpp).
  [[nodiscard]] iter::SetIter iter() const;
  // A cursor whose first step yields the smallest key >= lo.
  [[nodiscard]] iter::SetIter iter_from(u64 lo) const;
  [[nodiscard]] std::vector<u64> to_vec() const;

  // The record, for the walkers of the engine and for verify().
  [[nodiscard]] const CoreRecord& record() const noexcept { return rec_; }
  [[nodiscard]] CoreRecord& record() noexcept { return rec_; }

 private:
  CoreRecord rec_;
};

}  // namespace corvale_trie::set
