// corvale_trie engine: in-order cursors over the core set and map.
//
// `RawIter<IS_MAP>` walks a container from its smallest key upwards and
// yields every key once, in ascending order: the set flavour `SetIter`
// yields keys, the map flavour `MapIter` (key, value) pairs. It is a
// self-contained value of fixed size: an explicit stack of at most eight
// `BranchFrame`s (one per key byte a branch node resolves; frame 0 is nearest
// the root, frames 0..depth-1 are live) and one `LeafCursor` into the current
// leaf. It needs no parent pointers, never recurses, allocates nothing and
// never changes the container; it is copied by value and a copy continues
// independently.
//
// A frame remembers where the walk stands in its branch node: for linear
// branches the index of the next child (with a copy of the node's digit row),
// for bitmap and 256-slot branches the next digit to consider (256: none
// left). Its `prefix` holds the key bits above the node's child digit: the
// digits taken on the way down and every skip prefix met, each at its own
// byte position. A yielded key is that prefix, the leaf's own prefix bytes
// (decode bytes above a linear or bitmap leaf's own key bytes) and the leaf's
// key bytes, ORed together.
//
// The step: advance the leaf; when it is used up, climb to the nearest frame
// with a child left, take that child and descend along the leftmost path to
// its first leaf, pushing a frame per branch node. The leaf forms:
//
//   Exhausted  nothing (empty container, finished walk)
//   Flat       the flat root array, read in place
//   Linear     a LinearLeaf, read in place
//   SetBitmap  a copy of a set BitmapLeaf's bitmap, consumed bit by bit
//   MapBitmap  a copy of a map BitmapLeaf's bitmap, group by group, with its
//              value-array pointers
//   Single     a one-key Immediate, unpacked
//   Immediate  an Immediate of 2..15 keys, unpacked with its values
//   FullRange  a FullEdge: every key from `cur` to `end` inclusive
//
// The only population the cursor reads is the pop field of a LinearLeaf edge,
// which the insert fast path keeps current, so it needs no path-cache flush
// and is exact while ancestor populations lag. An edge of no known tag is the
// fatal error "valid edge tag".
//
// The cursor borrows its container: it must not be advanced after the
// container has changed (nothing detects it). Every user runs it to its end
// at once into a vector (`collect`), or finishes with it before changing the
// container.
//
// `RawIter::seek` positions a cursor of either flavour at the smallest key
// >= lo (`from_tree_range` seeks down the digits of lo, pushing the frames
// the leftmost descent would have pushed, so that the walk goes on from
// there as if it had stepped over every smaller key). `MapRange` is such a
// map cursor together with an inclusive upper bound that its user enforces.
// `MapKeys` and `MapValues` project a map cursor onto its keys or its
// values. The bounded scans behind the `range` methods start from the
// seeking cursor, keep the skip-while stage (`skip_while_step`, which then
// drops nothing) and stop at the end bound (`bounded_scan`): they cost the
// depth of the trie plus the keys returned, wherever the start lies.
#pragma once

#include <optional>
#include <type_traits>
#include <vector>

#include "engine/core.hpp"
#include "engine/nav.hpp"
#include "engine/types.hpp"

namespace corvale_trie::iter {

inline constexpr unsigned MAX_FRAMES = 8;

// Frame kinds, one per branch node kind.
enum class FrameKind : u8 { L3 = 0, L7 = 1, B = 2, U = 3 };

// One branch node on the path from the root edge to the current leaf.
struct BranchFrame {
  FrameKind kind = FrameKind::U;
  u8 count = 0;      // linear kinds: the node's child count when pushed
  u16 pos = 256;     // linear: next child index; B/U: next digit (256: none)
  const void* node = nullptr;
  u8 digits[8] = {};  // linear kinds: copy of the node's digit row
  u64 prefix = 0;    // key bits above the node's child digit
  u8 level = 0;      // the node's level (a BranchU takes its edge's)
};
static_assert(std::is_trivially_copyable_v<BranchFrame>);

enum class LeafKind : u8 {
  Exhausted = 0,
  Flat = 1,
  Linear = 2,
  SetBitmap = 3,
  MapBitmap = 4,
  Single = 5,
  Immediate = 6,
  FullRange = 7,
};

// The position inside the current leaf: `kind` and the fields of that kind.
struct LeafCursor {
  struct FlatPos {
    u32 len;
    u32 pos;
    const u64* keys;
    const u64* values;  // null in the set flavour
  };
  struct LinearPos {
    u8 width;
    u16 count;
    u16 pos;
    const u8* keys;
    const u64* values;  // null in the set flavour
    u64 prefix;
  };
  struct SetBitmapPos {
    u8 word;  // 4 or more: done
    u64 prefix;
    u64 bitmap[4];
  };
  struct MapBitmapPos {
    u8 group;  // 8 or more: done
    u16 index;
    u32 bits;
    u64 prefix;
    Bitmap256 bitmap;
    const u64* subarrays[8];
  };
  struct SinglePos {
    u8 done;
    u64 key;
    u64 value;
  };
  struct ImmediatePos {
    u8 count;
    u8 pos;
    u64 keys[15];
    u64 values[15];
  };
  struct FullRangePos {
    u64 cur;
    u64 end;  // inclusive; cur > end once the range is used up
  };

  LeafKind kind = LeafKind::Exhausted;
  union {
    FlatPos flat;
    LinearPos linear;
    SetBitmapPos set_bitmap;
    MapBitmapPos map_bitmap;
    SinglePos single;
    ImmediatePos immediate;
    FullRangePos full;
  };

  LeafCursor() noexcept : flat{} {}
};
static_assert(std::is_trivially_copyable_v<LeafCursor>);

template <bool IS_MAP>
class RawIter {
 public:
  // What a step yields: a key (set) or a (key, value) pair (map).
  using Item = nav::Entry<IS_MAP>;

  // A finished cursor: all frames fresh, leaf Exhausted, depth 0.
  RawIter() noexcept = default;

  // A cursor before the smallest key of a container record of this flavour.
  [[nodiscard]] static RawIter over(const CoreRecord& rec) noexcept;

  // A cursor whose first step yields the smallest entry with key >= lo under
  // a container's root edge (level 8), or a finished cursor when there is
  // none.
  [[nodiscard]] static RawIter from_tree_range(const Edge& root_edge, u64 lo) noexcept;

  // The same over a container record of this flavour (flat array or tree).
  [[nodiscard]] static RawIter seek(const CoreRecord& rec, u64 lo) noexcept;

  // The next key or pair in ascending order, or nothing once the walk is
  // over (and on every later call). Steps inside a flat array or a linear
  // leaf are taken inline; everything else is the out-of-line step.
  std::optional<Item> next() noexcept {
    if (leaf.kind == LeafKind::Linear) {
      if (leaf.linear.pos < leaf.linear.count) return linear_item();
    } else if (leaf.kind == LeafKind::Flat) {
      if (leaf.flat.pos < leaf.flat.len) return flat_item();
      return std::nullopt;
    }
    return step();
  }

  BranchFrame frames[MAX_FRAMES];
  LeafCursor leaf;
  u64 depth = 0;

 private:
  // The full step: advance the current leaf by its kind, then the frames.
  std::optional<Item> step() noexcept;
  // What a step yields for a key: the key (set), or the key with the value
  // that `value` reads (map; the set flavour never calls it).
  template <class Value>
  [[gnu::always_inline]] static Item item(u64 key, Value&& value) noexcept {
    if constexpr (IS_MAP)
      return KeyValue{key, value()};
    else
      return key;
  }
  // The next entry of a Linear or Flat leaf that has one left.
  [[gnu::always_inline]] Item linear_item() noexcept {
    LeafCursor::LinearPos& c = leaf.linear;
    const u16 i = c.pos++;
    return item(c.prefix | leaf::key_at(c.keys, c.width, i), [&] { return c.values[i]; });
  }
  [[gnu::always_inline]] Item flat_item() noexcept {
    LeafCursor::FlatPos& c = leaf.flat;
    const u32 i = c.pos++;
    return item(c.keys[i], [&] { return c.values[i]; });
  }
  // Descends along the leftmost path from `edge` (at `level`, key bits above
  // it in `prefix`) to its first leaf, pushing a frame per branch node.
  // False when the edge holds no keys.
  bool descend(const Edge* edge, unsigned level, u64 prefix) noexcept;
  // Takes the next child of the innermost frame that has one left (popping
  // used-up frames) and descends into it; at the end of the walk the leaf
  // becomes Exhausted and depth 0. False when the walk is over.
  bool advance_frames() noexcept;
  BranchFrame& push_frame() noexcept;
  // Enters the first child whose digit is >= s of the branch node under `e`
  // (the node at `level`, `prefix` the key bits above its child digit):
  // pushes the node's frame, positioned one past that child, and returns the
  // child with its digit; null (nothing pushed) when no child qualifies.
  const Edge* enter_branch(const Edge& e, unsigned level, unsigned s, u64 prefix, unsigned& digit) noexcept;
};

extern template class RawIter<false>;
extern template class RawIter<true>;

// The set cursor: yields keys.
class SetIter : public RawIter<false> {
 public:
  SetIter() noexcept = default;
  SetIter(const RawIter<false>& raw) noexcept : RawIter<false>(raw) {}
};

// The map cursor: yields (key, value) pairs.
class MapIter : public RawIter<true> {
 public:
  MapIter() noexcept = default;
  MapIter(const RawIter<true>& raw) noexcept : RawIter<true>(raw) {}
};

static_assert(sizeof(SetIter) == sizeof(RawIter<false>) && sizeof(MapIter) == sizeof(RawIter<true>));

// A map cursor positioned at the smallest key >= lo, and the inclusive upper
// bound hi. `next` is the cursor's step and does not look at hi: the user
// stops at the first key greater than hi.
class MapRange {
 public:
  MapRange() noexcept = default;
  MapRange(const MapIter& c, u64 h) noexcept : cursor(c), hi(h) {}

  std::optional<KeyValue> next() noexcept { return cursor.next(); }

  MapIter cursor;
  u64 hi = 0;
};

// The keys of a map cursor.
class MapKeys {
 public:
  explicit MapKeys(const MapIter& c) noexcept : cursor_(c) {}
  std::optional<u64> next() noexcept {
    if (auto kv = cursor_.next()) return kv->key;
    return std::nullopt;
  }

 private:
  MapIter cursor_;
};

// The values of a map cursor, in the ascending order of their keys.
class MapValues {
 public:
  explicit MapValues(const MapIter& c) noexcept : cursor_(c) {}
  std::optional<u64> next() noexcept {
    if (auto kv = cursor_.next()) return kv->value;
    return std::nullopt;
  }

 private:
  MapIter cursor_;
};

// Runs a cursor or projection to its end into a new vector. Nothing is
// allocated for an empty walk; the first item allocates room for 4 and the
// vector doubles whenever it is full.
template <class Cursor>
[[nodiscard]] auto collect(Cursor cursor) {
  using T = typename decltype(cursor.next())::value_type;
  std::vector<T> out;
  auto first = cursor.next();
  if (!first) return out;
  out.reserve(4);
  out.push_back(*first);
  while (auto item = cursor.next()) out.push_back(*item);
  return out;
}

// The key of an item of either flavour.
[[nodiscard]] constexpr u64 item_key(u64 key) noexcept { return key; }
[[nodiscard]] constexpr u64 item_key(const KeyValue& kv) noexcept { return kv.key; }

// One step of the skip-while stage of a bounded scan: steps the cursor,
// dropping items whose key is below `start` until the first one that is not
// (then sets `skipped`); afterwards every item passes unchanged.
template <bool IS_MAP>
[[nodiscard]] std::optional<nav::Entry<IS_MAP>> skip_while_step(RawIter<IS_MAP>& cursor, bool& skipped,
                                                                u64 start) noexcept {
  for (;;) {
    auto item = cursor.next();
    if (!item) return std::nullopt;
    if (skipped) return item;
    if (item_key(*item) < start) continue;
    skipped = true;
    return item;
  }
}

// A bounded scan: the items of a cursor (a whole-container cursor, or one
// positioned at start by `seek`) with start <= key and key <= end
// (inclusive) or key < end (exclusive); no end bound when `end` is empty.
// The cursor is not stepped past the first item that fails the end test.
template <bool IS_MAP>
[[nodiscard]] std::vector<nav::Entry<IS_MAP>> bounded_scan(RawIter<IS_MAP> cursor, u64 start,
                                                           std::optional<u64> end, bool inclusive) {
  std::vector<nav::Entry<IS_MAP>> out;
  bool skipped = false;
  while (auto item = skip_while_step<IS_MAP>(cursor, skipped, start)) {
    const u64 k = item_key(*item);
    if (end && (inclusive ? k > *end : k >= *end)) break;
    if (out.empty()) out.reserve(4);
    out.push_back(*item);
  }
  return out;
}

}  // namespace corvale_trie::iter
