// One writer and several optimistic readers on a core set and map in shared
// mode. The writer churns keys through every node kind and threshold (dense
// runs that make and break bitmap leaves, full edges and wide branches,
// clusters, uniform keys, shared upper bytes, keys near both ends, a small
// universe that crosses the flat/tree switch both ways, ascending inserts)
// around a fixed set of stable keys, bracketing each operation with a
// sequence word and advancing the collector after it. Readers pin, look up
// with the validating walk of occ_reader.hpp, unpin, and must find every
// stable key (with its value) and never a ghost key, which is never
// inserted. Clean under ThreadSanitizer and AddressSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "occ_reader.hpp"
#include "support.hpp"

namespace corvale_trie {
namespace {

using namespace testsupport;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
constexpr u64 kWrites = 6000;
#else
constexpr u64 kWrites = 60000;
#endif
constexpr unsigned kReaders = 3;
constexpr u64 kMinAnswers = 2000;

template <bool IS_MAP>
struct Stress {
  Container<IS_MAP> c;
  occ::CollectorRef col = occ::make_collector();
  u32 seq = 0;
  std::vector<u64> stable;
  std::vector<u64> ghosts;
  Census seen;  // node kinds the churn went through

  Stress() { c.record().alloc.defer_to(col); }

  // One write under the sequence word, then an advance attempt.
  template <class Op>
  void write(Op&& op) {
    occ::open_version(seq);
    op();
    occ::close_version(seq);
    col->try_advance();
  }

  // Readers run until `stop`; returns the number of wrong answers.
  void reader(const std::atomic<bool>& stop, std::atomic<u64>& wrong, std::atomic<u64>& answered,
              u64 seed) {
    occ::Reader r(col);
    std::mt19937_64 rng(seed);
    while (!stop.load(std::memory_order_relaxed)) {
      const bool want_stable = rng() & 1;
      const u64 key = want_stable ? stable[rng() % stable.size()] : ghosts[rng() % ghosts.size()];
      Answer a;
      for (unsigned attempt = 0;; ++attempt) {
        r.pin();
        a = optimistic_get<IS_MAP>(c.record(), seq, key);
        r.unpin();
        if (a.outcome != Outcome::Retry) break;
        if (attempt % 64 == 63) std::this_thread::yield();
        if (stop.load(std::memory_order_relaxed)) break;
      }
      if (a.outcome == Outcome::Retry) break;
      const bool ok = want_stable ? a.outcome == Outcome::Present && (!IS_MAP || a.value == value_of(key))
                                  : a.outcome == Outcome::Absent;
      if (!ok) wrong.fetch_add(1);
      answered.fetch_add(1, std::memory_order_relaxed);
    }
  }

  void run(Dist dist, u64 seed, u64 stable_count, u64 ghost_count) {
    CORVALE_SEED_TRACE(seed);
    SCOPED_TRACE(dist_name(dist));
    // Stable keys, ghosts (never inserted) and the churn stream are drawn
    // from the same distribution so that they share leaves and branches.
    KeyGen gen(dist, seed);
    KeyGen ghost_gen(dist, seed, 1);
    std::set<u64> stable_set;
    for (u64 guard = 0; stable_set.size() < stable_count && guard < 100 * stable_count; ++guard)
      stable_set.insert(gen());
    std::set<u64> ghost_set;
    for (u64 guard = 0; ghost_set.size() < ghost_count && guard < 20000; ++guard) {
      const u64 k = ghost_gen();
      if (!stable_set.count(k)) ghost_set.insert(k);
    }
    stable.assign(stable_set.begin(), stable_set.end());
    ghosts.assign(ghost_set.begin(), ghost_set.end());
    ASSERT_FALSE(ghosts.empty());
    for (const u64 k : stable) write([&] { insert(k, value_of(k)); });

    std::atomic<bool> stop{false};
    std::atomic<u64> wrong{0};
    std::atomic<u64> answered{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kReaders; ++t)
      threads.emplace_back([&, t] { reader(stop, wrong, answered, seed + 1 + t); });

    // Churn: batches of keys go in (ascending half of the time, which takes
    // the dense paths), then out again; stable keys stay, ghosts never enter.
    std::mt19937_64& rng = gen.rng();
    std::vector<u64> batch;
    u64 writes = 0;
    // The churn goes on until the readers have answered enough lookups
    // between the writes.
    while (writes < kWrites || answered.load(std::memory_order_relaxed) < kMinAnswers) {
      std::this_thread::yield();
      batch.clear();
      const u64 size = 1 + rng() % 400;
      for (u64 i = 0; i < size; ++i) {
        const u64 k = gen();
        if (!ghost_set.count(k) && !stable_set.count(k)) batch.push_back(k);
      }
      if (rng() & 1) std::sort(batch.begin(), batch.end());
      for (const u64 k : batch) write([&] { insert(k, ~k); });
      seen += census(c.record());
      writes += size;
      if (rng() % 4 == 0) continue;  // let the tree grow now and then
      for (const u64 k : batch) write([&] { c.remove(k); });
      writes += size;
    }
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_GE(answered.load(), kMinAnswers);
    EXPECT_EQ(errors_of<IS_MAP>(c), "");
    for (const u64 k : stable) {
      if constexpr (IS_MAP)
        EXPECT_EQ(c.get(k), value_of(k));
      else
        EXPECT_TRUE(c.contains(k));
    }
  }

  void insert(u64 k, u64 v) {
    if constexpr (IS_MAP)
      c.insert(k, v);
    else
      c.insert(k);
  }
};

template <bool IS_MAP>
void stress_every_distribution() {
  Census seen;
  for (const Dist d : ALL_DISTS) {
    // A small stable set lets the Small universe (48 keys) cross the
    // flat/tree switch; its ghosts leave most of it to the churn.
    const bool small = d == Dist::Small;
    Stress<IS_MAP> s;
    s.run(d, test_seed(0x57E55 + 17 * static_cast<u64>(d)), small ? 6 : 300, small ? 6 : 200);
    if (::testing::Test::HasFailure()) return;
    seen += s.seen;
  }
  EXPECT_EQ(seen.missing(IS_MAP), "") << "node kinds the churn never made";
}

TEST(SharedStress, SetReadersNeverMissAStableKeyNorSeeAGhost) { stress_every_distribution<false>(); }

TEST(SharedStress, MapReadersNeverMissAStableValueNorSeeAGhost) { stress_every_distribution<true>(); }

}  // namespace
}  // namespace corvale_trie
