// Tests of set and map insertion below an edge.
//
// The harnesses drive the insertion the way the core containers do: a root
// edge at ROOT_LEVEL that starts empty (the first key makes the level-8
// root node, as the flat-to-tree rebuild does), a path cache flushed and
// reset before every slow-path insertion, and the cache's fast path tried
// first. The fast path is modelled here after the containers' protocol so
// that the cache content the insertion leaves behind is exercised on every
// following key. Results are compared with std::set / std::map, and the
// whole trie is checked with verify() after every batch.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/core.hpp"
#include "engine/get.hpp"
#include "engine/map.hpp"
#include "engine/mutate.hpp"
#include "engine/mutate_map.hpp"
#include "engine/remove.hpp"
#include "engine/set.hpp"
#include "engine/verify.hpp"

namespace corvale_trie {
namespace {

constexpr u64 round16(u64 n) { return (n + 15) & ~u64{15}; }

// verify() insists on 31 keys for a tree; the harness trees may be smaller.
std::string tree_errors(const CoreRecord& rec, verify::Flavor flavor) {
  const std::string all = verify::record_errors(rec, flavor);
  std::string kept;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    const std::string line = all.substr(start, end - start);
    if (line.find("below 31") == std::string::npos && !line.empty()) kept += line + "\n";
    start = end + 1;
  }
  return kept;
}

// ---------------------------------------------------------------------------
// Harnesses

struct SetHarness {
  CoreRecord rec;
  std::set<u64> model;
  bool use_fast_path = true;
  u64 fast_hits = 0;

  SetHarness() { rec.state = RootState::Tree; }
  ~SetHarness() {
    rec.path.flush_and_reset();
    mutate::free_subtree<false>(rec.alloc, rec.root);
  }

  // The containers' fast path: a key under the cached prefix goes straight
  // into the cached leaf; -1 declines.
  int fast(u64 key) {
    PathCache& p = rec.path;
    if (!use_fast_path || !p.holds(key)) return -1;
    const u8 b = static_cast<u8>(key);
    if (p.bitmap_leaf != nullptr) {
      auto* leaf = static_cast<SetBitmapLeaf*>(p.bitmap_leaf);
      if (leaf->bitmap.test_and_set(b)) return 0;
      p.pending += 1;
      p.leaf_count += 1;
      p.edges[0]->decode[0] = static_cast<u8>(p.leaf_count - 1);
      if (p.leaf_count == 256) {
        p.flush();
        rec.alloc.destroy(leaf);
        Edge& e = *p.edges[0];
        e = Edge{};
        e.tag = TAG_FULL;
        e.decode[0] = 0xFF;
        p.reset();
      }
      return 1;
    }
    if (p.linear_leaf != nullptr) {
      const u64 n = p.leaf_count;
      const u8 last = p.linear_leaf[n - 1];
      if (last == b) return 0;
      if (last > b || n >= W1_APPEND_MAX || capacity_for(n + 1) != capacity_for(n)) return -1;
      p.linear_leaf[n] = b;
      p.edges[0]->decode[0] = static_cast<u8>(n);
      p.leaf_count = static_cast<u16>(n + 1);
      p.pending += 1;
      return 1;
    }
    return -1;
  }

  bool insert(u64 key) {
    int r = fast(key);
    if (r >= 0) {
      ++fast_hits;
    } else {
      rec.path.flush_and_reset();
      r = mutate::insert_path_dyn(rec.alloc, rec.root, key, ROOT_LEVEL, rec.path) ? 1 : 0;
    }
    if (r == 1) rec.len += 1;
    return r == 1;
  }

  std::string errors() const { return tree_errors(rec, verify::Flavor::Set); }
};

struct MapHarness {
  CoreRecord rec;
  std::map<u64, u64> model;
  bool use_fast_path = true;
  u64 fast_hits = 0;

  MapHarness() { rec.state = RootState::Tree; }
  ~MapHarness() {
    rec.path.flush_and_reset();
    mutate::free_subtree<true>(rec.alloc, rec.root);
  }

  // The map fast path; false declines. A present key's value is replaced.
  bool fast(u64 key, u64 value, InsertOutcome& out) {
    PathCache& p = rec.path;
    if (!use_fast_path || !p.holds(key)) return false;
    const u8 b = static_cast<u8>(key);
    if (p.bitmap_leaf != nullptr) {
      auto* leaf = static_cast<MapBitmapLeaf*>(p.bitmap_leaf);
      const unsigned g = b >> 5;
      const unsigned idx = leaf->bitmap.rank_in_group(b);
      if (leaf->bitmap.test(b)) {
        out = {1, leaf->subarrays[g][idx], &leaf->subarrays[g][idx]};
        leaf->subarrays[g][idx] = value;
        return true;
      }
      const u64 n = static_cast<u64>(std::popcount(leaf->bitmap.group(g)));
      u64* sub = leaf->subarrays[g];
      if (n == 0 || capacity_for(n + 1) != capacity_for(n)) {
        u64* grown = rec.alloc.make_array<u64>(capacity_for(n + 1));
        if (n > 0) {
          std::memcpy(grown, sub, idx * 8);
          std::memcpy(grown + idx + 1, sub + idx, (n - idx) * 8);
          rec.alloc.destroy_array(sub, capacity_for(n));
        }
        sub = grown;
        leaf->subarrays[g] = grown;
      } else {
        std::memmove(sub + idx + 1, sub + idx, (n - idx) * 8);
      }
      sub[idx] = value;
      leaf->bitmap.set(b);
      p.edges[0]->decode[0] = static_cast<u8>(p.leaf_count);
      p.leaf_count += 1;
      p.pending += 1;
      out = {0, 0, &sub[idx]};
      return true;
    }
    if (p.linear_leaf != nullptr) {
      const u64 c = p.leaf_count;
      u64* values = reinterpret_cast<u64*>(p.linear_leaf);
      u8* keys = p.linear_leaf + 8 * capacity_for(c);
      if (keys[c - 1] == b) {
        out = {1, values[c - 1], &values[c - 1]};
        values[c - 1] = value;
        return true;
      }
      if (b < keys[c - 1] || c >= W1_APPEND_MAX || capacity_for(c + 1) != capacity_for(c)) return false;
      keys[c] = b;
      values[c] = value;
      p.edges[0]->decode[0] = static_cast<u8>(c);
      p.leaf_count = static_cast<u16>(c + 1);
      p.pending += 1;
      out = {0, 0, &values[c]};
      return true;
    }
    return false;
  }

  template <bool ENSURE = false>
  InsertOutcome insert(u64 key, u64 value) {
    InsertOutcome out;
    if (!ENSURE && fast(key, value, out)) {
      ++fast_hits;
    } else {
      rec.path.flush_and_reset();
      mutate_map::map_insert_with_path_flat<ENSURE>(out, rec.alloc, rec.root, key, value, ROOT_LEVEL,
                                                    rec.path);
    }
    if (out.found == 0) rec.len += 1;
    return out;
  }

  std::string errors() const { return tree_errors(rec, verify::Flavor::Map); }
};

// The cached leaf must hold exactly the keys whose upper seven bytes equal
// the cache's prefix: a prefix missing upper bytes would send keys of another
// subtree into it.
void expect_cache_exact(const CoreRecord& rec, const std::set<u64>& keys_with_prefix_source,
                        bool is_map) {
  const PathCache& p = rec.path;
  if (p.depth == 0) {
    EXPECT_EQ(p.prefix, ~u64{0});
    return;
  }
  ASSERT_LE(p.depth, 8u);
  EXPECT_EQ(p.levels[0], 1);
  // The ancestors in any order (a split appends the re-insertion's path
  // before the outer one): distinct pop-field widths, the root edge once.
  unsigned seen = 0;
  for (u64 i = 1; i < p.depth; ++i) {
    EXPECT_GE(p.levels[i], 2);
    EXPECT_EQ(seen & (1u << p.levels[i]), 0u);
    seen |= 1u << p.levels[i];
    EXPECT_EQ(p.levels[i] == ROOT_LEVEL, p.edges[i] == &rec.root);
  }
  EXPECT_NE(seen & (1u << ROOT_LEVEL), 0u);
  const Edge& leaf_edge = *p.edges[0];
  std::vector<u64> cached;
  if (p.bitmap_leaf != nullptr) {
    EXPECT_EQ(leaf_edge.tag, TAG_BITMAP_LEAF);
    EXPECT_EQ(leaf_edge.ptr<void>(), p.bitmap_leaf);
    const Bitmap256& bm = *static_cast<const Bitmap256*>(p.bitmap_leaf);
    for (unsigned b = 0; b < 256; ++b)
      if (bm.test(b)) cached.push_back((p.prefix << 8) | b);
  } else {
    ASSERT_NE(p.linear_leaf, nullptr);
    EXPECT_EQ(leaf_edge.tag, linear_leaf_tag(1));
    EXPECT_EQ(leaf_edge.ptr<u8>(), p.linear_leaf);
    const u8* keys = p.linear_leaf + (is_map ? 8 * capacity_for(p.leaf_count) : 0);
    for (unsigned i = 0; i < p.leaf_count; ++i) cached.push_back((p.prefix << 8) | keys[i]);
  }
  EXPECT_EQ(cached.size(), p.leaf_count);
  EXPECT_EQ(leaf_edge.pop(1), p.leaf_count);
  std::vector<u64> expected;
  for (auto it = keys_with_prefix_source.lower_bound(p.prefix << 8);
       it != keys_with_prefix_source.end() && (*it >> 8) == p.prefix; ++it)
    expected.push_back(*it);
  EXPECT_EQ(cached, expected) << "cached leaf prefix " << std::hex << p.prefix;
}

std::set<u64> key_set(const std::map<u64, u64>& m) {
  std::set<u64> s;
  for (const auto& [k, v] : m) s.insert(k);
  return s;
}

// ---------------------------------------------------------------------------
// Key distributions

enum class Dist { Dense, Uniform, Clusters, SharedUpper, Extremes, Mixed };

const char* dist_name(Dist d) {
  switch (d) {
    case Dist::Dense: return "dense";
    case Dist::Uniform: return "uniform";
    case Dist::Clusters: return "clusters";
    case Dist::SharedUpper: return "shared-upper";
    case Dist::Extremes: return "extremes";
    case Dist::Mixed: return "mixed";
  }
  return "?";
}

struct KeyGen {
  std::mt19937_64 rng;
  Dist dist;
  std::vector<u64> centres;
  u64 run_next = 0;

  KeyGen(u64 seed, Dist d) : rng(seed), dist(d) {
    for (int i = 0; i < 6; ++i) centres.push_back(rng());
    run_next = rng() & 0xFFFF'FFFF'0000'0000ull;
  }

  u64 next() {
    switch (dist) {
      case Dist::Dense:
        // Ascending runs with occasional gaps and restarts.
        if (rng() % 64 == 0) run_next = rng() & ~u64{0xFFFFF};
        run_next += 1 + (rng() % 8 == 0 ? rng() % 300 : 0);
        return run_next;
      case Dist::Uniform:
        return rng();
      case Dist::Clusters: {
        // A few centres; offsets of widely varying magnitude, so that leaves
        // of every width, splits and skip prefixes at many levels occur.
        const u64 c = centres[rng() % centres.size()];
        const unsigned bits = 4 + static_cast<unsigned>(rng() % 40);
        return c + (rng() & ((u64{1} << bits) - 1));
      }
      case Dist::SharedUpper: {
        // Keys that agree in most upper bytes and disagree in one of them,
        // so that skip prefixes form and are broken again.
        u64 k = centres[0];
        const unsigned byte = static_cast<unsigned>(rng() % 8);
        k ^= (rng() % 4) << (8 * byte);
        k = (k & ~u64{0xFFF}) | (rng() & 0xFFF);
        return k;
      }
      case Dist::Extremes: {
        const u64 off = rng() % 5000;
        return rng() % 2 ? off : ~u64{0} - off;
      }
      case Dist::Mixed:
      default: {
        const Dist parts[] = {Dist::Dense, Dist::Uniform, Dist::Clusters, Dist::SharedUpper,
                              Dist::Extremes};
        const Dist saved = dist;
        dist = parts[rng() % 5];
        const u64 k = next();
        dist = saved;
        return k;
      }
    }
  }
};

// ---------------------------------------------------------------------------
// Set insertion: randomized against std::set

void check_set_lookups(const SetHarness& h, std::mt19937_64& rng) {
  for (const u64 k : h.model) ASSERT_TRUE(get::contains_walk(h.rec.root, k, ROOT_LEVEL)) << std::hex << k;
  for (int i = 0; i < 200; ++i) {
    const u64 k = rng();
    ASSERT_EQ(get::contains_walk(h.rec.root, k, ROOT_LEVEL), h.model.count(k) == 1) << std::hex << k;
  }
}

TEST(SetInsertRandom, MatchesModelAcrossDistributions) {
  for (const Dist dist : {Dist::Dense, Dist::Uniform, Dist::Clusters, Dist::SharedUpper,
                          Dist::Extremes, Dist::Mixed}) {
    for (u64 seed = 1; seed <= 3; ++seed) {
      SCOPED_TRACE(testing::Message() << "distribution " << dist_name(dist) << " seed " << seed);
      SetHarness h;
      KeyGen gen(seed * 7919 + static_cast<u64>(dist), dist);
      std::mt19937_64 rng(seed);
      const int batches = 8;
      for (int batch = 0; batch < batches; ++batch) {
        for (int i = 0; i < 400; ++i) {
          // Repeat an earlier key now and then.
          u64 k = gen.next();
          if (!h.model.empty() && rng() % 8 == 0) {
            auto it = h.model.lower_bound(rng());
            if (it != h.model.end()) k = *it;
          }
          const bool added = h.model.insert(k).second;
          ASSERT_EQ(h.insert(k), added) << std::hex << k;
          if (i % 64 == 0) expect_cache_exact(h.rec, h.model, false);
        }
        expect_cache_exact(h.rec, h.model, false);
        ASSERT_EQ(h.errors(), "");
        check_set_lookups(h, rng);
      }
      EXPECT_EQ(h.rec.len, h.model.size());
    }
  }
}

// A set holding every u64 of a few 256-key blocks, near 0 and near the top.
TEST(SetInsertRandom, FullBlocksAtBothEnds) {
  SetHarness h;
  std::mt19937_64 rng(42);
  std::vector<u64> keys;
  for (u64 k = 0; k < 1024; ++k) keys.push_back(k);
  for (u64 k = 0; k < 1024; ++k) keys.push_back(~u64{0} - k);
  std::shuffle(keys.begin(), keys.end(), rng);
  for (const u64 k : keys) ASSERT_EQ(h.insert(k), h.model.insert(k).second);
  ASSERT_EQ(h.errors(), "");
  check_set_lookups(h, rng);
  // Every key again: all present, nothing changes.
  const u64 mem = h.rec.alloc.mem_used();
  for (const u64 k : keys) ASSERT_FALSE(h.insert(k));
  EXPECT_EQ(h.rec.alloc.mem_used(), mem);
  ASSERT_EQ(h.errors(), "");
  EXPECT_TRUE(get::contains_walk(h.rec.root, 0, ROOT_LEVEL));
  EXPECT_TRUE(get::contains_walk(h.rec.root, ~u64{0}, ROOT_LEVEL));
  EXPECT_FALSE(get::contains_walk(h.rec.root, 1024, ROOT_LEVEL));
}

// Removals leave forms that insertion alone does not make (width-1 leaves
// under a skip prefix, linear branches at their lower thresholds, wrapped
// levels with one child); insertion must grow each of them again.
TEST(SetInsertRandom, InterleavedWithRemoval) {
  for (u64 seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    SetHarness h;
    KeyGen gen(seed * 31, Dist::Mixed);
    std::mt19937_64 rng(seed);
    std::vector<u64> pool;
    for (int batch = 0; batch < 10; ++batch) {
      const bool shrink = batch % 3 == 2;
      for (int i = 0; i < 300; ++i) {
        if (!pool.empty() && rng() % (shrink ? 4 : 3) != 0) {
          const u64 k = pool[rng() % pool.size()];
          if (shrink || rng() % 2) {
            h.rec.path.flush_and_reset();
            const bool removed = mutate::remove(h.rec.alloc, h.rec.root, k, ROOT_LEVEL);
            ASSERT_EQ(removed, h.model.erase(k) == 1) << std::hex << k;
            if (removed) h.rec.len -= 1;
            continue;
          }
          ASSERT_EQ(h.insert(k), h.model.insert(k).second) << std::hex << k;
          continue;
        }
        const u64 k = gen.next();
        pool.push_back(k);
        ASSERT_EQ(h.insert(k), h.model.insert(k).second) << std::hex << k;
      }
      if (h.model.empty()) continue;
      expect_cache_exact(h.rec, h.model, false);
      ASSERT_EQ(h.errors(), "");
      check_set_lookups(h, rng);
    }
  }
}

// ---------------------------------------------------------------------------
// Set insertion: forms and thresholds

TEST(SetInsertForms, FirstKeyMakesRootNodeAndImmediate) {
  SetHarness h;
  const u64 k = 0xA1B2'C3D4'E5F6'0718ull;
  EXPECT_TRUE(h.insert(k));
  ASSERT_EQ(h.rec.root.tag, TAG_L3);
  const auto* root = h.rec.root.ptr<BranchL3>();
  EXPECT_EQ(root->level, 8);
  EXPECT_EQ(root->count, 1);
  EXPECT_EQ(root->digits[0], 0xA1);
  EXPECT_EQ(root->nibble_filter, 1u << 1);
  const Edge& child = root->children[0];
  EXPECT_EQ(child.tag, 0x70);
  EXPECT_EQ(child.payload, k & byte_mask(7));
  EXPECT_EQ(child.decode_word() & byte_mask(7), 0u);
  EXPECT_EQ(h.rec.root.decode_word() & byte_mask(7), 0u);  // the root edge has no pop field
  EXPECT_EQ(h.rec.path.depth, 0u);
  EXPECT_EQ(h.rec.alloc.mem_used(), 64u);
  EXPECT_FALSE(h.insert(k));
  EXPECT_EQ(h.rec.alloc.mem_used(), 64u);
}

// Drives one edge of level E directly, as the walk reaches it below a branch.
struct EdgeRig {
  NodeAlloc alloc;
  PathCache path;
  Edge edge;
  u8 level;
  bool map = false;

  explicit EdgeRig(u8 E, bool is_map = false) : level(E), map(is_map) {}
  ~EdgeRig() {
    path.flush_and_reset();
    if (map)
      mutate::free_subtree<true>(alloc, edge);
    else
      mutate::free_subtree<false>(alloc, edge);
  }
  bool add(u64 key) {
    path.flush_and_reset();
    return mutate::insert_with_path_flat(alloc, edge, key, level, path);
  }
  InsertOutcome put(u64 key, u64 value, bool keep = false) {
    path.flush_and_reset();
    InsertOutcome out;
    if (keep)
      mutate_map::map_insert_with_path_flat<true>(out, alloc, edge, key, value, level, path);
    else
      mutate_map::map_insert_with_path_flat<false>(out, alloc, edge, key, value, level, path);
    return out;
  }
  std::string errors(u64 prefix) const {
    return verify::subtree_errors(edge, level, prefix, map ? verify::Flavor::Map : verify::Flavor::Set);
  }
};

TEST(SetInsertForms, ImmediateCapacityByWidthThenLinearLeaf) {
  const unsigned expected_max[8] = {0, 15, 7, 5, 3, 3, 2, 2};
  for (unsigned W = 1; W <= 7; ++W) {
    SCOPED_TRACE(testing::Message() << "width " << W);
    EdgeRig rig(static_cast<u8>(W));
    ASSERT_EQ(set_immed_max(W), expected_max[W]);
    // Keys inserted from the top down, so every insertion shifts.
    const u64 upper = 0x1234'5678'9ABC'DEF0ull & ~byte_mask(W);
    const u64 step = W == 1 ? 3 : (u64{1} << (8 * W - 9)) + 5;
    std::vector<u64> low;
    for (unsigned i = 0; i <= expected_max[W]; ++i) low.push_back((i + 1) * step & byte_mask(W));
    for (unsigned i = 0; i < expected_max[W]; ++i) {
      ASSERT_TRUE(rig.add(upper | low[expected_max[W] - 1 - i]));
      EXPECT_EQ(rig.edge.tag, immed_tag(W, i + 1));
      EXPECT_EQ(rig.alloc.mem_used(), 0u);
    }
    if (expected_max[W] == 1) {
      EXPECT_EQ(rig.edge.payload, low[0]);  // one key: its low W bytes only
    }
    const ImmedKeys ik = mutate::immed_keys(rig.edge, static_cast<u8>(W), static_cast<u8>(expected_max[W]));
    for (unsigned i = 0; i < expected_max[W]; ++i) EXPECT_EQ(ik.keys[i], low[i]);
    for (unsigned i = 0; i < expected_max[W]; ++i) EXPECT_FALSE(rig.add(upper | low[i]));
    // One more key: a LinearLeaf of the same width.
    ASSERT_TRUE(rig.add(upper | low[expected_max[W]]));
    EXPECT_EQ(rig.edge.tag, linear_leaf_tag(W));
    EXPECT_EQ(rig.edge.pop(W), expected_max[W] + 1u);
    EXPECT_EQ(rig.alloc.mem_used(), round16(capacity_for(expected_max[W] + 1) * W));
    EXPECT_EQ(rig.path.depth, 0u);
    EXPECT_EQ(rig.errors(upper), "");
  }
}

TEST(SetInsertForms, Width1LeafBecomesBitmapAt26AndFullEdgeAt256) {
  EdgeRig rig(1);
  const u64 upper = 0xFEDC'BA98'7654'3200ull;
  std::vector<u64> order;
  for (u64 b = 0; b < 256; ++b) order.push_back((b * 97) & 0xFF);  // a permutation
  u64 allocs_before = 0;
  for (u64 n = 1; n <= 256; ++n) {
    allocs_before = rig.alloc.total_node_allocs();
    ASSERT_TRUE(rig.add(upper | order[n - 1]));
    if (n <= 15) {
      EXPECT_EQ(rig.edge.tag, immed_tag(1, static_cast<unsigned>(n)));
      EXPECT_EQ(rig.alloc.mem_used(), 0u);
    } else if (n <= 25) {
      EXPECT_EQ(rig.edge.tag, linear_leaf_tag(1));
      EXPECT_EQ(rig.edge.pop(1), n);
      EXPECT_EQ(rig.alloc.mem_used(), round16(capacity_for(n)));
      // A new block exactly when the capacity changes.
      EXPECT_EQ(rig.alloc.total_node_allocs() - allocs_before,
                n == 16 || capacity_for(n) != capacity_for(n - 1) ? 1u : 0u);
      // A level-1 leaf is cached with its true prefix once a key was added
      // to it (not when an Immediate turned into it).
      if (n == 16) {
        EXPECT_EQ(rig.path.depth, 0u);
      } else {
        EXPECT_EQ(rig.path.depth, 1u);
        EXPECT_EQ(rig.path.linear_leaf, rig.edge.ptr<u8>());
        EXPECT_EQ(rig.path.leaf_count, n);
        EXPECT_EQ(rig.path.prefix, upper >> 8);
      }
    } else if (n <= 255) {
      EXPECT_EQ(rig.edge.tag, TAG_BITMAP_LEAF);
      EXPECT_EQ(rig.edge.decode[0], n - 1);
      EXPECT_EQ(rig.alloc.mem_used(), 64u);
      EXPECT_EQ(rig.path.depth, 1u);
      EXPECT_EQ(rig.path.bitmap_leaf, rig.edge.ptr<void>());
      EXPECT_EQ(rig.path.leaf_count, n);
    } else {
      EXPECT_EQ(rig.edge.tag, TAG_FULL);
      EXPECT_EQ(rig.edge.payload, 0u);
      EXPECT_EQ(rig.edge.decode_word() & byte_mask(7), 0xFFu);
      EXPECT_EQ(rig.alloc.mem_used(), 0u);
      EXPECT_EQ(rig.alloc.live_nodes(), 0u);
      EXPECT_EQ(rig.path.depth, 0u);
    }
  }
  // A FullEdge holds everything: nothing changes.
  for (u64 b = 0; b < 256; b += 17) EXPECT_FALSE(rig.add(upper | b));
  EXPECT_EQ(rig.edge.tag, TAG_FULL);
  EXPECT_EQ(rig.errors(upper), "");
}

TEST(SetInsertForms, WideLeafGrowsTo32AndSplitsIntoBitmapAt33) {
  // Level-3 edge, keys sharing bytes 1 and 2: a width-3 leaf whose 33rd key
  // makes a BitmapLeaf that keeps those bytes as its skip prefix.
  EdgeRig rig(3);
  const u64 base = 0x0000'0000'0042'4300ull;
  for (u64 n = 1; n <= 33; ++n) {
    const u64 allocs = rig.alloc.total_node_allocs();
    ASSERT_TRUE(rig.add(base | (n * 7)));
    if (n <= 5) {
      EXPECT_EQ(rig.edge.tag, immed_tag(3, static_cast<unsigned>(n)));
    } else if (n <= 32) {
      EXPECT_EQ(rig.edge.tag, linear_leaf_tag(3));
      EXPECT_EQ(rig.edge.pop(3), n);
      EXPECT_EQ(rig.alloc.mem_used(), round16(capacity_for(n) * 3));
      EXPECT_EQ(rig.alloc.total_node_allocs() - allocs,
                n == 6 || capacity_for(n) != capacity_for(n - 1) ? 1u : 0u);
    } else {
      EXPECT_EQ(rig.edge.tag, TAG_BITMAP_LEAF);
      EXPECT_EQ(rig.edge.decode[0], 32);
      EXPECT_EQ(rig.edge.decode[1], 0x43);
      EXPECT_EQ(rig.edge.decode[2], 0x42);
      EXPECT_EQ(rig.alloc.mem_used(), 64u);
      EXPECT_EQ(rig.alloc.live_nodes(), 1u);
    }
    EXPECT_EQ(rig.path.depth, 0u);  // never cached above level 1
  }
  EXPECT_EQ(rig.errors(0), "");
  // A bitmap leaf under a skip prefix keeps its form at 256 keys.
  for (u64 b = 0; b < 256; ++b) rig.add(base | b);
  EXPECT_EQ(rig.edge.tag, TAG_BITMAP_LEAF);
  EXPECT_EQ(rig.edge.decode[0], 0xFF);
  EXPECT_EQ(rig.path.depth, 0u);
  EXPECT_EQ(rig.errors(0), "");
  // A key outside the prefix wraps the leaf under a BranchL3 at level 2.
  ASSERT_TRUE(rig.add(0x0000'0000'0042'4400ull));
  ASSERT_EQ(rig.edge.tag, TAG_L3);
  EXPECT_EQ(rig.edge.ptr<BranchL3>()->level, 2);
  EXPECT_EQ(rig.edge.ptr<BranchL3>()->count, 2);
  EXPECT_EQ(rig.edge.pop(2), 257u);
  EXPECT_EQ(rig.edge.decode[2], 0x42);
  // The full BitmapLeaf now stands under a level-1 edge; only a key arriving
  // there turns a leaf into a FullEdge, so it keeps its form.
  const Edge& moved = rig.edge.ptr<BranchL3>()->children[0];
  EXPECT_EQ(moved.tag, TAG_BITMAP_LEAF);
  EXPECT_EQ(moved.decode[0], 0xFF);
  for (u64 b = 0; b < 256; b += 5) EXPECT_TRUE(get::contains_walk(rig.edge, base | b, 3));
  EXPECT_TRUE(get::contains_walk(rig.edge, 0x424400, 3));
  EXPECT_FALSE(get::contains_walk(rig.edge, 0x424401, 3));
  EXPECT_FALSE(rig.add(base | 0x80));
  EXPECT_EQ(rig.errors(0), "");
}

// A width-1 leaf under a skip prefix (as a shrinking BitmapLeaf leaves it)
// grows to 25 keys, becomes a BitmapLeaf that keeps the prefix, and is never
// cached; a key outside the prefix wraps it.
TEST(SetInsertForms, Width1LeafUnderSkipPrefix) {
  for (const bool is_map : {false, true}) {
    SCOPED_TRACE(is_map ? "map" : "set");
    EdgeRig rig(3, is_map);
    const u64 base = 0x0000'0000'0061'6200ull;
    const u64 first[2] = {0x10, 0x20};
    if (is_map) {
      const KeyValue pairs[2] = {{first[0], 1}, {first[1], 2}};
      mutate_map::build_map_leaf(rig.alloc, rig.edge, 1, pairs, 2);
    } else {
      mutate::build_leaf(rig.alloc, rig.edge, 1, first, 2);
    }
    mutate::write_decode(rig.edge, 1, 3, base);
    ASSERT_EQ(rig.errors(0), "");
    for (u64 n = 3; n <= 26; ++n) {
      const u64 k = base | (0x30 + n);
      if (is_map)
        ASSERT_EQ(rig.put(k, n).found, 0u);
      else
        ASSERT_TRUE(rig.add(k));
      EXPECT_EQ(rig.edge.tag, n <= 25 ? linear_leaf_tag(1) : TAG_BITMAP_LEAF);
      EXPECT_EQ(rig.edge.decode[0], n - 1);
      EXPECT_EQ(rig.edge.decode[1], 0x62);
      EXPECT_EQ(rig.edge.decode[2], 0x61);
      EXPECT_EQ(rig.path.depth, 0u);
    }
    EXPECT_EQ(rig.errors(0), "");
    if (is_map)
      EXPECT_EQ(rig.put(base | 0x10, 9).found, 1u);
    else
      EXPECT_FALSE(rig.add(base | 0x10));
    const u64 outside = 0x0000'0000'0071'6205ull;
    if (is_map)
      EXPECT_EQ(rig.put(outside, 9).found, 0u);
    else
      EXPECT_TRUE(rig.add(outside));
    ASSERT_EQ(rig.edge.tag, TAG_L3);
    EXPECT_EQ(rig.edge.ptr<BranchL3>()->level, 3);
    EXPECT_EQ(rig.edge.pop(3), 27u);
    EXPECT_EQ(rig.errors(0), "");
  }
}

TEST(SetInsertForms, SplitUnderNewBranchL3) {
  // The keys 0x0000..0x001F in a width-2 leaf at level 2, then 0x0500.
  EdgeRig rig(2);
  const u64 upper = 0x7777'6666'5555'0000ull;
  for (u64 k = 0; k < 32; ++k) ASSERT_TRUE(rig.add(upper | k));
  ASSERT_EQ(rig.edge.tag, linear_leaf_tag(2));
  ASSERT_TRUE(rig.add(upper | 0x0500));
  ASSERT_EQ(rig.edge.tag, TAG_L3);
  const auto* node = rig.edge.ptr<BranchL3>();
  EXPECT_EQ(node->level, 2);
  ASSERT_EQ(node->count, 2);
  EXPECT_EQ(node->digits[0], 0x00);
  EXPECT_EQ(node->digits[1], 0x05);
  EXPECT_EQ(node->children[0].tag, TAG_BITMAP_LEAF);
  EXPECT_EQ(node->children[0].decode[0], 31);
  EXPECT_EQ(node->children[1].tag, 0x10);
  EXPECT_EQ(node->children[1].payload, 0x00u);
  EXPECT_EQ(rig.edge.pop(2), 33u);
  EXPECT_EQ(rig.alloc.mem_used(), 64u + 64u);
  // The last key re-inserted went into an Immediate: the cache is reset.
  EXPECT_EQ(rig.path.depth, 0u);
  EXPECT_EQ(rig.errors(upper), "");
}

TEST(SetInsertForms, SplitWithManyDigitsEndsInBranchL7) {
  EdgeRig rig(3);
  // 33 keys over 5 distinct digits at level 3.
  std::vector<u64> keys;
  for (u64 i = 0; i < 33; ++i) keys.push_back(((i % 5) << 16) | (i * 9));
  std::sort(keys.begin(), keys.end());
  for (const u64 k : keys) ASSERT_TRUE(rig.add(k));
  ASSERT_EQ(rig.edge.tag, TAG_L7);
  EXPECT_EQ(rig.edge.ptr<BranchL7>()->count, 5);
  EXPECT_EQ(rig.edge.ptr<BranchL7>()->level, 3);
  EXPECT_EQ(rig.edge.pop(3), 33u);
  EXPECT_EQ(rig.errors(0), "");
}

// After a split the path cache must describe its leaf with the leaf's whole
// prefix; a later key that agrees only in the low bytes lands elsewhere.
TEST(SetInsertForms, SplitLeavesCacheWithTruePrefix) {
  SetHarness h;
  const u64 P = 0x5A5A'5A5A'5A5A'0000ull;
  ASSERT_TRUE(h.insert(P | 0x0000));
  for (u64 b = 0; b < 31; ++b) ASSERT_TRUE(h.insert(P | 0x0100 | b));
  // A width-7 leaf of 32 keys under the root's child.
  ASSERT_EQ(h.rec.path.depth, 0u);
  ASSERT_TRUE(h.insert(P | 0x011F));  // the 33rd key splits it
  h.model = {P};
  for (u64 b = 0; b < 32; ++b) h.model.insert(P | 0x0100 | b);
  // The largest key ended in a BitmapLeaf at level 1 (15 -> 25 -> bitmap).
  ASSERT_GT(h.rec.path.depth, 0u);
  EXPECT_NE(h.rec.path.bitmap_leaf, nullptr);
  EXPECT_EQ(h.rec.path.prefix, (P | 0x011F) >> 8);
  EXPECT_EQ(h.rec.path.depth, 3u);  // the leaf's edge, the split edge, the root edge
  expect_cache_exact(h.rec, h.model, false);
  EXPECT_EQ(h.errors(), "");
  // Same low bytes, other upper bytes: never into the cached leaf.
  for (const u64 k : {u64{0x0120}, u64{0x0101}, (P ^ (u64{1} << 40)) | 0x0130}) {
    ASSERT_TRUE(h.insert(k));
    h.model.insert(k);
    EXPECT_TRUE(get::contains_walk(h.rec.root, k, ROOT_LEVEL));
  }
  EXPECT_FALSE(get::contains_walk(h.rec.root, P | 0x0120, ROOT_LEVEL));
  // Keys of the cached block still take the fast path.
  const u64 hits = h.fast_hits;
  ASSERT_TRUE(h.insert(P | 0x0140));
  h.model.insert(P | 0x0140);
  EXPECT_EQ(h.fast_hits, hits + 0);  // the cache was reset by the slow paths above
  ASSERT_TRUE(h.insert(P | 0x0141));
  h.model.insert(P | 0x0141);
  EXPECT_EQ(h.fast_hits, hits + 1);
  EXPECT_EQ(h.errors(), "");
  expect_cache_exact(h.rec, h.model, false);
}

// Through the core containers: the fast path of the real set and map.
TEST(SetInsertForms, ContainerFastPathAfterSplit) {
  const u64 P = 0x5A5A'5A5A'5A5A'0000ull;
  set::CorvaleSet s;
  map::CorvaleMap m;
  std::vector<u64> keys = {P};
  for (u64 b = 0; b < 32; ++b) keys.push_back(P | 0x0100 | b);
  for (const u64 k : keys) {
    ASSERT_TRUE(s.insert(k));
    ASSERT_FALSE(m.insert(k, k + 1).has_value());
  }
  ASSERT_TRUE(s.insert(0x0120));
  ASSERT_FALSE(m.insert(0x0120, 9).has_value());
  EXPECT_TRUE(s.contains(0x0120));
  EXPECT_FALSE(s.contains(P | 0x0120));
  EXPECT_TRUE(m.contains_key(0x0120));
  EXPECT_FALSE(m.contains_key(P | 0x0120));
  CORVALE_EXPECT_VALID_SET(s);
  CORVALE_EXPECT_VALID_MAP(m);
}

TEST(SetInsertForms, BranchUpgradesAtThresholds) {
  SetHarness h;
  u64 expected_mem = 0;
  // Children of the root node: one Immediate each, no blocks of their own.
  for (u64 d = 0; d < 256; ++d) {
    const u64 key = (d << 56) | 0x0011'2233'4455'6677ull;
    ASSERT_TRUE(h.insert(key));
    const u64 n = d + 1;
    if (n <= 3) {
      EXPECT_EQ(h.rec.root.tag, TAG_L3);
      expected_mem = 64;
    } else if (n <= 7) {
      EXPECT_EQ(h.rec.root.tag, TAG_L7);
      EXPECT_EQ(h.rec.root.ptr<BranchL7>()->count, n);
      expected_mem = 128;
    } else if (n <= 192) {
      EXPECT_EQ(h.rec.root.tag, TAG_B);
      expected_mem = 128;
      for (u64 g = 0; g <= d / 32; ++g) {
        const u64 in_group = std::min<u64>(32, n - 32 * g);
        expected_mem += round16(capacity_for(in_group) * 16);
      }
    } else {
      EXPECT_EQ(h.rec.root.tag, TAG_U);
      expected_mem = 4160;
    }
    EXPECT_EQ(h.rec.alloc.mem_used(), expected_mem) << "children " << n;
  }
  EXPECT_EQ(h.errors(), "");
}

TEST(SetInsertForms, BranchBSubarrayGrowsOnlyAtCapacitySteps) {
  SetHarness h;
  for (u64 d = 0; d < 8; ++d) ASSERT_TRUE(h.insert(d << 61));  // digits 0,32,..,224: one per group
  ASSERT_EQ(h.rec.root.tag, TAG_B);
  const u64 allocs = h.rec.alloc.total_node_allocs();
  const u64 mem = h.rec.alloc.mem_used();
  ASSERT_TRUE(h.insert(u64{1} << 56));  // group 0 holds 2 (capacity 2)
  EXPECT_EQ(h.rec.alloc.total_node_allocs(), allocs + 1);
  EXPECT_EQ(h.rec.alloc.mem_used(), mem + 32 - 16);
  ASSERT_TRUE(h.insert(u64{2} << 56));  // 3 children: capacity 4, a new block
  EXPECT_EQ(h.rec.alloc.total_node_allocs(), allocs + 2);
  EXPECT_EQ(h.rec.alloc.mem_used(), mem + 64 - 16);
  ASSERT_TRUE(h.insert(u64{3} << 56));  // 4 children: in place
  EXPECT_EQ(h.rec.alloc.total_node_allocs(), allocs + 2);
  EXPECT_EQ(h.rec.alloc.mem_used(), mem + 64 - 16);
  EXPECT_EQ(h.errors(), "");
}

TEST(SetInsertForms, SkipPrefixWrapAndBranchBWithPrefixBecomesBranchU) {
  // Under the root digit 0x11: keys that share byte 6 and differ in byte 5
  // make a node at level 6 with byte 6 as the skip prefix of its edge.
  SetHarness h;
  const u64 top = 0x1122'0000'0000'0000ull;
  for (u64 d = 0; d < 192; ++d) ASSERT_TRUE(h.insert(top | (d << 40) | 0x55));
  const Edge& child = h.rec.root.ptr<BranchL3>()->children[0];
  ASSERT_EQ(child.tag, TAG_B);
  EXPECT_EQ(child.ptr<BranchB>()->level, 6);
  EXPECT_EQ(child.decode[6], 0x22);
  EXPECT_EQ(child.pop(6), 192u);
  ASSERT_EQ(h.errors(), "");
  // The 193rd digit: a BranchL3 at level 7 appears above, the node becomes a
  // BranchU under an edge of its own level.
  ASSERT_TRUE(h.insert(top | (u64{200} << 40) | 0x55));
  ASSERT_EQ(child.tag, TAG_L3);
  const auto* wrap = child.ptr<BranchL3>();
  EXPECT_EQ(wrap->level, 7);
  ASSERT_EQ(wrap->count, 1);
  EXPECT_EQ(wrap->digits[0], 0x22);
  EXPECT_EQ(wrap->children[0].tag, TAG_U);
  EXPECT_EQ(wrap->children[0].pop(6), 193u);
  EXPECT_EQ(child.pop(7), 193u);
  ASSERT_EQ(h.errors(), "");
  // A key leaving the prefix in byte 6 gets a second child of that BranchL3.
  ASSERT_TRUE(h.insert(top ^ (u64{1} << 48)));
  EXPECT_EQ(wrap->count, 2);
  ASSERT_EQ(h.errors(), "");
}

TEST(SetInsertForms, KeyLeavingPrefixOfBranchBGetsNewLevel) {
  // A BranchB at level 3 under an edge at level 6; a key differing in byte 4
  // gets a BranchL3 at level 5 with two children.
  EdgeRig rig(6);
  const u64 base = 0x0000'0012'3400'0000ull;
  std::vector<u64> keys;
  for (u64 i = 0; i < 40; ++i) keys.push_back(base | ((i % 10) << 16) | i);
  std::sort(keys.begin(), keys.end());
  for (const u64 k : keys) ASSERT_TRUE(rig.add(k));
  ASSERT_EQ(rig.edge.tag, TAG_B);
  ASSERT_EQ(rig.edge.ptr<BranchB>()->level, 3);
  const u64 other = base ^ (u64{0x80} << 32);
  ASSERT_TRUE(rig.add(other));
  ASSERT_EQ(rig.edge.tag, TAG_L3);
  const auto* node = rig.edge.ptr<BranchL3>();
  EXPECT_EQ(node->level, 5);
  ASSERT_EQ(node->count, 2);
  EXPECT_EQ(node->children[0].tag, TAG_B);
  EXPECT_EQ(node->children[1].tag, immed_tag(4, 1));
  EXPECT_EQ(rig.edge.pop(5), 41u);
  EXPECT_EQ(rig.edge.decode[5], 0x00);
  EXPECT_EQ(rig.errors(0), "");
}

TEST(SetInsertForms, PresentKeyChangesNothing) {
  SetHarness h;
  std::mt19937_64 rng(5);
  KeyGen gen(5, Dist::Mixed);
  std::vector<u64> keys;
  for (int i = 0; i < 3000; ++i) {
    keys.push_back(gen.next());
    h.insert(keys.back());
    h.model.insert(keys.back());
  }
  h.rec.path.flush_and_reset();
  const u64 mem = h.rec.alloc.mem_used();
  const u64 allocs = h.rec.alloc.total_node_allocs();
  const Edge root = h.rec.root;
  for (int i = 0; i < 500; ++i) {
    const u64 k = keys[rng() % keys.size()];
    h.rec.path.flush_and_reset();
    ASSERT_FALSE(mutate::insert_with_path_flat(h.rec.alloc, h.rec.root, k, ROOT_LEVEL, h.rec.path));
  }
  EXPECT_EQ(std::memcmp(&root, &h.rec.root, sizeof(Edge)), 0);
  EXPECT_EQ(h.rec.alloc.mem_used(), mem);
  EXPECT_EQ(h.rec.alloc.total_node_allocs(), allocs);
  EXPECT_EQ(h.errors(), "");  // pop fields unchanged everywhere
}

TEST(SetInsertFatal, InvalidTagsStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const u8 tag : {u8{13}, u8{15}, u8{0x27}, u8{0x35}, u8{0x80}, u8{0xFF}}) {
    EXPECT_DEATH(
        {
          EdgeRig rig(2);
          rig.edge.tag = tag;
          rig.add(1);
        },
        "valid immediate tag")
        << int(tag);
  }
}

TEST(SetInsertFatal, MissingBlocksStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        EdgeRig rig(3);
        rig.edge.tag = linear_leaf_tag(3);
        rig.add(1);
      },
      "leaf ptr");
  EXPECT_DEATH(
      {
        EdgeRig rig(1);
        rig.edge.tag = TAG_BITMAP_LEAF;
        rig.add(1);
      },
      "leaf ptr");
  EXPECT_DEATH(
      {
        EdgeRig rig(2);
        auto* node = rig.alloc.make<BranchB>();
        node->level = 2;
        node->bitmap.set(0);
        node->group_counts[0] = 1;  // a child without its subarray
        rig.edge.set_ptr(node);
        rig.edge.tag = TAG_B;
        rig.add(0x0100);
      },
      "subarray");
}

// ---------------------------------------------------------------------------
// Map insertion

u64 value_for(u64 k, u64 round) { return k * 0x9E37'79B9'7F4A'7C15ull + round; }

void check_map_lookups(const MapHarness& h, std::mt19937_64& rng) {
  for (const auto& [k, v] : h.model) {
    const u64* slot = get::locate_slot(&h.rec.root, k, ROOT_LEVEL);
    ASSERT_NE(slot, nullptr) << std::hex << k;
    ASSERT_EQ(*slot, v) << std::hex << k;
  }
  for (int i = 0; i < 200; ++i) {
    const u64 k = rng();
    ASSERT_EQ(get::locate_slot(&h.rec.root, k, ROOT_LEVEL) != nullptr, h.model.count(k) == 1);
  }
}

TEST(MapInsertRandom, MatchesModelAcrossDistributions) {
  for (const Dist dist : {Dist::Dense, Dist::Uniform, Dist::Clusters, Dist::SharedUpper,
                          Dist::Extremes, Dist::Mixed}) {
    for (u64 seed = 1; seed <= 3; ++seed) {
      SCOPED_TRACE(testing::Message() << "distribution " << dist_name(dist) << " seed " << seed);
      MapHarness h;
      KeyGen gen(seed * 104729 + static_cast<u64>(dist), dist);
      std::mt19937_64 rng(seed + 100);
      for (int batch = 0; batch < 8; ++batch) {
        for (int i = 0; i < 400; ++i) {
          u64 k = gen.next();
          if (!h.model.empty() && rng() % 8 == 0) {
            auto it = h.model.lower_bound(rng());
            if (it != h.model.end()) k = it->first;
          }
          const u64 v = value_for(k, static_cast<u64>(batch * 1000 + i));
          const bool keep = rng() % 4 == 0;
          auto it = h.model.find(k);
          const InsertOutcome out = keep ? h.insert<true>(k, v) : h.insert<false>(k, v);
          if (it == h.model.end()) {
            ASSERT_EQ(out.found, 0u) << std::hex << k;
            h.model.emplace(k, v);
          } else {
            ASSERT_EQ(out.found, 1u) << std::hex << k;
            ASSERT_EQ(out.old, it->second);
            if (!keep) it->second = v;
          }
          ASSERT_NE(out.slot, nullptr);
          ASSERT_EQ(*out.slot, h.model.at(k));
          ASSERT_EQ(out.slot, get::locate_slot(&h.rec.root, k, ROOT_LEVEL));
          if (i % 64 == 0) expect_cache_exact(h.rec, key_set(h.model), true);
        }
        expect_cache_exact(h.rec, key_set(h.model), true);
        ASSERT_EQ(h.errors(), "");
        check_map_lookups(h, rng);
      }
      EXPECT_EQ(h.rec.len, h.model.size());
    }
  }
}

TEST(MapInsertRandom, InterleavedWithRemoval) {
  for (u64 seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    MapHarness h;
    KeyGen gen(seed * 37, Dist::Mixed);
    std::mt19937_64 rng(seed + 50);
    std::vector<u64> pool;
    for (int batch = 0; batch < 10; ++batch) {
      const bool shrink = batch % 3 == 2;
      for (int i = 0; i < 300; ++i) {
        const u64 v = value_for(i, static_cast<u64>(batch));
        u64 k;
        if (!pool.empty() && rng() % (shrink ? 4 : 3) != 0) {
          k = pool[rng() % pool.size()];
          if (shrink || rng() % 2) {
            h.rec.path.flush_and_reset();
            const mutate_map::MapRemoved r = mutate_map::map_remove(h.rec.alloc, h.rec.root, k, ROOT_LEVEL);
            auto it = h.model.find(k);
            ASSERT_EQ(r.removed, it != h.model.end()) << std::hex << k;
            if (r.removed) {
              ASSERT_EQ(r.old, it->second);
              h.model.erase(it);
              h.rec.len -= 1;
            }
            continue;
          }
        } else {
          k = gen.next();
          pool.push_back(k);
        }
        const InsertOutcome out = h.insert(k, v);
        ASSERT_EQ(out.found, h.model.count(k)) << std::hex << k;
        if (out.found) {
          ASSERT_EQ(out.old, h.model[k]);
        }
        h.model[k] = v;
        ASSERT_EQ(*out.slot, v);
      }
      if (h.model.empty()) continue;
      expect_cache_exact(h.rec, key_set(h.model), true);
      ASSERT_EQ(h.errors(), "");
      check_map_lookups(h, rng);
    }
  }
}

TEST(MapInsertForms, FirstKeyMakesRootNodeAndImmediate) {
  MapHarness h;
  const u64 k = 0x0102'0304'0506'0708ull;
  const InsertOutcome out = h.insert(k, 77);
  EXPECT_EQ(out.found, 0u);
  ASSERT_EQ(h.rec.root.tag, TAG_L3);
  const auto* root = h.rec.root.ptr<BranchL3>();
  EXPECT_EQ(root->level, 8);
  EXPECT_EQ(root->digits[0], 0x01);
  const Edge& child = root->children[0];
  EXPECT_EQ(child.tag, 0x70);
  EXPECT_EQ(child.payload, 77u);
  EXPECT_EQ(child.decode_word() & byte_mask(7), k & byte_mask(7));
  EXPECT_EQ(out.slot, &child.payload);
  EXPECT_EQ(h.rec.alloc.mem_used(), 64u);
}

TEST(MapInsertForms, ImmediatesAndValueArraysByWidth) {
  const unsigned expected_max[8] = {0, 7, 3, 2, 1, 1, 1, 1};
  for (unsigned W = 1; W <= 7; ++W) {
    SCOPED_TRACE(testing::Message() << "width " << W);
    EdgeRig rig(static_cast<u8>(W), true);
    ASSERT_EQ(map_immed_max(W), expected_max[W]);
    const u64 upper = 0x0F0E'0D0C'0B0A'0908ull & ~byte_mask(W);
    const u64 step = W == 1 ? 5 : (u64{1} << (8 * W - 9)) + 3;
    std::vector<u64> low;
    for (unsigned i = 0; i <= expected_max[W]; ++i) low.push_back((i + 1) * step & byte_mask(W));
    for (unsigned i = 0; i < expected_max[W]; ++i) {
      // From the top down: every insertion shifts keys and values.
      const u64 k = low[expected_max[W] - 1 - i];
      const InsertOutcome out = rig.put(upper | k, k + 1000);
      ASSERT_EQ(out.found, 0u);
      EXPECT_EQ(*out.slot, k + 1000);
      EXPECT_EQ(rig.edge.tag, immed_tag(W, i + 1));
      const u64 n = i + 1;
      EXPECT_EQ(rig.alloc.mem_used(), n == 1 ? 0u : round16(capacity_for(n) * 8)) << n;
      // Decode bytes past the keys stay zero; nothing lies past byte 6.
      EXPECT_EQ(rig.edge.decode_word() & byte_mask(7) & ~byte_mask(n * W), 0u);
    }
    for (unsigned i = 0; i < expected_max[W]; ++i) {
      const InsertOutcome out = rig.put(upper | low[i], 5);
      EXPECT_EQ(out.found, 1u);
      EXPECT_EQ(out.old, low[i] + 1000);
      EXPECT_EQ(*out.slot, 5u);
      *out.slot = low[i] + 1000;
    }
    // One more key: a LinearLeaf of the same width.
    const InsertOutcome out = rig.put(upper | low[expected_max[W]], 1);
    EXPECT_EQ(out.found, 0u);
    EXPECT_EQ(*out.slot, 1u);
    EXPECT_EQ(rig.edge.tag, linear_leaf_tag(W));
    EXPECT_EQ(rig.edge.pop(W), expected_max[W] + 1u);
    EXPECT_EQ(rig.alloc.mem_used(), round16(capacity_for(expected_max[W] + 1) * (8 + W)));
    EXPECT_EQ(rig.alloc.live_nodes(), 1u);
    EXPECT_EQ(rig.errors(upper), "");
  }
}

TEST(MapInsertForms, Width1LeafGrowthBitmapAndCache) {
  EdgeRig rig(1, true);
  for (u64 n = 1; n <= 26; ++n) {
    const u64 allocs = rig.alloc.total_node_allocs();
    const InsertOutcome out = rig.put(0xAB00 | (n * 3), n);
    ASSERT_EQ(out.found, 0u);
    if (n >= 9 && n <= 25) {
      EXPECT_EQ(rig.edge.tag, linear_leaf_tag(1));
      EXPECT_EQ(rig.alloc.mem_used(), round16(capacity_for(n) * 9));
      // 8 -> 9 moves to capacity 12; 9 -> 10 stays in place.
      EXPECT_EQ(rig.alloc.total_node_allocs() - allocs, capacity_for(n) != capacity_for(n - 1) ? 1u : 0u);
      EXPECT_EQ(rig.path.depth, 1u);
      EXPECT_EQ(rig.path.linear_leaf, rig.edge.ptr<u8>());
      EXPECT_EQ(rig.path.leaf_count, n);
    }
  }
  // The 26th pair made a BitmapLeaf, which the map does not cache yet.
  EXPECT_EQ(rig.edge.tag, TAG_BITMAP_LEAF);
  EXPECT_EQ(rig.edge.decode[0], 25);
  EXPECT_EQ(rig.path.depth, 0u);
  // 26 bytes 3..78: groups 0 (3..30: 10 bytes), 1 (33..63: 11), 2 (66..78: 5).
  EXPECT_EQ(rig.alloc.mem_used(), 128u + round16(12 * 8) + round16(12 * 8) + round16(8 * 8));
  // The next new key fills the cache with the bitmap leaf.
  ASSERT_EQ(rig.put(0xAB00 | 200, 200).found, 0u);
  EXPECT_EQ(rig.path.depth, 1u);
  EXPECT_EQ(rig.path.bitmap_leaf, rig.edge.ptr<void>());
  EXPECT_EQ(rig.path.leaf_count, 27u);
  EXPECT_EQ(rig.path.prefix, 0xABu);
  // Fill every byte: a map BitmapLeaf stays a BitmapLeaf at 256 pairs.
  for (u64 b = 0; b < 256; ++b) {
    const InsertOutcome out = rig.put(0xAB00 | b, b + 7);
    EXPECT_EQ(*out.slot, b + 7);
  }
  EXPECT_EQ(rig.edge.tag, TAG_BITMAP_LEAF);
  EXPECT_EQ(rig.edge.decode[0], 0xFF);
  EXPECT_EQ(rig.alloc.mem_used(), 128u + 8 * round16(32 * 8));
  EXPECT_EQ(rig.errors(0xAB00), "");
}

TEST(MapInsertForms, WideLeafSplitsAt33) {
  // Keys sharing every byte but byte 0: a BitmapLeaf with the shared bytes
  // as its skip prefix.
  {
    EdgeRig rig(2, true);
    for (u64 n = 1; n <= 33; ++n) ASSERT_EQ(rig.put(0x3300 | (n * 7), n).found, 0u);
    EXPECT_EQ(rig.edge.tag, TAG_BITMAP_LEAF);
    EXPECT_EQ(rig.edge.decode[0], 32);
    EXPECT_EQ(rig.edge.decode[1], 0x33);
    EXPECT_EQ(rig.path.depth, 0u);
    EXPECT_EQ(rig.errors(0), "");
  }
  // Keys differing in byte 1: a BranchL3 at level 2 with pop field 32.
  {
    EdgeRig rig(2, true);
    u64 last_slot_value = 0;
    for (u64 n = 1; n <= 33; ++n) {
      const u64 k = n == 33 ? 0x0500 : n;
      const InsertOutcome out = rig.put(k, k * 3);
      ASSERT_EQ(out.found, 0u);
      if (n <= 32) {
        const u64 expect_mem = n <= 3 ? (n == 1 ? 0 : round16(capacity_for(n) * 8))
                                      : round16(capacity_for(n) * 10);
        EXPECT_EQ(rig.alloc.mem_used(), expect_mem) << n;
      }
      last_slot_value = *out.slot;
    }
    EXPECT_EQ(last_slot_value, 0x0500u * 3);
    ASSERT_EQ(rig.edge.tag, TAG_L3);
    EXPECT_EQ(rig.edge.ptr<BranchL3>()->level, 2);
    EXPECT_EQ(rig.edge.ptr<BranchL3>()->count, 2);
    EXPECT_EQ(rig.edge.pop(2), 33u);
    EXPECT_EQ(rig.errors(0), "");
  }
}

TEST(MapInsertForms, SplitLeavesCacheWithTruePrefix) {
  MapHarness h;
  const u64 P = 0x5A5A'5A5A'5A5A'0000ull;
  h.insert(P, 1);
  h.model[P] = 1;
  for (u64 b = 0; b < 32; ++b) {
    h.insert(P | 0x0100 | b, b);
    h.model[P | 0x0100 | b] = b;
  }
  // The re-inserted keys of digit 0x01 went through a width-1 LinearLeaf of
  // 25 into a BitmapLeaf; the last of them left it cached.
  EXPECT_NE(h.rec.path.bitmap_leaf, nullptr);
  expect_cache_exact(h.rec, key_set(h.model), true);
  EXPECT_EQ(h.errors(), "");
  // A leaf of 20 keys at level 1 under the split: cached with its prefix.
  MapHarness g;
  const u64 Q = 0x0102'0304'0506'0000ull;
  std::vector<u64> keys = {Q};
  for (u64 b = 0; b < 19; ++b) keys.push_back(Q | 0x0100 | b);
  for (u64 b = 0; b < 12; ++b) keys.push_back(Q | 0x0000 | (b + 1));
  std::sort(keys.begin(), keys.end());
  for (const u64 k : keys) g.insert(k, k), g.model[k] = k;
  ASSERT_EQ(g.rec.path.depth, 0u);  // 32 keys in a width-7 leaf
  g.insert(Q | 0x0114, 5);
  g.model[Q | 0x0114] = 5;
  ASSERT_GT(g.rec.path.depth, 0u);
  EXPECT_EQ(g.rec.path.prefix, (Q | 0x0114) >> 8);
  EXPECT_NE(g.rec.path.linear_leaf, nullptr);
  expect_cache_exact(g.rec, key_set(g.model), true);
  // A key equal in its low two bytes but with zero upper bytes goes elsewhere.
  EXPECT_EQ(g.insert(0x0115, 6).found, 0u);
  g.model[0x0115] = 6;
  EXPECT_EQ(get::locate_slot(&g.rec.root, Q | 0x0115, ROOT_LEVEL), nullptr);
  ASSERT_NE(get::locate_slot(&g.rec.root, 0x0115, ROOT_LEVEL), nullptr);
  EXPECT_EQ(g.errors(), "");
}

TEST(MapInsertForms, PresentKeyOverwriteAndKeep) {
  MapHarness h;
  std::mt19937_64 rng(11);
  KeyGen gen(11, Dist::Mixed);
  std::vector<u64> keys;
  for (int i = 0; i < 3000; ++i) {
    const u64 k = gen.next();
    keys.push_back(k);
    h.insert(k, k);
    h.model[k] = k;
  }
  h.rec.path.flush_and_reset();
  ASSERT_EQ(h.errors(), "");
  const u64 mem = h.rec.alloc.mem_used();
  for (int i = 0; i < 600; ++i) {
    const u64 k = keys[rng() % keys.size()];
    const u64 before = h.model[k];
    const bool keep = i % 2 == 0;
    const InsertOutcome out = keep ? h.insert<true>(k, 1) : h.insert<false>(k, before + 1);
    ASSERT_EQ(out.found, 1u);
    ASSERT_EQ(out.old, before);
    ASSERT_EQ(out.slot, get::locate_slot(&h.rec.root, k, ROOT_LEVEL));
    if (keep) {
      EXPECT_EQ(*out.slot, before);
    } else {
      EXPECT_EQ(*out.slot, before + 1);
      h.model[k] = before + 1;
    }
  }
  EXPECT_EQ(h.rec.alloc.mem_used(), mem);
  EXPECT_EQ(h.errors(), "");  // pop fields unchanged
  // The keep-existing variant hands back the slot of a new key too.
  const InsertOutcome fresh = h.insert<true>(0xDEAD'BEEF'0000'0001ull, 3);
  EXPECT_EQ(fresh.found, 0u);
  EXPECT_EQ(*fresh.slot, 3u);
}

TEST(MapInsertForms, BranchUpgradesMatchTheSetFlavour) {
  MapHarness h;
  SetHarness s;
  for (u64 d = 0; d < 256; ++d) {
    const u64 key = (d << 56) | (d << 40) | 0x77;
    h.insert(key, d);
    s.insert(key);
    ASSERT_EQ(h.rec.root.tag, s.rec.root.tag) << d;
    ASSERT_EQ(h.rec.alloc.mem_used(), s.rec.alloc.mem_used()) << d;  // one-key immediates: no blocks
  }
  EXPECT_EQ(h.rec.root.tag, TAG_U);
  EXPECT_EQ(h.errors(), "");
}

TEST(MapInsertFatal, BrokenFormsStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        EdgeRig rig(1, true);
        rig.edge.tag = TAG_FULL;
        rig.put(1, 1);
      },
      "internal error: entered unreachable code: full-corvale edges are set-flavor only");
  // Map Immediates hold at most 7 key bytes: a tag claiming more is never
  // read past decode byte 6.
  for (const u8 tag : {u8{0x17}, u8{0x23}, u8{0x32}, u8{0x41}, u8{0x71}, u8{13}, u8{0x80}}) {
    EXPECT_DEATH(
        {
          EdgeRig rig(static_cast<u8>(std::max(1, tag >> 4)), true);
          rig.edge.tag = tag;
          rig.put(1, 1);
        },
        "valid immediate tag")
        << int(tag);
  }
  EXPECT_DEATH(
      {
        EdgeRig rig(2, true);
        rig.edge.tag = linear_leaf_tag(2);
        rig.put(1, 1);
      },
      "leaf ptr");
  EXPECT_DEATH(
      {
        EdgeRig rig(2, true);
        rig.edge.tag = immed_tag(2, 2);
        rig.put(1, 1);
      },
      "value array");
  EXPECT_DEATH(
      {
        EdgeRig rig(1, true);
        auto* leaf = rig.alloc.make<MapBitmapLeaf>();
        leaf->bitmap.set(7);  // a present byte without its value subarray
        rig.edge.set_ptr(leaf);
        rig.edge.tag = TAG_BITMAP_LEAF;
        rig.put(8, 1);
      },
      "values");
}

}  // namespace
}  // namespace corvale_trie
