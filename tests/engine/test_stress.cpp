// One writer and several lock-free readers on a concurrent set and map. The
// writer churns keys through every node kind and threshold (dense runs that
// make and break bitmap leaves, full edges and wide branches, clusters,
// uniform keys, shared upper bytes, keys near both ends, a small universe
// that crosses the flat/tree switch both ways, ascending inserts) around a
// fixed set of stable keys. Readers look keys up with the production
// lookups (SyncCorvaleSet::contains, SyncCorvaleMap::get) and must find
// every stable key (with its value) and never a ghost key, which is never
// inserted.
//
// Next to the random mixes, one fixed pattern: a branch that switches kind
// on every round (BranchL3 <-> BranchL7) above a leaf whose keys shift in
// place, under stable keys that readers probe all the time.
//
// Clean under ThreadSanitizer and AddressSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "engine/sync.hpp"
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
using SyncContainer = std::conditional_t<IS_MAP, sync::SyncCorvaleMap, sync::SyncCorvaleSet>;

// Whether a lookup of `key` gives what a stable key (present, with its
// value) or a key that is never inserted (absent) must give.
template <bool IS_MAP>
bool answers_right(const SyncContainer<IS_MAP>& c, u64 key, bool present) {
  if constexpr (IS_MAP) {
    const std::optional<u64> v = c.get(key);
    return present ? v == value_of(key) : !v.has_value();
  } else {
    return c.contains(key) == present;
  }
}

template <bool IS_MAP>
void put(SyncContainer<IS_MAP>& c, u64 k, u64 v) {
  if constexpr (IS_MAP)
    c.insert(k, v);
  else
    c.insert(k);
}

template <bool IS_MAP>
struct Stress {
  SyncContainer<IS_MAP> c;
  std::vector<u64> stable;
  std::vector<u64> ghosts;
  Census seen;  // node kinds the churn went through

  // Readers run until `stop`, counting wrong answers.
  void reader(const std::atomic<bool>& stop, std::atomic<u64>& wrong, std::atomic<u64>& answered,
              u64 seed) {
    std::mt19937_64 rng(seed);
    while (!stop.load(std::memory_order_relaxed)) {
      const bool want_stable = rng() & 1;
      const u64 key = want_stable ? stable[rng() % stable.size()] : ghosts[rng() % ghosts.size()];
      if (!answers_right<IS_MAP>(c, key, want_stable)) wrong.fetch_add(1);
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
    for (const u64 k : stable) put<IS_MAP>(c, k, value_of(k));

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
      for (const u64 k : batch) put<IS_MAP>(c, k, ~k);
      // Only this thread writes; the readers' loads do not race with a read.
      seen += census(const_cast<CoreRecord&>(c.inner_quiescent().record()));
      writes += size;
      if (rng() % 4 == 0) continue;  // let the tree grow now and then
      for (const u64 k : batch) c.remove(k);
      writes += size;
    }
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_GE(answered.load(), kMinAnswers);
    EXPECT_EQ(errors_of<IS_MAP>(c.inner_quiescent()), "");
    for (const u64 k : stable) EXPECT_TRUE(answers_right<IS_MAP>(c, k, true)) << k;
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

// The fixed pattern: nine stable keys (1<<56) | 100*i in one leaf with room
// for a tenth, X = (1<<56) | 50 inserted below them (every key of the leaf
// shifts in place) and removed again, A = (3<<56) | 5 and B = (4<<56) | 5
// toggled so that the root branch becomes a BranchL7 at B and a BranchL3
// again when A goes, and 40 stable keys under top byte 2 that keep the
// container a tree. Readers probe the stable keys, and X, A and B, whose
// values (map) must be right whenever they are found.
template <bool IS_MAP>
void branch_switching_kind_over_a_shifting_leaf() {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
  constexpr u64 kRounds = 3000;
#else
  constexpr u64 kRounds = 30000;
#endif
  SyncContainer<IS_MAP> c;
  std::vector<u64> stable;
  for (u64 i = 1; i <= 9; ++i) stable.push_back((u64{1} << 56) | (100 * i));
  for (u64 i = 0; i < 40; ++i) stable.push_back((u64{2} << 56) | (0x0101 * i + 1));
  for (const u64 k : stable) put<IS_MAP>(c, k, value_of(k));
  const u64 X = (u64{1} << 56) | 50;
  const u64 A = (u64{3} << 56) | 5;
  const u64 B = (u64{4} << 56) | 5;
  const u64 toggled[] = {X, A, B};
  const Edge& root = c.inner_quiescent().record().root;
  ASSERT_EQ(root.tag, TAG_L3);

  std::atomic<bool> stop{false};
  std::atomic<u64> wrong{0};
  std::atomic<u64> answered{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kReaders; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(test_seed(0xB5A7C4 + t));
      while (!stop.load(std::memory_order_relaxed)) {
        const u64 r = rng();
        if (r % 8 != 0) {
          if (!answers_right<IS_MAP>(c, stable[(r >> 8) % stable.size()], true)) wrong.fetch_add(1);
        } else if constexpr (IS_MAP) {
          const u64 k = toggled[(r >> 8) % 3];
          const std::optional<u64> v = c.get(k);
          if (v && *v != value_of(k)) wrong.fetch_add(1);
        } else {
          (void)c.contains(toggled[(r >> 8) % 3]);
        }
        answered.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  bool switched = true;
  for (u64 round = 0; round < kRounds || answered.load(std::memory_order_relaxed) < kMinAnswers; ++round) {
    put<IS_MAP>(c, A, value_of(A));
    put<IS_MAP>(c, B, value_of(B));
    switched = switched && root.tag == TAG_L7;
    put<IS_MAP>(c, X, value_of(X));
    c.remove(B);
    c.remove(A);
    switched = switched && root.tag == TAG_L3;
    c.remove(X);
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_TRUE(switched) << "the root branch did not switch kind on every round";
  EXPECT_EQ(wrong.load(), 0u) << "of " << answered.load() << " lookups";
  EXPECT_GE(answered.load(), kMinAnswers);
  EXPECT_EQ(errors_of<IS_MAP>(c.inner_quiescent()), "");
}

TEST(SharedStress, SetBranchSwitchingKindOverAShiftingLeaf) { branch_switching_kind_over_a_shifting_leaf<false>(); }

TEST(SharedStress, MapBranchSwitchingKindOverAShiftingLeaf) { branch_switching_kind_over_a_shifting_leaf<true>(); }

TEST(SharedStress, SetReadersNeverMissAStableKeyNorSeeAGhost) { stress_every_distribution<false>(); }

TEST(SharedStress, MapReadersNeverMissAStableValueNorSeeAGhost) { stress_every_distribution<true>(); }

}  // namespace
}  // namespace corvale_trie
