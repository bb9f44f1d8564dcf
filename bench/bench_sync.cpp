// Engine benchmarks of the concurrent containers' lock-free lookups:
// SyncCorvaleMap::get and SyncCorvaleSet::contains of present keys on 1, 2,
// 4 and 8 threads sharing one container (no writer), next to the private
// CorvaleMap::get and CorvaleSet::contains on one thread. Keys are uniform
// random u64 (keys.hpp); every thread probes its own stretch of one shuffled
// list of present keys.
//
// Names: "sync_lookup/<family>/<container>/<n>/real_time/threads:<T>" with
// container "sync" or "private"; the counter `lookups` is lookups per second
// of all threads together (wall time), so speed-up = rate(T) / rate(1), and
// `cpu_ns` the thread CPU time per lookup (below).
// Registered by `--family=sync` (and by default with the others).
#include <benchmark/benchmark.h>

#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/sync.hpp"
#include "harness.hpp"

namespace corvale_bench {
namespace {

// Lookups per thread and benchmark iteration.
constexpr std::size_t PER_ITERATION = 200'000;

// One container of n keys of each kind, built on first use and kept, with
// its probe list.
template <class C>
struct Built {
  C container;
  std::vector<u64> probes;
};

template <class C>
const Built<C>& built(std::size_t n) {
  static std::mutex mu;
  static std::map<std::size_t, std::unique_ptr<Built<C>>> all;
  std::lock_guard<std::mutex> lock(mu);
  auto& slot = all[n];
  if (!slot) {
    slot = std::make_unique<Built<C>>();
    const std::vector<u64> keys = make_keys(Dist::Uniform, n);
    for (u64 k : keys) {
      if constexpr (requires(C& c, u64 x) { c.insert(x, x); })
        (void)slot->container.insert(k, k ^ VALUE_SALT);
      else
        (void)slot->container.insert(k);
    }
    slot->probes = probe_keys(keys, QUERIES);
  }
  return *slot;
}

// CPU time of the calling thread: a thread that waits for a core while the
// machine is busy does not count, so cpu_ns (CPU ns per lookup, averaged over
// the threads) shows what the lookups cost one another when the wall-clock
// rate cannot (fewer free cores than threads).
u64 thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<u64>(ts.tv_sec) * 1'000'000'000u + static_cast<u64>(ts.tv_nsec);
}

template <class C>
bool look_up(const C& c, u64 key) {
  if constexpr (requires(const C& m, u64 x) { m.get(x); })
    return c.get(key).has_value();
  else
    return c.contains(key);
}

template <class C>
void lookups(benchmark::State& state, std::size_t n) {
  const Built<C>& b = built<C>(n);
  const std::size_t q = b.probes.size();
  std::size_t i = (q / static_cast<std::size_t>(state.threads())) * static_cast<std::size_t>(state.thread_index());
  u64 found = 0;
  const u64 cpu_start = thread_cpu_ns();
  for (auto _ : state) {
    for (std::size_t j = 0; j < PER_ITERATION; ++j) {
      found += look_up(b.container, b.probes[i]);
      if (++i == q) i = 0;
    }
  }
  const u64 cpu = thread_cpu_ns() - cpu_start;
  benchmark::DoNotOptimize(found);
  if (found != state.iterations() * PER_ITERATION) state.SkipWithError("a present key was not found");
  state.counters["lookups"] = benchmark::Counter(static_cast<double>(state.iterations() * PER_ITERATION),
                                                 benchmark::Counter::kIsRate);
  state.counters["cpu_ns"] = benchmark::Counter(
      static_cast<double>(cpu) / static_cast<double>(state.iterations() * PER_ITERATION),
      benchmark::Counter::kAvgThreads);
}

template <class C>
void register_one(const char* family, const char* container, std::size_t n, bool threaded) {
  const std::string name = std::string("sync_lookup/") + family + "/" + container + "/" + std::to_string(n);
  auto* b = benchmark::RegisterBenchmark(name.c_str(), [n](benchmark::State& st) { lookups<C>(st, n); });
  b->UseRealTime()->Unit(benchmark::kMillisecond);
  if (threaded)
    b->Threads(1)->Threads(2)->Threads(4)->Threads(8);
  else
    b->Threads(1);
}

}  // namespace

void register_sync_benchmarks() {
  for (std::size_t n : bench_sizes()) {
    register_one<corvale_trie::sync::SyncCorvaleMap>("map", "sync", n, true);
    register_one<corvale_trie::map::CorvaleMap>("map", "private", n, false);
    register_one<corvale_trie::sync::SyncCorvaleSet>("set", "sync", n, true);
    register_one<corvale_trie::set::CorvaleSet>("set", "private", n, false);
  }
}

}  // namespace corvale_bench
