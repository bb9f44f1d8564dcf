// Removal of keys from set and map tries, and subtree release.
//
// The tries are built either by the insertion routines or canonically by
// hand (hand_trie.hpp), then taken apart against std::set / std::map models.
// verify() runs after every batch; the shapes at every threshold between node
// kinds are checked on purpose, both in single steps on hand-built edges and
// by oscillating insertions and removals around the threshold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/convert.hpp"
#include "engine/mutate.hpp"
#include "engine/mutate_map.hpp"
#include "engine/remove.hpp"
#include "engine/verify.hpp"
#include "hand_trie.hpp"

namespace corvale_trie {
namespace {

using hand::value_of;
using verify::Flavor;

constexpr u64 MAX_KEY = ~u64{0};

// ---------------------------------------------------------------------------
// Walking a trie from a test

struct PathStep {
  Edge* edge;
  unsigned level;
};

// Every edge on the key's path from `root` (at `level`) down to the first
// non-branch edge, or to an edge where the key is absent.
std::vector<PathStep> path_of(Edge& root, u64 key, unsigned level = ROOT_LEVEL) {
  std::vector<PathStep> path;
  Edge* e = &root;
  unsigned E = level;
  for (;;) {
    path.push_back({e, E});
    switch (e->tag) {
      case TAG_L3:
      case TAG_L7: {
        auto* h = e->ptr<BranchLinearHeader>();
        if (!skip_matches(*e, key, h->level, E)) return path;
        Edge* kids = reinterpret_cast<Edge*>(reinterpret_cast<u8*>(h) + 16);
        const u8 d = digit_at(key, h->level);
        int at = -1;
        for (unsigned i = 0; i < h->count; ++i)
          if (h->digits[i] == d) at = static_cast<int>(i);
        if (at < 0) return path;
        E = h->level - 1;
        e = &kids[at];
        break;
      }
      case TAG_B: {
        auto* n = e->ptr<BranchB>();
        if (!skip_matches(*e, key, n->level, E)) return path;
        Edge* c = n->child(digit_at(key, n->level));
        if (c == nullptr) return path;
        E = n->level - 1;
        e = c;
        break;
      }
      case TAG_U: {
        e = &e->ptr<BranchU>()->children[digit_at(key, E)];
        E -= 1;
        break;
      }
      default:
        return path;
    }
  }
}

// The edge at the bottom of the key's path and its level.
PathStep bottom_of(Edge& root, u64 key) { return path_of(root, key).back(); }

// Child count of the branch under `e`.
unsigned children_of(const Edge& e) {
  switch (e.tag) {
    case TAG_L3:
    case TAG_L7:
      return e.ptr<BranchLinearHeader>()->count;
    case TAG_B:
      return e.ptr<BranchB>()->child_count();
    case TAG_U:
      return e.ptr<BranchU>()->child_count();
  }
  return 0;
}

// A byte image of everything reachable under an edge: used to show that an
// unsuccessful removal changes nothing at all.
void dump(const Edge& e, bool is_map, std::string& out) {
  out.append(reinterpret_cast<const char*>(&e), sizeof e);
  auto raw = [&](const void* p, u64 n) { out.append(static_cast<const char*>(p), n); };
  switch (e.tag) {
    case TAG_L3:
    case TAG_L7: {
      auto* h = e.ptr<BranchLinearHeader>();
      raw(h, 16);
      const Edge* kids = reinterpret_cast<const Edge*>(reinterpret_cast<const u8*>(h) + 16);
      for (unsigned i = 0; i < h->count; ++i) dump(kids[i], is_map, out);
      return;
    }
    case TAG_B: {
      auto* n = e.ptr<BranchB>();
      raw(&n->bitmap, 32);
      raw(n->group_counts, 16);
      for (unsigned g = 0; g < 8; ++g)
        for (unsigned i = 0; i < n->group_counts[g]; ++i) dump(n->subarrays[g][i], is_map, out);
      return;
    }
    case TAG_U:
      for (const Edge& c : e.ptr<BranchU>()->children) dump(c, is_map, out);
      return;
    case TAG_BITMAP_LEAF:
      if (is_map) {
        auto* leaf = e.ptr<MapBitmapLeaf>();
        raw(&leaf->bitmap, 32);
        for (unsigned g = 0; g < 8; ++g)
          if (leaf->subarrays[g]) raw(leaf->subarrays[g], 8 * std::popcount(leaf->bitmap.group(g)));
      } else {
        raw(e.ptr<SetBitmapLeaf>(), 32);
      }
      return;
    default:
      if (is_linear_leaf_tag(e.tag)) {
        const unsigned w = linear_leaf_width(e.tag);
        const u64 n = e.pop(w);
        raw(e.ptr<void>(), is_map ? map_leaf_bytes(n, w) : n * w);
      } else if (is_map && is_map_immed_tag(e.tag) && immed_count(e.tag) >= 2) {
        raw(e.ptr<void>(), 8 * immed_count(e.tag));
      }
  }
}

std::string image(const Edge& e, bool is_map) {
  std::string s;
  dump(e, is_map, s);
  return s;
}

// ---------------------------------------------------------------------------
// An engine-level container: a record in the tree state driven straight
// through the tree routines, with a model beside it.

template <bool IS_MAP>
struct Trie {
  static constexpr Flavor kFlavor = IS_MAP ? Flavor::Map : Flavor::Set;
  CoreRecord rec;
  std::map<u64, u64> model;
  u64 last_total = 0;

  Trie() { rec.state = RootState::Tree; }
  Trie(const Trie&) = delete;
  ~Trie() { mutate::free_subtree<IS_MAP>(rec.alloc, rec.root); }

  // Builds the canonical trie of `keys` by hand (no insertion involved).
  void build(std::vector<u64> keys) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    rec.root = hand::bulk_build(rec.alloc, kFlavor, keys.data(), keys.size(), ROOT_LEVEL).edge;
    for (u64 k : keys) model[k] = value_of(k);
    rec.len = keys.size();
  }

  bool insert(u64 key, u64 value) {
    rec.path.flush_and_reset();
    bool added;
    if constexpr (IS_MAP) {
      InsertOutcome out;
      mutate_map::map_insert_with_path_flat<false>(out, rec.alloc, rec.root, key, value, ROOT_LEVEL, rec.path);
      added = out.found == 0;
    } else {
      added = mutate::insert_with_path_flat(rec.alloc, rec.root, key, ROOT_LEVEL, rec.path);
    }
    rec.path.flush_and_reset();
    model[key] = value;
    rec.len += added;
    return added;
  }
  bool insert(u64 key) { return insert(key, value_of(key)); }

  // Removes through the engine and the model; reports disagreements.
  ::testing::AssertionResult erase(u64 key) {
    rec.path.flush_and_reset();
    bool removed;
    u64 old = 0;
    if constexpr (IS_MAP) {
      const mutate_map::MapRemoved r = mutate_map::map_remove(rec.alloc, rec.root, key, ROOT_LEVEL);
      removed = r.removed;
      old = r.old;
    } else {
      removed = mutate::remove(rec.alloc, rec.root, key, ROOT_LEVEL);
    }
    const auto it = model.find(key);
    const bool expected = it != model.end();
    if (removed != expected)
      return ::testing::AssertionFailure() << "remove(" << key << ") returned " << removed;
    if (IS_MAP && removed && old != it->second)
      return ::testing::AssertionFailure() << "remove(" << key << ") returned value " << old << ", want "
                                           << it->second;
    if (removed) {
      model.erase(it);
      rec.len -= 1;
    }
    if (rec.alloc.total_node_allocs() < last_total)
      return ::testing::AssertionFailure() << "total_node_allocs decreased";
    last_total = rec.alloc.total_node_allocs();
    return ::testing::AssertionSuccess();
  }

  // Every violation of the trie, the model and the counters. The rule that a
  // tree holds at least 31 keys belongs to the containers, which condense a
  // smaller tree into a flat array; the engine routines keep the tree.
  std::string errors() {
    if (rec.len == 0) {
      std::ostringstream s;
      if (!rec.root.is_empty()) s << "root edge not empty with no keys\n";
      if (rec.alloc.mem_used() != 0) s << "mem_used " << rec.alloc.mem_used() << " with no keys\n";
      if (rec.alloc.live_nodes() != 0) s << "live_nodes " << rec.alloc.live_nodes() << " with no keys\n";
      return s.str();
    }
    std::istringstream all(verify::record_errors(rec, kFlavor));
    std::string line, kept;
    while (std::getline(all, line))
      if (line.find("below 31") == std::string::npos) kept += line + "\n";
    // Contents against the model: every model key present with its value is
    // checked by verify (count and order); spot-check membership here.
    for (const auto& [k, v] : model) {
      PathStep b = bottom_of(rec.root, k);
      if (b.edge->is_empty()) {
        kept += "model key " + std::to_string(k) + " missing\n";
        break;
      }
    }
    return kept;
  }
};

using SetTrie = Trie<false>;
using MapTrie = Trie<true>;

// Key sets of the distributions the removal has to handle.
std::vector<u64> keys_of_shape(std::mt19937_64& rng, unsigned shape, size_t n) {
  if (shape < 6) return hand::sample_keys(rng, shape, n);
  std::vector<u64> k;
  const u64 base = rng();
  switch (shape) {
    case 6:  // several dense runs of 1..600 keys
      while (k.size() < n) {
        const u64 start = rng();
        const u64 len = 1 + rng() % 600;
        for (u64 i = 0; i < len && k.size() < n; ++i) k.push_back(start + i);
      }
      break;
    case 7:  // a handful of digits per level: linear branches of 4..7 children
      for (size_t i = 0; i < n; ++i)
        k.push_back(base ^ ((rng() % 6) << 40) ^ ((rng() % 7) << 24) ^ ((rng() % 5) << 8) ^ (rng() % 64));
      break;
    default:  // shared upper bytes: long skip prefixes above small subtrees
      for (size_t i = 0; i < n; ++i) {
        const unsigned low_bytes = 1 + static_cast<unsigned>(rng() % 3);
        const u64 top = (base >> 40) ^ (rng() % 3);
        k.push_back((top << 40) | (rng() & BYTE_MASK_TABLE[low_bytes]));
      }
      break;
  }
  return k;
}
constexpr unsigned kShapes = 9;

// Removes every key of the model (and some absent ones) in random order,
// verifying after every batch.
template <bool IS_MAP>
void drain(Trie<IS_MAP>& t, std::mt19937_64& rng, u64 seed, unsigned batch) {
  std::vector<u64> order;
  for (const auto& kv : t.model) order.push_back(kv.first);
  std::shuffle(order.begin(), order.end(), rng);
  unsigned step = 0;
  for (u64 k : order) {
    // An absent neighbour first: a different low byte, a different upper byte.
    ASSERT_TRUE(t.erase(k ^ (u64{1} << (8 * (rng() % 8))) ^ 0x5A)) << "seed " << seed;
    ASSERT_TRUE(t.erase(k)) << "seed " << seed;
    ASSERT_FALSE(t.model.count(k));
    if (++step % batch == 0 || t.model.size() < 40) {
      ASSERT_EQ(t.errors(), "") << "seed " << seed << " step " << step;
    }
  }
  ASSERT_EQ(t.errors(), "") << "seed " << seed;
  EXPECT_TRUE(t.rec.root.is_empty());
  EXPECT_EQ(t.rec.alloc.mem_used(), 0u);
  EXPECT_EQ(t.rec.alloc.live_nodes(), 0u);
}

// ---------------------------------------------------------------------------
// Set removal on single edges: the leaf forms and their thresholds

TEST(SetRemoveLeaf, ImmediateLosesKeysInPlace) {
  NodeAlloc a;
  // One key: only the low W bytes are compared.
  Edge e = hand::set_immed(3, {0xAB'123456});
  EXPECT_FALSE(mutate::remove(a, e, 0x123457, 3));
  EXPECT_EQ(e.tag, immed_tag(3, 1));
  EXPECT_TRUE(mutate::remove(a, e, 0x77'123456, 3));
  EXPECT_TRUE(e.is_empty());
  EXPECT_FALSE(mutate::remove(a, e, 0x123456, 3));

  // Fifteen one-byte keys: each removal shifts the tail down by one byte.
  std::vector<u64> keys;
  for (u64 i = 0; i < 15; ++i) keys.push_back(i * 17);
  e = hand::set_immed(1, keys);
  EXPECT_EQ(e.tag, 0x1E);
  EXPECT_FALSE(mutate::remove(a, e, 1, 1));
  EXPECT_TRUE(mutate::remove(a, e, 0, 1));
  EXPECT_EQ(e.tag, 0x1D);
  EXPECT_TRUE(mutate::remove(a, e, 17 * 14, 1));
  EXPECT_TRUE(mutate::remove(a, e, 17 * 7, 1));
  const ImmedKeys left = mutate::immed_keys(e, 1, 12);
  std::vector<u64> want;
  for (u64 i = 1; i < 14; ++i)
    if (i != 7) want.push_back(i * 17);
  EXPECT_EQ(std::vector<u64>(left.keys, left.keys + left.count), want);
  u8 bytes[16];
  std::memcpy(bytes, &e, 16);
  for (unsigned i = 12; i < 15; ++i) EXPECT_EQ(bytes[i], 0) << i;

  // Two keys of width 7 down to one: the survivor lands in the payload and
  // the decode bytes are zero.
  e = hand::set_immed(7, {0x01020304050607, 0x0A0B0C0D0E0F10});
  EXPECT_TRUE(mutate::remove(a, e, 0x01020304050607, 7));
  EXPECT_EQ(e.tag, 0x70);
  EXPECT_EQ(e.payload & BYTE_MASK_TABLE[7], 0x0A0B0C0D0E0F10u);
  EXPECT_EQ(e.decode_word() & BYTE_MASK_TABLE[7], 0u);
  EXPECT_EQ(a.mem_used(), 0u);
}

TEST(SetRemoveLeaf, LinearLeafShrinksThenBecomesImmediate) {
  NodeAlloc a;
  // Width 2, level 2, 8 keys: shrinks in place to 7 (same capacity 8).
  std::vector<u64> keys;
  for (u64 i = 0; i < 8; ++i) keys.push_back(0x100 * i + i);
  Edge e = hand::linear_leaf(a, Flavor::Set, 2, keys);
  const void* block = e.ptr<void>();
  EXPECT_TRUE(mutate::remove(a, e, keys[3], 2));
  EXPECT_EQ(e.tag, linear_leaf_tag(2));
  EXPECT_EQ(e.ptr<void>(), block);
  EXPECT_EQ(e.pop(2), 7u);
  EXPECT_EQ(a.mem_used(), 16u);
  // 7 <= 15/2: the remaining 6 keys become an Immediate of width 2.
  EXPECT_TRUE(mutate::remove(a, e, keys[0], 2));
  EXPECT_EQ(e.tag, immed_tag(2, 6));
  EXPECT_EQ(a.mem_used(), 0u);
  EXPECT_EQ(a.live_nodes(), 0u);
  const ImmedKeys left = mutate::immed_keys(e, 2, 6);
  EXPECT_EQ(std::vector<u64>(left.keys, left.keys + 6),
            (std::vector<u64>{keys[1], keys[2], keys[4], keys[5], keys[6], keys[7]}));
}

TEST(SetRemoveLeaf, NarrowLeafUnderSkipPrefixBecomesWideImmediate) {
  NodeAlloc a;
  // A width-1 leaf of 3 keys at level 5 with skip bytes 1..4: 3 <= 15/5, so
  // the two remaining keys become an Immediate of width 5 carrying the prefix.
  const u64 prefix = 0x11223344'00ull;
  Edge e = hand::linear_leaf(a, Flavor::Set, 1, {0x10, 0x20, 0x30});
  hand::put_skip(e, 1, 5, prefix);
  EXPECT_FALSE(mutate::remove(a, e, 0x11223345'20ull, 5));  // prefix mismatch
  EXPECT_FALSE(mutate::remove(a, e, prefix | 0x21, 5));     // low byte absent
  EXPECT_EQ(e.tag, linear_leaf_tag(1));
  EXPECT_TRUE(mutate::remove(a, e, prefix | 0x20, 5));
  ASSERT_EQ(e.tag, immed_tag(5, 2));
  const ImmedKeys left = mutate::immed_keys(e, 5, 2);
  EXPECT_EQ(left.keys[0], prefix | 0x10);
  EXPECT_EQ(left.keys[1], prefix | 0x30);
  EXPECT_EQ(a.mem_used(), 0u);

  // At level 7 (15/7 = 2) three keys of width 7 stay a leaf, in a new block
  // of capacity 2.
  Edge w = hand::linear_leaf(a, Flavor::Set, 7, {1, 2, 3});
  EXPECT_EQ(a.mem_used(), 32u);  // 4 * 7 = 28 bytes
  EXPECT_TRUE(mutate::remove(a, w, 2, 7));
  EXPECT_EQ(w.tag, linear_leaf_tag(7));
  EXPECT_EQ(w.pop(7), 2u);
  EXPECT_EQ(a.mem_used(), 16u);  // 2 * 7 = 14 bytes
  EXPECT_EQ(leaf::key_at(w.ptr<u8>(), 7, 0), 1u);
  EXPECT_EQ(leaf::key_at(w.ptr<u8>(), 7, 1), 3u);
  // Two keys at level 7 (2 <= 2): the last key becomes a one-key Immediate.
  EXPECT_TRUE(mutate::remove(a, w, 1, 7));
  EXPECT_EQ(w.tag, immed_tag(7, 1));
  EXPECT_TRUE(mutate::remove(a, w, 3, 7));
  EXPECT_TRUE(w.is_empty());
  EXPECT_EQ(a.mem_used(), 0u);
  EXPECT_EQ(a.live_nodes(), 0u);
}

TEST(SetRemoveLeaf, LinearLeafImmediateThresholdByLevel) {
  // n <= 15/E keys before the removal: the rest become an Immediate of width
  // E; one key more and the leaf only shrinks.
  for (unsigned E = 1; E <= 7; ++E) {
    for (unsigned W = 1; W <= E; ++W) {
      const u64 limit = 15 / E;
      for (u64 n : {limit, limit + 1}) {
        if (n < 1 || n > (W == 1 ? 25u : 32u)) continue;
        NodeAlloc a;
        std::vector<u64> keys;
        for (u64 i = 0; i < n; ++i) keys.push_back((i * 37 + 1) & BYTE_MASK_TABLE[W]);
        std::sort(keys.begin(), keys.end());
        const u64 prefix = 0x0102030405060708ull & ~BYTE_MASK_TABLE[W] & BYTE_MASK_TABLE[E];
        Edge e = hand::linear_leaf(a, Flavor::Set, W, keys);
        hand::put_skip(e, W, E, prefix);
        ASSERT_TRUE(mutate::remove(a, e, prefix | keys[n / 2], static_cast<u8>(E))) << E << " " << W << " " << n;
        keys.erase(keys.begin() + static_cast<long>(n / 2));
        if (n == limit) {
          if (n == 1) {
            EXPECT_TRUE(e.is_empty());
          } else {
            ASSERT_EQ(e.tag, immed_tag(E, static_cast<unsigned>(n - 1))) << E << " " << W << " " << n;
            const ImmedKeys left = mutate::immed_keys(e, static_cast<u8>(E), static_cast<u8>(n - 1));
            for (u64 i = 0; i + 1 < n; ++i) EXPECT_EQ(left.keys[i], prefix | keys[i]);
          }
          EXPECT_EQ(a.mem_used(), 0u);
        } else {
          ASSERT_EQ(e.tag, linear_leaf_tag(W)) << E << " " << W << " " << n;
          EXPECT_EQ(e.pop(W), n - 1);
          EXPECT_EQ(mutate::decode_value(e, static_cast<u8>(W), static_cast<u8>(E)) << (8 * W), prefix);
          EXPECT_EQ(a.mem_used(), (set_leaf_bytes(n - 1, W) + 15) / 16 * 16);
          for (u64 i = 0; i + 1 < n; ++i) EXPECT_EQ(leaf::key_at(e.ptr<u8>(), W, i), keys[i]);
          mutate::free_subtree<false>(a, e);
        }
        EXPECT_EQ(a.live_nodes(), 0u);
      }
    }
  }
}

TEST(SetRemoveLeaf, BitmapLeafBecomesWidthOneLeafAtTwenty) {
  NodeAlloc a;
  std::vector<u64> keys;
  for (u64 i = 0; i < 22; ++i) keys.push_back(i * 11);
  Edge e = hand::bitmap_leaf(a, Flavor::Set, keys);
  EXPECT_FALSE(mutate::remove(a, e, 1, 1));
  EXPECT_TRUE(mutate::remove(a, e, 0, 1));  // 21 remain: kept
  EXPECT_EQ(e.tag, TAG_BITMAP_LEAF);
  EXPECT_EQ(e.decode[0], 20);
  EXPECT_TRUE(mutate::remove(a, e, 11, 1));  // 20 remain: width-1 leaf
  ASSERT_EQ(e.tag, linear_leaf_tag(1));
  EXPECT_EQ(e.pop(1), 20u);
  EXPECT_EQ(a.mem_used(), 32u);  // 20 bytes
  EXPECT_EQ(a.live_nodes(), 1u);
  for (u64 i = 0; i < 20; ++i) EXPECT_EQ(e.ptr<u8>()[i], keys[i + 2]);

  // Under an edge of level 3 the leaf keeps decode bytes 1..2 as its skip
  // prefix; at 5 keys before a removal (15/3) the rest become an Immediate of
  // width 3 whose keys carry the prefix.
  NodeAlloc b;
  const u64 prefix = 0xBEEF00;
  keys.resize(21);
  Edge f = hand::bitmap_leaf(b, Flavor::Set, keys);
  hand::put_skip(f, 1, 3, prefix);
  EXPECT_FALSE(mutate::remove(b, f, 0xBEEE00 | keys[5], 3));
  EXPECT_TRUE(mutate::remove(b, f, prefix | keys[20], 3));
  ASSERT_EQ(f.tag, linear_leaf_tag(1));
  EXPECT_EQ(f.pop(1), 20u);
  EXPECT_EQ(f.decode[1], 0xEF);
  EXPECT_EQ(f.decode[2], 0xBE);
  // 20 -> 5 keys: the leaf only shrinks (5 > 15/3 until the last of these).
  for (u64 i = 19; i >= 5; --i) ASSERT_TRUE(mutate::remove(b, f, prefix | keys[i], 3)) << i;
  ASSERT_EQ(f.tag, linear_leaf_tag(1));
  EXPECT_EQ(f.pop(1), 5u);
  // 5 <= 15/3 before this removal: the 4 others become an Immediate of width 3.
  EXPECT_TRUE(mutate::remove(b, f, prefix | keys[4], 3));
  ASSERT_EQ(f.tag, immed_tag(3, 4));
  const ImmedKeys left = mutate::immed_keys(f, 3, 4);
  for (u64 i = 0; i < 4; ++i) EXPECT_EQ(left.keys[i], prefix | keys[i]);
  EXPECT_EQ(b.mem_used(), 0u);
  EXPECT_EQ(b.live_nodes(), 0u);
}

TEST(SetRemoveLeaf, FullEdgeExpandsAlongThePath) {
  {
    NodeAlloc a;
    Edge e = hand::full_edge();
    EXPECT_TRUE(mutate::remove(a, e, 0x42, 1));
    ASSERT_EQ(e.tag, TAG_BITMAP_LEAF);
    EXPECT_EQ(e.decode[0], 0xFE);
    EXPECT_EQ(e.ptr<SetBitmapLeaf>()->bitmap.count(), 255u);
    EXPECT_FALSE(e.ptr<SetBitmapLeaf>()->bitmap.test(0x42));
    EXPECT_FALSE(mutate::remove(a, e, 0x42, 1));
    EXPECT_EQ(a.mem_used(), 64u);
    mutate::free_subtree<false>(a, e);
    EXPECT_EQ(a.mem_used(), 0u);
  }
  {
    // A FullEdge at level 3 (population 2^24): two BranchU levels above a
    // 255-key BitmapLeaf; every sibling stays a FullEdge.
    NodeAlloc a;
    Edge e;
    e.tag = TAG_FULL;
    e.set_decode_bits(0xFFFFFF);
    const u64 key = 0x123456;
    EXPECT_TRUE(mutate::remove(a, e, key, 3));
    ASSERT_EQ(e.tag, TAG_U);
    EXPECT_EQ(e.pop(3), (u64{1} << 24) - 1);
    BranchU* top = e.ptr<BranchU>();
    for (unsigned d = 0; d < 256; ++d) {
      if (d == 0x12) continue;
      ASSERT_EQ(top->children[d].tag, TAG_FULL);
      ASSERT_EQ(top->children[d].pop(2), u64{1} << 16);
    }
    Edge& mid = top->children[0x12];
    ASSERT_EQ(mid.tag, TAG_U);
    EXPECT_EQ(mid.pop(2), (u64{1} << 16) - 1);
    Edge& low = mid.ptr<BranchU>()->children[0x34];
    ASSERT_EQ(low.tag, TAG_BITMAP_LEAF);
    EXPECT_EQ(low.decode[0], 0xFE);
    EXPECT_EQ(mid.ptr<BranchU>()->children[0x35].tag, TAG_FULL);
    EXPECT_EQ(mid.ptr<BranchU>()->children[0x35].pop(1), 256u);
    EXPECT_EQ(a.mem_used(), 2 * 4160u + 64u);
    // A second key elsewhere expands only its own path.
    EXPECT_TRUE(mutate::remove(a, e, 0xFF00FF, 3));
    EXPECT_FALSE(mutate::remove(a, e, 0xFF00FF, 3));
    EXPECT_EQ(e.pop(3), (u64{1} << 24) - 2);
    EXPECT_EQ(a.mem_used(), 3 * 4160u + 2 * 64u);
    mutate::free_subtree<false>(a, e);
    EXPECT_TRUE(e.is_empty());
    EXPECT_EQ(a.mem_used(), 0u);
    EXPECT_EQ(a.live_nodes(), 0u);
  }
}

TEST(SetRemoveLeafDeathTest, InvalidTagIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  NodeAlloc a;
  for (u8 tag : {u8{13}, u8{15}, u8{0x27}, u8{0x80}, u8{0xFF}}) {
    Edge e;
    e.tag = tag;
    EXPECT_DEATH((void)mutate::remove(a, e, 1, 2), "valid edge tag") << int(tag);
  }
}

// ---------------------------------------------------------------------------
// Map removal on single edges

TEST(MapRemoveLeaf, ImmediatePairsAndValueArray) {
  NodeAlloc a;
  using mutate_map::MapRemoved;
  // Two pairs: the survivor's value moves inline.
  Edge e = hand::map_immed(a, 2, {0x0102, 0x0304});
  EXPECT_EQ(a.mem_used(), 16u);
  EXPECT_EQ(mutate_map::map_remove(a, e, 0x0103, 2), MapRemoved{});
  EXPECT_EQ(mutate_map::map_remove(a, e, 0x0102, 2), (MapRemoved{true, value_of(0x0102)}));
  EXPECT_EQ(e.tag, immed_tag(2, 1));
  EXPECT_EQ(e.payload, value_of(0x0304));
  EXPECT_EQ(e.decode_word() & BYTE_MASK_TABLE[7], 0x0304u);
  EXPECT_EQ(a.mem_used(), 0u);
  EXPECT_EQ(mutate_map::map_remove(a, e, 0xFF0304, 2), (MapRemoved{true, value_of(0x0304)}));
  EXPECT_TRUE(e.is_empty());

  // Seven one-byte keys: the ValueArray shrinks from 8 slots to 4 at the
  // step from 5 to 4 pairs and stays in place otherwise.
  std::vector<u64> keys{3, 9, 27, 81, 100, 200, 250};
  e = hand::map_immed(a, 1, keys);
  EXPECT_EQ(a.mem_used(), 64u);
  std::vector<u64> left = keys;
  for (u64 k : {u64{27}, u64{250}, u64{3}}) {
    ASSERT_EQ(mutate_map::map_remove(a, e, k, 1), (MapRemoved{true, value_of(k)}));
    left.erase(std::find(left.begin(), left.end(), k));
    const unsigned n = static_cast<unsigned>(left.size());
    ASSERT_EQ(e.tag, immed_tag(1, n));
    EXPECT_EQ(a.mem_used(), value_array_bytes(n));
    const ImmedKeys ik = mutate::immed_map_keys(e, 1, static_cast<u8>(n));
    for (unsigned i = 0; i < n; ++i) {
      EXPECT_EQ(ik.keys[i], left[i]);
      EXPECT_EQ(e.ptr<u64>()[i], value_of(left[i]));
    }
    for (unsigned i = n; i < 7; ++i) EXPECT_EQ(e.decode[i], 0);
  }
  mutate::free_subtree<true>(a, e);
  EXPECT_EQ(a.mem_used(), 0u);
  EXPECT_EQ(a.live_nodes(), 0u);
}

TEST(MapRemoveLeaf, LinearLeafBecomesImmediateByLevel) {
  using mutate_map::MapRemoved;
  // E = 1: 7 pairs -> a 6-pair Immediate of width 1.
  {
    NodeAlloc a;
    std::vector<u64> keys{1, 2, 3, 5, 8, 13, 21};
    Edge e = hand::linear_leaf(a, Flavor::Map, 1, keys);
    EXPECT_EQ(mutate_map::map_remove(a, e, 8, 1), (MapRemoved{true, value_of(8)}));
    ASSERT_EQ(e.tag, immed_tag(1, 6));
    const ImmedKeys ik = mutate::immed_map_keys(e, 1, 6);
    EXPECT_EQ(std::vector<u64>(ik.keys, ik.keys + 6), (std::vector<u64>{1, 2, 3, 5, 13, 21}));
    EXPECT_EQ(e.ptr<u64>()[4], value_of(13));
    EXPECT_EQ(a.mem_used(), 64u);  // ValueArray of 8 slots
    mutate::free_subtree<true>(a, e);
    EXPECT_EQ(a.mem_used(), 0u);
  }
  // E = 2: a width-1 leaf of 3 pairs under skip byte 1 -> a 2-pair Immediate
  // of width 2 whose keys carry the skipped byte.
  {
    NodeAlloc a;
    Edge e = hand::linear_leaf(a, Flavor::Map, 1, {0x10, 0x20, 0x30});
    hand::put_skip(e, 1, 2, 0xAB00);
    EXPECT_EQ(mutate_map::map_remove(a, e, 0xAC20, 2), MapRemoved{});
    EXPECT_EQ(mutate_map::map_remove(a, e, 0xAB20, 2), (MapRemoved{true, value_of(0x20)}));
    ASSERT_EQ(e.tag, immed_tag(2, 2));
    const ImmedKeys ik = mutate::immed_map_keys(e, 2, 2);
    EXPECT_EQ(ik.keys[0], 0xAB10u);
    EXPECT_EQ(ik.keys[1], 0xAB30u);
    EXPECT_EQ(e.ptr<u64>()[0], value_of(0x10));
    EXPECT_EQ(e.ptr<u64>()[1], value_of(0x30));
    mutate::free_subtree<true>(a, e);
    EXPECT_EQ(a.mem_used(), 0u);
  }
  // E = 3: 2 pairs -> a 1-pair Immediate of width 3 (value inline).
  {
    NodeAlloc a;
    Edge e = hand::linear_leaf(a, Flavor::Map, 3, {0x010203, 0x040506});
    EXPECT_EQ(mutate_map::map_remove(a, e, 0x040506, 3), (MapRemoved{true, value_of(0x040506)}));
    ASSERT_EQ(e.tag, immed_tag(3, 1));
    EXPECT_EQ(e.payload, value_of(0x010203));
    EXPECT_EQ(e.decode_word() & BYTE_MASK_TABLE[7], 0x010203u);
    EXPECT_EQ(a.mem_used(), 0u);
  }
  // E = 4..7: the leaf shrinks to one pair, then the edge empties.
  for (unsigned E = 4; E <= 7; ++E) {
    NodeAlloc a;
    Edge e = hand::linear_leaf(a, Flavor::Map, E, {7, 8, 9});
    EXPECT_EQ(mutate_map::map_remove(a, e, 8, static_cast<u8>(E)), (MapRemoved{true, value_of(8)}));
    EXPECT_EQ(e.tag, linear_leaf_tag(E));
    EXPECT_EQ(e.pop(E), 2u);
    EXPECT_EQ(a.mem_used(), (map_leaf_bytes(2, E) + 15) / 16 * 16);
    EXPECT_EQ(mutate_map::map_remove(a, e, 7, static_cast<u8>(E)), (MapRemoved{true, value_of(7)}));
    EXPECT_EQ(e.tag, linear_leaf_tag(E));
    EXPECT_EQ(e.pop(E), 1u);
    EXPECT_EQ(reinterpret_cast<u64*>(e.ptr<u8>())[0], value_of(9));
    EXPECT_EQ(mutate_map::map_remove(a, e, 9, static_cast<u8>(E)), (MapRemoved{true, value_of(9)}));
    EXPECT_TRUE(e.is_empty());
    EXPECT_EQ(a.mem_used(), 0u);
    EXPECT_EQ(a.live_nodes(), 0u);
  }
}

TEST(MapRemoveLeaf, LinearLeafImmediateThresholdByLevel) {
  // n <= 7/E pairs before the removal: the rest become a map Immediate of
  // width E (value inline for one pair); one pair more and the leaf shrinks.
  for (unsigned E = 1; E <= 7; ++E) {
    for (unsigned W = 1; W <= E; ++W) {
      const u64 limit = 7 / E;
      for (u64 n : {limit, limit + 1}) {
        NodeAlloc a;
        std::vector<u64> keys;
        for (u64 i = 0; i < n; ++i) keys.push_back((i * 37 + 1) & BYTE_MASK_TABLE[W]);
        std::sort(keys.begin(), keys.end());
        const u64 prefix = 0x0102030405060708ull & ~BYTE_MASK_TABLE[W] & BYTE_MASK_TABLE[E];
        Edge e = hand::linear_leaf(a, Flavor::Map, W, keys);
        hand::put_skip(e, W, E, prefix);
        const u64 gone = keys[n / 2];
        ASSERT_EQ(mutate_map::map_remove(a, e, prefix | gone, static_cast<u8>(E)),
                  (mutate_map::MapRemoved{true, value_of(gone)}));
        keys.erase(keys.begin() + static_cast<long>(n / 2));
        const unsigned m = static_cast<unsigned>(n - 1);
        if (n == limit) {
          if (m == 0) {
            EXPECT_TRUE(e.is_empty());
          } else {
            ASSERT_EQ(e.tag, immed_tag(E, m)) << E << " " << W << " " << n;
            const ImmedKeys left = mutate::immed_map_keys(e, static_cast<u8>(E), static_cast<u8>(m));
            for (unsigned i = 0; i < m; ++i) {
              EXPECT_EQ(left.keys[i], prefix | keys[i]);
              EXPECT_EQ(m == 1 ? e.payload : e.ptr<u64>()[i], value_of(keys[i]));
            }
            for (unsigned i = m * E; i < 7; ++i) EXPECT_EQ(e.decode[i], 0) << i;
          }
          EXPECT_EQ(a.mem_used(), m >= 2 ? value_array_bytes(m) : 0u);
        } else {
          ASSERT_EQ(e.tag, linear_leaf_tag(W)) << E << " " << W << " " << n;
          EXPECT_EQ(e.pop(W), n - 1);
          EXPECT_EQ(mutate::decode_value(e, static_cast<u8>(W), static_cast<u8>(E)) << (8 * W), prefix);
          EXPECT_EQ(a.mem_used(), (map_leaf_bytes(n - 1, W) + 15) / 16 * 16);
        }
        mutate::free_subtree<true>(a, e);
        EXPECT_EQ(a.live_nodes(), 0u);
      }
    }
  }
}

TEST(MapRemoveLeaf, LinearLeafShiftsAndReallocatesByCapacity) {
  using mutate_map::MapRemoved;
  std::mt19937_64 rng(11);
  for (unsigned W = 1; W <= 7; ++W) {
    NodeAlloc a;
    std::set<u64> ks;
    while (ks.size() < (W == 1 ? 25u : 32u)) ks.insert(rng() & BYTE_MASK_TABLE[W]);
    std::vector<u64> keys(ks.begin(), ks.end());
    Edge e = hand::linear_leaf(a, Flavor::Map, W, keys);
    hand::put_skip(e, W, 7, 0x0011223344556677ull);
    const u64 prefix = 0x0011223344556677ull & ~BYTE_MASK_TABLE[W] & BYTE_MASK_TABLE[7];
    while (keys.size() > 1) {
      const size_t i = rng() % keys.size();
      ASSERT_EQ(mutate_map::map_remove(a, e, prefix | keys[i], 7), (MapRemoved{true, value_of(keys[i])}));
      keys.erase(keys.begin() + static_cast<long>(i));
      ASSERT_EQ(e.tag, linear_leaf_tag(W));
      ASSERT_EQ(e.pop(W), keys.size());
      ASSERT_EQ(a.mem_used(), (map_leaf_bytes(keys.size(), W) + 15) / 16 * 16);
      const mutate_map::LeafPairs pairs = mutate_map::read_map_leaf(e, static_cast<u8>(W), keys.size());
      for (size_t j = 0; j < keys.size(); ++j) {
        ASSERT_EQ(pairs[j].key, keys[j]);
        ASSERT_EQ(pairs[j].value, value_of(keys[j]));
      }
    }
    mutate::free_subtree<true>(a, e);
    EXPECT_EQ(a.mem_used(), 0u);
  }
}

TEST(MapRemoveLeaf, BitmapLeafKeepsFormToTwentyOne) {
  using mutate_map::MapRemoved;
  NodeAlloc a;
  std::vector<u64> keys;
  for (u64 i = 0; i < 22; ++i) keys.push_back(i * 12);  // groups 0..7
  Edge e = hand::bitmap_leaf(a, Flavor::Map, keys);
  hand::put_skip(e, 1, 4, 0xC0FFEE00);
  const u64 prefix = 0xC0FFEE00;
  EXPECT_EQ(mutate_map::map_remove(a, e, 0xC0FFEF00 | keys[1], 4), MapRemoved{});
  EXPECT_EQ(mutate_map::map_remove(a, e, prefix | 1, 4), MapRemoved{});
  EXPECT_EQ(mutate_map::map_remove(a, e, prefix | keys[1], 4), (MapRemoved{true, value_of(keys[1])}));
  EXPECT_EQ(e.tag, TAG_BITMAP_LEAF);
  EXPECT_EQ(e.decode[0], 20);
  keys.erase(keys.begin() + 1);
  EXPECT_EQ(*e.ptr<MapBitmapLeaf>()->value_slot(static_cast<u8>(keys[1])), value_of(keys[1]));
  // 20 left: a width-1 leaf of capacity 20 with the same prefix and values.
  EXPECT_EQ(mutate_map::map_remove(a, e, prefix | keys[21 - 1], 4), (MapRemoved{true, value_of(keys[20])}));
  keys.pop_back();
  ASSERT_EQ(e.tag, linear_leaf_tag(1));
  EXPECT_EQ(e.pop(1), 20u);
  EXPECT_EQ(mutate::decode_value(e, 1, 4), 0xC0FFEEu);
  EXPECT_EQ(a.mem_used(), (map_leaf_bytes(20, 1) + 15) / 16 * 16);
  EXPECT_EQ(a.live_nodes(), 1u);
  const mutate_map::LeafPairs pairs = mutate_map::read_map_leaf(e, 1, 20);
  for (size_t j = 0; j < 20; ++j) {
    EXPECT_EQ(pairs[j].key, keys[j]);
    EXPECT_EQ(pairs[j].value, value_of(keys[j]));
  }
  mutate::free_subtree<true>(a, e);
  EXPECT_EQ(a.mem_used(), 0u);
}

TEST(MapRemoveLeaf, BitmapLeafGroupSubarraysFollowCapacity) {
  using mutate_map::MapRemoved;
  std::mt19937_64 rng(5);
  NodeAlloc a;
  std::vector<u64> keys;
  for (u64 b = 0; b < 256; ++b)
    if (rng() % 3 != 0 || b < 40) keys.push_back(b);
  Edge e = hand::bitmap_leaf(a, Flavor::Map, keys);
  std::shuffle(keys.begin(), keys.end(), rng);
  while (keys.size() > 21) {
    const u64 k = keys.back();
    keys.pop_back();
    ASSERT_EQ(mutate_map::map_remove(a, e, k, 1), (MapRemoved{true, value_of(k)}));
    ASSERT_EQ(mutate_map::map_remove(a, e, k, 1), MapRemoved{});
    auto* leaf = e.ptr<MapBitmapLeaf>();
    u64 bytes = 128;
    for (unsigned g = 0; g < 8; ++g) {
      const unsigned p = std::popcount(leaf->bitmap.group(g));
      ASSERT_EQ(leaf->subarrays[g] == nullptr, p == 0);
      bytes += (value_array_bytes(p) + 15) / 16 * 16;
    }
    ASSERT_EQ(a.mem_used(), bytes);
    for (u64 kk : keys) ASSERT_EQ(*leaf->value_slot(static_cast<u8>(kk)), value_of(kk));
  }
  mutate::free_subtree<true>(a, e);
  EXPECT_EQ(a.mem_used(), 0u);
}

TEST(MapRemoveLeafDeathTest, FullEdgeAndInvalidTagsAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  NodeAlloc a;
  Edge full = hand::full_edge();
  EXPECT_DEATH((void)mutate_map::map_remove(a, full, 1, 1),
               "internal error: entered unreachable code: full-corvale edges are set-flavor only");
  for (u8 tag : {u8{13}, u8{14}, u8{0x28}, u8{0x90}}) {
    Edge e;
    e.tag = tag;
    EXPECT_DEATH((void)mutate_map::map_remove(a, e, 1, 2), "valid edge tag") << int(tag);
  }
}

// ---------------------------------------------------------------------------
// Branches: downgrades, release, pop fields

template <bool IS_MAP>
void check_branch_downgrades() {
  // Children of one level-7 node under the root (no skip prefix): digits at
  // key byte 6, each child holding two keys.
  auto keys_for = [](unsigned children) {
    std::vector<u64> k;
    for (unsigned d = 0; d < children; ++d) {
      const u64 top = 0x7700000000000000ull | (u64{d} << 48);
      k.push_back(top | 0x0101);
      k.push_back(top | 0x0202);
      // The other children are larger, so that the subtree is a branch even
      // with two children.
      if (d > 0)
        for (u64 i = 0; i < 30; ++i) k.push_back(top | 0x0300 | i);
    }
    // A second root child keeps the tree at 31+ keys: a dense run elsewhere.
    for (u64 i = 0; i < 40; ++i) k.push_back(0x1100000000000000ull + i);
    return k;
  };
  struct Step {
    unsigned from;
    u8 tag_before, tag_after;
  };
  for (const Step s : {Step{3, TAG_L7, TAG_L3}, Step{7, TAG_B, TAG_L7}, Step{192, TAG_U, TAG_B},
                       Step{193, TAG_U, TAG_U}, Step{8, TAG_B, TAG_B}, Step{4, TAG_L7, TAG_L7},
                       Step{3, TAG_L3, TAG_L3}, Step{2, TAG_L3, TAG_L3}}) {
    Trie<IS_MAP> t;
    t.build(keys_for(s.from));
    const u64 k0 = 0x7700000000000101ull, k1 = 0x7700000000000202ull;
    std::vector<PathStep> p = path_of(t.rec.root, k0);
    Edge& node_edge = *p[1].edge;
    ASSERT_EQ(p[1].level, 7u);
    // bulk_build picks the smallest kind; grow it to the kind under test.
    while (node_edge.tag != s.tag_before) {
      ASSERT_LT(node_edge.tag, s.tag_before);
      if (node_edge.tag == TAG_L3) mutate::upgrade_l3_to_l7(t.rec.alloc, node_edge);
      else if (node_edge.tag == TAG_L7) mutate::upgrade_l7_to_b(t.rec.alloc, node_edge);
      else mutate::upgrade_b_to_u(t.rec.alloc, node_edge);
    }
    ASSERT_EQ(t.errors(), "") << "from " << s.from;
    if (node_edge.tag == TAG_L7) node_edge.ptr<BranchL7>()->version = 0x40;
    const u64 pop_before = node_edge.pop(7);
    // Removing one of the two keys of a child keeps the child.
    ASSERT_TRUE(t.erase(k0));
    EXPECT_EQ(node_edge.tag, s.tag_before);
    EXPECT_EQ(node_edge.pop(7), pop_before - 1);
    // Removing the other empties the child: one child fewer.
    ASSERT_TRUE(t.erase(k1));
    EXPECT_EQ(node_edge.tag, s.tag_after) << "from " << s.from;
    EXPECT_EQ(children_of(node_edge), s.from - 1);
    EXPECT_EQ(node_edge.pop(7), pop_before - 2);
    if (s.tag_before == TAG_L7 && s.tag_after == TAG_L3) {
      EXPECT_EQ(node_edge.ptr<BranchL3>()->version, 0x40u);
    }
    if (s.tag_after == TAG_B) {
      EXPECT_EQ(node_edge.ptr<BranchB>()->level, 7);
    }
    if (s.tag_after == TAG_L7 || s.tag_after == TAG_L3) {
      auto* h = node_edge.ptr<BranchLinearHeader>();
      u16 filter = 0;
      for (unsigned i = 0; i < h->count; ++i) {
        filter |= static_cast<u16>(1u << (h->digits[i] & 15));
        if (i > 0) {
          EXPECT_LT(h->digits[i - 1], h->digits[i]);
        }
      }
      EXPECT_EQ(h->nibble_filter, filter);
    }
    ASSERT_EQ(t.errors(), "") << "from " << s.from;
  }
}

TEST(SetRemoveBranch, DowngradesAtTheirThresholds) { check_branch_downgrades<false>(); }
TEST(MapRemoveBranch, DowngradesAtTheirThresholds) { check_branch_downgrades<true>(); }

template <bool IS_MAP>
void check_branch_release() {
  // A chain of one-child branches stays; the last key releases the whole
  // chain and empties the root.
  Trie<IS_MAP> t;
  for (u64 i = 0; i < 40; ++i) ASSERT_TRUE(t.insert(0x0101010101010100ull + i * 0x10000));
  ASSERT_TRUE(t.insert(0xF000000000000001ull));
  ASSERT_EQ(t.errors(), "");
  std::vector<PathStep> p = path_of(t.rec.root, 0xF000000000000001ull);
  ASSERT_EQ(p.size(), 2u);  // root node, then the single key's edge
  EXPECT_EQ(children_of(t.rec.root), 2u);
  ASSERT_TRUE(t.erase(0xF000000000000001ull));
  EXPECT_EQ(t.rec.root.tag, TAG_L3);
  EXPECT_EQ(children_of(t.rec.root), 1u);  // one child: kept, not merged
  ASSERT_EQ(t.errors(), "");
  for (u64 i = 0; i < 40; ++i) ASSERT_TRUE(t.erase(0x0101010101010100ull + i * 0x10000));
  ASSERT_EQ(t.errors(), "");
  EXPECT_TRUE(t.rec.root.is_empty());
}

TEST(SetRemoveBranch, EmptiedBranchesAreReleased) { check_branch_release<false>(); }
TEST(MapRemoveBranch, EmptiedBranchesAreReleased) { check_branch_release<true>(); }

template <bool IS_MAP>
void check_absent_changes_nothing() {
  std::mt19937_64 rng(99);
  for (unsigned shape = 0; shape < kShapes; ++shape) {
    Trie<IS_MAP> t;
    for (u64 k : keys_of_shape(rng, shape, 700)) t.insert(k);
    ASSERT_EQ(t.errors(), "");
    const std::string before = image(t.rec.root, IS_MAP);
    const u64 mem = t.rec.alloc.mem_used();
    const u64 total = t.rec.alloc.total_node_allocs();
    unsigned tried = 0;
    for (const auto& kv : t.model) {
      if (tried > 300) break;
      // Neighbours in every byte: wrong low bytes, wrong digits, wrong skip
      // bytes.
      for (unsigned byte = 0; byte < 8; ++byte) {
        for (u64 delta : {u64{1}, u64{0x80}}) {
          const u64 k = kv.first ^ (delta << (8 * byte));
          if (t.model.count(k)) continue;
          ++tried;
          ASSERT_TRUE(t.erase(k));
        }
      }
    }
    EXPECT_EQ(image(t.rec.root, IS_MAP), before) << "shape " << shape;
    EXPECT_EQ(t.rec.alloc.mem_used(), mem);
    EXPECT_EQ(t.rec.alloc.total_node_allocs(), total);
  }
}

TEST(SetRemoveAbsent, ChangesNoByte) { check_absent_changes_nothing<false>(); }
TEST(MapRemoveAbsent, ChangesNoByte) { check_absent_changes_nothing<true>(); }

// ---------------------------------------------------------------------------
// Randomized removal against the model

// The kinds of edge found under `e`: branch kinds by tag, linear leaves by
// width, and "immediate", "bitmap", "full".
void census(const Edge& e, std::set<std::string>& kinds) {
  switch (e.tag) {
    case TAG_EMPTY:
      return;
    case TAG_L3:
    case TAG_L7: {
      kinds.insert(e.tag == TAG_L3 ? "L3" : "L7");
      auto* h = e.ptr<BranchLinearHeader>();
      const Edge* kids = reinterpret_cast<const Edge*>(reinterpret_cast<const u8*>(h) + 16);
      for (unsigned i = 0; i < h->count; ++i) census(kids[i], kinds);
      return;
    }
    case TAG_B: {
      kinds.insert("B");
      auto* n = e.ptr<BranchB>();
      for (unsigned g = 0; g < 8; ++g)
        for (unsigned i = 0; i < n->group_counts[g]; ++i) census(n->subarrays[g][i], kinds);
      return;
    }
    case TAG_U:
      kinds.insert("U");
      for (const Edge& c : e.ptr<BranchU>()->children) census(c, kinds);
      return;
    case TAG_BITMAP_LEAF:
      kinds.insert("bitmap");
      return;
    case TAG_FULL:
      kinds.insert("full");
      return;
    default:
      if (is_linear_leaf_tag(e.tag)) kinds.insert("leaf" + std::to_string(linear_leaf_width(e.tag)));
      else kinds.insert("immediate");
  }
}

std::string missing_kinds(const std::set<std::string>& kinds, bool with_full) {
  std::string missing;
  for (const char* k : {"L3", "L7", "B", "U", "leaf1", "leaf2", "leaf3", "bitmap", "immediate"})
    if (!kinds.count(k)) missing += std::string(k) + " ";
  if (with_full && !kinds.count("full")) missing += "full";
  return missing;
}

template <bool IS_MAP>
void random_drain(bool by_insertion, u64 seed_base) {
  std::set<std::string> kinds;
  for (unsigned round = 0; round < 3 * kShapes; ++round) {
    const unsigned shape = round % kShapes;
    const u64 seed = seed_base * 1000 + round;
    std::mt19937_64 rng(seed);
    Trie<IS_MAP> t;
    const size_t n = 300 + rng() % 1200;
    std::vector<u64> keys = keys_of_shape(rng, shape, n);
    if (by_insertion) {
      for (u64 k : keys) t.insert(k, rng());
    } else {
      t.build(keys);
    }
    ASSERT_EQ(t.errors(), "") << "seed " << seed;
    census(t.rec.root, kinds);
    drain(t, rng, seed, 97);
  }
  // The distributions reach every node kind the removal has to take apart.
  EXPECT_EQ(missing_kinds(kinds, !IS_MAP), "");
}

TEST(SetRemoveRandom, DrainInsertedTries) { random_drain<false>(true, 1); }
TEST(SetRemoveRandom, DrainCanonicalTries) { random_drain<false>(false, 2); }
TEST(MapRemoveRandom, DrainInsertedTries) { random_drain<true>(true, 3); }
TEST(MapRemoveRandom, DrainCanonicalTries) { random_drain<true>(false, 4); }

template <bool IS_MAP>
void random_mixed(u64 seed) {
  // Interleaved insertions and removals over a small key universe, so that
  // nodes grow and shrink across their thresholds many times.
  std::mt19937_64 rng(seed);
  for (unsigned round = 0; round < 6; ++round) {
    Trie<IS_MAP> t;
    std::vector<u64> universe = keys_of_shape(rng, static_cast<unsigned>(rng() % kShapes), 600);
    for (unsigned step = 1; step <= 4000; ++step) {
      const u64 k = universe[rng() % universe.size()];
      // Lean towards insertion in the first half, removal in the second.
      const bool grow = (rng() % 100) < (step < 2000 ? 65u : 35u);
      if (grow) {
        t.insert(k, rng());
      } else {
        ASSERT_TRUE(t.erase(k)) << "seed " << seed;
      }
      if (step % 250 == 0) {
        ASSERT_EQ(t.errors(), "") << "seed " << seed << " step " << step;
      }
    }
    drain(t, rng, seed, 211);
  }
}

TEST(SetRemoveRandom, InterleavedWithInsertion) { random_mixed<false>(77); }
TEST(MapRemoveRandom, InterleavedWithInsertion) { random_mixed<true>(78); }

TEST(SetRemoveRandom, KeysAtBothEndsOfTheRange) {
  SetTrie t;
  for (u64 i = 0; i < 300; ++i) {
    t.insert(i);
    t.insert(MAX_KEY - i);
    t.insert(MAX_KEY - (i << 8));
    t.insert(i << 56);
  }
  ASSERT_EQ(t.errors(), "");
  ASSERT_TRUE(t.erase(0));
  ASSERT_TRUE(t.erase(MAX_KEY));
  ASSERT_TRUE(t.erase(0));
  ASSERT_TRUE(t.erase(MAX_KEY));
  ASSERT_EQ(t.errors(), "");
  std::mt19937_64 rng(8);
  drain(t, rng, 8, 50);
}

// ---------------------------------------------------------------------------
// Oscillation across the thresholds between node kinds

TEST(SetRemoveOscillation, FullEdgeAndBitmapLeaf) {
  SetTrie t;
  const u64 base = 0x5555555555555500ull;
  // Neighbours differing in key byte 1 first, so that the low bytes of
  // `base` fill a level-1 edge (only there does the 256th key make a
  // FullEdge).
  for (u64 j = 1; j <= 40; ++j) t.insert(base ^ (j << 8));
  for (u64 b = 0; b < 256; ++b) t.insert(base | b);
  ASSERT_EQ(t.errors(), "");
  ASSERT_EQ(bottom_of(t.rec.root, base).edge->tag, TAG_FULL);
  std::mt19937_64 rng(3);
  for (unsigned i = 0; i < 20; ++i) {
    const u64 k = base | (rng() & 0xFF);
    ASSERT_TRUE(t.erase(k));
    PathStep b = bottom_of(t.rec.root, base);
    ASSERT_EQ(b.edge->tag, TAG_BITMAP_LEAF);
    ASSERT_EQ(b.edge->decode[0], 0xFE);
    ASSERT_EQ(t.errors(), "");
    ASSERT_TRUE(t.insert(k));
    ASSERT_EQ(bottom_of(t.rec.root, base).edge->tag, TAG_FULL);
    ASSERT_EQ(t.errors(), "");
  }
}

template <bool IS_MAP>
void oscillate_low_byte_leaf() {
  // A level-1 leaf grows 1..256 and shrinks back while keys come and go
  // around each threshold: Immediate capacity, width-1 leaf 25/26 (the 26th
  // makes a BitmapLeaf), BitmapLeaf 20/21 on the way down.
  Trie<IS_MAP> t;
  const u64 base = 0x0A0B0C0D0E0F1000ull;
  // Neighbours that differ in key byte 1 put a level-2 branch above the
  // leaf under test, so that it stands on a level-1 edge from its first key.
  for (u64 j = 1; j <= 40; ++j) t.insert(base ^ (j << 8));
  std::vector<u64> in;
  auto tag_now = [&]() { return bottom_of(t.rec.root, base).edge->tag; };
  const unsigned immed_max = IS_MAP ? 7u : 15u;
  for (u64 n = 1; n <= 26; ++n) {
    ASSERT_TRUE(t.insert(base | (n * 7)));
    in.push_back(base | (n * 7));
    const u8 tag = tag_now();
    if (n <= immed_max) ASSERT_EQ(tag, immed_tag(1, static_cast<unsigned>(n))) << n;
    else if (n <= 25) ASSERT_EQ(tag, linear_leaf_tag(1)) << n;
    else ASSERT_EQ(tag, TAG_BITMAP_LEAF) << n;
  }
  // Down to 21: still a bitmap leaf; back and forth at 21/20.
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(t.erase(in.back()));
    in.pop_back();
    ASSERT_EQ(tag_now(), TAG_BITMAP_LEAF);
  }
  ASSERT_EQ(in.size(), 21u);
  for (int rep = 0; rep < 3; ++rep) {
    const u64 k = in[rep * 3];
    ASSERT_TRUE(t.erase(k));
    ASSERT_EQ(tag_now(), linear_leaf_tag(1));
    ASSERT_EQ(t.errors(), "");
    ASSERT_TRUE(t.insert(k));  // 21 keys in a width-1 leaf: no bitmap yet
    ASSERT_EQ(tag_now(), linear_leaf_tag(1));
    ASSERT_TRUE(t.erase(k));
    ASSERT_TRUE(t.insert(k));
  }
  // Up to 25 and 26 again and back: the leaf flips to a bitmap only at 26.
  for (u64 extra = 0; extra < 5; ++extra) {
    ASSERT_TRUE(t.insert(base | (200 + extra)));
    in.push_back(base | (200 + extra));
  }
  ASSERT_EQ(tag_now(), TAG_BITMAP_LEAF);  // 26
  ASSERT_TRUE(t.erase(in.back()));
  in.pop_back();
  ASSERT_EQ(tag_now(), TAG_BITMAP_LEAF);  // 25 still bitmap (kept down to 21)
  // Down to the Immediate and empty, checking each step.
  std::sort(in.begin(), in.end());
  while (!in.empty()) {
    const u64 k = in[in.size() / 2];
    in.erase(in.begin() + static_cast<long>(in.size() / 2));
    ASSERT_TRUE(t.erase(k));
    const u8 tag = tag_now();
    const u64 n = in.size();
    if (n == 0) ASSERT_TRUE(tag == TAG_EMPTY || is_branch_tag(tag));
    else if (n >= 21) ASSERT_EQ(tag, TAG_BITMAP_LEAF) << n;
    else if (n >= immed_max) ASSERT_EQ(tag, linear_leaf_tag(1)) << n;
    else ASSERT_EQ(tag, immed_tag(1, static_cast<unsigned>(n))) << n;
    ASSERT_EQ(t.errors(), "") << n;
  }
}

TEST(SetRemoveOscillation, LowByteLeafForms) { oscillate_low_byte_leaf<false>(); }
TEST(MapRemoveOscillation, LowByteLeafForms) { oscillate_low_byte_leaf<true>(); }

template <bool IS_MAP>
void oscillate_wide_leaf() {
  // Keys differing in their low 2 bytes: width-2 leaves of up to 32 keys; the
  // 33rd splits the leaf. Removal only shrinks it.
  Trie<IS_MAP> t;
  for (u64 i = 0; i < 40; ++i) t.insert(0x0100000000000000ull + i);
  const u64 base = 0x2222222222220000ull;
  std::vector<u64> in;
  for (u64 n = 1; n <= 32; ++n) {
    in.push_back(base | (n * 0x0123));
    ASSERT_TRUE(t.insert(in.back()));
  }
  ASSERT_TRUE(is_linear_leaf_tag(bottom_of(t.rec.root, base).edge->tag));
  // 32/31 back and forth: the leaf shrinks in place and grows again.
  for (int rep = 0; rep < 4; ++rep) {
    const u64 k = in[static_cast<size_t>(rep) * 7];
    ASSERT_TRUE(t.erase(k));
    ASSERT_TRUE(is_linear_leaf_tag(bottom_of(t.rec.root, base).edge->tag));
    ASSERT_EQ(t.errors(), "");
    ASSERT_TRUE(t.insert(k));
    ASSERT_TRUE(is_linear_leaf_tag(bottom_of(t.rec.root, base).edge->tag));
    ASSERT_EQ(t.errors(), "");
  }
  // The 33rd key splits the leaf under a branch; removing it again keeps the
  // branch (no merge back into a leaf).
  const u64 extra = base | 0xFFFF;
  ASSERT_TRUE(t.insert(extra));
  ASSERT_TRUE(is_branch_tag(path_of(t.rec.root, base)[1].edge->tag));
  ASSERT_EQ(t.errors(), "");
  ASSERT_TRUE(t.erase(extra));
  ASSERT_TRUE(is_branch_tag(path_of(t.rec.root, base)[1].edge->tag));
  ASSERT_EQ(t.errors(), "");
  std::mt19937_64 rng(4);
  drain(t, rng, 4, 5);
}

TEST(SetRemoveOscillation, WideLeafSplitAndShrink) { oscillate_wide_leaf<false>(); }
TEST(MapRemoveOscillation, WideLeafSplitAndShrink) { oscillate_wide_leaf<true>(); }

template <bool IS_MAP>
void oscillate_branch_children() {
  // One branch at level 3 whose child count crosses 3/4, 7/8 and 191/192/193
  // back and forth; each child holds one key.
  Trie<IS_MAP> t;
  for (u64 i = 0; i < 40; ++i) t.insert(0x0100000000000000ull + i);
  const u64 base = 0x3300000000000000ull;
  auto key_of = [&](unsigned d) { return base | (u64{d} << 48) | 0x4242; };
  auto node_tag = [&]() { return path_of(t.rec.root, key_of(0))[1].edge->tag; };
  unsigned count = 0;
  auto grow_to = [&](unsigned n) {
    while (count < n) ASSERT_TRUE(t.insert(key_of(count++)));
  };
  auto shrink_to = [&](unsigned n) {
    while (count > n) ASSERT_TRUE(t.erase(key_of(--count)));
  };
  // 33 keys under one level-7 edge split their leaf into a level-7 branch.
  grow_to(33);
  ASSERT_EQ(node_tag(), TAG_B);
  ASSERT_EQ(t.errors(), "");
  shrink_to(2);
  ASSERT_EQ(node_tag(), TAG_L3);
  for (const auto& [low, high, low_tag, high_tag, back_tag] :
       std::vector<std::tuple<unsigned, unsigned, u8, u8, u8>>{
           {3, 4, TAG_L3, TAG_L7, TAG_L7},      // back at 3: stays L7
           {7, 8, TAG_L7, TAG_B, TAG_B},        // back at 7: stays B
           {192, 193, TAG_B, TAG_U, TAG_U}}) {  // back at 192: stays U
    grow_to(low);
    ASSERT_EQ(node_tag(), low_tag) << low;
    for (int rep = 0; rep < 3; ++rep) {
      grow_to(high);
      ASSERT_EQ(node_tag(), high_tag) << high;
      shrink_to(low);
      ASSERT_EQ(node_tag(), back_tag) << low;
      ASSERT_EQ(t.errors(), "") << low;
    }
  }
  // Now 192 children in a BranchU: 191 makes a BranchB, 6 a BranchL7, 2 a
  // BranchL3, and the last one's removal releases the node.
  shrink_to(191);
  EXPECT_EQ(node_tag(), TAG_B);
  grow_to(192);
  EXPECT_EQ(node_tag(), TAG_B);  // grows into a BranchU only at 193
  shrink_to(7);
  EXPECT_EQ(node_tag(), TAG_B);
  shrink_to(6);
  EXPECT_EQ(node_tag(), TAG_L7);
  shrink_to(3);
  EXPECT_EQ(node_tag(), TAG_L7);
  shrink_to(2);
  EXPECT_EQ(node_tag(), TAG_L3);
  shrink_to(1);
  EXPECT_EQ(node_tag(), TAG_L3);
  ASSERT_EQ(t.errors(), "");
  shrink_to(0);
  EXPECT_EQ(path_of(t.rec.root, key_of(0)).size(), 1u);  // the root lost that child
  ASSERT_EQ(t.errors(), "");
}

TEST(SetRemoveOscillation, BranchChildCounts) { oscillate_branch_children<false>(); }
TEST(MapRemoveOscillation, BranchChildCounts) { oscillate_branch_children<true>(); }

// ---------------------------------------------------------------------------
// Subtree release

template <bool IS_MAP>
void free_random_tries() {
  std::mt19937_64 rng(21);
  for (unsigned shape = 0; shape < kShapes; ++shape) {
    for (bool by_insertion : {true, false}) {
      Trie<IS_MAP> t;
      std::vector<u64> keys = keys_of_shape(rng, shape, 1500);
      if (by_insertion) {
        for (u64 k : keys) t.insert(k);
      } else {
        t.build(keys);
      }
      ASSERT_EQ(t.errors(), "");
      const u64 total = t.rec.alloc.total_node_allocs();
      ASSERT_GT(t.rec.alloc.live_nodes(), 0u);
      mutate::free_subtree<IS_MAP>(t.rec.alloc, t.rec.root);
      EXPECT_TRUE(t.rec.root.is_empty());
      EXPECT_EQ(t.rec.alloc.mem_used(), 0u) << "shape " << shape;
      EXPECT_EQ(t.rec.alloc.live_nodes(), 0u) << "shape " << shape;
      EXPECT_EQ(t.rec.alloc.total_node_allocs(), total);
      t.model.clear();
      t.rec.len = 0;
      // The allocator serves the next tree from what was released.
      for (u64 k : keys) t.insert(k);
      ASSERT_EQ(t.errors(), "");
    }
  }
}

TEST(FreeSubtree, SetReleasesEverything) { free_random_tries<false>(); }
TEST(FreeSubtree, MapReleasesEverything) { free_random_tries<true>(); }

TEST(FreeSubtree, InlineFormsAndForeignTags) {
  NodeAlloc a;
  Edge e = hand::full_edge();
  mutate::free_subtree<false>(a, e);
  EXPECT_TRUE(e.is_empty());
  e = hand::set_immed(2, {1, 2, 3});
  mutate::free_subtree<false>(a, e);
  EXPECT_TRUE(e.is_empty());
  EXPECT_EQ(a.total_node_allocs(), 0u);

  // A map Immediate of two or more pairs owns its ValueArray.
  e = hand::map_immed(a, 1, {1, 2, 3, 4, 5});
  EXPECT_EQ(a.mem_used(), 64u);
  mutate::free_subtree<true>(a, e);
  EXPECT_TRUE(e.is_empty());
  EXPECT_EQ(a.mem_used(), 0u);
  e = hand::map_immed(a, 4, {0x01020304});
  mutate::free_subtree<true>(a, e);
  EXPECT_TRUE(e.is_empty());

  // Tags that are no form of the flavour are left alone.
  for (u8 tag : {u8{13}, u8{0x90}}) {
    Edge odd;
    odd.tag = tag;
    odd.payload = 0x1234;
    mutate::free_subtree<false>(a, odd);
    EXPECT_EQ(odd.tag, tag);
    EXPECT_EQ(odd.payload, 0x1234u);
  }
  Edge wide;  // n*W = 8: a set Immediate, not a map one
  wide.tag = immed_tag(2, 4);
  wide.payload = 0x1234;
  mutate::free_subtree<true>(a, wide);
  EXPECT_EQ(wide.tag, immed_tag(2, 4));
  EXPECT_EQ(a.live_nodes(), 0u);
}

}  // namespace
}  // namespace corvale_trie
