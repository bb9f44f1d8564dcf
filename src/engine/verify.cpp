// Whole-container consistency check; see verify.hpp for the list of checks.
//
// The walker decodes every form itself (it does not reuse the codecs it is
// meant to check), collects the keys in traversal order together with the
// address of each map value word, and then asks the point lookup for every
// key and for the gaps next to it.
#include "engine/verify.hpp"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/get.hpp"
#include "engine/map.hpp"
#include "engine/node.hpp"
#include "engine/set.hpp"

namespace corvale_trie::verify {
namespace {

constexpr unsigned kMaxReported = 64;

[[nodiscard]] u64 round16(u64 size) noexcept { return (size + 15) & ~u64{15}; }

[[nodiscard]] u64 load_le(const u8* p, unsigned width) noexcept {
  u64 v = 0;
  std::memcpy(&v, p, width);
  return v;
}

class Walker {
 public:
  Walker(Flavor flavor, const PathCache* cache) : flavor_(flavor), cache_(cache) {}

  // Formats one violation, prefixed with the position in the trie.
  void fail(u64 prefix, unsigned level, const char* fmt, ...) __attribute__((format(printf, 4, 5))) {
    ++failures_;
    if (failures_ > kMaxReported) return;
    char head[96];
    std::snprintf(head, sizeof head, "[prefix 0x%016" PRIx64 " level %u] ", prefix, level);
    char body[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(body, sizeof body, fmt, ap);
    va_end(ap);
    out_ += head;
    out_ += body;
    out_ += '\n';
  }
  void fail_plain(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    ++failures_;
    if (failures_ > kMaxReported) return;
    char body[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(body, sizeof body, fmt, ap);
    va_end(ap);
    out_ += body;
    out_ += '\n';
  }

  // Walks the subtree under `e` at level E (prefix: key bytes E and up) and
  // returns its population. `root` marks a container's root edge.
  u64 edge(const Edge& e, unsigned E, u64 prefix, bool root) {
    note_cached(e, E, prefix);
    const u8 tag = e.tag;
    if (root && !is_branch_tag(tag)) {
      fail(prefix, E, "root edge holds tag %u, not a branch node", tag);
      return 0;
    }
    switch (tag) {
      case TAG_EMPTY:
        if (e.payload != 0 || (e.decode_word() & BYTE_MASK_TABLE[7]) != 0)
          fail(prefix, E, "empty edge with non-zero bytes");
        return 0;
      case TAG_L3:
        return linear_branch<BranchL3>(e, E, prefix, root);
      case TAG_L7:
        return linear_branch<BranchL7>(e, E, prefix, root);
      case TAG_B:
        return branch_b(e, E, prefix, root);
      case TAG_U:
        return branch_u(e, E, prefix, root);
      case TAG_BITMAP_LEAF:
        return bitmap_leaf(e, E, prefix);
      case TAG_FULL:
        return full_edge(e, E, prefix);
      default:
        if (is_linear_leaf_tag(tag)) return linear_leaf(e, E, prefix);
        if (flavor_ == Flavor::Set ? is_set_immed_tag(tag) : is_map_immed_tag(tag))
          return immediate(e, E, prefix);
        fail(prefix, E, "invalid %s edge tag 0x%02x", flavor_name(), tag);
        return 0;
    }
  }

  // Checks the stored pop field of `e` (P bytes) against population `pop`,
  // allowing the path cache's lag on the edges of its path.
  void check_pop(const Edge& e, unsigned P, u64 pop, u64 prefix, unsigned E) {
    const u64 lag = lagging(e) ? cache_->pending : 0;
    const u64 m = BYTE_MASK_TABLE[P];
    const u64 stored = e.decode_word() & m;
    const u64 want = (pop - 1 - lag) & m;
    if (stored != want)
      fail(prefix, E, "pop field %" PRIu64 " (width %u) but population %" PRIu64 " (lag %" PRIu64 ")",
           stored + 1, P, pop, lag);
  }

  // Finishing checks of the path cache once the walk is done.
  void check_cache_reached() {
    if (cache_ == nullptr || cache_->depth == 0) return;
    for (u64 i = 0; i < cache_->depth && i < 8; ++i)
      if (!cached_seen_[i]) fail_plain("path cache edge %" PRIu64 " is not reachable from the root", i);
  }

  void add_block(u64 size) {
    mem_ += round16(size);
    ++blocks_;
  }

  [[nodiscard]] const char* flavor_name() const noexcept {
    return flavor_ == Flavor::Set ? "set" : "map";
  }

  Flavor flavor_;
  const PathCache* cache_;
  std::string out_;
  u64 failures_ = 0;
  u64 mem_ = 0;
  u64 blocks_ = 0;
  std::vector<u64> keys_;
  std::vector<const u64*> slots_;  // map: the value word of keys_[i]
  bool keys_complete_ = true;      // false when a huge FullEdge was not enumerated
  bool cached_seen_[8] = {};

 private:
  [[nodiscard]] bool lagging(const Edge& e) const noexcept {
    if (cache_ == nullptr) return false;
    for (u64 i = 1; i < cache_->depth && i < 8; ++i)
      if (cache_->edges[i] == &e && cache_->levels[i] < 8) return true;
    return false;
  }

  // Records that a cached edge was reached and checks its recorded width.
  void note_cached(const Edge& e, unsigned E, u64 prefix) {
    if (cache_ == nullptr) return;
    for (u64 i = 0; i < cache_->depth && i < 8; ++i) {
      if (cache_->edges[i] != &e) continue;
      cached_seen_[i] = true;
      const unsigned want = pop_width(e, E);
      if (cache_->levels[i] != want)
        fail(prefix, E, "path cache records width %u for an edge whose pop field is %u bytes",
             cache_->levels[i], want);
      if (i == 0) check_cached_leaf(e, E, prefix);
    }
  }

  // Width of the pop field of `e` at level E (8 for a root branch).
  [[nodiscard]] unsigned pop_width(const Edge& e, unsigned E) const noexcept {
    if (E == 8) return 8;
    switch (e.tag) {
      case TAG_L3: return e.ptr<BranchL3>() ? e.ptr<BranchL3>()->level : 0;
      case TAG_L7: return e.ptr<BranchL7>() ? e.ptr<BranchL7>()->level : 0;
      case TAG_B: return e.ptr<BranchB>() ? e.ptr<BranchB>()->level : 0;
      case TAG_U: return E;
      case TAG_BITMAP_LEAF: return 1;
      case TAG_FULL: return E;
      default: return is_linear_leaf_tag(e.tag) ? linear_leaf_width(e.tag) : 0;
    }
  }

  void check_cached_leaf(const Edge& e, unsigned E, u64 prefix) {
    const PathCache& c = *cache_;
    if (E != 1) fail(prefix, E, "path cache leaf edge at level %u, not 1", E);
    if ((prefix >> 8) != c.prefix)
      fail(prefix, E, "path cache prefix 0x%" PRIx64 " differs from its leaf's", c.prefix);
    if (c.bitmap_leaf != nullptr && c.linear_leaf != nullptr)
      fail(prefix, E, "path cache holds both a bitmap and a linear leaf");
    if (e.tag == TAG_BITMAP_LEAF) {
      if (c.bitmap_leaf != e.ptr<void>()) fail(prefix, E, "path cache bitmap leaf pointer is stale");
      const u64 n = e.ptr<Bitmap256>() ? e.ptr<Bitmap256>()->count() : 0;
      if (c.leaf_count != n) fail(prefix, E, "path cache leaf_count %u, leaf holds %" PRIu64, c.leaf_count, n);
    } else if (e.tag == linear_leaf_tag(1)) {
      const u64 n = (e.decode_word() & 0xFF) + 1;
      const u8* block = e.ptr<u8>();
      const u64 size = flavor_ == Flavor::Set ? set_leaf_bytes(n, 1) : map_leaf_bytes(n, 1);
      if (c.linear_leaf == nullptr || block == nullptr || c.linear_leaf < block || c.linear_leaf >= block + size)
        fail(prefix, E, "path cache linear leaf pointer is stale");
      if (c.leaf_count != n) fail(prefix, E, "path cache leaf_count %u, leaf holds %" PRIu64, c.leaf_count, n);
    } else {
      fail(prefix, E, "path cache leaf edge holds tag %u, not a cacheable leaf", e.tag);
    }
  }

  void push_key(u64 key, const u64* slot, u64 prefix, unsigned E) {
    if (!keys_.empty() && keys_.back() >= key)
      fail(prefix, E, "key 0x%016" PRIx64 " follows 0x%016" PRIx64 ": not strictly ascending", key,
           keys_.back());
    keys_.push_back(key);
    if (flavor_ == Flavor::Map) slots_.push_back(slot);
  }

  // Node level L of a skip-compressible branch: 2 <= L <= E, L == 8 at the
  // root; returns the prefix extended by the skip bytes L..E-1.
  [[nodiscard]] u64 node_prefix(const Edge& e, unsigned L, unsigned E, u64 prefix, bool root) {
    if (root && L != 8) fail(prefix, E, "root node has level %u, not 8", L);
    if (L < 2 || L > E) {
      fail(prefix, E, "branch node level %u outside 2..%u", L, E);
      return prefix;
    }
    if (L == E) return prefix;
    return prefix | (e.decode_word() & (BYTE_MASK_TABLE[E - L] << (8 * L)));
  }

  template <class Node>
  u64 linear_branch(const Edge& e, unsigned E, u64 prefix, bool root) {
    constexpr unsigned cap = Node::kCapacity;
    const char* kind = cap == 3 ? "BranchL3" : "BranchL7";
    const Node* n = e.ptr<Node>();
    if (n == nullptr) {
      fail(prefix, E, "%s edge without a node", kind);
      return 0;
    }
    add_block(sizeof(Node));
    const unsigned L = n->level;
    const u64 p = node_prefix(e, L, E, prefix, root);
    const unsigned lo = cap == 3 ? 1 : 3;  // a BranchL7 below 3 children becomes a BranchL3
    if (n->count < lo || n->count > cap) {
      fail(prefix, E, "%s holds %u children, outside %u..%u", kind, n->count, lo, cap);
      if (n->count > cap) return 0;
    }
    u16 filter = 0;
    u64 pop = 0;
    for (unsigned i = 0; i < 8; ++i) {
      if (i >= n->count) {
        if (n->digits[i] != 0) fail(prefix, E, "%s digit slot %u past count is %u", kind, i, n->digits[i]);
        if (i < cap && !n->children[i].is_empty())
          fail(prefix, E, "%s child slot %u past count is not empty", kind, i);
        continue;
      }
      const u8 d = n->digits[i];
      if (i > 0 && n->digits[i - 1] >= d)
        fail(prefix, E, "%s digits not ascending at slot %u (%u after %u)", kind, i, d, n->digits[i - 1]);
      filter |= static_cast<u16>(1u << (d & 15));
      const Edge& child = n->children[i];
      if (child.is_empty()) fail(prefix, E, "%s digit %u has an empty child", kind, d);
      if (L >= 2 && L <= E) pop += edge(child, L - 1, p | (u64{d} << (8 * (L - 1))), false);
    }
    if (filter != n->nibble_filter)
      fail(prefix, E, "%s nibble filter 0x%04x, digits give 0x%04x", kind, n->nibble_filter, filter);
    if (!root && L >= 1 && L <= 7) check_pop(e, L, pop, prefix, E);
    return pop;
  }

  u64 branch_b(const Edge& e, unsigned E, u64 prefix, bool root) {
    const BranchB* n = e.ptr<BranchB>();
    if (n == nullptr) {
      fail(prefix, E, "BranchB edge without a node");
      return 0;
    }
    add_block(sizeof(BranchB));
    const unsigned L = n->level;
    const u64 p = node_prefix(e, L, E, prefix, root);
    const unsigned count = n->bitmap.count();
    if (count < 7 || count > 192) fail(prefix, E, "BranchB holds %u children, outside 7..192", count);
    u64 pop = 0;
    for (unsigned g = 0; g < 8; ++g) {
      const u32 word = n->bitmap.group(g);
      const unsigned gc = std::popcount(word);
      if (n->group_counts[g] != gc)
        fail(prefix, E, "BranchB group %u count %u, bitmap has %u", g, n->group_counts[g], gc);
      if ((gc == 0) != (n->subarrays[g] == nullptr)) {
        fail(prefix, E, "BranchB group %u has %u children and a %s subarray", g, gc,
             n->subarrays[g] ? "non-null" : "null");
        continue;
      }
      if (gc == 0) continue;
      add_block(edge_array_bytes(n->group_counts[g]));
      unsigned i = 0;
      for (u32 w = word; w != 0; w &= w - 1, ++i) {
        const unsigned d = 32 * g + std::countr_zero(w);
        const Edge& child = n->subarrays[g][i];
        if (child.is_empty()) fail(prefix, E, "BranchB digit %u has an empty child", d);
        if (L >= 2 && L <= E) pop += edge(child, L - 1, p | (u64{d} << (8 * (L - 1))), false);
      }
    }
    if (!root && L >= 1 && L <= 7) check_pop(e, L, pop, prefix, E);
    return pop;
  }

  u64 branch_u(const Edge& e, unsigned E, u64 prefix, bool root) {
    const BranchU* n = e.ptr<BranchU>();
    if (n == nullptr) {
      fail(prefix, E, "BranchU edge without a node");
      return 0;
    }
    add_block(sizeof(BranchU));
    if (E < 2) {
      fail(prefix, E, "BranchU at level %u", E);
      return 0;
    }
    for (unsigned i = 0; i < 60; ++i)
      if (n->header_rest[i] != 0) {
        fail(prefix, E, "BranchU header byte %u is not zero", i + 4);
        break;
      }
    unsigned count = 0;
    u64 pop = 0;
    for (unsigned d = 0; d < 256; ++d) {
      const Edge& child = n->children[d];
      if (child.is_empty()) {
        pop += edge(child, E - 1, prefix, false);  // checks the empty edge's bytes
        continue;
      }
      ++count;
      pop += edge(child, E - 1, prefix | (u64{d} << (8 * (E - 1))), false);
    }
    if (count < 192) fail(prefix, E, "BranchU holds %u children, below 192", count);
    if (!root) check_pop(e, E, pop, prefix, E);
    return pop;
  }

  u64 linear_leaf(const Edge& e, unsigned E, u64 prefix) {
    const unsigned W = linear_leaf_width(e.tag);
    const u64 n = (e.decode_word() & BYTE_MASK_TABLE[W]) + 1;
    const u8* block = e.ptr<u8>();
    if (W > E) fail(prefix, E, "LinearLeaf of width %u at level %u", W, E);
    if (E == 8) return 0;
    if (block == nullptr) {
      fail(prefix, E, "LinearLeaf edge without a block");
      return 0;
    }
    const u64 max = W == 1 ? SET_W1_LEAF_MAX : LINEAR_LEAF_MAX;
    if (n > max) {
      fail(prefix, E, "LinearLeaf of width %u holds %" PRIu64 " keys, above %" PRIu64, W, n, max);
      return n;
    }
    if (lagging(e)) fail(prefix, E, "LinearLeaf edge sits on the lagging part of the path cache");
    const bool map = flavor_ == Flavor::Map;
    add_block(map ? map_leaf_bytes(n, W) : set_leaf_bytes(n, W));
    const u64 p = W < E ? prefix | (e.decode_word() & (BYTE_MASK_TABLE[E - W] << (8 * W))) : prefix;
    const u8* keys = map ? block + 8 * capacity_for(n) : block;
    u64 last = 0;
    for (u64 i = 0; i < n; ++i) {
      const u64 k = load_le(keys + i * W, W);
      if (i > 0 && k <= last) fail(prefix, E, "LinearLeaf keys not ascending at slot %" PRIu64, i);
      last = k;
      push_key(p | k, map ? reinterpret_cast<const u64*>(block) + i : nullptr, prefix, E);
    }
    return n;
  }

  u64 bitmap_leaf(const Edge& e, unsigned E, u64 prefix) {
    const bool map = flavor_ == Flavor::Map;
    if (E == 8) {
      fail(prefix, E, "BitmapLeaf at the root");
      return 0;
    }
    const void* block = e.ptr<void>();
    if (block == nullptr) {
      fail(prefix, E, "BitmapLeaf edge without a block");
      return 0;
    }
    add_block(map ? MAP_BITMAP_LEAF_SIZE : SET_BITMAP_LEAF_SIZE);
    const Bitmap256& bm = *static_cast<const Bitmap256*>(block);
    const u64 n = bm.count();
    if (n == 0) {
      fail(prefix, E, "BitmapLeaf with no key");
      return 0;
    }
    // A full set BitmapLeaf may stand under a level-1 edge: one that filled
    // up under a skip prefix keeps its form when a later split wraps it one
    // level down, and no insertion reaches it again (it holds every key).
    const u8* tail = static_cast<const u8*>(block) + (map ? 96 : 32);
    for (unsigned i = 0; i < 32; ++i)
      if (tail[i] != 0) {
        fail(prefix, E, "BitmapLeaf unused byte %u is not zero", (map ? 96 : 32) + i);
        break;
      }
    const u64 p = E > 1 ? prefix | (e.decode_word() & (BYTE_MASK_TABLE[E - 1] << 8)) : prefix;
    const MapBitmapLeaf* ml = static_cast<const MapBitmapLeaf*>(block);
    for (unsigned g = 0; g < 8; ++g) {
      const u32 word = bm.group(g);
      const u64* values = nullptr;
      if (map) {
        values = ml->subarrays[g];
        if ((word == 0) != (values == nullptr)) {
          fail(prefix, E, "map BitmapLeaf group %u has %u keys and a %s value subarray", g,
               std::popcount(word), values ? "non-null" : "null");
          values = nullptr;
        } else if (values != nullptr) {
          add_block(value_array_bytes(std::popcount(word)));
        }
      }
      unsigned i = 0;
      for (u32 w = word; w != 0; w &= w - 1, ++i) {
        const u64 b = 32 * g + std::countr_zero(w);
        push_key(p | b, values ? values + i : nullptr, prefix, E);
      }
    }
    check_pop(e, 1, n, prefix, E);
    return n;
  }

  u64 immediate(const Edge& e, unsigned E, u64 prefix) {
    const unsigned W = immed_width(e.tag);
    const unsigned n = immed_count(e.tag);
    if (W != E) {
      fail(prefix, E, "Immediate of width %u at level %u", W, E);
      return 0;
    }
    if (lagging(e)) fail(prefix, E, "Immediate edge sits on the lagging part of the path cache");
    u8 area[24] = {};
    const bool map = flavor_ == Flavor::Map;
    unsigned used;  // bytes of `area` that hold keys
    unsigned span;  // bytes of `area` the form may use
    if (map) {
      std::memcpy(area, e.decode, 7);
      used = n * W;
      span = 7;
    } else if (n == 1) {
      std::memcpy(area, &e.payload, 8);
      used = 8;  // the whole key stays in the payload
      span = 8;
      if ((e.decode_word() & BYTE_MASK_TABLE[7]) != 0) fail(prefix, E, "one-key Immediate with decode bytes set");
    } else {
      std::memcpy(area, &e, 15);
      used = n * W;
      span = 15;
    }
    for (unsigned i = used; i < span; ++i)
      if (area[i] != 0) {
        fail(prefix, E, "Immediate byte %u past its keys is not zero", i);
        break;
      }
    const u64* values = nullptr;
    if (map) {
      if (n == 1) {
        values = &e.payload;
      } else {
        values = e.ptr<u64>();
        if (values == nullptr)
          fail(prefix, E, "map Immediate of %u keys without a value array", n);
        else
          add_block(value_array_bytes(n));
      }
    }
    u64 last = 0;
    for (unsigned i = 0; i < n; ++i) {
      const u64 k = load_le(area + i * W, W);
      if (i > 0 && k <= last) fail(prefix, E, "Immediate keys not ascending at slot %u", i);
      last = k;
      push_key(prefix | k, values ? values + (n == 1 ? 0 : i) : nullptr, prefix, E);
    }
    return n;
  }

  u64 full_edge(const Edge& e, unsigned E, u64 prefix) {
    if (flavor_ != Flavor::Set) fail(prefix, E, "FullEdge in a map");
    if (E != 1) fail(prefix, E, "FullEdge at level %u, not 1", E);
    if (E == 0 || E >= 8) return 0;
    if (e.payload != 0) fail(prefix, E, "FullEdge with a non-zero payload");
    if ((e.decode_word() & BYTE_MASK_TABLE[7]) != BYTE_MASK_TABLE[E])
      fail(prefix, E, "FullEdge decode bytes are not exactly its all-ones pop field");
    if (E == 1)
      for (u64 b = 0; b < 256; ++b) push_key(prefix | b, nullptr, prefix, E);
    else
      keys_complete_ = false;
    return u64{1} << (8 * E);
  }
};

// Point lookups of every collected key and of the gaps beside them.
void check_lookups(Walker& w, const Edge& top, unsigned level) {
  // Lookups only make sense over a well-formed trie (a malformed one may
  // even stop them, e.g. a FullEdge in a map).
  if (!w.keys_complete_ || w.failures_ != 0) return;
  const bool map = w.flavor_ == Flavor::Map;
  const auto found = [&](u64 k) {
    return map ? get::locate_slot(&top, k, static_cast<u8>(level)) != nullptr
               : get::contains_walk(top, k, static_cast<u8>(level));
  };
  // Keys outside the bits below `level` do not route under `top`.
  const auto same_range = [&](u64 a, u64 b) { return level >= 8 || (a >> (8 * level)) == (b >> (8 * level)); };
  const std::vector<u64>& keys = w.keys_;
  for (u64 i = 0; i < keys.size(); ++i) {
    const u64 k = keys[i];
    if (map) {
      const u64* slot = get::locate_slot(&top, k, static_cast<u8>(level));
      if (slot != w.slots_[i])
        w.fail_plain("lookup of key 0x%016" PRIx64 " gives slot %p, the walk found %p", k,
                     static_cast<const void*>(slot), static_cast<const void*>(w.slots_[i]));
    } else if (!get::contains_walk(top, k, static_cast<u8>(level))) {
      w.fail_plain("lookup misses stored key 0x%016" PRIx64, k);
    }
    const bool has_next = i + 1 < keys.size();
    if (k != ~u64{0} && (!has_next || keys[i + 1] != k + 1) && same_range(k, k + 1) && found(k + 1))
      w.fail_plain("lookup finds absent key 0x%016" PRIx64, k + 1);
    if (i == 0 && k != 0 && same_range(k, k - 1) && found(k - 1))
      w.fail_plain("lookup finds absent key 0x%016" PRIx64, k - 1);
  }
}

std::string finish(Walker& w) {
  if (w.failures_ > kMaxReported) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "... and %" PRIu64 " more\n", w.failures_ - kMaxReported);
    w.out_ += buf;
  }
  return std::move(w.out_);
}

void check_cache_state(Walker& w, const CoreRecord& rec) {
  const PathCache& c = rec.path;
  if (c.depth > 8) {
    w.fail_plain("path cache depth %" PRIu64 " above 8", c.depth);
    return;
  }
  if (c.depth == 0) {
    if (c.pending != 0) w.fail_plain("empty path cache with pending %" PRIu64, c.pending);
    if (c.bitmap_leaf != nullptr || c.linear_leaf != nullptr) w.fail_plain("empty path cache holds a leaf");
    return;
  }
  if (rec.state != RootState::Tree) w.fail_plain("path cache filled outside the tree state");
  if (c.levels[0] != 1) w.fail_plain("path cache leaf level %u, not 1", c.levels[0]);
  for (u64 i = 0; i < c.depth; ++i)
    for (u64 j = i + 1; j < c.depth; ++j)
      if (c.edges[i] == c.edges[j]) w.fail_plain("path cache holds edge %" PRIu64 " twice", i);
}

}  // namespace

std::string record_errors(const CoreRecord& rec, Flavor flavor) {
  const bool cache_live = rec.path.depth > 0 && rec.path.depth <= 8 && rec.state == RootState::Tree;
  Walker w(flavor, cache_live ? &rec.path : nullptr);
  check_cache_state(w, rec);
  const u64 slot_bytes = flavor == Flavor::Map ? 16 : 8;
  switch (rec.state) {
    case RootState::Empty:
      break;
    case RootState::Flat: {
      const u64 n = rec.len;
      const u64* keys = rec.flat_keys();
      if (n < 1 || n > FLAT_MAX_KEYS) w.fail_plain("flat array holds %" PRIu64 " keys, outside 1..31", n);
      if (keys == nullptr) {
        w.fail_plain("flat state without an array");
        break;
      }
      if (n > FLAT_MAX_KEYS) break;
      w.add_block(capacity_for(n) * slot_bytes);
      for (u64 i = 1; i < n; ++i)
        if (keys[i - 1] >= keys[i])
          w.fail_plain("flat keys not ascending at %" PRIu64 " (0x%" PRIx64 " then 0x%" PRIx64 ")", i, keys[i - 1],
                       keys[i]);
      break;
    }
    case RootState::Tree: {
      const u64 pop = w.edge(rec.root, ROOT_LEVEL, 0, true);
      w.check_cache_reached();
      if (rec.len < FLAT_MAX_KEYS) w.fail_plain("tree state with %" PRIu64 " keys, below 31", rec.len);
      if (w.keys_complete_ && pop != w.keys_.size())
        w.fail_plain("populations sum to %" PRIu64 " but %zu keys were found", pop, w.keys_.size());
      if (pop != rec.len) w.fail_plain("len %" PRIu64 " but the tree holds %" PRIu64 " keys", rec.len, pop);
      check_lookups(w, rec.root, ROOT_LEVEL);
      break;
    }
    default:
      w.fail_plain("invalid root state %" PRIu64, static_cast<u64>(rec.state));
  }
  if (rec.alloc.mem_used() != w.mem_)
    w.fail_plain("mem_used %" PRIu64 " but reachable blocks take %" PRIu64, rec.alloc.mem_used(), w.mem_);
  if (rec.alloc.live_nodes() != w.blocks_)
    w.fail_plain("live_nodes %" PRIu64 " but %" PRIu64 " blocks are reachable", rec.alloc.live_nodes(), w.blocks_);
  return finish(w);
}

std::string subtree_errors(const Edge& edge, u8 level, u64 prefix, Flavor flavor) {
  Walker w(flavor, nullptr);
  if (level < 1 || level > 7) {
    w.fail_plain("subtree level %u outside 1..7", level);
    return finish(w);
  }
  const u64 upper = prefix & ~BYTE_MASK_TABLE[level];
  w.edge(edge, level, upper, false);
  check_lookups(w, edge, level);
  return finish(w);
}

std::string set_errors(const set::CorvaleSet& s) { return record_errors(s.record(), Flavor::Set); }
std::string map_errors(const map::CorvaleMap& m) { return record_errors(m.record(), Flavor::Map); }

}  // namespace corvale_trie::verify
