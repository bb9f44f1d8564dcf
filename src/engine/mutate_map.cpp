// Map-flavour insertion: the map's leaf steps for the shared insertion walk
// (engine/mutate.hpp) and the entry point of the core map.
#include "engine/mutate_map.hpp"

#include <cstring>

#include "engine/get.hpp"
#include "engine/mutate.hpp"

namespace corvale_trie::mutate_map {
namespace {

using mutate::walk::Step;

// Map leaves: Immediates of up to floor(7 / W) keys in the decode bytes with
// the value inline (one key) or in a ValueArray, LinearLeaf blocks of values
// then keys, and 128-byte BitmapLeaf blocks with a value subarray per group
// of 32 low bytes. ENSURE selects what a present key does: false replaces
// its value, true keeps it.
template <bool ENSURE>
struct MapFlavor {
  struct Ctx {
    NodeAlloc& alloc;
    PathCache& path;
    u64 key;
    u64 value;
    bool found = false;
    u64 old = 0;
    u64* slot = nullptr;
  };
  using Items = LeafPairs;

  static constexpr bool kMap = true;
  // A bitmap leaf built from a full leaf is left out of the path cache.
  static constexpr bool kCacheConvertedBitmap = false;

  [[nodiscard]] static bool valid_immed_tag(u8 tag) noexcept { return is_map_immed_tag(tag); }

  // In shared mode the steps work on a copy of each edge, and the slot of a
  // one-key Immediate's inline value lies in that copy until relocate_slot
  // moves it to the real edge, before the walk's call returns.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
  static Step present(Ctx& c, u64* slot) noexcept {
    CORVALE_ASSERT(slot != nullptr);
    c.found = true;
    c.slot = slot;
    c.old = *slot;
    if constexpr (!ENSURE) occ::store(*slot, c.value);
    return Step::present();
  }
  // The shared walk works on a copy of each edge: a slot inside the copy
  // (the inline value of a one-key Immediate) moves to the real edge.
  static void relocate_slot(Ctx& c, const Edge& copy, Edge& edge) noexcept {
    if (c.slot == &copy.payload) c.slot = &edge.payload;
  }
  static Step added(Ctx& c, u64* slot) noexcept {
    c.slot = slot;
    return Step::added();
  }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  // After a leaf was rebuilt, the new key's value word is found again by a
  // lookup from the rebuilt edge.
  static Step added_after_rebuild(Ctx& c, Edge& edge, u8 E) {
    u64* slot = get::locate_slot(&edge, c.key, E);
    CORVALE_EXPECT(slot != nullptr, "just-inserted key");
    return added(c, slot);
  }

  // A new one-key Immediate: the key's low E bytes in decode, the value in
  // payload.
  static Step empty_edge(Ctx& c, Edge& edge, u8 E) noexcept {
    c.path.flush_and_reset();
    edge.clear();
    edge.payload = c.value;
    mutate::write_decode(edge, 0, E, c.key);
    edge.tag = immed_tag(E, 1);
    return added(c, &edge.payload);
  }

  // The tag has passed the map bound n*W <= 7, so every key lies within
  // decode bytes 0..6.
  static Step immediate(Ctx& c, Edge& edge, u8 E, unsigned W, unsigned n) {
    CORVALE_ASSERT(W == E && n * W <= 7);
    (void)E;
    c.path.flush_and_reset();
    const u64 k = c.key & byte_mask(W);
    if (n == 1) {
      const u64 stored = edge.decode_word() & byte_mask(W);
      if (stored == k) return present(c, &edge.payload);
      const bool first = k < stored;
      const KeyValue mine{k, c.value};
      const KeyValue theirs{stored, edge.payload};
      const KeyValue pairs[2] = {first ? mine : theirs, first ? theirs : mine};
      // Two keys of width 4..7 do not fit in decode: they make a leaf.
      if (2 * W > 7)
        build_map_leaf(c.alloc, edge, static_cast<u8>(W), pairs, 2);
      else
        write_map_immed(c.alloc, edge, static_cast<u8>(W), pairs, 2);
      return added(c, edge.ptr<u64>() + (first ? 0 : 1));
    }

    u64* values = edge.ptr<u64>();
    CORVALE_EXPECT(values != nullptr, "value array");
    ImmedBytes<true> packed(edge);
    const leaf::LocateResult at = leaf::locate(packed.bytes, n, static_cast<u8>(W), k);
    if (at.found) return present(c, values + at.index);
    const u64 i = at.index;

    if (n >= map_immed_max(W)) {
      // No room left in decode: the pairs move into a LinearLeaf.
      KeyValue pairs[8];
      for (u64 j = 0, src = 0; j <= n; ++j) {
        if (j == i) {
          pairs[j] = KeyValue{k, c.value};
        } else {
          pairs[j] = KeyValue{packed.key(static_cast<unsigned>(src), W), values[src]};
          ++src;
        }
      }
      build_map_leaf(c.alloc, edge, static_cast<u8>(W), pairs, n + 1);
      c.alloc.destroy_array(values, capacity_for(n), "value array");
      return added(c, edge.ptr<u64>() + i);
    }

    CORVALE_EXPECT((n + 1) * W <= 7, "immediate capacity");
    values = open_slot(c.alloc, values, n, i, "value array");
    edge.set_ptr(values);
    occ::store(values[i], c.value);
    packed.insert_key(i, n, W, k);
    packed.store(edge);
    edge.tag = immed_tag(W, n + 1);
    return added(c, values + i);
  }

  static Step bitmap_leaf(Ctx& c, Edge& edge, u8 E) {
    auto* leaf = edge.ptr<MapBitmapLeaf>();
    CORVALE_EXPECT(leaf != nullptr, MISSING_BLOCK);
    const u8 b = static_cast<u8>(c.key);
    const unsigned g = b >> 5;
    const unsigned r = leaf->bitmap.rank_in_group(b);
    u64* sub = leaf->subarrays[g];
    if (leaf->bitmap.test(b)) {
      CORVALE_EXPECT(sub != nullptr, "values");
      return present(c, sub + r);
    }
    const u64 n = static_cast<u64>(std::popcount(leaf->bitmap.group(g)));
    sub = open_slot(c.alloc, sub, n, r, "values");
    occ::store(sub[r], c.value);
    occ::store(leaf->subarrays[g], sub);
    occ::set_bit(leaf->bitmap, b);
    const u64 count = edge.pop(1) + 1;
    edge.set_pop(1, count);
    if (E == 1) mutate::walk::fill_cache(c.path, c.key, edge, leaf, nullptr, count);
    return added(c, sub + r);
  }

  [[noreturn]] static Step full_edge(Ctx&, Edge&, u8) noexcept {
    CORVALE_UNREACHABLE("full-corvale edges are set-flavor only");
  }

  // Overflow of a full leaf.
  [[nodiscard]] static Items collect(const Edge& edge, u8 W, u64 n) noexcept {
    return read_map_leaf(edge, W, n);
  }
  [[nodiscard]] static KeyValue new_item(const Ctx& c, u64 k) noexcept { return KeyValue{k, c.value}; }
  [[nodiscard]] static u64& item_key(KeyValue& p) noexcept { return p.key; }
  [[nodiscard]] static u64 item_key(const KeyValue& p) noexcept { return p.key; }
  [[nodiscard]] static Ctx nested_ctx(const Ctx& c, const KeyValue& p) noexcept {
    return Ctx{c.alloc, c.path, p.key, p.value};
  }
  static void build_bitmap(Ctx& c, Edge& edge, const Items& items) {
    const BytePairs low = low_byte_pairs(items.data(), items.size());
    build_bitmap_leaf_map(c.alloc, edge, low.data(), low.size());
  }
};

}  // namespace

template <bool ENSURE, class Mode>
void map_insert_mode(InsertOutcome& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value,
                     u8 level, PathCache& path) {
  typename MapFlavor<ENSURE>::Ctx c{alloc, path, key, value};
  if (mutate::walk::run<MapFlavor<ENSURE>, Mode>(c, edge, level)) {
    out.found = 0;
  } else {
    out.found = 1;
    out.old = c.old;
  }
  out.slot = c.slot;
}

template <bool ENSURE>
void map_insert_with_path_flat(InsertOutcome& out, NodeAlloc& alloc, Edge& edge, u64 key,
                               u64 value, u8 level, PathCache& path) {
  map_insert_mode<ENSURE, mutate::walk::PrivateMode>(out, alloc, edge, key, value, level, path);
}

template <bool ENSURE, bool OCC>
void map_insert_with_path_occ(InsertOutcome& out, NodeAlloc& alloc, Edge& edge, u64 key,
                              u64 value, u8 level, PathCache& path) {
  if constexpr (!OCC) {
    map_insert_mode<ENSURE, mutate::walk::PrivateMode>(out, alloc, edge, key, value, level, path);
  } else {
    // The shared walk fills no cache: its steps write into a scratch one.
    PathCache scratch;
    map_insert_mode<ENSURE, mutate::walk::SharedMode>(out, alloc, edge, key, value, level, scratch);
  }
}

template <bool ENSURE>
void map_insert_path_dyn(InsertOutcome& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value,
                         u8 level, PathCache& path) {
  if (alloc.shared())
    map_insert_with_path_occ<ENSURE, true>(out, alloc, edge, key, value, level, path);
  else
    map_insert_with_path_flat<ENSURE>(out, alloc, edge, key, value, level, path);
}

template void map_insert_with_path_flat<false>(InsertOutcome&, NodeAlloc&, Edge&, u64, u64, u8,
                                               PathCache&);
template void map_insert_with_path_flat<true>(InsertOutcome&, NodeAlloc&, Edge&, u64, u64, u8,
                                              PathCache&);
template void map_insert_with_path_occ<false, true>(InsertOutcome&, NodeAlloc&, Edge&, u64, u64,
                                                    u8, PathCache&);
template void map_insert_with_path_occ<true, true>(InsertOutcome&, NodeAlloc&, Edge&, u64, u64,
                                                   u8, PathCache&);
template void map_insert_path_dyn<false>(InsertOutcome&, NodeAlloc&, Edge&, u64, u64, u8,
                                         PathCache&);
template void map_insert_path_dyn<true>(InsertOutcome&, NodeAlloc&, Edge&, u64, u64, u8,
                                        PathCache&);

}  // namespace corvale_trie::mutate_map
