// Shared support of the engine tests.
//
//  - Key distributions (`Dist`, `KeyGen`, `draw_keys`, `probes_for`) that
//    between them reach every node kind: ascending dense runs (bitmap leaves,
//    full edges, wide branches), uniform random keys (deep paths of
//    immediates), clusters (linear leaves of every width), keys sharing their
//    upper bytes with one anchor above a random boundary (skip prefixes that
//    form and break at every level), keys near 0 and 2**64-1, and a small
//    universe of 48 keys that keeps sizes around the flat/tree switch.
//  - Seeds: `CORVALE_SEED_TRACE` prints the seed of a failing test, and
//    `scaled(n)` shortens randomized loops in unoptimised/sanitizer builds.
//  - `Harness<IS_MAP>`: a core set or map driven through its public API next
//    to a std::map model; every operation compares its answer with the
//    model, `check()` compares the whole content, runs verify() and watches
//    the allocator counters.
//  - Walks over a container's trie (`for_each_edge`, `edge_on_path`) and
//    `Census`, the node kinds (and skip prefixes) present in a container.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <random>
#include <set>
#include <span>
#include <type_traits>
#include <vector>

#include "engine/get.hpp"
#include "engine/map.hpp"
#include "engine/node.hpp"
#include "engine/set.hpp"
#include "engine/verify.hpp"
#include "seed.hpp"

namespace corvale_trie::testsupport {

// ---------------------------------------------------------------------------
// Seeds and loop sizes

#define CORVALE_SEED_TRACE(seed) SCOPED_TRACE(::testing::Message() << "seed " << (seed))

#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
inline constexpr u64 SLOW_BUILD_DIVISOR = 8;
#else
inline constexpr u64 SLOW_BUILD_DIVISOR = 1;
#endif

// `n` iterations in an optimised build, fewer (at least `floor`) otherwise.
[[nodiscard]] constexpr u64 scaled(u64 n, u64 floor = 1) noexcept {
  return n / SLOW_BUILD_DIVISOR < floor ? floor : n / SLOW_BUILD_DIVISOR;
}

// ---------------------------------------------------------------------------
// Key distributions

enum class Dist { Dense, Uniform, Clusters, SharedUpper, NearEnds, Small };
inline constexpr Dist ALL_DISTS[] = {Dist::Dense,       Dist::Uniform,  Dist::Clusters,
                                     Dist::SharedUpper, Dist::NearEnds, Dist::Small};

inline const char* dist_name(Dist d) {
  switch (d) {
    case Dist::Dense: return "dense";
    case Dist::Uniform: return "uniform";
    case Dist::Clusters: return "clusters";
    case Dist::SharedUpper: return "shared-upper";
    case Dist::NearEnds: return "near-ends";
    case Dist::Small: return "small";
  }
  return "?";
}

// An endless stream of keys of one distribution over its own seeded engine.
// Streams of the same seed share their anchors (runs, clusters and shared
// upper bytes fall in the same places); another `stream` draws other keys
// there, e.g. to pick keys to look up without leaving gaps in the runs.
class KeyGen {
 public:
  KeyGen(Dist dist, u64 seed, u64 stream = 0) : dist_(dist), rng_(seed) {
    for (u64& c : anchors_) c = rng_();
    if (stream != 0) rng_.seed(seed ^ (stream * 0x9E37'79B9'7F4A'7C15ull));
  }

  u64 operator()() {
    switch (dist_) {
      case Dist::Dense:
        // Ascending runs of neighbouring keys restarting now and then, mostly
        // inside one 1 MiB window so that runs meet and merge.
        if (run_left_ == 0) {
          run_next_ = rng_() % 4 == 0 ? rng_() : anchors_[0] + (rng_() & 0xFFFFF);
          run_left_ = 1 + rng_() % 1500;
        }
        --run_left_;
        return run_next_++;
      case Dist::Uniform:
        return rng_();
      case Dist::Clusters:
        return anchors_[rng_() % 8] + (rng_() & 0x3FFF) * (1 + (rng_() & 1) * 0xFF);
      case Dist::SharedUpper: {
        // Equal to one anchor above a random byte boundary; the varying low
        // bytes are sparse so that prefixes stay shared for a while.
        const unsigned keep = 1 + static_cast<unsigned>(rng_() % 7);
        const u64 low = BYTE_MASK_TABLE[keep];
        const u64 v = rng_() & low & (rng_() % 3 == 0 ? ~u64{0} : 0xFF0F'0F3F'0F0F'07FFull);
        return (anchors_[1] & ~low) | v;
      }
      case Dist::NearEnds: {
        const u64 off = rng_() % 3000;
        return (rng_() & 1) ? off : ~u64{0} - off;
      }
      case Dist::Small:
        return anchors_[2] + (rng_() % 48) * 0x101;
    }
    return 0;
  }

  [[nodiscard]] std::mt19937_64& rng() noexcept { return rng_; }

 private:
  Dist dist_;
  std::mt19937_64 rng_;
  u64 anchors_[8];
  u64 run_next_ = 0;
  u64 run_left_ = 0;
};

// Up to n distinct keys of the distribution (fewer where it has fewer).
inline std::set<u64> draw_keys(Dist d, u64 seed, std::size_t n) {
  KeyGen gen(d, seed);
  std::set<u64> keys;
  for (std::size_t guard = 0; keys.size() < n && guard < 50 * n + 100; ++guard) keys.insert(gen());
  return keys;
}

// Probe keys for lookups and neighbour queries: every key, its neighbours,
// its byte boundaries, a key differing in one random byte, random keys and
// both ends of the key space.
inline std::vector<u64> probes_for(const std::set<u64>& keys, std::mt19937_64& rng, std::size_t extra) {
  std::vector<u64> p = {0, 1, 255, 256, ~u64{0}, ~u64{0} - 1, u64{1} << 63, (u64{1} << 63) - 1};
  for (u64 k : keys) {
    p.insert(p.end(), {k, k + 1, k - 1, k | 0xFF, k & ~u64{0xFF}, k ^ (u64{1} << (8 * (rng() % 8)))});
  }
  for (std::size_t i = 0; i < extra; ++i) p.push_back(rng());
  return p;
}

// A value for key k (map tests); `salt` tells overwrites apart.
[[nodiscard]] constexpr u64 value_of(u64 k, u64 salt = 0) noexcept {
  return (k ^ salt) * 0x9E37'79B9'7F4A'7C15ull + 7;
}

// ---------------------------------------------------------------------------
// Walking a trie

// Level of the node under a branch edge standing at level E.
[[nodiscard]] inline unsigned node_level(const Edge& e, unsigned E) {
  switch (e.tag) {
    case TAG_L3: return e.ptr<BranchL3>()->level;
    case TAG_L7: return e.ptr<BranchL7>()->level;
    case TAG_B: return e.ptr<BranchB>()->level;
    default: return E;  // a BranchU resolves its edge's own level
  }
}

// The child of digit d under a branch edge, or nullptr.
[[nodiscard]] inline Edge* child_of(const Edge& e, u8 d) {
  auto linear = [d](auto* n) -> Edge* {
    const int i = n->find(d);
    return i < 0 ? nullptr : &n->children[i];
  };
  switch (e.tag) {
    case TAG_L3: return linear(e.ptr<BranchL3>());
    case TAG_L7: return linear(e.ptr<BranchL7>());
    case TAG_B: return e.ptr<BranchB>()->child(d);
    case TAG_U: {
      Edge* c = &e.ptr<BranchU>()->children[d];
      return c->is_empty() ? nullptr : c;
    }
    default: return nullptr;
  }
}

// Calls f(edge, level) for every non-empty edge under and including `e`
// (standing at level E), parents before children.
template <class F>
void for_each_edge(Edge& e, unsigned E, F&& f) {
  if (e.is_empty()) return;
  f(e, E);
  if (!is_branch_tag(e.tag)) return;
  const unsigned L = node_level(e, E);
  for (unsigned d = 0; d < 256; ++d)
    if (Edge* c = child_of(e, static_cast<u8>(d))) for_each_edge(*c, L - 1, f);
}

// Follows `key` from the root down to the first edge that holds a leaf form,
// or a branch node resolving level `stop` or below; nullptr when the key's
// digit has no child on the way (or the container holds no tree).
[[nodiscard]] inline const Edge* edge_on_path(const CoreRecord& rec, u64 key, unsigned stop) {
  if (rec.state != RootState::Tree) return nullptr;
  const Edge* e = &rec.root;
  unsigned E = ROOT_LEVEL;
  while (e != nullptr && is_branch_tag(e->tag)) {
    const unsigned L = node_level(*e, E);
    if (L <= stop) break;
    e = child_of(*e, digit_at(key, L));
    E = L - 1;
  }
  return e;
}

// ---------------------------------------------------------------------------
// Node-kind census

enum Kind : unsigned { IMMEDIATE, LEAF_W1, LEAF_WIDE, BITMAP_LEAF, FULL_EDGE, L3, L7, BB, BU, SKIP, KIND_COUNT };
inline constexpr const char* KIND_NAMES[KIND_COUNT] = {"immediate", "width-1 leaf", "wide leaf",
                                                       "bitmap leaf", "full edge", "BranchL3",
                                                       "BranchL7",  "BranchB",     "BranchU",
                                                       "skip prefix"};

struct Census {
  std::array<u64, KIND_COUNT> n{};

  Census& operator+=(const Census& o) {
    for (unsigned i = 0; i < KIND_COUNT; ++i) n[i] += o.n[i];
    return *this;
  }
  // Names of the kinds never seen, "" when every kind was (a map has no
  // full edges).
  [[nodiscard]] std::string missing(bool is_map) const {
    std::string s;
    for (unsigned i = 0; i < KIND_COUNT; ++i)
      if (n[i] == 0 && !(is_map && i == FULL_EDGE)) s += std::string(KIND_NAMES[i]) + "; ";
    return s;
  }

  void count(const Edge& e, unsigned E) {
    const u8 t = e.tag;
    if (is_branch_tag(t)) {
      ++n[t == TAG_L3 ? L3 : t == TAG_L7 ? L7 : t == TAG_B ? BB : BU];
      if (E < ROOT_LEVEL && node_level(e, E) < E) ++n[SKIP];
    } else if (is_linear_leaf_tag(t)) {
      const unsigned w = linear_leaf_width(t);
      ++n[w == 1 ? LEAF_W1 : LEAF_WIDE];
      if (w < E) ++n[SKIP];
    } else if (t == TAG_BITMAP_LEAF) {
      ++n[BITMAP_LEAF];
      if (E > 1) ++n[SKIP];
    } else {
      ++n[t == TAG_FULL ? FULL_EDGE : IMMEDIATE];
    }
  }
};

[[nodiscard]] inline Census census(CoreRecord& rec) {
  Census c;
  if (rec.state == RootState::Tree) for_each_edge(rec.root, ROOT_LEVEL, [&](Edge& e, unsigned E) { c.count(e, E); });
  return c;
}

// ---------------------------------------------------------------------------
// Container + model harness

template <bool IS_MAP>
using Container = std::conditional_t<IS_MAP, map::CorvaleMap, set::CorvaleSet>;

template <bool IS_MAP>
[[nodiscard]] std::string errors_of(const Container<IS_MAP>& c) {
  if constexpr (IS_MAP) return verify::map_errors(c);
  else return verify::set_errors(c);
}

// The core container under test and a model of its content (the set flavour
// keeps 0 as every value). Each operation checks its own answer; check()
// compares everything and returns whether the test is still clean, so loops
// can stop at the first fault.
template <bool IS_MAP>
struct Harness {
  Container<IS_MAP> c;
  std::map<u64, u64> model;
  u64 last_allocs = 0;

  bool insert(u64 k, u64 v = 0) {
    const auto it = model.find(k);
    const bool fresh = it == model.end();
    if constexpr (IS_MAP) {
      const std::optional<u64> old = c.insert(k, v);
      EXPECT_EQ(old.has_value(), !fresh) << "insert " << k;
      if (old && !fresh) {
        EXPECT_EQ(*old, it->second) << "insert " << k;
      }
    } else {
      EXPECT_EQ(c.insert(k), fresh) << "insert " << k;
    }
    model[k] = IS_MAP ? v : 0;
    return fresh;
  }

  // Keep-existing insertion (map): a present value stays; the slot handed
  // back is the key's value word.
  void insert_keep(u64 k, u64 v) requires IS_MAP {
    const auto [it, fresh] = model.emplace(k, v);
    const InsertOutcome r = c.insert_keep(k, v);
    EXPECT_EQ(r.found, fresh ? 0u : 1u) << "insert_keep " << k;
    if (!fresh) {
      EXPECT_EQ(r.old, it->second) << "insert_keep " << k;
    }
    ASSERT_NE(r.slot, nullptr) << "insert_keep " << k;
    EXPECT_EQ(*r.slot, it->second) << "insert_keep " << k;
    EXPECT_EQ(r.slot, c.locate_slot(k)) << "insert_keep " << k;
  }

  bool remove(u64 k) {
    const auto it = model.find(k);
    const bool present = it != model.end();
    if constexpr (IS_MAP) {
      const std::optional<u64> old = c.remove(k);
      EXPECT_EQ(old.has_value(), present) << "remove " << k;
      if (old && present) {
        EXPECT_EQ(*old, it->second) << "remove " << k;
      }
    } else {
      EXPECT_EQ(c.remove(k), present) << "remove " << k;
    }
    if (present) model.erase(it);
    return present;
  }

  void lookup(u64 k) const {
    const auto it = model.find(k);
    if constexpr (IS_MAP) {
      const std::optional<u64> v = c.get(k);
      EXPECT_EQ(c.contains_key(k), it != model.end()) << "lookup " << k;
      EXPECT_EQ(v.has_value(), it != model.end()) << "lookup " << k;
      u64* slot = c.locate_slot(k);
      EXPECT_EQ(slot != nullptr, it != model.end()) << "lookup " << k;
      if (it != model.end()) {
        EXPECT_EQ(v.value_or(~it->second), it->second) << "lookup " << k;
        EXPECT_EQ(slot ? *slot : ~it->second, it->second) << "lookup " << k;
      }
    } else {
      EXPECT_EQ(c.contains(k), it != model.end()) << "lookup " << k;
    }
  }

  // Both batch walks: the steps alone and with the lines requested ahead
  // (which the engine takes only in large trees), each against the model.
  void lookup_batch(std::span<const u64> keys) const {
    for (const u64 ahead_min : {~u64{0}, u64{0}}) {
      get::test_hooks::batch_ahead_min_bytes = ahead_min;
      SCOPED_TRACE(ahead_min == 0 ? "lines requested ahead" : "steps alone");
      lookup_batch_once(keys);
    }
    get::test_hooks::batch_ahead_min_bytes = get::BATCH_AHEAD_MIN_BYTES;
  }

  void lookup_batch_once(std::span<const u64> keys) const {
    if constexpr (IS_MAP) {
      std::vector<FoundValue> out(keys.size(), FoundValue{7, 7});
      c.get_batch(keys, out.data());
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto it = model.find(keys[i]);
        EXPECT_EQ(out[i].found, it != model.end() ? 1u : 0u) << "batch " << i << " key " << keys[i];
        EXPECT_EQ(out[i].value, it != model.end() ? it->second : 0u) << "batch " << i << " key " << keys[i];
      }
    } else {
      std::vector<u8> out(keys.size(), 7);
      c.contains_batch(keys, out.data());
      for (std::size_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(out[i], model.count(keys[i]) ? 1 : 0) << "batch " << i << " key " << keys[i];
    }
  }

  // The whole content, verify(), and the counters: mem_used is 0 exactly when
  // empty, total_node_allocs never decreases.
  bool check() {
    EXPECT_EQ(c.len(), model.size());
    EXPECT_EQ(c.is_empty(), model.empty());
    EXPECT_EQ(errors_of<IS_MAP>(c), "");
    if constexpr (IS_MAP) {
      std::vector<KeyValue> want;
      for (const auto& [k, v] : model) want.push_back({k, v});
      EXPECT_TRUE(c.to_vec() == want) << "content differs from the model";
    } else {
      std::vector<u64> want;
      for (const auto& kv : model) want.push_back(kv.first);
      EXPECT_TRUE(c.to_vec() == want) << "content differs from the model";
    }
    EXPECT_EQ(c.mem_used() == 0, model.empty()) << "mem_used " << c.mem_used();
    EXPECT_GE(c.total_node_allocs(), last_allocs);
    last_allocs = c.total_node_allocs();
    return !::testing::Test::HasFailure();
  }
};

}  // namespace corvale_trie::testsupport
