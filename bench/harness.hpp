// The shared frame of the engine benchmarks.
//
// A benchmark family (bench_set.cpp, bench_map.cpp) describes each container
// it measures by an adapter type with a uniform face:
//
//   static constexpr const char* NAME;       column label ("corvale", "std", "absl")
//   void insert(u64 key);                    one key (maps store key ^ VALUE_SALT)
//   bool find(u64 key) const;                membership / value lookup
//   std::optional<u64> successor(u64) const; smallest key >= the argument
//   u64 iterate() const;                     walks every entry in order, returns the count
//                                            (stopping once it exceeds the size)
//   void remove(u64 key);                    removes one key
//   u64 bytes() const;                       heap bytes the container holds
//
// `register_family<Adapters...>(family)` registers, for every distribution
// and size, four benchmarks per adapter, named
// "<op>/<family>/<adapter>/<dist>/<n>" with op one of insert, find,
// successor, iterate, remove (every key, in insertion order, from a
// container built untimed). Each reports the counter `keys` (operations per
// iteration; the Python driver divides the time by it) and the insert
// benchmark also `bytes_per_key`.
//
// Building a 10-million-key container takes seconds, so the container the
// insert benchmark built last is kept (one at a time, whatever its type) and
// reused by the lookups, the successor search and the iteration of the same
// adapter, distribution and size; a benchmark run alone builds it first.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "counting_alloc.hpp"
#include "keys.hpp"

namespace corvale_bench {

inline constexpr u64 VALUE_SALT = 0x5DEECE66Dull;
// Lookups, successor searches per benchmark iteration.
inline constexpr std::size_t QUERIES = 1'000'000;

struct KeySet {
  std::vector<u64> keys;     // insertion order
  std::vector<u64> present;  // QUERIES present keys, random order
  std::vector<u64> points;   // QUERIES successor targets
};

// The key set of (d, n); only the latest one is kept.
inline const KeySet& key_set(Dist d, std::size_t n) {
  static std::pair<Dist, std::size_t> id{Dist::Dense, 0};
  static std::unique_ptr<KeySet> cur;
  if (!cur || id != std::pair{d, n}) {
    cur.reset();
    cur = std::make_unique<KeySet>();
    cur->keys = make_keys(d, n);
    cur->present = probe_keys(cur->keys, QUERIES);
    cur->points = probe_points(cur->keys, QUERIES);
    id = {d, n};
  }
  return *cur;
}

// The one container kept between benchmarks.
struct Kept {
  std::string id;
  std::shared_ptr<void> obj;
};
inline Kept g_kept;

template <class A>
std::shared_ptr<A> build(const std::vector<u64>& keys) {
  g_counted_bytes = 0;
  auto a = std::make_shared<A>();
  for (u64 k : keys) a->insert(k);
  return a;
}

template <class A>
const A& kept(const std::string& id, Dist d, std::size_t n) {
  if (g_kept.id != id) {
    g_kept.obj.reset();
    g_kept.id.clear();
    auto a = build<A>(key_set(d, n).keys);
    g_kept = {id, a};
  }
  return *static_cast<const A*>(g_kept.obj.get());
}

template <class A>
void register_adapter(const char* family, Dist d, std::size_t n) {
  const std::string tail = std::string(family) + "/" + A::NAME + "/" + std::string(dist_name(d)) +
                           "/" + std::to_string(n);
  const std::string id = tail;

  benchmark::RegisterBenchmark(("insert/" + tail).c_str(), [=](benchmark::State& st) {
    const auto& ks = key_set(d, n);
    g_kept.obj.reset();
    g_kept.id.clear();
    std::shared_ptr<A> last;
    for (auto _ : st) {
      st.PauseTiming();
      last.reset();
      g_counted_bytes = 0;
      auto a = std::make_shared<A>();
      st.ResumeTiming();
      for (u64 k : ks.keys) a->insert(k);
      benchmark::ClobberMemory();
      last = std::move(a);
    }
    st.counters["keys"] = static_cast<double>(n);
    st.counters["bytes_per_key"] = static_cast<double>(last->bytes()) / static_cast<double>(n);
    st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations() * n));
    g_kept = {id, last};
  })->Unit(benchmark::kMillisecond)->Iterations(n >= 5'000'000 ? 1 : 3)->UseRealTime();

  benchmark::RegisterBenchmark(("find/" + tail).c_str(), [=](benchmark::State& st) {
    const A& a = kept<A>(id, d, n);
    const auto& q = key_set(d, n).present;
    for (auto _ : st) {
      u64 hits = 0;
      for (u64 k : q) hits += a.find(k);
      benchmark::DoNotOptimize(hits);
      if (hits != q.size()) st.SkipWithError("lookup missed a present key");
    }
    st.counters["keys"] = static_cast<double>(q.size());
    st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations() * q.size()));
  })->Unit(benchmark::kMillisecond)->UseRealTime();

  benchmark::RegisterBenchmark(("successor/" + tail).c_str(), [=](benchmark::State& st) {
    const A& a = kept<A>(id, d, n);
    const auto& q = key_set(d, n).points;
    for (auto _ : st) {
      u64 sum = 0;
      for (u64 k : q)
        if (auto s = a.successor(k)) sum += *s;
      benchmark::DoNotOptimize(sum);
    }
    st.counters["keys"] = static_cast<double>(q.size());
    st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations() * q.size()));
  })->Unit(benchmark::kMillisecond)->UseRealTime();

  benchmark::RegisterBenchmark(("remove/" + tail).c_str(), [=](benchmark::State& st) {
    const auto& ks = key_set(d, n);
    for (auto _ : st) {
      st.PauseTiming();
      auto a = build<A>(ks.keys);
      st.ResumeTiming();
      for (u64 k : ks.keys) a->remove(k);
      benchmark::ClobberMemory();
      st.PauseTiming();
      a.reset();
      st.ResumeTiming();
    }
    st.counters["keys"] = static_cast<double>(n);
    st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations() * n));
  })->Unit(benchmark::kMillisecond)->Iterations(n >= 5'000'000 ? 1 : 3)->UseRealTime();

  benchmark::RegisterBenchmark(("iterate/" + tail).c_str(), [=](benchmark::State& st) {
    const A& a = kept<A>(id, d, n);
    for (auto _ : st)
      if (a.iterate() != n) st.SkipWithError("iteration did not yield every key once");
    st.counters["keys"] = static_cast<double>(n);
    st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations() * n));
  })->Unit(benchmark::kMillisecond)->UseRealTime();
}

// Container sizes to run: 1M and 10M keys unless bench_main.cpp's
// command line (--sizes=, --quick) says otherwise.
std::vector<std::size_t>& bench_sizes();

template <class... Adapters>
void register_family(const char* family) {
  for (std::size_t n : bench_sizes())
    for (Dist d : ALL_DISTS) (register_adapter<Adapters>(family, d, n), ...);
}

}  // namespace corvale_bench
