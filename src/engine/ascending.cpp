// Ascending insertion (ascending.hpp).
#include "engine/ascending.hpp"

#include <bit>
#include <cstring>

#include "engine/alloc.hpp"
#include "engine/codec.hpp"
#include "engine/leaf.hpp"
#include "engine/mutate_map.hpp"
#include "engine/node.hpp"

namespace corvale_trie::map {

AscendingInserter::AscendingInserter(CorvaleMap& m) noexcept : rec_(m.record()), map_(m) {
  CORVALE_ASSERT(!rec_.alloc.shared());
}

void AscendingInserter::push(u64 key, u64 value) noexcept {
  CORVALE_ASSERT(rec_.count() == 0 || key > last_);
  if (leaf_ != nullptr && ((key ^ last_) >> (8 * width_)) == 0 && append(key, value)) {
    last_ = key;
    return;
  }
  flush();
  if (!path_) {
    // The flat array, its change into a tree, and a tree not walked yet.
    map_.insert(key, value);
    // A key that the path cache took leaves its delta there: flushed here.
    rec_.path.flush_and_reset();
    last_ = key;
    if (rec_.state == RootState::Tree) remember(&rec_.root, ROOT_LEVEL, 0, key);
    return;
  }
  // The insertion starts at the deepest edge of the last key's path whose
  // subtree holds this key: the branches above it would only pass it on,
  // and they count it here. The map's path cache stays empty (a scratch one
  // takes what the walk would fill).
  Edge* from = &rec_.root;
  unsigned level = ROOT_LEVEL;
  unsigned keep = 0;
  if (((key ^ last_) >> (8 * end_level_)) == 0) {
    from = end_;
    level = end_level_;
    keep = depth_;
  } else {
    for (unsigned i = depth_; i-- > 0;) {
      if (((key ^ last_) >> (8 * edge_levels_[i])) == 0) {
        from = ancestors_[i];
        level = edge_levels_[i];
        keep = i;
        break;
      }
    }
  }
  InsertOutcome out;
  PathCache scratch;
  mutate_map::map_insert_path_dyn<false>(out, rec_.alloc, *from, key, value, static_cast<u8>(level), scratch);
  CORVALE_ASSERT(!out.found);
  rec_.len += 1;
  for (unsigned i = 0; i < keep; ++i) ancestors_[i]->add_pop(levels_[i], 1);
  last_ = key;
  remember(from, level, keep, key);
}

// The leaf step of the map insertion for a key above every key of the leaf:
// a LinearLeaf below its limit takes it at its end (in place while the
// capacity stays, else in a block of the next capacity), a BitmapLeaf in its
// group's value subarray, a one-key Immediate of width 4..7 becomes a
// LinearLeaf. False (nothing changed) for a full LinearLeaf.
bool AscendingInserter::append(u64 key, u64 value) noexcept {
  Edge& edge = *leaf_;
  NodeAlloc& alloc = rec_.alloc;
  if (kind_ == Kind::Immediate) {
    // A one-key Immediate of width 4..7 and the new key make a LinearLeaf
    // of two pairs (two such keys do not fit in the decode bytes).
    const u64 stored = edge.decode_word() & byte_mask(width_);
    const KeyValue pairs[2] = {{stored, edge.payload}, {key & byte_mask(width_), value}};
    mutate_map::build_map_leaf(alloc, edge, static_cast<u8>(width_), pairs, 2);
    kind_ = Kind::Linear;
  } else if (kind_ == Kind::Bitmap) {
    auto* leaf = edge.ptr<MapBitmapLeaf>();
    const u8 b = static_cast<u8>(key);
    const unsigned g = b >> 5;
    const u64 r = leaf->bitmap.rank_in_group(b);
    const u64 n = static_cast<u64>(std::popcount(leaf->bitmap.group(g)));
    u64* sub = open_slot(alloc, leaf->subarrays[g], n, r, "values");
    sub[r] = value;
    leaf->subarrays[g] = sub;
    leaf->bitmap.set(b);
    edge.set_pop(1, edge.pop(1) + 1);
  } else {
    const unsigned W = width_;
    const u64 n = edge.pop(W);
    if (n >= (W == 1 ? MAP_W1_LEAF_MAX : LINEAR_LEAF_MAX)) return false;
    u8* block = edge.ptr<u8>();
    CORVALE_EXPECT(block != nullptr, "leaf ptr");
    if (capacity_for(n + 1) != capacity_for(n)) {
      u8* grown = static_cast<u8*>(alloc.allocate_bytes(map_leaf_bytes(n + 1, W)));
      std::memcpy(grown + 8 * capacity_for(n + 1), block + 8 * capacity_for(n), n * W);
      std::memcpy(grown, block, n * 8);
      alloc.release_bytes(block, map_leaf_bytes(n, W), "leaf ptr");
      edge.set_ptr(grown);
      block = grown;
    }
    leaf::set_key_at(block + 8 * capacity_for(n + 1), W, n, key & byte_mask(W));
    reinterpret_cast<u64*>(block)[n] = value;
    edge.set_pop(W, n + 1);
  }
  pending_ += 1;
  rec_.len += 1;
  return true;
}

namespace {

// The child edge of a linear branch for `key` (null when its digit is
// missing); `level` becomes the node's level.
template <class Node>
Edge* linear_child(Node* node, u64 key, unsigned& level) noexcept {
  level = node->level;
  const int i = node->find(digit_at(key, level));
  return i >= 0 ? &node->children[i] : nullptr;
}

}  // namespace

// Walks from `e`, an edge of level E on the path of `key` (just inserted, so
// every digit on the way is present) below `depth` ancestors already
// recorded, to the edge that holds the key; remembers the branch edges on
// the way, that edge, and the edge as the leaf to append to when it is a
// LinearLeaf, a BitmapLeaf or a one-key Immediate of width 4..7.
void AscendingInserter::remember(Edge* e, unsigned E, unsigned depth, u64 key) noexcept {
  leaf_ = nullptr;
  for (;;) {
    unsigned L = E;
    Edge* child = nullptr;
    switch (e->tag) {
      case TAG_L3:
        child = linear_child(e->ptr<BranchL3>(), key, L);
        break;
      case TAG_L7:
        child = linear_child(e->ptr<BranchL7>(), key, L);
        break;
      case TAG_B: {
        auto* node = e->ptr<BranchB>();
        L = node->level;
        child = node->child(digit_at(key, L));
        break;
      }
      case TAG_U:
        child = &e->ptr<BranchU>()->children[digit_at(key, E)];
        break;
      default:
        end_ = e;
        end_level_ = E;
        depth_ = depth;
        path_ = true;
        if (e->tag == TAG_BITMAP_LEAF) {
          kind_ = Kind::Bitmap;
          width_ = 1;
        } else if (is_linear_leaf_tag(e->tag)) {
          kind_ = Kind::Linear;
          width_ = linear_leaf_width(e->tag);
        } else if (is_map_immed_tag(e->tag) && immed_count(e->tag) == 1 && immed_width(e->tag) >= 4) {
          kind_ = Kind::Immediate;
          width_ = immed_width(e->tag);
        } else {
          return;
        }
        leaf_ = e;
        return;
    }
    CORVALE_EXPECT(child != nullptr && depth < 8, "just-inserted key");
    if (L < ROOT_LEVEL) {
      ancestors_[depth] = e;
      levels_[depth] = static_cast<u8>(L);
      edge_levels_[depth] = static_cast<u8>(E);
      ++depth;
    }
    e = child;
    E = L - 1;
  }
}

// Adds the appended pairs to the pop fields of the ancestors.
void AscendingInserter::flush() noexcept {
  if (pending_ != 0)
    for (unsigned i = 0; i < depth_; ++i) ancestors_[i]->add_pop(levels_[i], pending_);
  pending_ = 0;
}

void AscendingInserter::finish() noexcept {
  flush();
  path_ = false;
  depth_ = 0;
  leaf_ = nullptr;
}

}  // namespace corvale_trie::map
