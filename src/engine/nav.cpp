// Ordered navigation: neighbour search, rank and select over edge
// populations, and the same queries over a whole container record, which
// the core set and map call.
//
// Every walker here dispatches on the edge tag and, for the node kinds,
// delegates to one routine per kind written once for both flavours; the map
// flavour differs only in where a leaf keeps its keys (after its values) and
// in reading the value beside the found key.
#include "engine/nav.hpp"

#include <cstring>

#include "engine/decode.hpp"
#include "engine/leaf.hpp"

namespace corvale_trie::nav {

namespace {

// A found entry on its way up the recursion; the set flavour leaves `value`
// at 0 and the compiler drops it.
struct Hit {
  bool found;
  u64 key;
  u64 value;
};
constexpr Hit kMiss{false, 0, 0};

[[noreturn]] void bad_tag() { CORVALE_PANIC("valid edge tag"); }

[[noreturn]] void index_error(u64 len, u64 index) {
  panic_fmt(CORVALE_HERE, "index out of bounds: the len is %llu but the index is %llu",
            static_cast<unsigned long long>(len), static_cast<unsigned long long>(index));
}

// The linear-branch child count, checked against the node's capacity.
template <class N>
[[nodiscard]] inline unsigned linear_count(const N& n) {
  if (n.count > N::kCapacity) [[unlikely]]
    index_error(N::kCapacity, n.count - 1u);
  return n.count;
}

// Where a LinearLeaf keeps its W-byte keys and (map flavour) its values.
template <bool IS_MAP>
struct LeafArrays {
  const u8* keys;
  const u64* values;
};
template <bool IS_MAP>
[[nodiscard]] inline LeafArrays<IS_MAP> leaf_arrays(const Edge& e, u64 n) {
  const u8* block = e.ptr<const u8>();
  CORVALE_EXPECT(block != nullptr, "leaf ptr");
  if constexpr (IS_MAP) {
    const u64 cap = capacity_for(n);
    return {block + 8 * cap, reinterpret_cast<const u64*>(block)};
  } else {
    return {block, nullptr};
  }
}

// The keys of an Immediate edge as a packed array of W-byte keys (its key
// area copied out of the edge, ImmedBytes), searched in place like a leaf.
template <bool IS_MAP>
struct ImmedPacked {
  ImmedBytes<IS_MAP> area;
  unsigned width;
  unsigned count;

  explicit ImmedPacked(const Edge& e) : area(e), width(immed_width(e.tag)), count(immed_count(e.tag)) {
    if (IS_MAP && width * count > 7) [[unlikely]]
      panic_fmt(CORVALE_HERE, "range end index %u out of range for slice of length 7", width * count);
  }
  [[nodiscard]] u64 key(u64 i) const noexcept { return area.key(static_cast<unsigned>(i), width); }
  // Number of keys below `key` (holding only its low W bytes).
  [[nodiscard]] u64 lower_bound(u64 key) const noexcept { return leaf::lower_bound_dyn(area.bytes, count, width, key); }
  // Number of keys at or below `key`.
  [[nodiscard]] u64 upper_bound(u64 key) const noexcept { return leaf::upper_bound_dyn(area.bytes, count, width, key); }
};

// Value i of a map Immediate of n keys: the payload itself for one key, else
// entry i of its ValueArray.
[[nodiscard]] inline u64 immediate_value(const Edge& e, unsigned n, u64 i) {
  if (n == 1) return e.payload;
  const u64* values = e.ptr<const u64>();
  CORVALE_EXPECT(values != nullptr, "value array");
  return values[i];
}

// Value of low byte b in a map BitmapLeaf.
[[nodiscard]] inline u64 bitmap_value(const MapBitmapLeaf& leaf, unsigned b) {
  const u64* group = leaf.subarrays[b >> 5];
  CORVALE_EXPECT(group != nullptr, "values");
  return group[leaf.bitmap.rank_in_group(b)];
}

template <bool IS_MAP>
[[nodiscard]] inline const Bitmap256& leaf_bitmap(const Edge& e) {
  if constexpr (IS_MAP)
    return node_of<const MapBitmapLeaf>(e)->bitmap;
  else
    return node_of<const SetBitmapLeaf>(e)->bitmap;
}

// ---------------------------------------------------------------------------
// Population

[[nodiscard]] inline u64 pop_of(const Edge& e, unsigned level) {
  const u8 tag = e.tag;
  switch (tag) {
    case TAG_EMPTY:
      return 0;
    case TAG_L3:
      return e.pop(node_of<const BranchL3>(e)->level);
    case TAG_L7:
      return e.pop(node_of<const BranchL7>(e)->level);
    case TAG_B:
      return e.pop(node_of<const BranchB>(e)->level);
    case TAG_U:
    case TAG_FULL:
      return e.pop(level);
    case TAG_BITMAP_LEAF:
      return u64{e.decode[0]} + 1;
    default:
      if (is_linear_leaf_tag(tag)) return e.pop(linear_leaf_width(tag));
      if (is_set_immed_tag(tag)) return immed_count(tag);
      bad_tag();
  }
}

// ---------------------------------------------------------------------------
// Neighbour search
//
// next (UP) and prev (!UP) are one search run in opposite directions: next
// looks for the first key at or above the search key, visiting children and
// leaf entries upwards from the search key's digit; prev mirrors every step
// downwards. A child that is not on the search key's own path is searched
// from its first key in the search direction: its minimum (sub-key 0) going
// up, its maximum (sub-key all ones) going down.

// The sub-key that selects the first key of a subtree of `level` key bytes in
// the search direction.
template <bool UP>
[[nodiscard]] constexpr u64 far_key(unsigned level) noexcept {
  return UP ? 0 : lowmask(level);
}

// Entering a node of level L below an edge of level E: the search key's bytes
// above L (H) are compared with the skip prefix (P). Returns false when the
// whole subtree lies behind the search (H above P going up, below it going
// down), else the prefix to OR into a found key (already shifted into place)
// and the sub-key to search the subtree with.
template <bool UP>
[[nodiscard]] inline bool seek_entry(const Edge& e, u64 key, unsigned L, unsigned E, u64& prefix, u64& sub) {
  if (L >= E) {
    prefix = 0;
    sub = key;
    return true;
  }
  const u64 P = decode_value(e, static_cast<u8>(L), static_cast<u8>(E));
  const u64 H = key >> (8 * L);
  if (UP ? H > P : H < P) return false;
  prefix = P << (8 * L);
  sub = H == P ? key & lowmask(L) : far_key<UP>(L);
  return true;
}

// The first set bit at or beyond b in the search direction, or -1.
template <bool UP>
[[nodiscard]] inline int first_bit(const Bitmap256& bm, unsigned b) noexcept {
  return UP ? bm.next_set(b) : bm.prev_set(b);
}

template <bool IS_MAP, bool UP>
Hit seek_in(const Edge& e, u64 key, unsigned E);

// Ties a child's hit to the digit and prefix of its parent.
inline Hit lift(Hit r, u64 prefix, unsigned digit, unsigned L) {
  r.key |= prefix | (u64{digit} << (8 * (L - 1)));
  return r;
}

template <bool IS_MAP, bool UP, class N>
Hit seek_linear(const N& n, const Edge& e, u64 key, unsigned E) {
  const unsigned L = n.level;
  CORVALE_ASSERT(L >= 2 && L <= E);
  u64 prefix, sub;
  if (!seek_entry<UP>(e, key, L, E, prefix, sub)) return kMiss;
  const int count = static_cast<int>(linear_count(n));
  const u8 d = digit_at(sub, L);
  const u64 rest = sub & lowmask(L - 1);
  // Up from the first digit >= d, or down from the last digit <= d.
  const int from = UP ? static_cast<int>(leaf::sorted_lower_bound<u8>(n.digits, count, d))
                      : static_cast<int>(leaf::sorted_upper_bound<u8>(n.digits, count, d)) - 1;
  for (int i = from; UP ? i < count : i >= 0; i += UP ? 1 : -1) {
    const unsigned di = n.digits[i];
    const Hit r = seek_in<IS_MAP, UP>(n.children[i], di == d ? rest : far_key<UP>(L - 1), L - 1);
    if (r.found) return lift(r, prefix, di, L);
  }
  return kMiss;
}

template <bool IS_MAP, bool UP>
Hit seek_b(const BranchB& n, const Edge& e, u64 key, unsigned E) {
  const unsigned L = n.level;
  CORVALE_ASSERT(L >= 2 && L <= E);
  u64 prefix, sub;
  if (!seek_entry<UP>(e, key, L, E, prefix, sub)) return kMiss;
  const unsigned d = digit_at(sub, L);
  const u64 rest = sub & lowmask(L - 1);
  // The set bits from d on in the search direction, one 64-bit word at a time
  // (count-trailing-zeros going up, count-leading-zeros going down).
  int w = static_cast<int>(d >> 6);
  u64 bits = n.bitmap.words[w] & (UP ? ~u64{0} << (d & 63) : ~u64{0} >> (63 - (d & 63)));
  for (;;) {
    while (bits != 0) {
      const unsigned at = UP ? static_cast<unsigned>(std::countr_zero(bits)) : 63u - static_cast<unsigned>(std::countl_zero(bits));
      bits &= UP ? bits - 1 : ~(u64{1} << at);
      const unsigned b = static_cast<unsigned>(w) * 64 + at;
      const Hit r = seek_in<IS_MAP, UP>(n.child_at(static_cast<u8>(b)), b == d ? rest : far_key<UP>(L - 1), L - 1);
      if (r.found) return lift(r, prefix, b, L);
    }
    w += UP ? 1 : -1;
    if (UP ? w == 4 : w < 0) return kMiss;
    bits = n.bitmap.words[w];
  }
}

template <bool IS_MAP, bool UP>
Hit seek_u(const BranchU& n, u64 key, unsigned E) {
  CORVALE_ASSERT(E >= 2);
  const int d = digit_at(key, E);
  const u64 rest = key & lowmask(E - 1);
  for (int j = d; UP ? j < 256 : j >= 0; j += UP ? 1 : -1) {
    if (n.children[j].is_empty()) continue;
    const Hit r = seek_in<IS_MAP, UP>(n.children[j], j == d ? rest : far_key<UP>(E - 1), E - 1);
    if (r.found) return lift(r, 0, static_cast<unsigned>(j), E);
  }
  return kMiss;
}

template <bool IS_MAP, bool UP>
Hit seek_linear_leaf(const Edge& e, u64 key, unsigned E) {
  const unsigned W = linear_leaf_width(e.tag);
  CORVALE_ASSERT(W <= E);
  u64 prefix, sub;
  if (!seek_entry<UP>(e, key, W, E, prefix, sub)) return kMiss;
  const u64 n = e.pop(W);
  const auto leaf = leaf_arrays<IS_MAP>(e, n);
  // Up: the first key >= sub; down: the last key <= sub.
  const u64 at = UP ? leaf::lower_bound_dyn(leaf.keys, n, W, sub) : leaf::upper_bound_dyn(leaf.keys, n, W, sub);
  if (UP ? at == n : at == 0) return kMiss;
  const u64 i = UP ? at : at - 1;
  const u64 k = prefix | leaf::key_at(leaf.keys, W, i);
  if constexpr (IS_MAP)
    return {true, k, leaf.values[i]};
  else
    return {true, k, 0};
}

template <bool IS_MAP, bool UP>
Hit seek_bitmap_leaf(const Edge& e, u64 key, unsigned E) {
  u64 prefix, sub;
  if (!seek_entry<UP>(e, key, 1, E, prefix, sub)) return kMiss;
  const int found = first_bit<UP>(leaf_bitmap<IS_MAP>(e), static_cast<unsigned>(sub));
  if (found < 0) return kMiss;
  const unsigned b = static_cast<unsigned>(found);
  if constexpr (IS_MAP)
    return {true, prefix | b, bitmap_value(*node_of<const MapBitmapLeaf>(e), b)};
  else
    return {true, prefix | b, 0};
}

template <bool IS_MAP, bool UP>
Hit seek_immediate(const Edge& e, u64 key) {
  const ImmedPacked<IS_MAP> ik(e);
  const u64 n = ik.count;
  const u64 k = key & lowmask(ik.width);
  const u64 at = UP ? ik.lower_bound(k) : ik.upper_bound(k);
  if (UP ? at == n : at == 0) return kMiss;
  const u64 i = UP ? at : at - 1;
  if constexpr (IS_MAP)
    return {true, ik.key(i), immediate_value(e, ik.count, i)};
  else
    return {true, ik.key(i), 0};
}

template <bool IS_MAP, bool UP>
Hit seek_in(const Edge& e, u64 key, unsigned E) {
  const u8 tag = e.tag;
  switch (tag) {
    case TAG_EMPTY:
      return kMiss;
    case TAG_L3:
      return seek_linear<IS_MAP, UP>(*node_of<const BranchL3>(e), e, key, E);
    case TAG_L7:
      return seek_linear<IS_MAP, UP>(*node_of<const BranchL7>(e), e, key, E);
    case TAG_B:
      return seek_b<IS_MAP, UP>(*node_of<const BranchB>(e), e, key, E);
    case TAG_U:
      return seek_u<IS_MAP, UP>(*node_of<const BranchU>(e), key, E);
    case TAG_BITMAP_LEAF:
      return seek_bitmap_leaf<IS_MAP, UP>(e, key, E);
    case TAG_FULL:
      // Every key of the range is present: the search key itself, clamped
      // to the range going down.
      return {true, UP || key < lowmask(E) ? key : lowmask(E), 0};
    default:
      if (is_linear_leaf_tag(tag)) return seek_linear_leaf<IS_MAP, UP>(e, key, E);
      if (is_set_immed_tag(tag)) return seek_immediate<IS_MAP, UP>(e, key);
      bad_tag();
  }
}

// ---------------------------------------------------------------------------
// Rank

// The population of a node when known: from its edge below the root, else
// the container's key count (UNKNOWN_TOTAL when the caller has none).
constexpr u64 UNKNOWN_TOTAL = ~u64{0};

template <bool IS_MAP>
u64 rank_in(const Edge& e, u64 key, unsigned E, u64 root_total);

// Where a subtree with a skip prefix lies relative to the ranked key: wholly
// below it (it all counts), wholly above it (none of it counts), or sharing
// the key's bytes above its node level (rank on with the sub-key).
enum class Span { AllBelow, AllAbove, Straddles };

[[nodiscard]] inline Span rank_span(const Edge& e, u64 key, unsigned L, unsigned E, u64& sub) {
  if (L >= E) {
    sub = key;
    return Span::Straddles;
  }
  const u64 P = decode_value(e, static_cast<u8>(L), static_cast<u8>(E));
  const u64 H = key >> (8 * L);
  if (H != P) return H > P ? Span::AllBelow : Span::AllAbove;
  sub = key & lowmask(L);
  return Span::Straddles;
}

template <bool IS_MAP, class N>
u64 rank_linear(const N& n, const Edge& e, u64 key, unsigned E) {
  const unsigned L = n.level;
  u64 sub;
  const Span span = rank_span(e, key, L, E, sub);
  if (span != Span::Straddles) return span == Span::AllBelow ? e.pop(L) : 0;
  const unsigned count = linear_count(n);
  const unsigned d = digit_at(sub, L);
  u64 sum = 0;
  for (unsigned i = 0; i < count; ++i) {
    const unsigned di = n.digits[i];
    if (di < d) {
      sum += pop_of(n.children[i], L - 1);
    } else {
      if (di == d) sum += rank_in<IS_MAP>(n.children[i], sub & lowmask(L - 1), L - 1, UNKNOWN_TOTAL);
      break;
    }
  }
  return sum;
}

// A wide branch (BranchB, BranchU) reads one population per child on the
// side of the key's digit it walks. When the node's own population is known
// (from its edge, or the container's count at the root), rank and select
// walk whichever side of the digit is shorter: keys below = total - keys
// above.

template <bool IS_MAP>
u64 rank_b(const BranchB& n, const Edge& e, u64 key, unsigned E, u64 root_total) {
  const unsigned L = n.level;
  u64 sub;
  const Span span = rank_span(e, key, L, E, sub);
  if (span != Span::Straddles) return span == Span::AllBelow ? e.pop(L) : 0;
  const unsigned d = digit_at(sub, L);
  const unsigned gd = d >> 5;
  const bool present = n.bitmap.test(d);
  const u64 total = E >= 8 ? root_total : e.pop(L);
  const unsigned below_d = n.bitmap.rank(d);
  const unsigned above_d = n.bitmap.count() - below_d - present;
  if (total != UNKNOWN_TOTAL && above_d < below_d) {
    // Children of d's group above d, then whole groups above d's group.
    u64 above = 0;
    for (unsigned g = gd; g < 8; ++g) {
      const unsigned cnt = std::popcount(n.bitmap.group(g));
      const unsigned from = g > gd ? 0 : n.bitmap.rank_in_group(d) + present;
      const Edge* children = n.subarrays[g];
      for (unsigned r = from; r < cnt; ++r) above += pop_of(children[r], L - 1);
    }
    u64 r = total - above;
    if (present) {
      const Edge& c = n.child_at(static_cast<u8>(d));
      r -= pop_of(c, L - 1) - rank_in<IS_MAP>(c, sub & lowmask(L - 1), L - 1, UNKNOWN_TOTAL);
    }
    return r;
  }
  // Whole groups below d's group, then the children of d's group below d.
  u64 sum = 0;
  for (unsigned g = 0; g <= gd; ++g) {
    const unsigned below = g < gd ? std::popcount(n.bitmap.group(g)) : n.bitmap.rank_in_group(d);
    const Edge* children = n.subarrays[g];
    for (unsigned r = 0; r < below; ++r) sum += pop_of(children[r], L - 1);
  }
  if (present)
    sum += rank_in<IS_MAP>(n.child_at(static_cast<u8>(d)), sub & lowmask(L - 1), L - 1, UNKNOWN_TOTAL);
  return sum;
}

template <bool IS_MAP>
u64 rank_u(const BranchU& n, const Edge& e, u64 key, unsigned E, u64 root_total) {
  const unsigned d = digit_at(key, E);
  const Edge& c = n.children[d];
  const u64 total = E >= 8 ? root_total : e.pop(E);
  if (total != UNKNOWN_TOTAL && d >= 128) {
    u64 above = 0;
    for (unsigned j = 255; j > d; --j)
      if (!n.children[j].is_empty()) above += pop_of(n.children[j], E - 1);
    u64 r = total - above;
    if (!c.is_empty())
      r -= pop_of(c, E - 1) - rank_in<IS_MAP>(c, key & lowmask(E - 1), E - 1, UNKNOWN_TOTAL);
    return r;
  }
  u64 sum = 0;
  for (unsigned j = 0; j < d; ++j)
    if (!n.children[j].is_empty()) sum += pop_of(n.children[j], E - 1);
  if (!c.is_empty()) sum += rank_in<IS_MAP>(c, key & lowmask(E - 1), E - 1, UNKNOWN_TOTAL);
  return sum;
}

template <bool IS_MAP>
u64 rank_in(const Edge& e, u64 key, unsigned E, u64 root_total) {
  const u8 tag = e.tag;
  switch (tag) {
    case TAG_EMPTY:
      return 0;
    case TAG_L3:
      return rank_linear<IS_MAP>(*node_of<const BranchL3>(e), e, key, E);
    case TAG_L7:
      return rank_linear<IS_MAP>(*node_of<const BranchL7>(e), e, key, E);
    case TAG_B:
      return rank_b<IS_MAP>(*node_of<const BranchB>(e), e, key, E, root_total);
    case TAG_U:
      return rank_u<IS_MAP>(*node_of<const BranchU>(e), e, key, E, root_total);
    case TAG_BITMAP_LEAF: {
      u64 sub;
      const Span span = rank_span(e, key, 1, E, sub);
      if (span != Span::Straddles) return span == Span::AllBelow ? u64{e.decode[0]} + 1 : 0;
      return leaf_bitmap<IS_MAP>(e).rank(static_cast<unsigned>(sub & 0xFF));
    }
    case TAG_FULL:
      // Every key of the range is present: exactly `key` keys lie below it.
      return key;
    default:
      if (is_linear_leaf_tag(tag)) {
        const unsigned W = linear_leaf_width(tag);
        const u64 n = e.pop(W);
        u64 sub;
        const Span span = rank_span(e, key, W, E, sub);
        if (span != Span::Straddles) return span == Span::AllBelow ? n : 0;
        return leaf::lower_bound_dyn(leaf_arrays<IS_MAP>(e, n).keys, n, W, sub);
      }
      if (is_set_immed_tag(tag)) {
        const ImmedPacked<IS_MAP> ik(e);
        return ik.lower_bound(key & lowmask(ik.width));
      }
      bad_tag();
  }
}

// ---------------------------------------------------------------------------
// Select

template <bool IS_MAP>
Hit select_in(const Edge& e, u64 i, unsigned E, u64 root_total);

[[noreturn]] void beyond_branch() { CORVALE_UNREACHABLE("select beyond branch population"); }

template <bool IS_MAP, class N>
Hit select_linear(const N& n, const Edge& e, u64 i, unsigned E) {
  const unsigned L = n.level;
  const u64 prefix = decode_key_bits(e, L, E);
  const unsigned count = linear_count(n);
  for (unsigned k = 0; k < count; ++k) {
    const u64 p = pop_of(n.children[k], L - 1);
    if (i < p) return lift(select_in<IS_MAP>(n.children[k], i, L - 1, UNKNOWN_TOTAL), prefix, n.digits[k], L);
    i -= p;
  }
  beyond_branch();
}

template <bool IS_MAP>
Hit select_b(const BranchB& n, const Edge& e, u64 i, unsigned E, u64 root_total) {
  const unsigned L = n.level;
  const u64 prefix = decode_key_bits(e, L, E);
  const u64 total = E >= 8 ? root_total : e.pop(L);
  if (total != UNKNOWN_TOTAL && i >= total / 2 && i < total) {
    // From the largest child down, with the index counted from the top.
    u64 j = total - 1 - i;
    for (unsigned g = 8; g-- > 0;) {
      u32 bits = n.bitmap.group(g);
      const Edge* children = n.subarrays[g];
      for (unsigned r = std::popcount(bits); bits != 0; bits &= ~(u32{1} << (31 - std::countl_zero(bits)))) {
        --r;
        const u64 p = pop_of(children[r], L - 1);
        if (j < p) {
          const unsigned b = 32 * g + 31 - static_cast<unsigned>(std::countl_zero(bits));
          return lift(select_in<IS_MAP>(children[r], p - 1 - j, L - 1, UNKNOWN_TOTAL), prefix, b, L);
        }
        j -= p;
      }
    }
    beyond_branch();
  }
  for (unsigned g = 0; g < 8; ++g) {
    u32 bits = n.bitmap.group(g);
    const Edge* children = n.subarrays[g];
    for (unsigned r = 0; bits != 0; ++r, bits &= bits - 1) {
      const u64 p = pop_of(children[r], L - 1);
      if (i < p) {
        const unsigned b = 32 * g + static_cast<unsigned>(std::countr_zero(bits));
        return lift(select_in<IS_MAP>(children[r], i, L - 1, UNKNOWN_TOTAL), prefix, b, L);
      }
      i -= p;
    }
  }
  beyond_branch();
}

template <bool IS_MAP>
Hit select_u(const BranchU& n, const Edge& e, u64 i, unsigned E, u64 root_total) {
  const u64 total = E >= 8 ? root_total : e.pop(E);
  if (total != UNKNOWN_TOTAL && i >= total / 2 && i < total) {
    u64 j = total - 1 - i;
    for (unsigned d = 256; d-- > 0;) {
      const Edge& c = n.children[d];
      if (c.is_empty()) continue;
      const u64 p = pop_of(c, E - 1);
      if (j < p) return lift(select_in<IS_MAP>(c, p - 1 - j, E - 1, UNKNOWN_TOTAL), 0, d, E);
      j -= p;
    }
    beyond_branch();
  }
  for (unsigned d = 0; d < 256; ++d) {
    const Edge& c = n.children[d];
    if (c.is_empty()) continue;
    const u64 p = pop_of(c, E - 1);
    if (i < p) return lift(select_in<IS_MAP>(c, i, E - 1, UNKNOWN_TOTAL), 0, d, E);
    i -= p;
  }
  beyond_branch();
}

template <bool IS_MAP>
Hit select_in(const Edge& e, u64 i, unsigned E, u64 root_total) {
  const u8 tag = e.tag;
  switch (tag) {
    case TAG_EMPTY:
      CORVALE_UNREACHABLE("select into empty subtree");
    case TAG_L3:
      return select_linear<IS_MAP>(*node_of<const BranchL3>(e), e, i, E);
    case TAG_L7:
      return select_linear<IS_MAP>(*node_of<const BranchL7>(e), e, i, E);
    case TAG_B:
      return select_b<IS_MAP>(*node_of<const BranchB>(e), e, i, E, root_total);
    case TAG_U:
      return select_u<IS_MAP>(*node_of<const BranchU>(e), e, i, E, root_total);
    case TAG_BITMAP_LEAF: {
      const u64 prefix = decode_key_bits(e, 1, E);
      const int found = leaf_bitmap<IS_MAP>(e).select(i);
      if (found >= 0) {
        const unsigned b = static_cast<unsigned>(found);
        if constexpr (IS_MAP)
          return {true, prefix | b, bitmap_value(*node_of<const MapBitmapLeaf>(e), b)};
        else
          return {true, prefix | b, 0};
      }
      CORVALE_PANIC("select within population");
    }
    case TAG_FULL:
      return {true, i, 0};
    default:
      if (is_linear_leaf_tag(tag)) {
        const unsigned W = linear_leaf_width(tag);
        const u64 prefix = decode_key_bits(e, W, E);
        const u64 n = e.pop(W);
        CORVALE_ASSERT(i < n);
        const auto leaf = leaf_arrays<IS_MAP>(e, n);
        const u64 k = prefix | leaf::key_at(leaf.keys, W, i);
        if constexpr (IS_MAP)
          return {true, k, leaf.values[i]};
        else
          return {true, k, 0};
      }
      if (is_set_immed_tag(tag)) {
        const ImmedPacked<IS_MAP> ik(e);
        if (i >= ik.count) index_error(ik.count, i);
        if constexpr (IS_MAP)
          return {true, ik.key(i), immediate_value(e, ik.count, i)};
        else
          return {true, ik.key(i), 0};
      }
      bad_tag();
  }
}

// ---------------------------------------------------------------------------
// Results

template <bool IS_MAP>
[[nodiscard]] inline Entry<IS_MAP> entry_of(const Hit& h) {
  if constexpr (IS_MAP)
    return KeyValue{h.key, h.value};
  else
    return h.key;
}

template <bool IS_MAP>
[[nodiscard]] inline std::optional<Entry<IS_MAP>> maybe(const Hit& h) {
  if (!h.found) return std::nullopt;
  return entry_of<IS_MAP>(h);
}

}  // namespace

u64 edge_pop(const Edge& edge, u8 level) { return pop_of(edge, level); }

template <bool IS_MAP>
u64 count_below(const Edge& edge, u64 key, u8 level) {
  return rank_in<IS_MAP>(edge, key, level, UNKNOWN_TOTAL);
}

template <bool IS_MAP>
std::optional<Entry<IS_MAP>> next(const Edge& edge, u64 key, u8 level) {
  return maybe<IS_MAP>(seek_in<IS_MAP, true>(edge, key, level));
}

template <bool IS_MAP>
std::optional<Entry<IS_MAP>> prev(const Edge& edge, u64 key, u8 level) {
  return maybe<IS_MAP>(seek_in<IS_MAP, false>(edge, key, level));
}

template <bool IS_MAP>
Entry<IS_MAP> by_count(const Edge& edge, u64 index, u8 level) {
  return entry_of<IS_MAP>(select_in<IS_MAP>(edge, index, level, UNKNOWN_TOTAL));
}

template u64 count_below<false>(const Edge&, u64, u8);
template u64 count_below<true>(const Edge&, u64, u8);
template std::optional<u64> next<false>(const Edge&, u64, u8);
template std::optional<KeyValue> next<true>(const Edge&, u64, u8);
template std::optional<u64> prev<false>(const Edge&, u64, u8);
template std::optional<KeyValue> prev<true>(const Edge&, u64, u8);
template u64 by_count<false>(const Edge&, u64, u8);
template KeyValue by_count<true>(const Edge&, u64, u8);

// ---------------------------------------------------------------------------
// Order queries of the core containers, one body for both flavours.

namespace {

// Entry i of a flat root array of the container's flavour.
template <bool IS_MAP>
[[nodiscard]] inline Entry<IS_MAP> flat_entry(const CoreRecord& rec, u64 i) {
  const u64* keys = rec.flat_keys();
  if constexpr (IS_MAP)
    return KeyValue{keys[i], keys[capacity_for(rec.len) + i]};
  else
    return keys[i];
}

}  // namespace

template <bool IS_MAP>
std::optional<Entry<IS_MAP>> record_first(const CoreRecord& rec) {
  if (rec.state == RootState::Empty) return std::nullopt;
  if (rec.state == RootState::Flat) {
    if (rec.len == 0) return std::nullopt;
    return flat_entry<IS_MAP>(rec, 0);
  }
  return next<IS_MAP>(rec.root, 0, ROOT_LEVEL);
}

template <bool IS_MAP>
std::optional<Entry<IS_MAP>> record_last(const CoreRecord& rec) {
  if (rec.state == RootState::Empty) return std::nullopt;
  if (rec.state == RootState::Flat) {
    if (rec.len == 0) return std::nullopt;
    return flat_entry<IS_MAP>(rec, rec.len - 1);
  }
  return prev<IS_MAP>(rec.root, ~u64{0}, ROOT_LEVEL);
}

template <bool IS_MAP>
std::optional<Entry<IS_MAP>> record_next(const CoreRecord& rec, u64 key) {
  if (rec.state == RootState::Empty) return std::nullopt;
  if (rec.state == RootState::Flat) {
    const u64 i = leaf::sorted_lower_bound(rec.flat_keys(), rec.len, key);
    if (i >= rec.len) return std::nullopt;
    return flat_entry<IS_MAP>(rec, i);
  }
  return next<IS_MAP>(rec.root, key, ROOT_LEVEL);
}

template <bool IS_MAP>
std::optional<Entry<IS_MAP>> record_prev(const CoreRecord& rec, u64 key) {
  if (rec.state == RootState::Empty) return std::nullopt;
  if (rec.state == RootState::Flat) {
    const u64 c = leaf::sorted_upper_bound(rec.flat_keys(), rec.len, key);
    if (c == 0) return std::nullopt;
    return flat_entry<IS_MAP>(rec, c - 1);
  }
  return prev<IS_MAP>(rec.root, key, ROOT_LEVEL);
}

template <bool IS_MAP>
u64 record_count_below(CoreRecord& rec, u64 key) {
  rec.path.flush();
  if (rec.state == RootState::Empty) return 0;
  if (rec.state == RootState::Flat) return leaf::sorted_lower_bound(rec.flat_keys(), rec.len, key);
  return rank_in<IS_MAP>(rec.root, key, ROOT_LEVEL, rec.len);
}

template <bool IS_MAP>
std::optional<Entry<IS_MAP>> record_by_count(CoreRecord& rec, u64 index) {
  if (rec.state == RootState::Empty) return std::nullopt;
  if (index >= rec.len) return std::nullopt;
  rec.path.flush();
  if (rec.state == RootState::Flat) return flat_entry<IS_MAP>(rec, index);
  return entry_of<IS_MAP>(select_in<IS_MAP>(rec.root, index, ROOT_LEVEL, rec.len));
}

template std::optional<u64> record_first<false>(const CoreRecord&);
template std::optional<KeyValue> record_first<true>(const CoreRecord&);
template std::optional<u64> record_last<false>(const CoreRecord&);
template std::optional<KeyValue> record_last<true>(const CoreRecord&);
template std::optional<u64> record_next<false>(const CoreRecord&, u64);
template std::optional<KeyValue> record_next<true>(const CoreRecord&, u64);
template std::optional<u64> record_prev<false>(const CoreRecord&, u64);
template std::optional<KeyValue> record_prev<true>(const CoreRecord&, u64);
template u64 record_count_below<false>(CoreRecord&, u64);
template u64 record_count_below<true>(CoreRecord&, u64);
template std::optional<u64> record_by_count<false>(CoreRecord&, u64);
template std::optional<KeyValue> record_by_count<true>(CoreRecord&, u64);

}  // namespace corvale_trie::nav
