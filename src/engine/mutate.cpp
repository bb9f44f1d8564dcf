// Set-flavour insertion: the set's leaf steps for the shared insertion walk
// (engine/mutate.hpp) and the entry points of the core set.
#include "engine/mutate.hpp"

#include <cstring>

namespace corvale_trie::mutate {
namespace {

using walk::Step;

// Set leaves: Immediates of up to floor(15 / W) keys packed across payload
// and decode, LinearLeaf blocks of packed keys, 64-byte BitmapLeaf blocks,
// and the FullEdge that a level-1 BitmapLeaf becomes at its 256th key.
struct SetFlavor {
  struct Ctx {
    NodeAlloc& alloc;
    PathCache& path;
    u64 key;
  };
  using Items = LeafKeys;

  static constexpr bool kMap = false;
  static constexpr bool kCacheConvertedBitmap = true;

  [[nodiscard]] static bool valid_immed_tag(u8 tag) noexcept { return is_set_immed_tag(tag); }

  static Step present(Ctx&, u64*) noexcept { return Step::present(); }
  static Step added(Ctx&, u64*) noexcept { return Step::added(); }
  static Step added_after_rebuild(Ctx&, Edge&, u8) noexcept { return Step::added(); }

  // A new one-key Immediate: the key's low E bytes in payload.
  static Step empty_edge(Ctx& c, Edge& edge, u8 E) noexcept {
    c.path.flush_and_reset();
    edge.clear();
    edge.payload = c.key & byte_mask(E);
    edge.tag = immed_tag(E, 1);
    return Step::added();
  }

  static Step immediate(Ctx& c, Edge& edge, u8 E, unsigned W, unsigned n) {
    CORVALE_ASSERT(W == E);
    (void)E;
    c.path.flush_and_reset();
    const u64 k = c.key & byte_mask(W);
    if (n == 1) {
      const u64 stored = edge.payload & byte_mask(W);
      if (stored == k) return Step::present();
      const u64 two[2] = {stored < k ? stored : k, stored < k ? k : stored};
      write_immed(edge, static_cast<u8>(W), two, 2);
      return Step::added();
    }
    ImmedBytes<false> packed(edge);
    const leaf::LocateResult at = leaf::locate(packed.bytes, n, static_cast<u8>(W), k);
    if (at.found) return Step::present();
    const u64 p = at.index;
    if (n < set_immed_max(W)) {
      CORVALE_EXPECT((n + 1) * W < 16, "immediate capacity");
      packed.insert_key(p, n, W, k);
      packed.store(edge);
      edge.tag = immed_tag(W, n + 1);
      return Step::added();
    }
    // Full: the keys move into a LinearLeaf of the same width.
    u64 keys[16];
    unpack_keys(packed.bytes, W, p, keys);
    keys[p] = k;
    unpack_keys(packed.bytes + p * W, W, n - p, keys + p + 1);
    build_leaf(c.alloc, edge, static_cast<u8>(W), keys, n + 1);
    return Step::added();
  }

  static Step bitmap_leaf(Ctx& c, Edge& edge, u8 E) {
    auto* leaf = edge.ptr<SetBitmapLeaf>();
    CORVALE_EXPECT(leaf != nullptr, "leaf ptr");
    const u64 n = edge.pop(1);
    if (leaf->bitmap.test(static_cast<u8>(c.key))) return Step::present();
    occ::set_bit(leaf->bitmap, static_cast<u8>(c.key));
    if (n + 1 == 256 && E == 1) {
      c.alloc.destroy(leaf, "leaf ptr");
      edge.clear();
      edge.decode[0] = 0xFF;
      edge.tag = TAG_FULL;
      c.path.flush_and_reset();
      return Step::added();
    }
    edge.set_pop(1, n + 1);
    if (E == 1) walk::fill_cache(c.path, c.key, edge, leaf, nullptr, n + 1);
    return Step::added();
  }

  static Step full_edge(Ctx&, Edge&, u8) noexcept { return Step::present(); }
  static void relocate_slot(Ctx&, const Edge&, Edge&) noexcept {}

  // Overflow of a full leaf.
  [[nodiscard]] static Items collect(const Edge& edge, u8 W, u64 n) noexcept { return leaf_keys(edge, W, n); }
  [[nodiscard]] static u64 new_item(const Ctx&, u64 k) noexcept { return k; }
  [[nodiscard]] static u64& item_key(u64& k) noexcept { return k; }
  [[nodiscard]] static u64 item_key(const u64& k) noexcept { return k; }
  [[nodiscard]] static Ctx nested_ctx(const Ctx& c, u64 k) noexcept { return Ctx{c.alloc, c.path, k}; }
  static void build_bitmap(Ctx& c, Edge& edge, const Items& items) {
    auto* leaf = c.alloc.make<SetBitmapLeaf>();
    for (const u64 k : items) leaf->bitmap.set(static_cast<u8>(k));
    edge.clear();
    edge.set_ptr(leaf);
    edge.tag = TAG_BITMAP_LEAF;
    edge.set_pop(1, items.size());
  }
};

}  // namespace

bool insert_with_path_flat(NodeAlloc& alloc, Edge& edge, u64 key, u8 level, PathCache& path) {
  SetFlavor::Ctx c{alloc, path, key};
  return walk::run<SetFlavor, walk::PrivateMode>(c, edge, level);
}

template <bool OCC>
bool insert_with_path_occ(NodeAlloc& alloc, Edge& edge, u64 key, u8 level, PathCache& path) {
  if constexpr (!OCC) {
    return insert_with_path_flat(alloc, edge, key, level, path);
  } else {
    // The shared walk fills no cache: its steps write into a scratch one.
    PathCache scratch;
    SetFlavor::Ctx c{alloc, scratch, key};
    return walk::run<SetFlavor, walk::SharedMode>(c, edge, level);
  }
}
template bool insert_with_path_occ<false>(NodeAlloc&, Edge&, u64, u8, PathCache&);
template bool insert_with_path_occ<true>(NodeAlloc&, Edge&, u64, u8, PathCache&);

bool insert_path_dyn(NodeAlloc& alloc, Edge& edge, u64 key, u8 level, PathCache& path) {
  if (alloc.shared()) return insert_with_path_occ<true>(alloc, edge, key, level, path);
  return insert_with_path_flat(alloc, edge, key, level, path);
}

}  // namespace corvale_trie::mutate
