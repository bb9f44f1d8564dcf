// Differential test of the core set and map: seeded random mixes of
// insertion (new and present keys, overwrite and keep-existing), removal
// (present and absent keys), point and batch lookups, writes through value
// slots and clears, in every key distribution, against a std::map model.
// After every batch the whole container is compared with the model and
// checked by verify(); a census proves that the distributions reached every
// node kind and formed skip prefixes.
#include <gtest/gtest.h>

#include <algorithm>

#include "support.hpp"

namespace corvale_trie {
namespace {

using namespace testsupport;

// Keys worth looking up: present keys, keys differing from one in a single
// byte (another digit, a broken skip prefix, a digit sharing its low nibble),
// neighbours, fresh keys of the distribution and both ends of the key space.
template <bool IS_MAP>
std::vector<u64> probes(const Harness<IS_MAP>& h, KeyGen& gen, std::size_t n) {
  std::mt19937_64& rng = gen.rng();
  std::vector<u64> out = {0, ~u64{0}};
  while (out.size() < n) {
    u64 k = gen();
    if (!h.model.empty() && rng() % 2) {
      auto it = h.model.lower_bound(k);
      k = it == h.model.end() ? h.model.begin()->first : it->first;
    }
    const unsigned byte = 8 * static_cast<unsigned>(rng() % 8);
    switch (rng() % 5) {
      case 0: k ^= u64{0x10} << byte; break;  // same low nibble, other digit
      case 1: k ^= u64{1} << byte; break;
      case 2: k += rng() % 3 - 1; break;
      default: break;
    }
    out.push_back(k);
  }
  return out;
}

template <bool IS_MAP>
void run(Dist dist, u64 seed, u64 ops, Census& seen) {
  SCOPED_TRACE(::testing::Message() << (IS_MAP ? "map" : "set") << ", " << dist_name(dist) << ", seed " << seed);
  KeyGen gen(dist, seed);
  KeyGen near(dist, seed, 1);  // other keys, so that gen's runs stay dense
  std::mt19937_64& rng = gen.rng();
  Harness<IS_MAP> h;
  auto present = [&]() -> u64 {
    auto it = h.model.lower_bound(near());
    return it == h.model.end() ? h.model.begin()->first : it->first;
  };
  // Phases alternately grow and shrink the container, so every size and
  // every threshold between node kinds is crossed in both directions.
  const u64 phase = ops / 6 + 1;
  for (u64 op = 1; op <= ops; ++op) {
    const bool growing = (op / phase) % 2 == 0;
    const u64 r = rng() % 100;
    const u64 v = rng();
    const bool some = !h.model.empty();
    if (r < (growing ? 70u : 25u)) {
      h.insert(some && r % 5 == 0 ? present() : gen(), v);  // fresh keys only from gen
    } else if (r < (growing ? 78u : 30u)) {
      if constexpr (IS_MAP) {
        h.insert_keep(some && r % 2 ? present() : near(), v);
      } else {
        h.insert(some ? present() : near());
      }
    } else if (r < (growing ? 90u : 93u)) {
      h.remove(some && rng() % 4 ? present() : near());
    } else if (r < 98 || rng() % 256 != 0) {
      const u64 k = some && r % 2 ? present() : near();
      h.lookup(k);
      if constexpr (IS_MAP) {
        if (u64* slot = h.c.locate_slot(k)) *slot = h.model[k] = v;  // as a caller's bucket pointer
      }
    } else {
      h.c.clear();
      h.model.clear();
    }
    if (op % 500 == 0 || op == ops) {
      ASSERT_TRUE(h.check()) << "after op " << op;
      h.lookup_batch(probes(h, near, 1 + rng() % 70));
      seen += census(h.c.record());
    }
  }
  std::vector<u64> keys;
  for (const auto& kv : h.model) keys.push_back(kv.first);
  std::shuffle(keys.begin(), keys.end(), rng);
  for (u64 i = 0; i < keys.size(); ++i) {
    h.remove(keys[i]);
    if (i % 400 == 0) {
      ASSERT_TRUE(h.check()) << "draining, " << i << " removed";
    }
  }
  ASSERT_TRUE(h.check());
  EXPECT_EQ(h.c.mem_used(), 0u);
}

template <bool IS_MAP>
void run_all(u64 fixed) {
  const u64 seed = test_seed(fixed);
  Census seen;
  for (Dist d : ALL_DISTS) {
    run<IS_MAP>(d, seed + static_cast<u64>(d), scaled(200000, 25000), seen);
    if (::testing::Test::HasFatalFailure()) return;
  }
  EXPECT_EQ(seen.missing(IS_MAP), "") << "seed " << seed;
}

TEST(CoreDifferential, SetMatchesModel) { run_all<false>(0x5E7000); }
TEST(CoreDifferential, MapMatchesModel) { run_all<true>(0x3A9000); }

// Batch lookups answer at their input positions whatever the batch size
// (the walks interleave eight cursors), duplicates and empty batches included.
TEST(CoreDifferential, BatchLookupsKeepInputPositions) {
  const u64 seed = test_seed(0xBA7C);
  CORVALE_SEED_TRACE(seed);
  Harness<false> s;
  Harness<true> m;
  s.lookup_batch({});
  m.lookup_batch({});
  KeyGen gen(Dist::Clusters, seed);
  for (u64 round = 0; round < 6; ++round) {
    for (u64 i = 0; i < (round == 0 ? 20u : u64{400} << round); ++i) {
      const u64 k = gen();
      s.insert(k);
      m.insert(k, value_of(k));
    }
    for (std::size_t n : {1, 7, 8, 9, 16, 17, 63}) {
      std::vector<u64> keys = probes(m, gen, n);
      if (n > 2) keys[n / 2] = keys[1];  // a duplicate
      s.lookup_batch(keys);
      m.lookup_batch(keys);
    }
    ASSERT_TRUE(s.check() && m.check());
  }
}

}  // namespace
}  // namespace corvale_trie
