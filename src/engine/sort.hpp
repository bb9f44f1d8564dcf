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
// a copy of them first and inserts from the copy.
//
// When: `pays_to_sort` decides, from the keys alone. Fewer than SORT_MIN
// keys go in as given: below it the sort costs about what it saves (the
// benchmarks of bench/bench_sort.cpp measured the crossing). Keys already
// in ascending order (non-decreasing: repeats allowed) go in as given too,
// with no copy; finding that out costs one pass over them, which stops at
// the first descent.
//
// How: a stable radix sort on the eight bytes of the key, a byte a digit,
// counting sort per digit (the digit at level L is key byte L-1, as in the
// trie, types.hpp). Keys are 64-bit integers, so no comparison sort comes
// near it: on 10M uniform keys std::sort of the copy takes about 60 ns a
// key, this one about 12 (pairs: 95 ns for std::stable_sort, about 14).
// Two shapes, chosen by size:
//
//   - up to CACHE_BYTES of elements: the source is copied into `a`, which is
//     then one run; the run is sorted when it is asked for, least
//     significant digit first, between `a` and a second array `b` of the
//     same size, both held in cache;
//   - above it: one pass over the source counts every digit; the highest
//     digit on which the keys differ (a digit all keys share is skipped)
//     distributes the source into `a` by counting sort, splitting it into
//     up to 256 runs, each holding the keys of one value of that digit, in
//     ascending order of it; a run is sorted on the digits below, least
//     significant first, between its place in `a` and a scratch array `b`
//     the size of the largest run, when it is asked for. Its keys are in
//     cache then (10M uniform keys make runs of 40,000 keys, 300 KB), and
//     the caller inserts them right away, before the next run is sorted.
//
// Within a run, a digit on which all of the run's keys agree costs no pass,
// and a run of at most INSERTION_MAX elements is sorted by straight
// insertion instead. Every step is stable: equal keys keep their input
// order, so a map whose input repeats a key stores the value given last,
// as the insertion in input order does.
//
// Memory: the sorted copy, n elements of 8 bytes (a set's keys) or 16 (a
// map's pairs), plus the scratch array: n more in the first shape (at most
// CACHE_BYTES), the largest run in the second (n / 256 for uniform keys, n
// in the worst case, when nearly every key falls in one run). Both are
// allocated by the constructor, before any run is sorted or handed out, and
// freed with the object; the constructor is the only step that can fail
// (std::bad_alloc), so a caller that cannot get them has inserted nothing.
// No step reads or writes the trie.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <memory>
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
// The size of a run that the split aims at (elements), and the widest split.
inline constexpr std::size_t RUN_TARGET = 4096;
inline constexpr unsigned SPLIT_BITS_MAX = 8;
// The longest run sorted by straight insertion.
inline constexpr std::size_t INSERTION_MAX = 32;

// True when keys[i] <= keys[i + 1] for every i.
[[nodiscard]] bool ascending(PackedU64 keys) noexcept;

// True when inserting `keys` pays for sorting them first: at least SORT_MIN
// of them, not already ascending.
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

extern template class Ascending<u64>;
extern template class Ascending<KeyValue>;

}  // namespace corvale_trie::sort
