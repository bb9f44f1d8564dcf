// Test support for the navigation and cursor suites.
//
// ShapeBuilder writes a trie of either flavour straight into memory, without
// the insertion code, choosing every node at random among the forms the edge
// format allows for the keys below it: immediates, linear leaves of every
// width that fits (with skip prefixes), bitmap leaves, full edges (set, level
// 1), and branch nodes of every kind at any level the keys allow (with skip
// prefixes and single-child branches). Decode bytes above an edge's level
// carry random noise, which every reader must mask off. Blocks come from a
// test arena that frees them at the end of the test.
//
// The key generators give the distributions the differential tests draw
// from: dense runs, uniform random keys, clusters, shared upper bytes, keys
// near 0 and near 2**64-1.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <random>
#include <set>
#include <vector>

#include "engine/core.hpp"
#include "engine/node.hpp"
#include "engine/types.hpp"

namespace corvale_trie::testing_nav {

// Zero-filled aligned blocks, all freed with the arena.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() {
    for (auto& b : blocks_) ::operator delete(b.first, std::align_val_t{b.second});
  }
  void* alloc(std::size_t size, std::size_t align) {
    if (size == 0) size = 1;
    void* p = ::operator new(size, std::align_val_t{align});
    std::memset(p, 0, size);
    blocks_.emplace_back(p, align);
    return p;
  }
  template <class T>
  T* make() {
    return static_cast<T*>(alloc(sizeof(T), alignof(T)));
  }

 private:
  std::vector<std::pair<void*, std::size_t>> blocks_;
};

inline u64 low_bytes(u64 key, unsigned n) { return n >= 8 ? key : key & BYTE_MASK_TABLE[n]; }

// Writes key bytes [from, to) of `key` into the edge's decode bytes.
inline void put_decode(Edge& e, unsigned from, unsigned to, u64 key) {
  for (unsigned i = from; i < to; ++i) e.decode[i] = static_cast<u8>(key >> (8 * i));
}

// Noise in decode bytes [from, 7): bytes no reader may look at.
inline void put_noise(Edge& e, unsigned from, std::mt19937_64& rng) {
  for (unsigned i = from; i < 7; ++i) e.decode[i] = static_cast<u8>(rng());
}

inline void put_w(u8* p, unsigned w, u64 key) {
  for (unsigned i = 0; i < w; ++i) p[i] = static_cast<u8>(key >> (8 * i));
}

template <bool IS_MAP>
class ShapeBuilder {
 public:
  ShapeBuilder(Arena& arena, std::mt19937_64& rng) : arena_(arena), rng_(rng) {}

  // A root edge at level 8 over the ascending, distinct entries (n >= 1).
  Edge build_root(const std::vector<KeyValue>& kv) { return build(kv.data(), kv.size(), 8); }

  // An edge at `level` over entries that share every key byte >= level.
  Edge build(const KeyValue* kv, std::size_t n, unsigned E) {
    const bool root = E == 8;
    // Highest key byte in which the entries differ (-1: a single entry).
    int hi_diff = -1;
    for (std::size_t i = 1; i < n; ++i) {
      const u64 x = kv[0].key ^ kv[i].key;
      if (x != 0) hi_diff = std::max(hi_diff, 63 - std::countl_zero(x));
    }
    const unsigned diff_byte = hi_diff < 0 ? 0 : static_cast<unsigned>(hi_diff) / 8;
    // Minimal width of a linear leaf: bytes at and above it are shared.
    const unsigned min_w = hi_diff < 0 ? 1 : diff_byte + 1;

    enum Form { Immediate, Linear, Bitmap, Full, Branch };
    std::vector<Form> forms;
    if (!root) {
      if (n * E <= (IS_MAP ? 7u : 15u)) forms.push_back(Immediate);
      if (min_w <= E && n <= (min_w == 1 ? 25u : 32u)) forms.push_back(Linear);
      if (diff_byte == 0 && n <= 256) forms.push_back(Bitmap);
      if (!IS_MAP && E == 1 && n == 256) forms.push_back(Full);
    }
    // A branch needs a level L >= 2 with L >= diff_byte + 1.
    const bool can_branch = E >= 2;
    if (forms.empty() || (can_branch && rng_() % 100 < (n > 40 ? 85u : 30u))) {
      if (can_branch) return build_branch(kv, n, E, std::max(2u, diff_byte + 1));
    }
    switch (forms[rng_() % forms.size()]) {
      case Immediate:
        return build_immediate(kv, n, E);
      case Linear: {
        const unsigned w = min_w + static_cast<unsigned>(rng_() % (E - min_w + 1));
        if (n > (w == 1 ? 25u : 32u)) return build_linear(kv, n, E, min_w);
        return build_linear(kv, n, E, w);
      }
      case Bitmap:
        return build_bitmap(kv, n, E);
      case Full: {
        Edge e;
        e.tag = TAG_FULL;
        e.decode[0] = 0xFF;
        return e;
      }
      default:
        return build_branch(kv, n, E, std::max(2u, diff_byte + 1));
    }
  }

 private:
  Edge build_immediate(const KeyValue* kv, std::size_t n, unsigned E) {
    Edge e;
    e.tag = immed_tag(E, static_cast<unsigned>(n));
    if constexpr (IS_MAP) {
      for (std::size_t i = 0; i < n; ++i) put_w(e.decode + i * E, E, kv[i].key);
      if (n == 1) {
        e.payload = kv[0].value;
      } else {
        auto* values = static_cast<u64*>(arena_.alloc(8 * capacity_for(n), 16));
        for (std::size_t i = 0; i < n; ++i) values[i] = kv[i].value;
        e.set_ptr(values);
      }
    } else if (n == 1) {
      e.payload = kv[0].key;  // readers look at the low E bytes only
    } else {
      u8 bytes[16] = {};
      for (std::size_t i = 0; i < n; ++i) put_w(bytes + i * E, E, kv[i].key);
      std::memcpy(&e.payload, bytes, 8);
      std::memcpy(e.decode, bytes + 8, 7);
    }
    return e;
  }

  Edge build_linear(const KeyValue* kv, std::size_t n, unsigned E, unsigned w) {
    Edge e;
    const u64 cap = capacity_for(n);
    u8* block;
    u8* keys;
    if constexpr (IS_MAP) {
      block = static_cast<u8*>(arena_.alloc(cap * (8 + w), 16));
      keys = block + 8 * cap;
      for (std::size_t i = 0; i < n; ++i) std::memcpy(block + 8 * i, &kv[i].value, 8);
    } else {
      block = static_cast<u8*>(arena_.alloc(cap * w, 16));
      keys = block;
    }
    for (std::size_t i = 0; i < n; ++i) put_w(keys + i * w, w, kv[i].key);
    e.set_ptr(block);
    e.tag = linear_leaf_tag(w);
    e.set_pop(w, n);
    put_decode(e, w, E, kv[0].key);
    put_noise(e, E, rng_);
    return e;
  }

  Edge build_bitmap(const KeyValue* kv, std::size_t n, unsigned E) {
    Edge e;
    if constexpr (IS_MAP) {
      auto* leaf = arena_.make<MapBitmapLeaf>();
      for (std::size_t i = 0; i < n; ++i) leaf->bitmap.set(kv[i].key & 0xFF);
      for (unsigned g = 0; g < 8; ++g) {
        const unsigned c = std::popcount(leaf->bitmap.group(g));
        if (c != 0) leaf->subarrays[g] = static_cast<u64*>(arena_.alloc(8 * capacity_for(c), 16));
      }
      for (std::size_t i = 0; i < n; ++i) *leaf->value_slot(kv[i].key & 0xFF) = kv[i].value;
      e.set_ptr(leaf);
    } else {
      auto* leaf = arena_.make<SetBitmapLeaf>();
      for (std::size_t i = 0; i < n; ++i) leaf->bitmap.set(kv[i].key & 0xFF);
      e.set_ptr(leaf);
    }
    e.tag = TAG_BITMAP_LEAF;
    e.decode[0] = static_cast<u8>(n - 1);
    put_decode(e, 1, E, kv[0].key);
    put_noise(e, E, rng_);
    return e;
  }

  Edge build_branch(const KeyValue* kv, std::size_t n, unsigned E, unsigned min_level) {
    // Usually the lowest level the keys allow; sometimes higher (a branch
    // whose only child carries the rest).
    unsigned L = min_level;
    if (E == 8) L = 8;
    else if (L < E && rng_() % 4 == 0) L += static_cast<unsigned>(rng_() % (E - L + 1));
    // Children by digit at L.
    std::vector<std::pair<unsigned, Edge>> children;
    for (std::size_t i = 0; i < n;) {
      const unsigned d = digit_at(kv[i].key, L);
      std::size_t j = i;
      while (j < n && digit_at(kv[j].key, L) == d) ++j;
      children.emplace_back(d, build(kv + i, j - i, L - 1));
      i = j;
    }
    const std::size_t c = children.size();
    std::vector<u8> kinds;
    if (c <= 3) kinds.push_back(TAG_L3);
    if (c <= 7) kinds.push_back(TAG_L7);
    kinds.push_back(TAG_B);
    if (L == E) kinds.push_back(TAG_U);
    const u8 tag = kinds[rng_() % kinds.size()];
    Edge e;
    e.tag = tag;
    if (tag == TAG_L3 || tag == TAG_L7) {
      auto fill = [&](auto* node) {
        node->count = static_cast<u8>(c);
        node->level = static_cast<u8>(L);
        for (std::size_t i = 0; i < c; ++i) {
          node->digits[i] = static_cast<u8>(children[i].first);
          node->children[i] = children[i].second;
        }
        node->recompute_filter();
        e.set_ptr(node);
      };
      if (tag == TAG_L3) fill(arena_.make<BranchL3>());
      else fill(arena_.make<BranchL7>());
    } else if (tag == TAG_B) {
      auto* node = arena_.make<BranchB>();
      node->level = static_cast<u8>(L);
      for (auto& ch : children) node->bitmap.set(ch.first);
      for (unsigned g = 0; g < 8; ++g) {
        const unsigned cnt = std::popcount(node->bitmap.group(g));
        node->group_counts[g] = static_cast<u16>(cnt);
        if (cnt != 0) node->subarrays[g] = static_cast<Edge*>(arena_.alloc(16 * capacity_for(cnt), 16));
      }
      for (auto& ch : children) *node->child(static_cast<u8>(ch.first)) = ch.second;
      e.set_ptr(node);
    } else {
      auto* node = arena_.make<BranchU>();
      for (auto& ch : children) node->children[ch.first] = ch.second;
      e.set_ptr(node);
    }
    if (E < 8) {
      e.set_pop(tag == TAG_U ? E : L, n);
      put_decode(e, L, E, kv[0].key);
      put_noise(e, E, rng_);
    }
    return e;
  }

  Arena& arena_;
  std::mt19937_64& rng_;
};

// ---------------------------------------------------------------------------
// Key distributions

enum class Dist { Dense, Random, Clusters, SharedUpper, NearZero, NearMax, Mixed };
inline constexpr Dist ALL_DISTS[] = {Dist::Dense,    Dist::Random,  Dist::Clusters, Dist::SharedUpper,
                                     Dist::NearZero, Dist::NearMax, Dist::Mixed};

inline const char* dist_name(Dist d) {
  switch (d) {
    case Dist::Dense: return "dense";
    case Dist::Random: return "random";
    case Dist::Clusters: return "clusters";
    case Dist::SharedUpper: return "shared-upper";
    case Dist::NearZero: return "near-0";
    case Dist::NearMax: return "near-max";
    default: return "mixed";
  }
}

// One key of the distribution; `base` is a per-run anchor.
inline u64 draw_key(Dist d, std::mt19937_64& rng, u64 base) {
  switch (d) {
    case Dist::Dense:
      return base + rng() % 2048;
    case Dist::Random:
      return rng();
    case Dist::Clusters: {
      const u64 centre = (base ^ (rng() % 8) * 0x0101'0000'0001'0000ull) + (rng() % 6) * 0x10'0000'0000ull;
      return centre + rng() % 600;
    }
    case Dist::SharedUpper:
      return (base & 0xFFFF'FF00'0000'0000ull) | (rng() & 0x3F'03FF'FFull) | ((rng() % 3) << 33);
    case Dist::NearZero:
      return rng() % 5000;
    case Dist::NearMax:
      return ~u64{0} - rng() % 5000;
    default: {
      static constexpr Dist parts[] = {Dist::Dense, Dist::Random, Dist::Clusters, Dist::SharedUpper,
                                       Dist::NearZero, Dist::NearMax};
      return draw_key(parts[rng() % 6], rng, base);
    }
  }
}

// A set of n distinct keys of the distribution.
inline std::set<u64> draw_keys(Dist d, std::mt19937_64& rng, std::size_t n) {
  const u64 base = rng();
  std::set<u64> keys;
  std::size_t guard = 0;
  while (keys.size() < n && guard++ < 50 * n + 100) keys.insert(draw_key(d, rng, base));
  return keys;
}

// Probe keys for the neighbour queries: every key, its neighbours, random
// keys, byte boundaries and both ends of the key space.
inline std::vector<u64> probes_for(const std::set<u64>& keys, std::mt19937_64& rng, std::size_t extra) {
  std::vector<u64> p = {0, 1, 255, 256, ~u64{0}, ~u64{0} - 1, u64{1} << 63, (u64{1} << 63) - 1};
  for (u64 k : keys) {
    p.push_back(k);
    p.push_back(k + 1);
    p.push_back(k - 1);
    p.push_back(k | 0xFF);
    p.push_back(k & ~u64{0xFF});
    p.push_back(k ^ (u64{1} << (8 * (rng() % 8))));
  }
  for (std::size_t i = 0; i < extra; ++i) p.push_back(rng());
  return p;
}

}  // namespace corvale_trie::testing_nav
