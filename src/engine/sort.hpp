// corvale_trie engine: the keys of a bulk insertion put in ascending order.
//
// Why: an insertion is cheap when the key before it took the same path. The
// branch nodes on that path are in cache, and a key that lands in the last
// leaf written skips the descent altogether (the path cache,
// path_cache.hpp). Keys in random order share no path with their
// predecessor: once the trie outgrows the cache, each insertion misses it at
// every level below the top, and the cost grows with the container (about
// 400 ns a key into 10M uniform keys, against 50 when the same keys come in
// ascending order). A bulk insertion of many unordered keys therefore sorts
// a copy of them first and inserts from the copy (InsertionOrder).
//
// When: `pays_to_sort` decides, from the keys alone, in one pass that stops
// as soon as the answer is yes. Keys go in as given when:
//
//   - they are fewer than SORT_MIN: into a container that fits in cache,
//     random order costs little more than ascending order, and below about
//     a thousand keys the sort costs what it saves (bench/bench_sort.cpp,
//     bulk/...: the set crosses between 512 and 768 keys, the map between
//     256 and 384);
//   - they are in ascending order already (non-decreasing: repeats
//     allowed), which needs no copy;
//   - all but at most one pair of neighbours in FAR_SHARE fall in the same
//     last-level leaf (upper seven bytes equal), as runs of consecutive ids
//     do: such keys take the path cache's fast path in the order given, and
//     sorting them brings the runs no closer to one another. Measured on
//     10M keys in runs of L consecutive keys at random places, the order
//     given costs 46 ns a key (L = 32), 61 (16), 110 (8), and the sorted
//     order 64 to 73 whatever L.
//
// Into a container of a million keys, batches of up to a few thousand keys
// gain nothing measurable from the sort (the two orders stay within this
// machine's noise, about 20%, of an insertion's 300 ns); 8K keys and more
// gain (0.5 to 0.7 of the time at 64K).
//
// How: a stable radix sort. Keys are 64-bit integers, so a counting sort
// per byte beats any comparison sort: on 10M uniform keys std::sort of the
// copy takes about 65 ns a key here, this one about 12 (pairs: 100 ns for
// std::stable_sort, about 14). In two steps:
//
//   1. Split (more than 2 * RUN_TARGET elements): one pass over the source
//      finds the bits in which some key differs from the first, and a
//      second (folded into the first when the top bit differs) counts the
//      values of the split field, the highest `b` of those bits, with 2**b
//      about n / RUN_TARGET, at most 2**SPLIT_BITS_MAX. A counting sort on
//      the field copies the source into `a`, cut into runs, one per value
//      that occurs, in ascending order of it. Fewer elements make one run,
//      copied as they are.
//   2. Sort each run when it is asked for, on the bytes below the split
//      (all eight for a single run), least significant first, between its
//      place in `a` and a scratch array `b` the size of the largest run. A
//      byte that all keys of the run share costs no pass; a run of at most
//      INSERTION_MAX elements is sorted by straight insertion instead.
//
// Runs of a few thousand elements are sorted in the first levels of the
// cache, and the caller inserts each right after it is sorted, while it is
// still there; the split keeps them at that size from 8K elements to 1M
// (beyond, at most 256 runs of n / 256). Every step is stable: equal keys
// keep their input order, so a map whose input repeats a key stores the
// value given last, as the insertion in input order does.
//
// Memory: the copy `a`, n elements of 8 bytes (a set's keys) or 16 (a map's
// pairs), plus the scratch array `b`, the largest run: n / 256 for 1M
// uniform keys or more, a few thousand elements below, n itself for a
// single run (fewer than 8K elements) and in the worst case, when nearly
// every key falls under one value of the split field (u32 keys and one key
// above 2**56, say). Both are allocated by the constructor, before any run
// is sorted or handed out, and freed with the object; the constructor is
// the only step that can fail (std::bad_alloc), so a caller that cannot get
// them has inserted nothing. No step reads or writes the trie.
//
// A source that changes while it is read: the keys come from a caller's
// buffer, read where it lies, which another process (shared memory) or a
// thread that does not hold the caller's lock can rewrite during the call.
// Any keys may then come out (those of either read, or a mix) in any order,
// but never more or fewer than n, and nothing is written outside the
// arrays. Nothing is sized from a read of the source; the contract, step
// by step:
//
//   - pays_to_sort reads each key once, in one pass, and decides from what
//     it read, which may no longer hold by the time the keys are inserted.
//   - Ascending's constructor reads the keys up to three times: the bits in
//     which they differ, the counts of the split field (once more when the
//     top bit did not differ), and the placing pass. The counts alone lay
//     out the runs (they sum to n) and size the scratch array (the largest
//     run). The placing pass reads each element once (a map's key and value
//     once each) and writes it into its run while that run has room, else
//     into the first run that still has room, which only a changed source
//     can need. So each of the n slots of `a` is written exactly once,
//     whatever was read, and every later step reads `a` alone. The bound
//     costs nothing measurable on 10M uniform keys (within 2%, set and map);
//     reading the source once into an array of its own first would cost n
//     more elements and 7% (set) to 25% (map) more time.
//   - Each run is then sorted on the bytes below the split, counted from
//     `a` itself. Keys that changed between the passes may sit in the run
//     of another value, or differ above the split within one: those come
//     out of order, and a map's repeated key may keep another of its values
//     than the last. Insertion takes keys in any order.
//   - InsertionOrder hands out the keys as given by reading each element
//     once, as it is handed out.
#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/bits.hpp"
#include "engine/core.hpp"
#include "engine/types.hpp"

namespace corvale_trie::sort {

// u64 elements in the machine's byte order, packed at any alignment: a
// read-only view of a caller's buffer.
struct PackedU64 {
  const u8* bytes = nullptr;
  std::size_t count = 0;

  [[nodiscard]] std::size_t size() const noexcept { return count; }
  [[nodiscard]] u64 operator[](std::size_t i) const noexcept { return bits::load8(bytes + 8 * i); }
};

// Fewer keys than this go in as given.
inline constexpr std::size_t SORT_MIN = 1024;
// Keys whose neighbours share their leaf but for one pair in FAR_SHARE or
// fewer go in as given.
inline constexpr std::size_t FAR_SHARE = 16;
// The size of a run that the split aims at (elements), and the widest split.
inline constexpr std::size_t RUN_TARGET = 4096;
inline constexpr unsigned SPLIT_BITS_MAX = 8;
// The longest run sorted by straight insertion.
inline constexpr std::size_t INSERTION_MAX = 32;

// True when inserting `keys` pays for sorting them first: at least
// SORT_MIN of them, not in ascending order, and more than one pair of
// neighbours in FAR_SHARE falling in different last-level leaves.
[[nodiscard]] bool pays_to_sort(PackedU64 keys) noexcept;

// The elements of a bulk insertion in ascending key order, equal keys in
// input order: u64 keys (E = u64) or (key, value) pairs (E = KeyValue).
// The elements are handed out in runs, each sorted when it is asked for;
// runs are asked for once each, in order, and a run stays valid until the
// next is asked for. Allocates in the constructor only.
template <class E>
class Ascending {
 public:
  // The keys of a set. Throws std::bad_alloc when the arrays cannot be had.
  explicit Ascending(PackedU64 keys)
    requires std::same_as<E, u64>;
  // The pairs of a map: keys[i] with values[i] (as many of each).
  Ascending(PackedU64 keys, PackedU64 values)
    requires std::same_as<E, KeyValue>;

  [[nodiscard]] std::size_t size() const noexcept { return bounds_.back(); }
  [[nodiscard]] std::size_t runs() const noexcept { return bounds_.size() - 1; }
  // Run r (r = 0, 1, ... in turn), sorted.
  [[nodiscard]] std::span<const E> run(std::size_t r) noexcept;

  // Hands every element to f in ascending key order, run by run.
  template <class F>
  void for_each(F&& f) {
    for (std::size_t r = 0; r < runs(); ++r)
      for (const E& e : run(r)) f(e);
  }

 private:
  template <class Source>
  void distribute(const Source& source, std::size_t n);

  std::unique_ptr<E[]> a_;  // the copy, in runs
  std::unique_ptr<E[]> b_;  // scratch of a run's sort
  std::vector<std::size_t> bounds_;  // run r is a_[bounds_[r] .. bounds_[r + 1])
  unsigned levels_ = 0;  // a run is left to sort on the digits of levels 1..levels_
};

// The elements of a bulk insertion in the order in which they go in: a
// sorted copy (Ascending) when pays_to_sort says it pays, else the source
// as given, read element by element as it is handed out. Allocates in the
// constructor only (std::bad_alloc when the copy cannot be had), so a caller
// that makes it before its first insertion has inserted nothing then.
template <class E>
class InsertionOrder {
 public:
  explicit InsertionOrder(PackedU64 keys)
    requires std::same_as<E, u64>
      : keys_(keys) {
    if (pays_to_sort(keys)) sorted_.emplace(keys);
  }
  InsertionOrder(PackedU64 keys, PackedU64 values)
    requires std::same_as<E, KeyValue>
      : keys_(keys), values_(values) {
    if (pays_to_sort(keys)) sorted_.emplace(keys, values);
  }

  [[nodiscard]] bool sorted() const noexcept { return sorted_.has_value(); }

  // Hands every element to f, in ascending key order when sorted().
  template <class F>
  void for_each(F&& f) {
    if (sorted_) {
      sorted_->for_each(f);
      return;
    }
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if constexpr (std::same_as<E, u64>)
        f(keys_[i]);
      else
        f(KeyValue{keys_[i], values_[i]});
    }
  }

 private:
  PackedU64 keys_;
  PackedU64 values_;
  std::optional<Ascending<E>> sorted_;
};

// A pause point for the tests, compiled into the engine only when it is
// built for its tests: Ascending's constructor calls the hook after each
// pass that reads the source before the placing pass (with the number of
// such passes done, 1 or 2), so that a test can rewrite the source between
// the counts and the placing.
#ifdef CORVALE_PAUSE_POINTS
namespace test_hooks {
inline std::atomic<void (*)(unsigned passes)> after_source_pass{nullptr};
}  // namespace test_hooks
#endif

}  // namespace corvale_trie::sort
