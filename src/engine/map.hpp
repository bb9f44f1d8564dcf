// corvale_trie engine: the core ordered map from u64 keys to u64 values.
//
// The same record and root-state machine as the core set (core.hpp); the
// flat array holds keys[cap] then values[cap]. Insertion returns the
// previous value; the keep-existing variant keeps a present value and hands
// back the address of its value word. The path-cache fast path writes pairs
// straight into a cached map bitmap leaf (any new low byte) or a cached
// width-1 linear leaf (only above its largest key, while it holds at most 24
// pairs and its capacity stays).
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "engine/core.hpp"

namespace corvale_trie::iter {
class MapIter;
class MapRange;
}

namespace corvale_trie::map {

class CorvaleMap {
 public:
  CorvaleMap() noexcept = default;
  CorvaleMap(const CorvaleMap&) = delete;
  CorvaleMap& operator=(const CorvaleMap&) = delete;
  ~CorvaleMap();

  // Every method is defined in map.cpp, over the walkers of the engine.

  // Point operations.
  std::optional<u64> insert(u64 key, u64 value);
  // Keep-existing insertion: a present key keeps its value (found = 1, old =
  // that value); a new key gets `value`. `slot` is the key's value word,
  // valid until the next change of the map.
  InsertOutcome insert_keep(u64 key, u64 value);
  [[nodiscard]] bool contains_key(u64 key) const;
  [[nodiscard]] std::optional<u64> get(u64 key) const;
  // Address of the key's value word, or nullptr; valid until the next change.
  [[nodiscard]] u64* locate_slot(u64 key) const;
  std::optional<u64> remove(u64 key);
  void clear();
  [[nodiscard]] u64 len() const noexcept { return rec_.count(); }
  [[nodiscard]] bool is_empty() const noexcept { return rec_.count() == 0; }
  [[nodiscard]] u64 mem_used() const noexcept { return rec_.alloc.mem_used(); }
  [[nodiscard]] u64 total_node_allocs() const noexcept { return rec_.alloc.total_node_allocs(); }

  // Batch lookup: out[i] = {1, value} or {0, 0} (the interleaved walk of
  // batch.cpp).
  void get_batch(std::span<const u64> keys, FoundValue* out) const;

  // Ordered navigation (nav.hpp); next/prev inclusive as for the set.
  [[nodiscard]] std::optional<KeyValue> first() const;
  [[nodiscard]] std::optional<KeyValue> last() const;
  [[nodiscard]] std::optional<KeyValue> next(u64 key) const;
  [[nodiscard]] std::optional<KeyValue> prev(u64 key) const;
  [[nodiscard]] u64 count_below(u64 key);
  [[nodiscard]] std::optional<KeyValue> by_count(u64 index);

  // In-order traversal (the cursors of iter.hpp).
  [[nodiscard]] iter::MapIter iter() const;
  // A cursor whose first step yields the smallest key >= lo.
  [[nodiscard]] iter::MapIter iter_from(u64 lo) const;
  [[nodiscard]] iter::MapRange range(u64 lo, u64 hi) const;
  [[nodiscard]] std::vector<KeyValue> to_vec() const;
  [[nodiscard]] std::vector<u64> keys() const;
  [[nodiscard]] std::vector<u64> values() const;

  [[nodiscard]] const CoreRecord& record() const noexcept { return rec_; }
  [[nodiscard]] CoreRecord& record() noexcept { return rec_; }

 private:
  CoreRecord rec_;
};

}  // namespace corvale_trie::map
