// Batch lookups of the core set and map against models and against the point
// lookups, over containers filled by the engine and over hand-built tries
// that hold every edge form (including forms no valid container holds).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "core_probe.hpp"
#include "engine/map.hpp"
#include "engine/set.hpp"
#include "hand_trie.hpp"
#include "seed.hpp"

namespace corvale_trie {
namespace {

using hand::Flavor;
using coretest::Dist;
using coretest::KeyGen;
constexpr u64 kMax = ~u64{0};
constexpr Dist kDists[] = {Dist::DenseRuns, Dist::Uniform, Dist::Clusters,
                           Dist::SharedUpper, Dist::NearEnds, Dist::Small};

std::vector<u8> set_batch(const set::CorvaleSet& s, const std::vector<u64>& keys) {
  std::vector<u8> out(keys.size(), 0xAA);
  s.contains_batch(keys, out.data());
  return out;
}

std::vector<FoundValue> map_batch(const map::CorvaleMap& m, const std::vector<u64>& keys) {
  std::vector<FoundValue> out(keys.size(), FoundValue{0xAA, 0xBB});
  m.get_batch(keys, out.data());
  return out;
}

// Probe keys around the stored ones: the keys, their neighbours, a flipped
// bit, random keys, both ends, and repeats.
std::vector<u64> probes_for(const std::vector<u64>& stored, std::mt19937_64& rng, size_t n) {
  std::vector<u64> p;
  for (size_t i = 0; i < n; ++i) {
    const u64 k = stored.empty() ? rng() : stored[rng() % stored.size()];
    switch (rng() % 6) {
      case 0: p.push_back(k); break;
      case 1: p.push_back(k + 1); break;
      case 2: p.push_back(k - 1); break;
      case 3: p.push_back(k ^ (u64{1} << (rng() % 64))); break;
      case 4: p.push_back(rng()); break;
      default: p.push_back(p.empty() ? 0 : p[rng() % p.size()]); break;
    }
  }
  if (rng() % 2) p.push_back(0);
  if (rng() % 2) p.push_back(kMax);
  return p;
}

// The engine's own containers, filled and emptied at random across the flat
// and tree states; every batch agrees with the model and with the point
// lookups key by key.
TEST(BatchLookup, EngineContainersAgreeWithModel) {
  const u64 seed = test_seed(0x5eed0001);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const size_t sizes[] = {0, 1, 8, 9, 30, 31, 32, 33, 200, 3000 / coretest::SLOW_BUILD_DIVISOR + 40};
  for (Dist dist : kDists) {
    for (size_t target : sizes) {
      SCOPED_TRACE(std::string(coretest::dist_name(dist)) + " size " + std::to_string(target));
      KeyGen gen(dist, rng());
      set::CorvaleSet s;
      map::CorvaleMap m;
      std::map<u64, u64> model;
      // The small distribution draws from 48 keys only.
      const size_t want = dist == Dist::Small ? std::min<size_t>(target, 40) : target;
      while (model.size() < want) {
        const u64 k = gen();
        const u64 v = gen.rng()();
        s.insert(k);
        m.insert(k, v);
        model[k] = v;
      }
      for (int phase = 0; phase < 3; ++phase) {
        std::vector<u64> stored;
        for (const auto& [k, v] : model) stored.push_back(k);
        const size_t batch_sizes[] = {0, 1, 7, 8, 9, 16, 20, 100};
        for (size_t bs : batch_sizes) {
          const std::vector<u64> keys = probes_for(stored, rng, bs);
          const std::vector<u8> got = set_batch(s, keys);
          const std::vector<FoundValue> got_m = map_batch(m, keys);
          for (size_t i = 0; i < keys.size(); ++i) {
            const auto it = model.find(keys[i]);
            const bool want = it != model.end();
            ASSERT_EQ(got[i], want ? 1 : 0) << "phase " << phase << " key " << std::hex << keys[i];
            ASSERT_EQ(s.contains(keys[i]), want);
            ASSERT_EQ(got_m[i].found, want ? 1u : 0u) << std::hex << keys[i];
            ASSERT_EQ(got_m[i].value, want ? it->second : 0) << std::hex << keys[i];
          }
        }
        // Shrink across the tree/flat boundary, then clear.
        if (phase == 0) {
          while (model.size() > 29) {
            const u64 k = stored[rng() % stored.size()];
            if (model.erase(k)) {
              s.remove(k);
              m.remove(k);
            }
          }
        } else if (phase == 1) {
          s.clear();
          m.clear();
          model.clear();
        }
      }
    }
  }
}

// A hand-built trie installed as the tree root of an engine container, so
// that every edge form can be reached; taken out again before the container
// goes away.
template <class C>
struct Installed {
  Flavor flavor;
  C c;
  std::vector<u64> keys;

  Installed(Flavor f, std::vector<u64> k) : flavor(f), keys(std::move(k)) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    CoreRecord& rec = c.record();
    rec.state = RootState::Tree;
    rec.len = keys.size();
    rec.root = hand::bulk_build(rec.alloc, f, keys.data(), keys.size(), ROOT_LEVEL).edge;
  }
  Installed(const Installed&) = delete;
  ~Installed() {
    CoreRecord& rec = c.record();
    hand::release_all(rec.alloc, flavor, rec.root, ROOT_LEVEL);
    rec.state = RootState::Empty;
  }
  [[nodiscard]] std::string errors() const { return verify::record_errors(c.record(), flavor); }
};

// Canonical tries of every key shape: immediates of every width, linear
// leaves, bitmap leaves, full edges, all four branch kinds, skip prefixes.
TEST(BatchLookup, HandBuiltTriesAgreeWithModel) {
  const u64 seed = test_seed(0x5eed0002);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 48; ++round) {
    const size_t n = 31 + rng() % (round % 3 == 0 ? 2000 : 300);
    const std::vector<u64> sample = hand::sample_keys(rng, round / 2, n);
    if (round % 2 == 0) {
      Installed<set::CorvaleSet> t(Flavor::Set, sample);
      ASSERT_EQ(t.errors(), "") << "round " << round;
      const std::set<u64> model(t.keys.begin(), t.keys.end());
      const std::vector<u64> probes = probes_for(t.keys, rng, 4 * t.keys.size());
      const std::vector<u8> got = set_batch(t.c, probes);
      for (size_t i = 0; i < probes.size(); ++i)
        ASSERT_EQ(got[i], model.count(probes[i])) << "round " << round << " key " << std::hex << probes[i];
    } else {
      Installed<map::CorvaleMap> t(Flavor::Map, sample);
      ASSERT_EQ(t.errors(), "") << "round " << round;
      const std::set<u64> model(t.keys.begin(), t.keys.end());
      const std::vector<u64> probes = probes_for(t.keys, rng, 4 * t.keys.size());
      const std::vector<FoundValue> got = map_batch(t.c, probes);
      for (size_t i = 0; i < probes.size(); ++i) {
        const bool want = model.count(probes[i]) != 0;
        ASSERT_EQ(got[i].found, want ? 1u : 0u) << "round " << round << " key " << std::hex << probes[i];
        ASSERT_EQ(got[i].value, want ? hand::value_of(probes[i]) : 0) << std::hex << probes[i];
      }
    }
  }
}

// Keys that end their walks at very different depths (an immediate right
// under the root, a deep linear leaf, an absent digit at the first node)
// finish in different passes; each answer still lands at its input position.
TEST(BatchLookup, AnswersStayAtInputPositionsAcrossGroups) {
  std::vector<u64> keys;
  for (u64 i = 0; i < 40; ++i) keys.push_back(0x1000000000000000ull + (i << 40));  // one-key immediates
  for (u64 i = 0; i < 20; ++i) keys.push_back(0x2000000000000000ull + 3 * i);      // deep linear leaf
  for (u64 i = 0; i < 256; ++i) keys.push_back(0x3000000000001200ull + i);         // full edge
  keys.push_back(0x3000000000001105ull);  // a sibling, so the block hangs under a level-2 branch
  for (u64 i = 0; i < 60; ++i) keys.push_back(0x4000000000000000ull + 4 * i);      // bitmap leaf
  Installed<set::CorvaleSet> s(Flavor::Set, keys);
  Installed<map::CorvaleMap> m(Flavor::Map, [&] {
    std::vector<u64> k;
    for (u64 x : keys)
      if ((x >> 60) != 3) k.push_back(x);  // map tries hold no full edge
    return k;
  }());
  ASSERT_EQ(s.errors(), "");
  ASSERT_EQ(m.errors(), "");
  ASSERT_EQ(coretest::probe(s.c.record(), 0x3000000000001234ull).edge->tag, TAG_FULL);
  const std::set<u64> in_s(s.keys.begin(), s.keys.end());
  const std::set<u64> in_m(m.keys.begin(), m.keys.end());
  for (size_t n : {size_t{1}, size_t{8}, size_t{9}, size_t{20}, size_t{64}, size_t{1001}}) {
    std::vector<u64> probes;
    for (size_t i = 0; i < n; ++i) {
      switch (i % 5) {
        case 0: probes.push_back(0x1000000000000000ull + ((i % 50) << 40)); break;
        case 1: probes.push_back(0x2000000000000000ull + i % 70); break;
        case 2: probes.push_back(0x3000000000001100ull + i % 512); break;
        case 3: probes.push_back(0x9000000000000000ull + i); break;
        default: probes.push_back(0x4000000000000000ull + i % 300); break;
      }
    }
    const std::vector<u8> got = set_batch(s.c, probes);
    const std::vector<FoundValue> got_m = map_batch(m.c, probes);
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(got[i], in_s.count(probes[i])) << n << " " << i;
      EXPECT_EQ(got_m[i].found, in_m.count(probes[i])) << n << " " << i;
      EXPECT_EQ(got_m[i].value, in_m.count(probes[i]) ? hand::value_of(probes[i]) : 0) << n << " " << i;
    }
  }
}

TEST(BatchLookup, FullEdgeHoldsItsBlock) {
  std::vector<u64> keys;
  const u64 block = 0xFFFFFFFFFFFFFF00ull;  // the 256 largest keys
  for (u64 i = 0; i < 256; ++i) keys.push_back(block + i);
  keys.push_back(0);
  keys.push_back(block - 256 + 5);
  Installed<set::CorvaleSet> s(Flavor::Set, keys);
  ASSERT_EQ(s.errors(), "");
  ASSERT_EQ(coretest::probe(s.c.record(), block + 7).edge->tag, TAG_FULL);
  std::vector<u64> probes;
  for (u64 i = 0; i < 256; ++i) probes.push_back(block + i);
  probes.push_back(block - 1);
  probes.push_back(0);
  probes.push_back(1);
  const std::vector<u8> got = set_batch(s.c, probes);
  for (u64 i = 0; i < 256; ++i) EXPECT_EQ(got[i], 1) << i;
  EXPECT_EQ(got[256], 0);
  EXPECT_EQ(got[257], 1);
  EXPECT_EQ(got[258], 0);
}

// A root BranchL3 of level 8 whose single child (digit 0, level 7) carries an
// arbitrary edge; the child is emptied again before release.
template <class C>
struct OneChildRoot {
  C c;
  Edge* child = nullptr;

  explicit OneChildRoot(Edge e) {
    CoreRecord& rec = c.record();
    rec.state = RootState::Tree;
    rec.len = 31;
    rec.root = hand::branch(rec.alloc, TAG_L3, 8, {{0, Edge{}}}, 31);
    child = &rec.root.template ptr<BranchL3>()->children[0];
    *child = e;
  }
  OneChildRoot(const OneChildRoot&) = delete;
  ~OneChildRoot() {
    CoreRecord& rec = c.record();
    child->clear();
    rec.alloc.destroy(rec.root.template ptr<BranchL3>());
    rec.root = Edge{};
    rec.state = RootState::Empty;
  }
};

// Tags that no valid edge carries, and immediates too wide for their edge,
// answer absent in both flavours; no read leaves the edge.
TEST(BatchLookup, InvalidTagsAreAbsent) {
  const std::vector<u64> probes = {0, 1, 0x00FFFFFFFFFFFFFFull, 0x0001020304050607ull};
  for (u8 tag : {u8{13}, u8{14}, u8{15}, u8{0x73}, u8{0x2F}, u8{128}, u8{200}, u8{255}}) {
    Edge bad;
    bad.tag = tag;
    OneChildRoot<set::CorvaleSet> s(bad);
    OneChildRoot<map::CorvaleMap> m(bad);
    for (u8 x : set_batch(s.c, probes)) EXPECT_EQ(x, 0) << int(tag);
    for (const FoundValue& fv : map_batch(m.c, probes)) EXPECT_EQ(fv.found, 0u) << int(tag);
  }
  // Two 7-byte keys fit a set immediate (14 bytes) but not a map one (7).
  Edge two7 = hand::set_immed(7, {0x01, 0x02});
  OneChildRoot<set::CorvaleSet> s(two7);
  OneChildRoot<map::CorvaleMap> m(two7);
  EXPECT_EQ(set_batch(s.c, {1, 2, 3}), (std::vector<u8>{1, 1, 0}));
  for (const FoundValue& fv : map_batch(m.c, {1, 2, 3})) EXPECT_EQ(fv.found, 0u);
}

TEST(BatchLookupDeathTest, MapWalkStopsAtFullEdge) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        OneChildRoot<map::CorvaleMap> m(hand::full_edge());
        (void)map_batch(m.c, {5});
      },
      "full-corvale edges are set-flavor only");
}

}  // namespace
}  // namespace corvale_trie
