// Engine tests of the concurrent set and map: the writer protocol's sequence
// word, the count, and a stress run of writers and lock-free readers in
// every key distribution (built and run under ThreadSanitizer as well), with
// the attempt limit lowered in some runs so that the locked fallback runs.
//
// Stress run: the keys of a distribution are split into stable keys
// (inserted before the threads start, never removed), churn keys (inserted
// and removed over and over by two writer threads, each owning every other
// one) and absent keys (never inserted). Three readers look keys up while
// the writers run: a stable key must always be found, an absent key never,
// and every value found must be the one its key encodes. At the end the
// content must equal the model exactly and the trie must verify.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "engine/sync.hpp"
#include "engine/verify.hpp"
#include "pause_point.hpp"
#include "support.hpp"

namespace corvale_trie {
namespace {

using sync::SyncCorvaleMap;
using sync::SyncCorvaleSet;
using testsupport::Dist;

#if defined(__SANITIZE_THREAD__)
constexpr u64 kStressDivisor = 2;
#else
constexpr u64 kStressDivisor = testsupport::SLOW_BUILD_DIVISOR;
#endif

constexpr u64 value_of(u64 key) noexcept { return key * 0x9E37'79B9'7F4A'7C15ull ^ 0x5555; }

// Restores the default attempt limit when a test ends.
struct AttemptLimit {
  explicit AttemptLimit(u64 limit) { sync::set_attempt_limit_for_testing(limit); }
  ~AttemptLimit() { sync::set_attempt_limit_for_testing(0); }
};

TEST(SyncCore, SequenceWordRisesByTwoPerMutationWhateverItFinds) {
  SyncCorvaleSet s;
  EXPECT_EQ(s.len(), 0u);
  EXPECT_EQ(s.seq(), 0u);
  EXPECT_EQ(s.collector()->epoch(), 0u);
  s.clear();  // empty container
  EXPECT_EQ(s.seq(), 2u);
  EXPECT_TRUE(s.insert(7));
  EXPECT_FALSE(s.insert(7));  // present
  EXPECT_FALSE(s.remove(8));  // absent
  EXPECT_EQ(s.seq(), 8u);
  // The 32nd key turns the flat array into a tree inside one window.
  for (u64 k = 100; k < 130; ++k) EXPECT_TRUE(s.insert(k));
  EXPECT_EQ(s.len(), 31u);
  const u64 before = s.seq();
  EXPECT_TRUE(s.insert(1000));
  EXPECT_EQ(s.seq(), before + 2);
  EXPECT_EQ(s.inner_quiescent().record().state, RootState::Tree);
  EXPECT_TRUE(s.contains(1000) && s.contains(7) && !s.contains(8));
  s.clear();
  EXPECT_EQ(s.len(), 0u);  // the inner count field still holds 32
  EXPECT_FALSE(s.contains(7));

  SyncCorvaleMap m;
  EXPECT_EQ(m.insert(1, 10), std::nullopt);
  EXPECT_EQ(m.insert(1, 11), std::optional<u64>(10));
  EXPECT_EQ(m.get(1), std::optional<u64>(11));
  EXPECT_EQ(m.remove(2), std::nullopt);
  EXPECT_EQ(m.remove(1), std::optional<u64>(11));
  EXPECT_EQ(m.seq(), 8u);
  EXPECT_EQ(m.len(), 0u);
}

// The compare-and-change forms change the map only when they find the
// expected value, answer what they found either way, and take one writer
// round each.
TEST(SyncCore, CompareAndChangeActsOnlyOnTheExpectedValue) {
  SyncCorvaleMap m;
  EXPECT_EQ(m.insert_if(5, 50, std::nullopt), std::nullopt);  // absent, as expected: inserted
  EXPECT_EQ(m.insert_if(5, 51, std::nullopt), std::optional<u64>(50));  // present: unchanged
  EXPECT_EQ(m.get(5), std::optional<u64>(50));
  EXPECT_EQ(m.insert_if(5, 52, 49), std::optional<u64>(50));  // another value: unchanged
  EXPECT_EQ(m.insert_if(5, 52, 50), std::optional<u64>(50));  // replaced
  EXPECT_EQ(m.get(5), std::optional<u64>(52));
  EXPECT_EQ(m.remove_if(5, 50), std::optional<u64>(52));  // another value: kept
  EXPECT_EQ(m.remove_if(6, 0), std::nullopt);              // absent
  EXPECT_EQ(m.len(), 1u);
  EXPECT_EQ(m.remove_if(5, 52), std::optional<u64>(52));  // removed
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(m.seq(), 14u);  // seven rounds
  for (u64 k = 0; k < 100; ++k) EXPECT_EQ(m.insert_if(k << 20, k, std::nullopt), std::nullopt);
  for (u64 k = 0; k < 100; k += 2) EXPECT_EQ(m.remove_if(k << 20, k), std::optional<u64>(k));
  EXPECT_EQ(m.len(), 50u);
  EXPECT_EQ(verify::map_errors(m.inner_quiescent()), "");
}

// The blocks a mutation releases wait in the collector no longer than the
// container's bound lets them: with no reader inside, every write leaves at
// most the container's peak of live bytes there (since it was last empty),
// also when the keys change shape and need other node classes, and
// emptying the container gives every block it took back to the system.
template <class C>
void check_memory_given_back(Dist d) {
  const u64 seed = test_seed(0x6C3A + static_cast<u64>(d));
  CORVALE_SEED_TRACE(seed);
  SCOPED_TRACE(testsupport::dist_name(d));
  const AllocStats start = alloc_stats();
  C c;
  u64 peak = 0;
  const auto held = [&] { return c.collector()->pending_bytes() + c.collector()->pooled_bytes(); };
  const auto write = [&](u64 k, bool add) {
    if constexpr (std::is_same_v<C, SyncCorvaleMap>)
      add ? (void)c.insert(k, value_of(k)) : (void)c.remove(k);
    else
      add ? (void)c.insert(k) : (void)c.remove(k);
    peak = c.len() == 0 ? 0 : std::max(peak, c.inner_quiescent().mem_used());
    ASSERT_EQ(c.spare_bytes(), peak);
    ASSERT_LE(held(), peak) << k;
  };
  std::mt19937_64 rng(seed);
  std::vector<std::vector<u64>> shapes;
  for (u64 i = 0; i < 3; ++i) {
    const std::set<u64> drawn = testsupport::draw_keys(d, seed + i, 20000 / kStressDivisor + 40);
    shapes.emplace_back(drawn.begin(), drawn.end());
    // Each shape of its own width: the node classes differ between them.
    for (u64& k : shapes.back()) k >>= 8 * i;
  }
  for (const std::vector<u64>& keys : shapes) {
    for (u64 k : keys) write(k, true);
    for (u64 k : keys)
      if (rng() % 5 != 0) write(k, false);  // about 80% removed, the rest stays
  }
  c.clear();
  peak = 0;
  EXPECT_EQ(c.spare_bytes(), 0u);
  EXPECT_EQ(held(), 0u);
  const AllocStats now = alloc_stats();
  EXPECT_EQ(now.system_allocs - start.system_allocs, now.system_frees - start.system_frees)
      << "an empty container keeps no block";
  // The last key's removal empties the container as a clear does.
  for (u64 k : shapes[0]) write(k, true);
  for (u64 k : shapes[0]) write(k, false);
  EXPECT_EQ(held(), 0u);
}

TEST(SyncCore, ReleasedBlocksGoBackToTheSystemWithinTheBound) {
  for (Dist d : testsupport::ALL_DISTS) {
    check_memory_given_back<SyncCorvaleSet>(d);
    check_memory_given_back<SyncCorvaleMap>(d);
  }
}

TEST(SyncCore, LookupsReachEveryNodeKindAndTheFallbackAgrees) {
  // One container per distribution, then every probe answered once
  // optimistically and once with the limit at 1 (still mostly optimistic:
  // nothing races), compared with the model.
  for (Dist d : testsupport::ALL_DISTS) {
    const u64 seed = test_seed(0x5EC0 + static_cast<u64>(d));
    CORVALE_SEED_TRACE(seed);
    SCOPED_TRACE(testsupport::dist_name(d));
    const std::set<u64> keys = testsupport::draw_keys(d, seed, 3000 / kStressDivisor + 40);
    SyncCorvaleSet s;
    SyncCorvaleMap m;
    for (u64 k : keys) {
      s.insert(k);
      m.insert(k, value_of(k));
    }
    // A full run of 256 keys below one edge (set FullEdge).
    for (u64 k = 0x4400; k < 0x4500; ++k) s.insert(k);
    std::mt19937_64 rng(seed);
    for (u64 p : testsupport::probes_for(keys, rng, 200)) {
      const bool present = keys.count(p) != 0;
      EXPECT_EQ(s.contains(p), present || (p >= 0x4400 && p < 0x4500)) << p;
      EXPECT_EQ(m.get(p), present ? std::optional<u64>(value_of(p)) : std::nullopt) << p;
    }
    EXPECT_EQ(verify::set_errors(s.inner_quiescent()), "");
    EXPECT_EQ(verify::map_errors(m.inner_quiescent()), "");
  }
}

TEST(SyncCore, ALookupThatNeverValidatesFallsBackToTheLockedRead) {
  // A root node whose version stays odd (as if a writer were inside it)
  // fails every attempt; after the limit the answer comes from the locked
  // read, once per lookup.
  SyncCorvaleSet s;
  SyncCorvaleMap m;
  for (u64 k = 0; k < 100; ++k) {
    s.insert(k * 977);
    m.insert(k * 977, value_of(k * 977));
  }
  auto hold_root_open = [](const CoreRecord& rec) -> u32& {
    const Edge& root = rec.root;
    EXPECT_TRUE(is_branch_tag(root.tag));
    if (root.tag == TAG_B) return root.ptr<BranchB>()->version;
    if (root.tag == TAG_U) return root.ptr<BranchU>()->version;
    return root.ptr<BranchLinearHeader>()->version;
  };
  u32& sv = hold_root_open(s.inner_quiescent().record());
  u32& mv = hold_root_open(m.inner_quiescent().record());
  sv += 1;
  mv += 1;
  const u64 before = sync::fallbacks_for_testing();
  EXPECT_TRUE(s.contains(977 * 5));
  EXPECT_FALSE(s.contains(978));
  EXPECT_EQ(m.get(977 * 7), std::optional<u64>(value_of(977 * 7)));
  EXPECT_EQ(m.get(3), std::nullopt);
  EXPECT_EQ(sync::fallbacks_for_testing() - before, 4u);
  sv += 1;
  mv += 1;
  EXPECT_TRUE(s.contains(977 * 5));
  EXPECT_EQ(sync::fallbacks_for_testing() - before, 4u);
}

template <class Container>
void stress(Dist d, u64 limit, u64 seed) {
  CORVALE_SEED_TRACE(seed);
  SCOPED_TRACE(testsupport::dist_name(d));
  AttemptLimit set_limit(limit);
  constexpr bool kMap = std::is_same_v<Container, SyncCorvaleMap>;

  const std::set<u64> drawn = testsupport::draw_keys(d, seed, 6000 / kStressDivisor + 48);
  std::vector<u64> stable, churn, absent;
  std::size_t i = 0;
  for (u64 k : drawn) {
    (i % 5 == 0 ? stable : i % 5 == 4 ? absent : churn).push_back(k);
    ++i;
  }

  Container c;
  auto put = [&](u64 k) {
    if constexpr (kMap)
      c.insert(k, value_of(k));
    else
      c.insert(k);
  };
  for (u64 k : stable) put(k);

  constexpr unsigned kWriters = 2;
  constexpr unsigned kReaders = 3;
  constexpr unsigned kRounds = 3;
  std::atomic<unsigned> writers_left{kWriters};
  std::atomic<u64> wrong{0};
  std::atomic<u64> lookups{0};
  std::vector<std::thread> threads;
  for (unsigned w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (unsigned r = 0; r < kRounds; ++r) {
        for (std::size_t j = w; j < churn.size(); j += kWriters) put(churn[j]);
        for (std::size_t j = w; j < churn.size(); j += kWriters) c.remove(churn[j]);
      }
      for (std::size_t j = w; j < churn.size(); j += kWriters)
        if (j % 3 == 0) put(churn[j]);
      writers_left.fetch_sub(1);
    });
  }
  for (unsigned r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      std::mt19937_64 rng(seed + r);
      auto found = [&](u64 k, bool& ok) {
        if constexpr (kMap) {
          const std::optional<u64> v = c.get(k);
          ok = !v || *v == value_of(k);
          return v.has_value();
        } else {
          ok = true;
          return c.contains(k);
        }
      };
      u64 done = 0;
      do {
        for (int n = 0; n < 64; ++n) {
          bool ok = true;
          const u64 pick = rng();
          const u64 st = stable[pick % stable.size()];
          if (!found(st, ok) || !ok) wrong.fetch_add(1);
          if (!absent.empty() && found(absent[pick % absent.size()], ok)) wrong.fetch_add(1);
          if (!churn.empty()) {
            (void)found(churn[pick % churn.size()], ok);
            if (!ok) wrong.fetch_add(1);
          }
          const u64 len = c.len();
          if (len < stable.size() || len > stable.size() + churn.size()) wrong.fetch_add(1);
          done += 4;
        }
      } while (writers_left.load() != 0);
      lookups.fetch_add(done);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0u);
  EXPECT_GT(lookups.load(), 0u);

  std::set<u64> model(stable.begin(), stable.end());
  for (std::size_t j = 0; j < churn.size(); ++j)
    if (j % 3 == 0) model.insert(churn[j]);
  EXPECT_EQ(c.len(), model.size());
  for (u64 k : drawn) {
    const bool present = model.count(k) != 0;
    if constexpr (kMap) {
      EXPECT_EQ(c.get(k), present ? std::optional<u64>(value_of(k)) : std::nullopt) << k;
    } else {
      EXPECT_EQ(c.contains(k), present) << k;
    }
  }
  const auto content = c.inner_quiescent().to_vec();
  ASSERT_EQ(content.size(), model.size());
  if constexpr (kMap) {
    EXPECT_EQ(verify::map_errors(c.inner_quiescent()), "");
  } else {
    EXPECT_TRUE(std::equal(content.begin(), content.end(), model.begin()));
    EXPECT_EQ(verify::set_errors(c.inner_quiescent()), "");
  }
}

TEST(SyncStress, SetWritersAndReadersInEveryDistribution) {
  for (Dist d : testsupport::ALL_DISTS) stress<SyncCorvaleSet>(d, 0, test_seed(0xA11 + static_cast<u64>(d)));
}

TEST(SyncStress, MapWritersAndReadersInEveryDistribution) {
  for (Dist d : testsupport::ALL_DISTS) stress<SyncCorvaleMap>(d, 0, test_seed(0xB22 + static_cast<u64>(d)));
}

TEST(SyncStress, LockedFallbackAfterOneFailedAttempt) {
  AttemptLimit one(1);
  // A lookup whose only attempt fails (the writer changes the node the
  // reader is paused in) reads under the writer mutex at once: exactly one
  // fallback, no second optimistic attempt, the right answer.
  {
    SyncCorvaleMap m;
    for (u64 k = 0; k < 64; ++k) m.insert((k % 4) << 56 | k, value_of(k));
    const u64 probe = (u64{2} << 56) | 62;
    const u64 before = sync::fallbacks_for_testing();
    std::optional<u64> answer;
    std::atomic<bool> done{false};
    testsupport::PausePoint pause([](const Edge& e) { return !is_branch_tag(e.tag); });
    std::thread reader([&] {
      answer = m.get(probe);
      done = true;
    });
    const bool paused = pause.wait_paused(done);
    if (paused) m.insert((u64{2} << 56) | 1000, 1);
    pause.resume();
    reader.join();
    ASSERT_TRUE(paused);
    EXPECT_EQ(sync::fallbacks_for_testing() - before, 1u);
    EXPECT_EQ(testsupport::PausePoint::descends_after(), 0u) << "a second optimistic attempt ran";
    EXPECT_EQ(answer, std::optional<u64>(value_of(62)));
  }
  // Racing writers with the limit at 1: whichever way each lookup ends, its
  // answer is right (the stress run checks every one).
  for (Dist d : {Dist::Dense, Dist::Small, Dist::Uniform}) {
    stress<SyncCorvaleSet>(d, 1, test_seed(0xC33 + static_cast<u64>(d)));
    stress<SyncCorvaleMap>(d, 1, test_seed(0xD44 + static_cast<u64>(d)));
  }
}

}  // namespace
}  // namespace corvale_trie
