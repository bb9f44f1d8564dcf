// In-order cursors: the out-of-line step, the leftmost descent and the seek
// of the range cursor.
#include "engine/iter.hpp"

#include <bit>
#include <cstring>

#include "engine/decode.hpp"
#include "engine/leaf.hpp"
#include "engine/node.hpp"

namespace corvale_trie::iter {

namespace {

[[nodiscard]] inline bool is_immediate_tag(u8 tag) noexcept { return is_set_immed_tag(tag); }

// A child of a branch node: its edge, its digit and (linear kinds) its slot.
struct Child {
  const Edge* edge = nullptr;  // null: no child
  unsigned digit = 0;
  unsigned slot = 0;
};

// The first child of a branch node whose digit is >= s: by the digit row of a
// linear branch, the bitmap of a BranchB, the child tags of a BranchU.
template <class N>
[[nodiscard]] inline Child first_linear_child(const N& n, unsigned s) noexcept {
  if (n.count > N::kCapacity) [[unlikely]]
    panic_fmt(CORVALE_HERE, "index out of bounds: the len is %u but the index is %u", N::kCapacity, n.count - 1u);
  const unsigned i = static_cast<unsigned>(leaf::sorted_lower_bound<u8>(n.digits, n.count, static_cast<u8>(s)));
  if (i >= n.count) return {};
  return {&n.children[i], n.digits[i], i};
}
[[nodiscard]] inline Child first_b_child(const BranchB& n, unsigned s) noexcept {
  const int d = n.bitmap.next_set(s);
  if (d < 0) return {};
  return {&n.child_at(static_cast<u8>(d)), static_cast<unsigned>(d), 0};
}
[[nodiscard]] inline Child first_u_child(const BranchU& n, unsigned s) noexcept {
  for (unsigned d = s; d < 256; ++d)
    if (!n.children[d].is_empty()) return {&n.children[d], d, 0};
  return {};
}

// The level of the branch node under `e`, an edge at `edge_level`: its level
// byte, or the edge's level for a BranchU.
[[nodiscard]] inline unsigned branch_level(const Edge& e, unsigned edge_level) noexcept {
  switch (e.tag) {
    case TAG_L3: return node_of<const BranchL3>(e)->level;
    case TAG_L7: return node_of<const BranchL7>(e)->level;
    case TAG_B: return node_of<const BranchB>(e)->level;
    default: return edge_level;
  }
}

// Fills the linear-leaf cursor for a LinearLeaf edge at `level`.
template <bool IS_MAP>
void set_linear(LeafCursor& leaf, const Edge& e, unsigned level, u64 prefix, u16 pos) noexcept {
  const unsigned w = linear_leaf_width(e.tag);
  const u16 count = static_cast<u16>(e.pop(w));
  const u8* block = e.ptr<const u8>();
  CORVALE_EXPECT(block != nullptr, "leaf ptr");
  LeafCursor::LinearPos c{};
  c.width = static_cast<u8>(w);
  c.count = count;
  c.pos = pos;
  if constexpr (IS_MAP) {
    c.values = reinterpret_cast<const u64*>(block);
    c.keys = block + 8 * capacity_for(count);
  } else {
    c.values = nullptr;
    c.keys = block;
  }
  c.prefix = prefix | decode_key_bits(e, w, level);
  leaf.kind = LeafKind::Linear;
  leaf.linear = c;
}

// Fills the immediate cursor (one key: Single) for an Immediate edge; the
// keys are whole keys. `pos` is the first entry to yield.
template <bool IS_MAP>
void set_immediate(LeafCursor& leaf, const Edge& e, u64 prefix, unsigned pos) noexcept {
  const unsigned w = immed_width(e.tag);
  const unsigned n = immed_count(e.tag);
  if (n == 1) {
    LeafCursor::SinglePos c{};
    c.done = static_cast<u8>(pos != 0);
    if constexpr (IS_MAP) {
      c.key = prefix | (e.decode_word() & BYTE_MASK_TABLE[w]);
      c.value = e.payload;
    } else {
      c.key = prefix | (e.payload & BYTE_MASK_TABLE[w]);
      c.value = 0;
    }
    leaf.kind = LeafKind::Single;
    leaf.single = c;
    return;
  }
  ImmedKeys ik;
  const u64* values = nullptr;
  if constexpr (IS_MAP) {
    ik = immed_map_keys(e, static_cast<u8>(w), static_cast<u8>(n));
    values = e.ptr<const u64>();
    CORVALE_EXPECT(values != nullptr, "value array");
  } else {
    ik = immed_keys(e, static_cast<u8>(w), static_cast<u8>(n));
  }
  if (n > 15) [[unlikely]]
    panic_fmt(CORVALE_HERE, "index out of bounds: the len is 15 but the index is %u", n - 1);
  LeafCursor::ImmediatePos c{};
  c.count = static_cast<u8>(n);
  c.pos = static_cast<u8>(pos);
  for (unsigned i = 0; i < 15; ++i) {
    c.keys[i] = i < n ? prefix | ik.keys[i] : 0;
    c.values[i] = (IS_MAP && i < n) ? values[i] : 0;
  }
  leaf.kind = LeafKind::Immediate;
  leaf.immediate = c;
}

}  // namespace

// ---------------------------------------------------------------------------
// Descent and step

template <bool IS_MAP>
BranchFrame& RawIter<IS_MAP>::push_frame() noexcept {
  if (depth >= MAX_FRAMES) [[unlikely]]
    panic_fmt(CORVALE_HERE, "index out of bounds: the len is %u but the index is %llu", MAX_FRAMES,
              static_cast<unsigned long long>(depth));
  return frames[depth++];
}

template <bool IS_MAP>
const Edge* RawIter<IS_MAP>::enter_branch(const Edge& e, unsigned level, unsigned s, u64 prefix,
                                          unsigned& digit) noexcept {
  Child c;
  FrameKind kind = FrameKind::U;
  const u8* digits = nullptr;
  unsigned count = 0;
  switch (e.tag) {
    case TAG_L3: {
      const BranchL3* n = node_of<const BranchL3>(e);
      c = first_linear_child(*n, s);
      kind = FrameKind::L3, digits = n->digits, count = n->count;
      break;
    }
    case TAG_L7: {
      const BranchL7* n = node_of<const BranchL7>(e);
      c = first_linear_child(*n, s);
      kind = FrameKind::L7, digits = n->digits, count = n->count;
      break;
    }
    case TAG_B:
      c = first_b_child(*node_of<const BranchB>(e), s);
      kind = FrameKind::B;
      break;
    default:
      c = first_u_child(*node_of<const BranchU>(e), s);
      break;
  }
  if (c.edge == nullptr) return nullptr;
  BranchFrame& f = push_frame();
  f.kind = kind;
  f.node = e.ptr<const void>();
  if (digits != nullptr) {
    f.count = static_cast<u8>(count);
    f.pos = static_cast<u16>(c.slot + 1);
    std::memcpy(f.digits, digits, 8);
  } else {
    f.pos = static_cast<u16>(c.digit + 1);
  }
  f.prefix = prefix;
  f.level = static_cast<u8>(level);
  digit = c.digit;
  return c.edge;
}

template <bool IS_MAP>
bool RawIter<IS_MAP>::descend(const Edge* e, unsigned L, u64 P) noexcept {
  for (;;) {
    const u8 tag = e->tag;
    switch (tag) {
      case TAG_L3:
      case TAG_L7:
      case TAG_B:
      case TAG_U: {
        const unsigned level = branch_level(*e, L);
        P |= decode_key_bits(*e, level, L);
        unsigned d;
        const Edge* child = enter_branch(*e, level, 0, P, d);
        if (child == nullptr) return false;
        P |= u64{d} << (8 * (level - 1));
        e = child;
        L = level - 1;
        continue;
      }
      case TAG_BITMAP_LEAF: {
        P |= decode_key_bits(*e, 1, L);
        if constexpr (IS_MAP) {
          const MapBitmapLeaf* lf = node_of<const MapBitmapLeaf>(*e);
          LeafCursor::MapBitmapPos c{};
          c.group = 0;
          c.index = 0;
          c.bits = lf->bitmap.group(0);
          c.prefix = P;
          c.bitmap = lf->bitmap;
          for (unsigned g = 0; g < 8; ++g) c.subarrays[g] = lf->subarrays[g];
          leaf.kind = LeafKind::MapBitmap;
          leaf.map_bitmap = c;
        } else {
          const SetBitmapLeaf* lf = node_of<const SetBitmapLeaf>(*e);
          LeafCursor::SetBitmapPos c{};
          c.word = 0;
          c.prefix = P;
          for (unsigned w = 0; w < 4; ++w) c.bitmap[w] = lf->bitmap.words[w];
          leaf.kind = LeafKind::SetBitmap;
          leaf.set_bitmap = c;
        }
        return true;
      }
      case TAG_FULL:
        leaf.kind = LeafKind::FullRange;
        leaf.full = LeafCursor::FullRangePos{P, P | nav::lowmask(L)};
        return true;
      default:
        if (is_linear_leaf_tag(tag)) {
          set_linear<IS_MAP>(leaf, *e, L, P, 0);
          return true;
        }
        if (is_immediate_tag(tag)) {
          set_immediate<IS_MAP>(leaf, *e, P, 0);
          return true;
        }
        if (tag == TAG_EMPTY) return false;
        CORVALE_PANIC("valid edge tag");
    }
  }
}

template <bool IS_MAP>
bool RawIter<IS_MAP>::advance_frames() noexcept {
  while (depth > 0) {
    BranchFrame& f = frames[depth - 1];
    const Edge* child = nullptr;
    unsigned digit = 0;
    switch (f.kind) {
      case FrameKind::L3:
      case FrameKind::L7:
        if (f.pos < f.count) {
          if (f.pos >= (f.kind == FrameKind::L3 ? 3u : 7u)) [[unlikely]]
            panic_fmt(CORVALE_HERE, "index out of bounds: the len is %u but the index is %u",
                      f.kind == FrameKind::L3 ? 3u : 7u, unsigned{f.pos});
          digit = f.digits[f.pos];
          child = f.kind == FrameKind::L3 ? &static_cast<const BranchL3*>(f.node)->children[f.pos]
                                          : &static_cast<const BranchL7*>(f.node)->children[f.pos];
          ++f.pos;
        }
        break;
      case FrameKind::B:
      case FrameKind::U:
        if (f.pos < 256) {
          const Child c = f.kind == FrameKind::B ? first_b_child(*static_cast<const BranchB*>(f.node), f.pos)
                                                 : first_u_child(*static_cast<const BranchU*>(f.node), f.pos);
          f.pos = static_cast<u16>(c.edge == nullptr ? 256 : c.digit + 1);
          digit = c.digit;
          child = c.edge;
        }
        break;
    }
    if (child == nullptr) {
      --depth;
      continue;
    }
    const unsigned level = f.level;
    if (descend(child, level - 1, f.prefix | (u64{digit} << (8 * (level - 1))))) return true;
    // The child held no keys: take the next one.
  }
  leaf.kind = LeafKind::Exhausted;
  return false;
}

template <bool IS_MAP>
auto RawIter<IS_MAP>::step() noexcept -> std::optional<Item> {
  for (;;) {
    switch (leaf.kind) {
      case LeafKind::Exhausted:
        return std::nullopt;
      case LeafKind::Flat:
        if (leaf.flat.pos >= leaf.flat.len) return std::nullopt;
        return flat_item();
      case LeafKind::Linear:
        if (leaf.linear.pos < leaf.linear.count) return linear_item();
        break;
      case LeafKind::SetBitmap: {
        LeafCursor::SetBitmapPos& c = leaf.set_bitmap;
        while (c.word < 4 && c.bitmap[c.word] == 0) ++c.word;
        if (c.word < 4) {
          u64& word = c.bitmap[c.word];
          const unsigned b = static_cast<unsigned>(std::countr_zero(word));
          word &= word - 1;
          return item(c.prefix | (64u * c.word + b), [] { return u64{0}; });
        }
        break;
      }
      case LeafKind::MapBitmap: {
        LeafCursor::MapBitmapPos& c = leaf.map_bitmap;
        while (c.group < 8 && c.bits == 0) {
          if (++c.group == 8) break;
          c.bits = c.bitmap.group(c.group);
          c.index = 0;
        }
        if (c.group < 8) {
          const unsigned b = static_cast<unsigned>(std::countr_zero(c.bits));
          c.bits &= c.bits - 1;
          const u64* values = c.subarrays[c.group];
          CORVALE_EXPECT(values != nullptr, "values");
          const u64 value = values[c.index++];
          return item(c.prefix | (32u * c.group + b), [&] { return value; });
        }
        break;
      }
      case LeafKind::Single: {
        LeafCursor::SinglePos& c = leaf.single;
        if (!c.done) {
          c.done = 1;
          return item(c.key, [&] { return c.value; });
        }
        break;
      }
      case LeafKind::Immediate: {
        LeafCursor::ImmediatePos& c = leaf.immediate;
        if (c.pos < c.count) {
          const u8 i = c.pos++;
          return item(c.keys[i], [&] { return c.values[i]; });
        }
        break;
      }
      case LeafKind::FullRange: {
        LeafCursor::FullRangePos& c = leaf.full;
        if (c.cur <= c.end) {
          const u64 key = c.cur;
          if (c.cur == c.end) {
            // Used up; also when the range ends at 2**64-1.
            c.cur = 1;
            c.end = 0;
          } else {
            ++c.cur;
          }
          return item(key, [] { return u64{0}; });
        }
        break;
      }
    }
    // The leaf is used up: on to the next leaf, or the end of the walk.
    if (!advance_frames()) return std::nullopt;
  }
}

// ---------------------------------------------------------------------------
// Construction

template <bool IS_MAP>
RawIter<IS_MAP> RawIter<IS_MAP>::over(const CoreRecord& rec) noexcept {
  RawIter it;
  if (rec.state == RootState::Empty) return it;
  if (rec.state == RootState::Flat) {
    LeafCursor::FlatPos c{};
    c.len = static_cast<u32>(rec.len);
    c.pos = 0;
    c.keys = rec.flat_keys();
    c.values = IS_MAP ? rec.flat_keys() + capacity_for(rec.len) : nullptr;
    it.leaf.kind = LeafKind::Flat;
    it.leaf.flat = c;
    return it;
  }
  if (!it.descend(&rec.root, ROOT_LEVEL, 0)) it.advance_frames();
  return it;
}

template <bool IS_MAP>
RawIter<IS_MAP> RawIter<IS_MAP>::from_tree_range(const Edge& root_edge, u64 lo) noexcept {
  RawIter it;
  const Edge* e = &root_edge;
  unsigned L = ROOT_LEVEL;
  u64 P = 0;
  for (;;) {
    const u8 tag = e->tag;
    if (is_branch_tag(tag)) {
      const unsigned level = branch_level(*e, L);
      P |= decode_key_bits(*e, level, L);
      const u64 lo_part = level >= 8 ? 0 : lo >> (8 * level);
      const u64 p_part = level >= 8 ? 0 : P >> (8 * level);
      if (lo_part > p_part) break;  // every key of the subtree is below lo
      const bool on_path = lo_part == p_part;
      const unsigned s = on_path ? digit_at(lo, level) : 0;
      // The first child at or above digit s.
      unsigned d;
      const Edge* child = it.enter_branch(*e, level, s, P, d);
      if (child == nullptr) break;
      P |= u64{d} << (8 * (level - 1));
      if (on_path && d == s) {
        e = child;
        L = level - 1;
        continue;
      }
      // Every key under the child is above lo.
      if (!it.descend(child, level - 1, P)) it.advance_frames();
      return it;
    }
    if (is_linear_leaf_tag(tag)) {
      const unsigned w = linear_leaf_width(tag);
      const u64 leaf_prefix = P | decode_key_bits(*e, w, L);
      const u64 lo_part = lo >> (8 * w);
      const u64 p_part = leaf_prefix >> (8 * w);
      if (lo_part > p_part) break;
      u16 pos = 0;
      if (lo_part == p_part) {
        const u64 n = e->pop(w);
        const u8* block = e->ptr<const u8>();
        CORVALE_EXPECT(block != nullptr, "leaf ptr");
        const u8* keys = IS_MAP ? block + 8 * capacity_for(n) : block;
        const leaf::LocateResult r = leaf::locate(keys, n, static_cast<u8>(w), lo & BYTE_MASK_TABLE[w]);
        if (r.index >= n) break;
        pos = static_cast<u16>(r.index);
      }
      set_linear<IS_MAP>(it.leaf, *e, L, P, pos);
      return it;
    }
    if (tag == TAG_BITMAP_LEAF) {
      const u64 leaf_prefix = P | decode_key_bits(*e, 1, L);
      const u64 lo_part = lo >> 8;
      const u64 p_part = leaf_prefix >> 8;
      if (lo_part > p_part) break;
      const unsigned s = lo_part == p_part ? static_cast<unsigned>(lo & 0xFF) : 0;
      if constexpr (IS_MAP) {
        const MapBitmapLeaf* lf = node_of<const MapBitmapLeaf>(*e);
        const int found = lf->bitmap.next_set(s);
        if (found < 0) break;
        const unsigned d = static_cast<unsigned>(found);
        LeafCursor::MapBitmapPos c{};
        c.group = static_cast<u8>(d >> 5);
        c.index = static_cast<u16>(lf->bitmap.rank_in_group(d));
        c.bits = lf->bitmap.group(d >> 5) & (~u32{0} << (d & 31));
        c.prefix = leaf_prefix;
        c.bitmap = lf->bitmap;
        for (unsigned g = 0; g < 8; ++g) c.subarrays[g] = lf->subarrays[g];
        it.leaf.kind = LeafKind::MapBitmap;
        it.leaf.map_bitmap = c;
      } else {
        const SetBitmapLeaf* lf = node_of<const SetBitmapLeaf>(*e);
        const int found = lf->bitmap.next_set(s);
        if (found < 0) break;
        const unsigned d = static_cast<unsigned>(found);
        // The words below d's word and the bits below d are already passed.
        LeafCursor::SetBitmapPos c{};
        c.word = static_cast<u8>(d >> 6);
        c.prefix = leaf_prefix;
        for (unsigned w = c.word; w < 4; ++w) c.bitmap[w] = lf->bitmap.words[w];
        c.bitmap[c.word] &= ~u64{0} << (d & 63);
        it.leaf.kind = LeafKind::SetBitmap;
        it.leaf.set_bitmap = c;
      }
      return it;
    }
    if (tag == TAG_FULL) {
      const u64 end = P | nav::lowmask(L);
      if (lo > end) break;
      it.leaf.kind = LeafKind::FullRange;
      it.leaf.full = LeafCursor::FullRangePos{lo > P ? lo : P, end};
      return it;
    }
    if (is_immediate_tag(tag)) {
      const unsigned w = immed_width(tag);
      const unsigned n = immed_count(tag);
      if (n == 1) {
        const u64 stored = IS_MAP ? e->decode_word() : e->payload;
        const u64 key = P | (stored & BYTE_MASK_TABLE[w]);
        if (key < lo) break;
        set_immediate<IS_MAP>(it.leaf, *e, P, 0);
        return it;
      }
      const ImmedKeys ik = IS_MAP ? immed_map_keys(*e, static_cast<u8>(w), static_cast<u8>(n))
                                  : immed_keys(*e, static_cast<u8>(w), static_cast<u8>(n));
      unsigned pos = 0;
      while (pos < n && (P | ik.keys[pos]) < lo) ++pos;
      if (pos == n) break;
      set_immediate<IS_MAP>(it.leaf, *e, P, pos);
      return it;
    }
    if (tag != TAG_EMPTY) [[unlikely]] CORVALE_PANIC("valid edge tag");
    break;
  }
  // The subtree just examined holds nothing at or above lo: every key under
  // the next child of the frames is above lo.
  it.leaf.kind = LeafKind::Exhausted;
  it.advance_frames();
  return it;
}

template <bool IS_MAP>
RawIter<IS_MAP> RawIter<IS_MAP>::seek(const CoreRecord& rec, u64 lo) noexcept {
  if (rec.state == RootState::Empty) return RawIter();
  if (rec.state == RootState::Flat) {
    RawIter it = over(rec);
    it.leaf.flat.pos = static_cast<u32>(leaf::sorted_lower_bound(rec.flat_keys(), rec.len, lo));
    return it;
  }
  return from_tree_range(rec.root, lo);
}

template class RawIter<false>;
template class RawIter<true>;

}  // namespace corvale_trie::iter
