// Engine benchmarks, bulk insertion order (engine/sort.hpp), run with
// --family=sort (not part of bench/run.py's tables).
//
//   sort/<set|map>/<radix|std>/<dist>/<n>
//       the keys (set) or pairs (map) of a bulk insertion put in ascending
//       order: ours (sort::Ascending, every run handed out) against a copy
//       sorted by std::sort (keys) or std::stable_sort on the key (pairs);
//   bulk/<set|map>/<given|sorted>/<into>/<n>
//       n uniform keys inserted as given or through sort::Ascending, into
//       fresh containers (into = 0) or into one of `into` keys (built
//       untimed before every iteration); with small n many batches make one
//       iteration. The crossing of the two rows is SORT_MIN.
//
// Every benchmark reports the counter `keys`: divide the time by it.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/map.hpp"
#include "engine/set.hpp"
#include "engine/sort.hpp"
#include "harness.hpp"

namespace corvale_bench {
namespace {

using corvale_trie::KeyValue;
namespace sort = corvale_trie::sort;

sort::PackedU64 packed(const std::vector<u64>& v) {
  return {reinterpret_cast<const corvale_trie::u8*>(v.data()), v.size()};
}

// Keys of `d` in a shuffled order (clustered and dense keys come in runs).
std::vector<u64> unordered_keys(Dist d, std::size_t n, u64 seed = 42) {
  std::vector<u64> keys = make_keys(d, n, seed);
  SplitMix64 rng(seed ^ 0xA5A5);
  for (std::size_t i = n; i > 1; --i) std::swap(keys[i - 1], keys[rng() % i]);
  return keys;
}

std::vector<u64> values_of(const std::vector<u64>& keys) {
  std::vector<u64> v(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) v[i] = keys[i] ^ VALUE_SALT;
  return v;
}

// The input of the sort benchmarks of (d, n): unordered keys and their
// values, made when the first of them runs.
struct SortInput {
  std::vector<u64> keys;
  std::vector<u64> values;
};

// Registers sort/<family>/<method>/<dist>/<n>: `order(input)` puts the
// input in ascending order and returns a sum over what it hands out.
template <class Order>
void register_sort(const char* family, const char* method, Dist d, std::size_t n,
                   const std::shared_ptr<SortInput>& input, Order order) {
  const std::string name = std::string("sort/") + family + "/" + method + "/" + std::string(dist_name(d)) +
                           "/" + std::to_string(n);
  benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
    if (input->keys.size() != n) {
      input->keys = unordered_keys(d, n);
      input->values = values_of(input->keys);
    }
    u64 sum = 0;
    for (auto _ : st) sum += order(*input);
    benchmark::DoNotOptimize(sum);
    st.counters["keys"] = static_cast<double>(n);
  })->Unit(benchmark::kMillisecond)->UseRealTime();
}

void register_sorts(Dist d, std::size_t n) {
  const auto input = std::make_shared<SortInput>();
  register_sort("set", "radix", d, n, input, [](const SortInput& in) {
    u64 sum = 0;
    sort::Ascending<u64> sorted(packed(in.keys));
    sorted.for_each([&](u64 k) { sum += k; });
    return sum;
  });
  register_sort("set", "std", d, n, input, [](const SortInput& in) {
    std::vector<u64> copy(in.keys);
    std::sort(copy.begin(), copy.end());
    u64 sum = 0;
    for (u64 k : copy) sum += k;
    return sum;
  });
  register_sort("map", "radix", d, n, input, [](const SortInput& in) {
    u64 sum = 0;
    sort::Ascending<KeyValue> sorted(packed(in.keys), packed(in.values));
    sorted.for_each([&](const KeyValue& kv) { sum += kv.value; });
    return sum;
  });
  register_sort("map", "std", d, n, input, [](const SortInput& in) {
    std::vector<KeyValue> pairs(in.keys.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i] = {in.keys[i], in.values[i]};
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const KeyValue& x, const KeyValue& y) { return x.key < y.key; });
    u64 sum = 0;
    for (const KeyValue& kv : pairs) sum += kv.value;
    return sum;
  });
}

// Inserts keys[lo, lo + n) (with their values, for a map) as given or sorted.
template <class C>
void insert_batch(C& c, const std::vector<u64>& keys, const std::vector<u64>& values, std::size_t lo,
                  std::size_t n, bool sorted) {
  const sort::PackedU64 ks{reinterpret_cast<const corvale_trie::u8*>(keys.data() + lo), n};
  const sort::PackedU64 vs{reinterpret_cast<const corvale_trie::u8*>(values.data() + lo), n};
  if constexpr (std::is_same_v<C, corvale_trie::set::CorvaleSet>) {
    if (!sorted) {
      for (std::size_t i = 0; i < n; ++i) c.insert(ks[i]);
      return;
    }
    sort::Ascending<u64> order(ks);
    order.for_each([&](u64 k) { c.insert(k); });
  } else {
    if (!sorted) {
      for (std::size_t i = 0; i < n; ++i) (void)c.insert(ks[i], vs[i]);
      return;
    }
    sort::Ascending<KeyValue> order(ks, vs);
    order.for_each([&](const KeyValue& kv) { (void)c.insert(kv.key, kv.value); });
  }
}

// Keys per iteration of a bulk benchmark on small batches, into fresh
// containers and into a large one (which they should not grow much).
constexpr std::size_t BATCH_KEYS = 1 << 20;
constexpr std::size_t INTO_KEYS = 1 << 18;

template <class C>
void register_bulk(const char* family, bool sorted, std::size_t into, std::size_t n) {
  const std::string name = std::string("bulk/") + family + (sorted ? "/sorted/" : "/given/") +
                           std::to_string(into) + "/" + std::to_string(n);
  benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
    const std::size_t batches = std::max<std::size_t>(1, (into != 0 ? INTO_KEYS : BATCH_KEYS) / n);
    const std::vector<u64> all = make_keys(Dist::Uniform, into + batches * n, 3);
    const std::vector<u64> values = values_of(all);
    for (auto _ : st) {
      std::unique_ptr<C> big;
      if (into != 0) {
        st.PauseTiming();
        big = std::make_unique<C>();
        insert_batch(*big, all, values, 0, into, true);
        st.ResumeTiming();
      }
      for (std::size_t b = 0; b < batches; ++b) {
        if (big) {
          insert_batch(*big, all, values, into + b * n, n, sorted);
        } else {
          C c;
          insert_batch(c, all, values, b * n, n, sorted);
        }
      }
      benchmark::ClobberMemory();
      if (big) {
        st.PauseTiming();
        big.reset();
        st.ResumeTiming();
      }
    }
    st.counters["keys"] = static_cast<double>(batches * n);
  })->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(n >= 5'000'000 ? 1 : into != 0 ? 5 : 3);
}

}  // namespace

void register_sort_benchmarks() {
  for (std::size_t n : bench_sizes())
    for (Dist d : {Dist::Uniform, Dist::U32, Dist::Clustered}) register_sorts(d, n);
  std::vector<std::size_t> small{64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 65536};
  for (std::size_t into : {std::size_t{0}, std::size_t{1'000'000}})
    for (std::size_t n : small)
      for (bool sorted : {false, true}) {
        register_bulk<corvale_trie::set::CorvaleSet>("set", sorted, into, n);
        register_bulk<corvale_trie::map::CorvaleMap>("map", sorted, into, n);
      }
  for (std::size_t n : bench_sizes())
    for (bool sorted : {false, true}) {
      register_bulk<corvale_trie::set::CorvaleSet>("set", sorted, 0, n);
      register_bulk<corvale_trie::map::CorvaleMap>("map", sorted, 0, n);
    }
}

}  // namespace corvale_bench
