// Ascending key order for bulk insertion (sort.hpp).
#include "engine/sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <utility>

namespace corvale_trie::sort {
namespace {

[[nodiscard]] inline u64 key_of(u64 key) noexcept { return key; }
[[nodiscard]] inline u64 key_of(const KeyValue& kv) noexcept { return kv.key; }

// Element i of a set's source and of a map's.
struct KeySource {
  PackedU64 keys;
  [[nodiscard]] u64 operator()(std::size_t i) const noexcept { return keys[i]; }
};

struct PairSource {
  PackedU64 keys;
  PackedU64 values;
  [[nodiscard]] KeyValue operator()(std::size_t i) const noexcept { return {keys[i], values[i]}; }
};

// The `bits` bits of a key from bit `shift` up: the digit of a level, or
// the split field.
struct Field {
  unsigned shift;
  unsigned bits;
  [[nodiscard]] std::size_t operator()(u64 key) const noexcept {
    return static_cast<std::size_t>(key >> shift) & ((std::size_t{1} << bits) - 1);
  }
};

[[nodiscard]] constexpr Field level_digit(unsigned level) noexcept { return {8 * (level - 1), 8}; }

// counts[L - 1][d]: how many of the counted keys have the digit d at level L.
using Digits = std::array<std::size_t, 256>;
using Counts = std::array<Digits, 8>;

// Counts the digits of levels 1..levels of n elements, in one pass.
template <class E>
void count_digits(const E* a, std::size_t n, unsigned levels, Counts& counts) noexcept {
  for (unsigned level = 1; level <= levels; ++level) counts[level - 1].fill(0);
  for (std::size_t i = 0; i < n; ++i) {
    const u64 key = key_of(a[i]);
    for (unsigned level = 1; level <= levels; ++level) ++counts[level - 1][digit_at(key, level)];
  }
}

// Turns counts into the start of each value's slots in the sorted order.
void to_starts(std::span<std::size_t> counts) noexcept {
  std::size_t at = 0;
  for (std::size_t& c : counts) at += std::exchange(c, at);
}

// Stable counting sort of n elements of our own array on field f into out;
// `next` holds the start of each value's slots, counted from the same
// array, and is advanced.
template <class E>
void distribute_on(const E* in, std::size_t n, Field f, std::span<std::size_t> next, E* out) noexcept {
  for (std::size_t i = 0; i < n; ++i) out[next[f(key_of(in[i]))]++] = in[i];
}

// Places the n elements of a caller's source into out, reading each once,
// in the runs that `next` (the start of each value's run, advanced) and
// `end` (its end) lay out from counts taken in an earlier pass: an element
// whose run is full, which only a source changed since that pass can give,
// goes to the first run with room. The runs' sizes add up to n, so every
// slot of out is written exactly once, whatever the source reads. Stable
// while the source holds still.
template <class E, class Source>
void place(const Source& source, std::size_t n, Field f, std::span<std::size_t> next,
           std::span<const std::size_t> end, E* out) noexcept {
  std::size_t spill = 0;  // the runs below it are full
  for (std::size_t i = 0; i < n; ++i) {
    const E e = source(i);
    std::size_t v = f(key_of(e));
    if (next[v] == end[v]) [[unlikely]] {
      // i slots of n are written: some run has room.
      while (next[spill] == end[spill]) {
        ++spill;
        CORVALE_ASSERT(spill < next.size());
      }
      v = spill;
    }
    out[next[v]++] = e;
  }
}

// The test hook between the passes that read a caller's source (sort.hpp).
inline void after_source_pass([[maybe_unused]] unsigned passes) noexcept {
#ifdef CORVALE_PAUSE_POINTS
  if (auto* hook = test_hooks::after_source_pass.load(std::memory_order_acquire)) hook(passes);
#endif
}

// Stable straight insertion of n elements in place.
template <class E>
void insertion_sort(E* a, std::size_t n) noexcept {
  for (std::size_t i = 1; i < n; ++i) {
    const E e = a[i];
    std::size_t j = i;
    for (; j > 0 && key_of(a[j - 1]) > key_of(e); --j) a[j] = a[j - 1];
    a[j] = e;
  }
}

// Sorts a[0 .. n) on the digits of levels 1..levels, least significant
// first, passing between a and b (n elements each); returns the array that
// holds the result.
template <class E>
E* sort_low_digits(E* a, E* b, std::size_t n, unsigned levels) noexcept {
  if (n <= INSERTION_MAX) {
    insertion_sort(a, n);
    return a;
  }
  Counts counts;
  count_digits(a, n, levels, counts);
  E* from = a;
  E* to = b;
  for (unsigned level = 1; level <= levels; ++level) {
    Digits& count = counts[level - 1];
    if (count[digit_at(key_of(a[0]), level)] == n) continue;  // all keys share this digit
    to_starts(count);
    distribute_on(from, n, level_digit(level), count, to);
    std::swap(from, to);
  }
  return from;
}

}  // namespace

bool pays_to_sort(PackedU64 keys) noexcept {
  const std::size_t n = keys.size();
  if (n < SORT_MIN) return false;
  const std::size_t far_max = n / FAR_SHARE;
  std::size_t far = 0;  // neighbours that differ above their lowest byte
  bool descends = false;
  u64 prev = keys[0];
  for (std::size_t i = 1; i < n; ++i) {
    const u64 key = keys[i];
    descends |= key < prev;
    far += (key ^ prev) >> 8 != 0;
    if (far > far_max && descends) return true;
    prev = key;
  }
  return false;
}

template <class E>
Ascending<E>::Ascending(PackedU64 keys)
  requires std::same_as<E, u64>
{
  distribute(KeySource{keys}, keys.size());
}

template <class E>
Ascending<E>::Ascending(PackedU64 keys, PackedU64 values)
  requires std::same_as<E, KeyValue>
{
  CORVALE_ASSERT(keys.size() == values.size());
  distribute(PairSource{keys, values}, keys.size());
}

template <class E>
template <class Source>
void Ascending<E>::distribute(const Source& source, std::size_t n) {
  a_ = std::make_unique_for_overwrite<E[]>(n);
  bounds_.assign(1, 0);
  if (n == 0) return;
  // Up to 2**SPLIT_BITS_MAX runs of RUN_TARGET elements or more each.
  const unsigned wanted =
      n >= 2 * RUN_TARGET ? std::min<unsigned>(SPLIT_BITS_MAX, std::bit_width(n / RUN_TARGET) - 1) : 0;
  // The bits in which some key differs from the first, and the count of
  // each value of the split field as it is when the highest bit differs.
  u64 differ = 0;
  Field split{64 - wanted, wanted};
  std::vector<std::size_t> next(std::size_t{1} << wanted, 0);
  if (wanted != 0) {
    const u64 first = key_of(source(0));
    for (std::size_t i = 0; i < n; ++i) {
      const u64 key = key_of(source(i));
      differ |= key ^ first;
      ++next[split(key)];
    }
  }
  if (wanted != 0) after_source_pass(1);
  if (differ == 0) {
    // One run: few elements, sorted on every level when it is asked for;
    // or keys that are all the same, in input order.
    b_ = std::make_unique_for_overwrite<E[]>(wanted == 0 ? n : 0);
    for (std::size_t i = 0; i < n; ++i) a_[i] = source(i);
    bounds_.push_back(n);
    levels_ = wanted == 0 ? 8 : 0;
    return;
  }
  // The split field: the highest `wanted` bits in which keys differ.
  const unsigned top = static_cast<unsigned>(std::bit_width(differ));
  if (top != 64) {
    split = {top - std::min(wanted, top), std::min(wanted, top)};
    next.assign(std::size_t{1} << split.bits, 0);
    for (std::size_t i = 0; i < n; ++i) ++next[split(key_of(source(i)))];
    after_source_pass(2);
  }
  // From here on the counts are all that is known of the source: they lay
  // out the runs and size the scratch; the placing pass keeps to them.
  b_ = std::make_unique_for_overwrite<E[]>(*std::max_element(next.begin(), next.end()));
  std::vector<std::size_t> end(next.size());
  bounds_.reserve(next.size() + 1);
  std::size_t at = 0;
  for (std::size_t v = 0; v < next.size(); ++v) {
    if (next[v] != 0 && at != 0) bounds_.push_back(at);  // the first run starts at 0, already there
    at += std::exchange(next[v], at);
    end[v] = at;
  }
  CORVALE_ASSERT(at == n);
  bounds_.push_back(n);
  place(source, n, split, next, end, a_.get());
  levels_ = (split.shift + 7) / 8;
}

template <class E>
std::span<const E> Ascending<E>::run(std::size_t r) noexcept {
  CORVALE_ASSERT(r + 1 < bounds_.size());
  const std::size_t n = bounds_[r + 1] - bounds_[r];
  return {sort_low_digits(a_.get() + bounds_[r], b_.get(), n, levels_), n};
}

// Each flavour's members, one by one: a class-wide instantiation would also
// instantiate the constructor of the other flavour with some compilers.
template Ascending<u64>::Ascending(PackedU64 keys);
template Ascending<KeyValue>::Ascending(PackedU64 keys, PackedU64 values);
template std::span<const u64> Ascending<u64>::run(std::size_t r) noexcept;
template std::span<const KeyValue> Ascending<KeyValue>::run(std::size_t r) noexcept;

}  // namespace corvale_trie::sort
