// The ascending order of bulk insertion (sort.hpp) against std::sort and
// std::stable_sort: keys and (key, value) pairs of many shapes (random,
// ascending, descending, all equal, few distinct values, the extreme keys,
// keys differing in one byte, nearly all in one run) at the sizes around
// every threshold of the sort (straight insertion, the first and the second
// split width), read from a source at an odd address. Pairs carry their
// input position as value, so the comparison also checks that equal keys
// keep their input order. Then which keys pay for the sort: SORT_MIN of
// them, not ascending, their neighbours in one leaf but for at most one
// pair in FAR_SHARE. Last, a source that changes while it is read, between
// the counts and the placing (at the sort's pause point) and under a thread
// that rewrites it: InsertionOrder, the order of insert_many, hands out n
// elements, nothing is written past the copy (AddressSanitizer watches),
// and the containers filled from them stay whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/sort.hpp"
#include "support.hpp"

namespace corvale_trie {
namespace {

using namespace testsupport;
using sort::Ascending;
using sort::PackedU64;

constexpr u64 MAX = ~u64{0};

// The keys in a buffer of their own, three bytes past an aligned address.
struct OddSource {
  explicit OddSource(const std::vector<u64>& v) : bytes(8 * v.size() + 3) {
    if (!v.empty()) std::memcpy(bytes.data() + 3, v.data(), 8 * v.size());
  }
  [[nodiscard]] PackedU64 view() const { return {bytes.data() + 3, (bytes.size() - 3) / 8}; }
  void assign(const std::vector<u64>& v) { std::memcpy(bytes.data() + 3, v.data(), 8 * v.size()); }
  std::vector<u8> bytes;
};

template <class E>
std::vector<E> collect(Ascending<E>& order) {
  std::vector<E> out;
  EXPECT_LE(order.runs(), 256u);
  for (std::size_t r = 0; r < order.runs(); ++r) {
    const std::span<const E> run = order.run(r);
    EXPECT_TRUE(!run.empty() || order.size() == 0) << "run " << r << " is empty";
    out.insert(out.end(), run.begin(), run.end());
  }
  EXPECT_EQ(out.size(), order.size());
  return out;
}

void expect_like_models(const std::vector<u64>& keys) {
  const OddSource ks(keys);
  std::vector<u64> model = keys;
  std::sort(model.begin(), model.end());
  Ascending<u64> set_order(ks.view());
  ASSERT_EQ(collect(set_order), model);

  std::vector<u64> positions(keys.size());
  std::vector<KeyValue> pair_model(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    positions[i] = i;
    pair_model[i] = {keys[i], i};
  }
  std::stable_sort(pair_model.begin(), pair_model.end(),
                   [](const KeyValue& x, const KeyValue& y) { return x.key < y.key; });
  const OddSource vs(positions);
  Ascending<KeyValue> map_order(ks.view(), vs.view());
  ASSERT_EQ(collect(map_order), pair_model);
}

enum class Shape { Random, Ascending, Descending, AllEqual, FewValues, Extremes, OneByte, OneRun };

const char* shape_name(Shape s) {
  switch (s) {
    case Shape::Random: return "random";
    case Shape::Ascending: return "ascending";
    case Shape::Descending: return "descending";
    case Shape::AllEqual: return "all-equal";
    case Shape::FewValues: return "few-values";
    case Shape::Extremes: return "extremes";
    case Shape::OneByte: return "one-byte";
    case Shape::OneRun: return "one-run";
  }
  return "?";
}

std::vector<u64> keys_of(Shape s, std::size_t n, std::mt19937_64& rng) {
  std::vector<u64> keys(n);
  for (u64& k : keys) {
    switch (s) {
      case Shape::Random:
      case Shape::Ascending:
      case Shape::Descending: k = rng(); break;
      case Shape::AllEqual: k = 0x0123'4567'89AB'CDEFull; break;
      case Shape::FewValues: k = (rng() % 5) * 0x0101'0101'0101'0101ull; break;
      case Shape::Extremes: k = (rng() % 2 == 0 ? 0 : MAX) ^ (rng() % 3); break;
      case Shape::OneByte: k = 0xAAAA'AAAA'AAAA'AAAAull ^ ((rng() & 0xFF) << 24); break;
      // One run holds all keys but a few: its scratch is the whole size.
      case Shape::OneRun: k = rng() % 64 == 0 ? rng() : (u64{0x42} << 56) | (rng() >> 8); break;
    }
  }
  if (s == Shape::Ascending) std::sort(keys.begin(), keys.end());
  if (s == Shape::Descending) std::sort(keys.rbegin(), keys.rend());
  return keys;
}

TEST(Sort, EveryShapeAtEveryThresholdMatchesTheModels) {
  const u64 seed = test_seed(0x5027);
  CORVALE_SEED_TRACE(seed);
  std::mt19937_64 rng(seed);
  std::vector<std::size_t> sizes{0, 1, 2, 3, sort::SORT_MIN};
  for (std::size_t edge : {sort::INSERTION_MAX, 2 * sort::RUN_TARGET, 4 * sort::RUN_TARGET})
    for (std::size_t n : {edge - 1, edge, edge + 1}) sizes.push_back(n);
  sizes.push_back(scaled(200'000, 70'000));
  for (Shape s : {Shape::Random, Shape::Ascending, Shape::Descending, Shape::AllEqual, Shape::FewValues,
                  Shape::Extremes, Shape::OneByte, Shape::OneRun})
    for (std::size_t n : sizes) {
      SCOPED_TRACE(std::string(shape_name(s)) + " n=" + std::to_string(n));
      expect_like_models(keys_of(s, n, rng));
    }
}

TEST(Sort, KeysOfTheTrieDistributions) {
  const u64 seed = test_seed(0x5028);
  CORVALE_SEED_TRACE(seed);
  for (Dist d : ALL_DISTS) {
    SCOPED_TRACE(dist_name(d));
    KeyGen gen(d, seed);
    std::vector<u64> keys(scaled(50'000, 40'000));
    for (u64& k : keys) k = gen();
    expect_like_models(keys);
  }
}

// Keys in `groups` groups of neighbours that share their leaf (their upper
// seven bytes), each group descending: n - groups pairs of neighbours share
// a leaf, groups - 1 do not.
std::vector<u64> in_leaf_groups(std::size_t n, std::size_t groups, std::mt19937_64& rng) {
  std::vector<u64> keys;
  for (std::size_t g = 0; g < groups; ++g) {
    const u64 leaf = (rng() | 1) << 8;  // never 0: groups differ from their neighbours
    const std::size_t size = n / groups + (g < n % groups ? 1 : 0);
    for (std::size_t i = size; i-- > 0;) keys.push_back(leaf | (i % 256));
  }
  return keys;
}

TEST(Sort, WhatPaysToSort) {
  const u64 seed = test_seed(0x5029);
  CORVALE_SEED_TRACE(seed);
  std::mt19937_64 rng(seed);
  const auto pays = [](const std::vector<u64>& v) { return sort::pays_to_sort(OddSource(v).view()); };
  std::vector<u64> keys = keys_of(Shape::Random, sort::SORT_MIN, rng);
  EXPECT_TRUE(pays(keys));
  EXPECT_FALSE(pays({keys.begin() + 1, keys.end()})) << "fewer than SORT_MIN keys go in as given";
  std::sort(keys.begin(), keys.end());
  keys.push_back(keys.front());  // repeats stay ascending
  std::sort(keys.begin(), keys.end());
  EXPECT_FALSE(pays(keys)) << "ascending";
  std::swap(keys[keys.size() - 2], keys.back());  // one descent, at the very end
  EXPECT_TRUE(pays(keys));
  // Neighbours in different leaves: up to one pair in FAR_SHARE goes as given.
  const std::size_t n = 16 * sort::SORT_MIN;
  const std::size_t far_max = n / sort::FAR_SHARE;
  EXPECT_FALSE(pays(in_leaf_groups(n, far_max + 1, rng)));
  EXPECT_TRUE(pays(in_leaf_groups(n, far_max + 2, rng)));
  EXPECT_FALSE(pays(std::vector<u64>(n, MAX)));
}

// ---------------------------------------------------------------------------
// A source that changes while it is read

// Rewrites a set's keys (and a map's values) with other contents after the
// given pass over the source (sort::test_hooks::after_source_pass) while it
// is alive.
class RewriteAfterPass {
 public:
  RewriteAfterPass(unsigned pass, OddSource& keys, const std::vector<u64>& new_keys, OddSource* values = nullptr,
                   const std::vector<u64>* new_values = nullptr) {
    state_ = {pass, &keys, &new_keys, values, new_values, false};
    sort::test_hooks::after_source_pass.store(&hook, std::memory_order_release);
  }
  ~RewriteAfterPass() { sort::test_hooks::after_source_pass.store(nullptr, std::memory_order_release); }
  [[nodiscard]] static bool done() { return state_.done; }

 private:
  static void hook(unsigned passes) {
    if (passes != state_.pass || state_.done) return;
    state_.keys->assign(*state_.new_keys);
    if (state_.values) state_.values->assign(*state_.new_values);
    state_.done = true;
  }
  struct State {
    unsigned pass;
    OddSource* keys;
    const std::vector<u64>* new_keys;
    OddSource* values;
    const std::vector<u64>* new_values;
    bool done;
  };
  static inline State state_{};
};

// Keys below 2**44: the top bit never differs, so the counts are taken in a
// second pass.
std::vector<u64> low_keys(std::size_t n, std::mt19937_64& rng) {
  std::vector<u64> keys(n);
  for (u64& k : keys) k = rng() >> 20;
  return keys;
}

// Every element InsertionOrder hands out, by key and then value.
template <class E>
std::vector<E> handed_out(sort::InsertionOrder<E>& order) {
  std::vector<E> out;
  order.for_each([&](const E& e) { out.push_back(e); });
  std::sort(out.begin(), out.end(), [](const E& x, const E& y) {
    if constexpr (std::same_as<E, u64>)
      return x < y;
    else
      return x.key != y.key ? x.key < y.key : x.value < y.value;
  });
  return out;
}

// Keys (and pairs) sorted from `before`, which the hook replaces with
// `after` at `pass`: the placing pass reads `after` alone, so exactly its
// elements come out, however the counts of `before` laid out the runs.
void expect_last_read_placed(const std::vector<u64>& before, const std::vector<u64>& after, unsigned pass) {
  const std::size_t n = before.size();
  std::vector<u64> values_before(n), values_after(n);
  std::vector<KeyValue> pairs_after(n);
  for (std::size_t i = 0; i < n; ++i) {
    values_before[i] = i;
    values_after[i] = ~u64{i};
    pairs_after[i] = {after[i], values_after[i]};
  }
  OddSource ks(before), vs(values_before);
  {
    const RewriteAfterPass rewrite(pass, ks, after);
    sort::InsertionOrder<u64> order(ks.view());
    ASSERT_TRUE(order.sorted() && RewriteAfterPass::done()) << "no pass " << pass;
    std::vector<u64> keys_after = after;
    std::sort(keys_after.begin(), keys_after.end());
    EXPECT_EQ(handed_out(order), keys_after);
  }
  ks.assign(before);
  {
    const RewriteAfterPass rewrite(pass, ks, after, &vs, &values_after);
    sort::InsertionOrder<KeyValue> order(ks.view(), vs.view());
    ASSERT_TRUE(order.sorted() && RewriteAfterPass::done());
    std::sort(pairs_after.begin(), pairs_after.end(),
              [](const KeyValue& x, const KeyValue& y) { return x.key != y.key ? x.key < y.key : x.value < y.value; });
    EXPECT_EQ(handed_out(order), pairs_after);
  }
}

TEST(SortRace, ASourceRewrittenBetweenTheCountsAndThePlacing) {
  const u64 seed = test_seed(0x502A);
  CORVALE_SEED_TRACE(seed);
  std::mt19937_64 rng(seed);
  for (std::size_t n : {2 * sort::RUN_TARGET, 4 * sort::RUN_TARGET + 1, std::size_t{scaled(100'000, 30'000)}}) {
    // Counted from uniform keys (one pass) or low keys (two passes; the
    // rewrite comes after the first or after the second).
    for (unsigned before_kind = 0; before_kind < 3; ++before_kind) {
      const unsigned pass = before_kind == 2 ? 2 : 1;
      const std::vector<u64> before = before_kind == 0 ? keys_of(Shape::Random, n, rng) : low_keys(n, rng);
      std::vector<std::pair<std::string, std::vector<u64>>> afters{
          {"all 2**64-1", std::vector<u64>(n, MAX)},
          {"all 0", std::vector<u64>(n, 0)},
          {"random", keys_of(Shape::Random, n, rng)},
          {"low", low_keys(n, rng)},
          {"extremes", keys_of(Shape::Extremes, n, rng)},
          {"one run", keys_of(Shape::OneRun, n, rng)},
          {"unchanged", before},
      };
      for (const auto& [name, after] : afters) {
        SCOPED_TRACE("n=" + std::to_string(n) + " counted from " + (before_kind == 0 ? "random" : "low") +
                     " keys, rewritten after pass " + std::to_string(pass) + " with " + name);
        expect_last_read_placed(before, after, pass);
      }
    }
  }
}

TEST(SortRace, ASourceThatAThreadRewritesWhileItIsRead) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the writer races the sort's reads on purpose";
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the writer races the sort's reads on purpose";
#endif
#endif
  const u64 seed = test_seed(0x502B);
  CORVALE_SEED_TRACE(seed);
  std::mt19937_64 rng(seed);
  const std::size_t n = std::size_t{1} << 16;
  const std::vector<u64> contents[] = {keys_of(Shape::Random, n, rng), std::vector<u64>(n, MAX),
                                       low_keys(n, rng)};
  OddSource ks(contents[0]), vs(contents[2]);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (std::size_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
      ks.assign(contents[i % 3]);
      vs.assign(contents[(i + 1) % 3]);
    }
  });
  for (u64 round = 0; round < scaled(24, 3); ++round) {
    Ascending<u64> keys(ks.view());
    EXPECT_EQ(collect(keys).size(), n);
    Ascending<KeyValue> pairs(ks.view(), vs.view());
    EXPECT_EQ(collect(pairs).size(), n);
    set::CorvaleSet s;
    sort::InsertionOrder<u64>(ks.view()).for_each([&](u64 k) { s.insert(k); });
    EXPECT_LE(s.len(), n);
    CORVALE_EXPECT_VALID_SET(s);
    map::CorvaleMap m;
    sort::InsertionOrder<KeyValue>(ks.view(), vs.view()).for_each([&](const KeyValue& kv) {
      (void)m.insert(kv.key, kv.value);
    });
    EXPECT_LE(m.len(), n);
    CORVALE_EXPECT_VALID_MAP(m);
  }
  stop.store(true, std::memory_order_relaxed);
  writer.join();
}

}  // namespace
}  // namespace corvale_trie
