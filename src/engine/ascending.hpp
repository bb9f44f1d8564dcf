// corvale_trie engine: insertion of pairs that arrive in ascending key order.
//
// A map rebuilt from a sorted source (the blob map's image) receives its
// pairs in ascending order, each above every key already stored. Each pair
// ends up exactly as CorvaleMap::insert would put it (the same nodes, the
// same allocations and releases, the same counters), but a pair that lands
// in the leaf of the previous one is appended there without a descent from
// the root. The inserter remembers that leaf, at any level (a map
// LinearLeaf of any width, a map BitmapLeaf, or a one-key map Immediate of
// width 4..7, which the second key turns into a LinearLeaf), and the branch
// edges above it. An append writes the leaf and its own edge as the
// insertion's leaf step does and counts the pair in `pending_`, which is
// added to the ancestors' pop fields before the next descent and at
// `finish` (the scheme of the path cache, path_cache.hpp, for leaves of
// every level).
//
// Every other pair (a narrower Immediate, a full leaf, a new child, a key
// leaving a skip prefix) goes through the map insertion itself, started at
// the deepest edge of the previous key's path whose subtree holds the new
// key (the branches above would only pass it on; their pop fields count it
// directly); the inserter then walks down from there to the new key's leaf
// to remember it. The flat array and its change into a tree go through
// CorvaleMap::insert. The map's own path cache is kept empty, so that it
// never describes a leaf the inserter appends to.
//
// Private mode only (a map without a collector). Nothing else may change the
// map until `finish` (the destructor calls it).
#pragma once

#include "engine/map.hpp"

namespace corvale_trie::map {

class AscendingInserter {
 public:
  explicit AscendingInserter(CorvaleMap& m) noexcept;
  AscendingInserter(const AscendingInserter&) = delete;
  AscendingInserter& operator=(const AscendingInserter&) = delete;
  ~AscendingInserter() { finish(); }

  // Inserts a pair whose key is above every key in the map.
  void push(u64 key, u64 value) noexcept;
  // Brings every pop field up to date and forgets the leaf.
  void finish() noexcept;

 private:
  [[nodiscard]] bool append(u64 key, u64 value) noexcept;
  void remember(Edge* e, unsigned E, unsigned depth, u64 key) noexcept;
  void flush() noexcept;

  CoreRecord& rec_;
  CorvaleMap& map_;
  enum class Kind : u8 { Linear, Bitmap, Immediate };
  Edge* leaf_ = nullptr;  // the edge of the last pair's leaf, or null
  unsigned width_ = 0;    // its key width (1 for a BitmapLeaf)
  Kind kind_ = Kind::Linear;
  u64 last_ = 0;          // the last pair's key
  Edge* ancestors_[8] = {};  // the branch edges on the last key's path, root side first
  u8 levels_[8] = {};        // pop-field width of each (its node's level)
  u8 edge_levels_[8] = {};   // level of each edge
  unsigned depth_ = 0;
  Edge* end_ = nullptr;      // the edge below them that holds the last key
  unsigned end_level_ = 0;
  bool path_ = false;        // the fields above describe the last key's path
  u64 pending_ = 0;
};

}  // namespace corvale_trie::map
