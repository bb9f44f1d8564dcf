// Test support: building tries by hand.
//
// The builders here pack every form directly (not through the engine's
// codecs), so that tests of lookups, conversions and verify() do not depend
// on the code they check. `bulk_build` turns a sorted key list into a
// canonical trie: the smallest leaf form that can hold a run of keys, else a
// branch at the highest level where the keys differ, of the kind its child
// count calls for. `release_all` gives every block back to the allocator.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "engine/alloc.hpp"
#include "engine/core.hpp"
#include "engine/node.hpp"
#include "engine/verify.hpp"

namespace corvale_trie::hand {

using verify::Flavor;

// A deterministic value for key k in map tries.
inline u64 value_of(u64 k) { return k * 0x9E3779B97F4A7C15ull + 7; }

inline void store_le(u8* p, u64 v, unsigned w) { std::memcpy(p, &v, w); }

// Writes key bytes from..to-1 of `key` into decode bytes from..to-1.
inline void put_skip(Edge& e, unsigned from, unsigned to, u64 key) {
  for (unsigned i = from; i < to && i < 7; ++i) e.decode[i] = static_cast<u8>(key >> (8 * i));
}

inline Edge set_immed(unsigned w, const std::vector<u64>& keys) {
  Edge e;
  if (keys.size() == 1) {
    e.payload = keys[0];
  } else {
    u8 buf[24] = {};
    for (size_t i = 0; i < keys.size(); ++i) store_le(buf + i * w, keys[i], w);
    std::memcpy(static_cast<void*>(&e), buf, 15);
  }
  e.tag = immed_tag(w, static_cast<unsigned>(keys.size()));
  return e;
}

inline Edge map_immed(NodeAlloc& a, unsigned w, const std::vector<u64>& keys) {
  Edge e;
  u8 buf[16] = {};
  for (size_t i = 0; i < keys.size(); ++i) store_le(buf + i * w, keys[i], w);
  std::memcpy(e.decode, buf, 7);
  if (keys.size() == 1) {
    e.payload = value_of(keys[0]);
  } else {
    u64* values = a.make_array<u64>(capacity_for(keys.size()));
    for (size_t i = 0; i < keys.size(); ++i) values[i] = value_of(keys[i]);
    e.set_ptr(values);
  }
  e.tag = immed_tag(w, static_cast<unsigned>(keys.size()));
  return e;
}

inline Edge linear_leaf(NodeAlloc& a, Flavor f, unsigned w, const std::vector<u64>& keys) {
  const u64 n = keys.size();
  const u64 cap = capacity_for(n);
  Edge e;
  if (f == Flavor::Set) {
    u8* block = static_cast<u8*>(a.allocate_bytes(set_leaf_bytes(n, w)));
    for (u64 i = 0; i < n; ++i) store_le(block + i * w, keys[i], w);
    e.set_ptr(block);
  } else {
    u8* block = static_cast<u8*>(a.allocate_bytes(map_leaf_bytes(n, w)));
    for (u64 i = 0; i < n; ++i) {
      const u64 v = value_of(keys[i]);
      std::memcpy(block + 8 * i, &v, 8);
      store_le(block + 8 * cap + i * w, keys[i], w);
    }
    e.set_ptr(block);
  }
  e.tag = linear_leaf_tag(w);
  e.set_pop(w, n);
  return e;
}

inline Edge bitmap_leaf(NodeAlloc& a, Flavor f, const std::vector<u64>& keys) {
  Edge e;
  if (f == Flavor::Set) {
    auto* leaf = a.make<SetBitmapLeaf>();
    for (u64 k : keys) leaf->bitmap.set(static_cast<u8>(k));
    e.set_ptr(leaf);
  } else {
    auto* leaf = a.make<MapBitmapLeaf>();
    for (u64 k : keys) leaf->bitmap.set(static_cast<u8>(k));
    for (unsigned g = 0; g < 8; ++g) {
      const unsigned c = std::popcount(leaf->bitmap.group(g));
      if (c) leaf->subarrays[g] = a.make_array<u64>(capacity_for(c));
    }
    for (u64 k : keys) *leaf->value_slot(static_cast<u8>(k)) = value_of(k);
    e.set_ptr(leaf);
  }
  e.tag = TAG_BITMAP_LEAF;
  e.set_pop(1, keys.size());
  return e;
}

inline Edge full_edge() {
  Edge e;
  e.tag = TAG_FULL;
  e.decode[0] = 0xFF;
  return e;
}

struct Child {
  u8 digit;
  Edge edge;
};

// A branch node of kind `tag` at level L holding `kids` (ascending digits).
// The pop field (L bytes, E for a BranchU) is set to `population`.
inline Edge branch(NodeAlloc& a, u8 tag, unsigned L, const std::vector<Child>& kids, u64 population) {
  Edge e;
  e.tag = tag;
  switch (tag) {
    case TAG_L3:
    case TAG_L7: {
      auto fill = [&](auto* n) {
        n->level = static_cast<u8>(L);
        n->count = static_cast<u8>(kids.size());
        for (size_t i = 0; i < kids.size(); ++i) {
          n->digits[i] = kids[i].digit;
          n->children[i] = kids[i].edge;
        }
        n->recompute_filter();
        e.set_ptr(n);
      };
      if (tag == TAG_L3) fill(a.make<BranchL3>()); else fill(a.make<BranchL7>());
      break;
    }
    case TAG_B: {
      auto* n = a.make<BranchB>();
      n->level = static_cast<u8>(L);
      for (const Child& c : kids) {
        n->bitmap.set(c.digit);
        ++n->group_counts[c.digit >> 5];
      }
      u16 fill[8] = {};
      for (unsigned g = 0; g < 8; ++g)
        if (n->group_counts[g]) n->subarrays[g] = a.make_array<Edge>(capacity_for(n->group_counts[g]));
      for (const Child& c : kids) n->subarrays[c.digit >> 5][fill[c.digit >> 5]++] = c.edge;
      e.set_ptr(n);
      break;
    }
    case TAG_U: {
      auto* n = a.make<BranchU>();
      for (const Child& c : kids) n->children[c.digit] = c.edge;
      e.set_ptr(n);
      break;
    }
  }
  if (L <= 7) e.set_pop(L, population);
  return e;
}

inline u8 branch_tag_for(size_t children) {
  return children <= 3 ? TAG_L3 : children <= 7 ? TAG_L7 : children <= 192 ? TAG_B : TAG_U;
}

struct Built {
  Edge edge;
  u64 pop;
};

// Canonical trie of `keys` (ascending, all equal in bytes >= E) under an edge
// at level E. The root (E == 8) always gets a branch node of level 8.
inline Built bulk_build(NodeAlloc& a, Flavor f, const u64* keys, u64 n, unsigned E) {
  const u64 below = E >= 8 ? ~u64{0} : BYTE_MASK_TABLE[E];
  // Highest level at which the keys differ (0 when n == 1).
  unsigned diff = 0;
  const u64 x = (keys[0] ^ keys[n - 1]) & below;
  if (x) diff = (63 - std::countl_zero(x)) / 8 + 1;
  if (E < 8) {
    const unsigned immed_max = f == Flavor::Set ? set_immed_max(E) : map_immed_max(E);
    std::vector<u64> v(keys, keys + n);
    if (n <= immed_max) {
      return {f == Flavor::Set ? set_immed(E, v) : map_immed(a, E, v), n};
    }
    const unsigned w = std::max(diff, 1u);
    const u64 max = w == 1 ? SET_W1_LEAF_MAX : LINEAR_LEAF_MAX;
    if (diff <= 1 && n > max) {
      if (f == Flavor::Set && E == 1 && n == 256) return {full_edge(), n};
      Edge e = bitmap_leaf(a, f, v);
      put_skip(e, 1, E, keys[0]);
      return {e, n};
    }
    if (n <= max) {
      Edge e = linear_leaf(a, f, w, v);
      put_skip(e, w, E, keys[0]);
      return {e, n};
    }
  }
  const unsigned L = E >= 8 ? 8 : diff;
  std::vector<Child> kids;
  u64 i = 0;
  while (i < n) {
    const u8 d = digit_at(keys[i], L);
    u64 j = i;
    while (j < n && digit_at(keys[j], L) == d) ++j;
    kids.push_back({d, bulk_build(a, f, keys + i, j - i, L - 1).edge});
    i = j;
  }
  const u8 tag = branch_tag_for(kids.size());
  Edge e = branch(a, tag, L, kids, n);
  if (tag == TAG_U && L < E) {
    // A BranchU never carries a skip prefix: it hangs under a one-child
    // BranchL3 one level above it, as the insertion leaves it.
    const u8 d = digit_at(keys[0], L + 1);
    e = branch(a, TAG_L3, L + 1, {{d, e}}, n);
    if (L + 1 < E) put_skip(e, L + 1, E, keys[0]);
    return {e, n};
  }
  if (L < E) put_skip(e, L, E, keys[0]);
  return {e, n};
}

// Gives back every block under `e` at level E.
inline void release_all(NodeAlloc& a, Flavor f, Edge& e, unsigned E) {
  const u8 tag = e.tag;
  if (tag == TAG_L3 || tag == TAG_L7) {
    auto rel = [&](auto* n) {
      for (unsigned i = 0; i < n->count; ++i) release_all(a, f, n->children[i], n->level - 1);
      a.destroy(n);
    };
    if (tag == TAG_L3) rel(e.ptr<BranchL3>()); else rel(e.ptr<BranchL7>());
  } else if (tag == TAG_B) {
    auto* n = e.ptr<BranchB>();
    for (unsigned g = 0; g < 8; ++g) {
      for (unsigned i = 0; i < n->group_counts[g]; ++i) release_all(a, f, n->subarrays[g][i], n->level - 1);
      if (n->group_counts[g]) a.destroy_array(n->subarrays[g], capacity_for(n->group_counts[g]));
    }
    a.destroy(n);
  } else if (tag == TAG_U) {
    auto* n = e.ptr<BranchU>();
    for (auto& c : n->children) release_all(a, f, c, E - 1);
    a.destroy(n);
  } else if (tag == TAG_BITMAP_LEAF) {
    if (f == Flavor::Set) {
      a.destroy(e.ptr<SetBitmapLeaf>());
    } else {
      auto* leaf = e.ptr<MapBitmapLeaf>();
      for (unsigned g = 0; g < 8; ++g)
        if (leaf->subarrays[g]) a.destroy_array(leaf->subarrays[g], capacity_for(std::popcount(leaf->bitmap.group(g))));
      a.destroy(leaf);
    }
  } else if (is_linear_leaf_tag(tag)) {
    const unsigned w = linear_leaf_width(tag);
    const u64 n = e.pop(w);
    a.release_bytes(e.ptr<void>(), f == Flavor::Set ? set_leaf_bytes(n, w) : map_leaf_bytes(n, w));
  } else if (f == Flavor::Map && tag >= 0x10 && tag < TAG_FULL && immed_count(tag) >= 2) {
    a.destroy_array(e.ptr<u64>(), capacity_for(immed_count(tag)));
  }
  e.clear();
}

// Counts the edge kinds under `e` (linear leaves by tag, immediates as one).
inline void census(const Edge& e, unsigned E, std::map<u8, u64>& seen) {
  const u8 tag = e.tag >= 0x10 && e.tag < TAG_FULL ? 0x10 : e.tag;
  ++seen[tag];
  if (tag == TAG_L3 || tag == TAG_L7) {
    auto walk = [&](auto* n) {
      for (unsigned i = 0; i < n->count; ++i) census(n->children[i], n->level - 1, seen);
    };
    if (tag == TAG_L3) walk(e.ptr<BranchL3>()); else walk(e.ptr<BranchL7>());
  } else if (tag == TAG_B) {
    auto* n = e.ptr<BranchB>();
    for (unsigned g = 0; g < 8; ++g)
      for (unsigned i = 0; i < n->group_counts[g]; ++i) census(n->subarrays[g][i], n->level - 1, seen);
  } else if (tag == TAG_U) {
    for (const Edge& c : e.ptr<BranchU>()->children)
      if (!c.is_empty()) census(c, E - 1, seen);
  }
}

// A container record in the tree state over `keys` (sorted, distinct, >= 31).
struct HandTree {
  Flavor flavor;
  CoreRecord rec;
  std::vector<u64> keys;

  HandTree(Flavor f, std::vector<u64> k) : flavor(f), keys(std::move(k)) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    rec.state = RootState::Tree;
    rec.len = keys.size();
    rec.root = bulk_build(rec.alloc, f, keys.data(), keys.size(), ROOT_LEVEL).edge;
  }
  HandTree(const HandTree&) = delete;
  ~HandTree() {
    if (rec.state == RootState::Tree) release_all(rec.alloc, flavor, rec.root, ROOT_LEVEL);
  }
  [[nodiscard]] std::string errors() const { return verify::record_errors(rec, flavor); }
};

// Key distributions that reach every node kind: n distinct keys, or fewer
// where the shape has fewer (the wide-branch shape has 1024).
inline std::vector<u64> sample_keys(std::mt19937_64& rng, unsigned shape, size_t n) {
  const u64 base = rng();
  auto draw = [&](u64 i) -> u64 {
    switch (shape % 6) {
      case 0:  // sparse random
        return rng();
      case 1:  // one dense run
        return base + i;
      case 2: {  // clusters of a few close keys
        const u64 c = base ^ ((rng() % 16) << (8 * (1 + rng() % 6)));
        return c + rng() % 300;
      }
      case 3:  // near 0 and near 2**64-1
        return i % 2 ? rng() % 5000 : ~u64{0} - rng() % 5000;
      case 4:  // many digits at one level (wide branches)
        return (base & ~u64{0xFFFFFF}) | ((rng() % 256) << 16) | (rng() % 4);
      default:  // strided keys: linear leaves of every width
        return base + i * (u64{1} << (8 * (rng() % 7))) * (1 + rng() % 3);
    }
  };
  std::set<u64> distinct;
  if (shape % 6 == 3) distinct.insert({0, ~u64{0}});
  for (u64 i = 0; distinct.size() < n && i < 8 * n + 64; ++i) distinct.insert(draw(i));
  return {distinct.begin(), distinct.end()};
}

}  // namespace corvale_trie::hand
