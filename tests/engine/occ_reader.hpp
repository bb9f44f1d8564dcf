// Test support: an optimistic point lookup that validates as the concurrent
// containers' lock-free readers do, over a core container in shared mode
// whose writer brackets every operation with a sequence word (odd while it
// runs, as a concurrent container's writer does).
//
// Protocol: load the sequence word (acquire; odd fails); read the root words
// with relaxed loads and validate them against it before using what they
// name. From the first branch node on, the guard is the version of the last
// branch node entered: a node's version is loaded (acquire; odd fails), then
// the previous guard is validated (the node was still linked), and every
// child edge read in the node is validated against the node's version before
// it is followed. A BranchB's or a map BitmapLeaf's subarray pointer is
// validated together with its bitmap before an entry is read, so no read
// goes past the end of a subarray. Leaves are read with relaxed loads within
// the bounds their validated edge gives, then validated. Validation is an
// acquire fence and a reload of the guard. Every read uses occ.hpp.
#pragma once

#include <bit>
#include <optional>

#include "engine/core.hpp"
#include "engine/leaf.hpp"
#include "engine/node.hpp"
#include "engine/occ.hpp"

namespace corvale_trie::testsupport {

enum class Outcome : u8 { Retry, Absent, Present };

struct Answer {
  Outcome outcome = Outcome::Retry;
  u64 value = 0;  // map flavour, when present
};

[[nodiscard]] inline bool still(const u32& guard, u32 seen) noexcept {
  __atomic_thread_fence(__ATOMIC_ACQUIRE);
  return occ::load_version(guard) == seen;
}

[[nodiscard]] inline const u32* version_word(const Edge& e) noexcept {
  switch (e.tag) {
    case TAG_L3: return &e.ptr<BranchL3>()->version;
    case TAG_L7: return &e.ptr<BranchL7>()->version;
    case TAG_B: return &e.ptr<BranchB>()->version;
    default: return &e.ptr<BranchU>()->version;
  }
}

// The entry of byte b in a bitmap with one packed subarray per group of 32
// (a BranchB's edges, a map BitmapLeaf's values): null when the bit is clear,
// nullopt when the guard moved. The subarray pointer is validated together
// with the bitmap before the entry's address is formed: the subarray then
// holds capacity_for(popcount(group)) entries, more than the rank.
template <class T>
[[nodiscard]] std::optional<const T*> group_entry(const Bitmap256& bitmap, T* const* subarrays, u8 b,
                                                  const u32& guard, u32 seen) {
  const u64 word = occ::load(bitmap.words[b >> 6]);
  if (((word >> (b & 63)) & 1) == 0) return nullptr;
  const u32 group = static_cast<u32>(word >> (32 * ((b >> 5) & 1)));
  const unsigned r = static_cast<unsigned>(std::popcount(group & ((u32{1} << (b & 31)) - 1)));
  const T* sub = occ::load(subarrays[b >> 5]);
  if (!still(guard, seen)) return std::nullopt;
  CORVALE_EXPECT(sub != nullptr, "subarray");
  return sub + r;
}

template <bool IS_MAP>
[[nodiscard]] Answer optimistic_get(const CoreRecord& rec, const u32& seq, u64 key) {
  constexpr Answer kRetry{};
  const u32 s = occ::load_version(seq);
  if (s & 1) return kRetry;
  const RootState state = occ::load(rec.state);
  const u64 root_payload = occ::load(rec.root.payload);
  const u64 n_flat = occ::load(rec.len);
  if (!still(seq, s)) return kRetry;
  if (state == RootState::Empty) return {Outcome::Absent};
  if (state == RootState::Flat) {
    const auto* block = reinterpret_cast<const u64*>(static_cast<std::uintptr_t>(root_payload));
    CORVALE_EXPECT(block != nullptr && n_flat >= 1 && n_flat <= FLAT_MAX_KEYS, "valid flat root");
    Answer a{Outcome::Absent};
    for (u64 i = 0; i < n_flat; ++i) {
      if (occ::load(block[i]) == key) {
        a.outcome = Outcome::Present;
        if (IS_MAP) a.value = occ::load(block[capacity_for(n_flat) + i]);
      }
    }
    return still(seq, s) ? a : kRetry;
  }

  Edge e = occ::load_edge(rec.root);
  if (!still(seq, s)) return kRetry;
  const u32* guard = &seq;
  u32 seen = s;
  unsigned E = ROOT_LEVEL;
  for (;;) {
    const u8 tag = e.tag;
    if (is_branch_tag(tag)) {
      const u32* vw = version_word(e);
      const u32 v = occ::load_version(*vw);
      if ((v & 1) || !still(*guard, seen)) return kRetry;
      guard = vw;
      seen = v;
      unsigned L = E;
      const Edge* child = nullptr;
      Edge found;
      const auto linear = [&](const auto* node) -> bool {
        L = occ::load(node->level);
        const unsigned count = occ::load(node->count);
        if (count > node->kCapacity || L == 0 || L > E) return false;
        if (!skip_matches(e, key, L, E)) return true;
        const u8 d = digit_at(key, L);
        for (unsigned i = 0; i < count; ++i)
          if (occ::load(node->digits[i]) == d) child = &node->children[i];
        return true;
      };
      if (tag == TAG_L3 || tag == TAG_L7) {
        const bool sane = tag == TAG_L3 ? linear(e.ptr<BranchL3>()) : linear(e.ptr<BranchL7>());
        if (!sane) return kRetry;
      } else if (tag == TAG_B) {
        const auto* node = e.ptr<BranchB>();
        L = occ::load(node->level);
        if (L == 0 || L > E) return kRetry;
        if (!skip_matches(e, key, L, E)) return {Outcome::Absent};
        const std::optional<const Edge*> at =
            group_entry(node->bitmap, node->subarrays, digit_at(key, L), *guard, seen);
        if (!at) return kRetry;
        child = *at;
      } else {
        child = &e.ptr<BranchU>()->children[digit_at(key, E)];
      }
      if (child == nullptr) return still(*guard, seen) ? Answer{Outcome::Absent} : kRetry;
      found = occ::load_edge(*child);
      if (!still(*guard, seen)) return kRetry;
      e = found;
      E = L - 1;
      continue;
    }

    // A leaf form under the validated edge e of level E.
    Answer a{Outcome::Absent};
    if (tag == TAG_EMPTY) return a;
    if (tag == TAG_FULL) return {Outcome::Present};
    if (is_linear_leaf_tag(tag)) {
      const unsigned W = linear_leaf_width(tag);
      if (!skip_matches(e, key, W, E)) return a;
      const u64 n = e.pop(W);
      const u8* block = e.ptr<u8>();
      const u8* keys = block + (IS_MAP ? 8 * capacity_for(n) : 0);
      u8 local[32 * 7 + 16] = {};
      CORVALE_EXPECT(n <= LINEAR_LEAF_MAX, "leaf count");
      occ::copy_out(local, keys, n * W);
      const leaf::LocateResult at = leaf::locate(local, n, static_cast<u8>(W), key & byte_mask(W));
      if (at.found) {
        a.outcome = Outcome::Present;
        if (IS_MAP) a.value = occ::load(reinterpret_cast<const u64*>(block)[at.index]);
      }
    } else if (tag == TAG_BITMAP_LEAF) {
      if (!skip_matches(e, key, 1, E)) return a;
      const u8 b = static_cast<u8>(key);
      if constexpr (IS_MAP) {
        const auto* leaf = e.ptr<MapBitmapLeaf>();
        const std::optional<const u64*> at = group_entry(leaf->bitmap, leaf->subarrays, b, *guard, seen);
        if (!at) return kRetry;
        if (*at != nullptr) a = {Outcome::Present, occ::load(**at)};
      } else {
        const auto* leaf = e.ptr<SetBitmapLeaf>();
        if ((occ::load(leaf->bitmap.words[b >> 6]) >> (b & 63)) & 1) a.outcome = Outcome::Present;
      }
    } else {
      const unsigned W = immed_width(tag);
      const unsigned n = immed_count(tag);
      CORVALE_EXPECT(IS_MAP ? is_map_immed_tag(tag) : is_set_immed_tag(tag), "valid immediate tag");
      // The keys live in the validated local copy of the edge.
      u8 bytes[24] = {};
      if (IS_MAP)
        std::memcpy(bytes, e.decode, 7);
      else
        std::memcpy(bytes, &e, 15);
      for (unsigned i = 0; i < n; ++i) {
        u64 k = 0;
        std::memcpy(&k, bytes + i * W, W);
        if (k == (key & byte_mask(W))) {
          a.outcome = Outcome::Present;
          if (IS_MAP) a.value = n == 1 ? e.payload : occ::load(e.ptr<u64>()[i]);
        }
      }
    }
    return still(*guard, seen) ? a : kRetry;
  }
}

}  // namespace corvale_trie::testsupport
