// corvale_trie engine: ordered navigation over the 256-way trie.
//
// Every edge below the root carries the population of its subtree (its pop
// field), so the trie answers order queries without visiting keys:
//
//   edge_pop      the population under an edge, read from the edge alone
//   count_below   rank: the number of keys strictly below a key
//   next / prev   inclusive neighbour search: the smallest key >= k, the
//                 largest key <= k
//   by_count      select: the key with exactly i keys below it
//
// Each works under any edge at any level E (1..8; the root edge stands at 8),
// in the set flavour (IS_MAP false: keys only) and the map flavour (IS_MAP
// true: the key with its value). The search key handed to an edge of level E
// holds only key bytes 0..E-1; a parent clears its own digit and everything
// above before it descends, and ORs its digit and its skip prefix back into
// the result on the way up, so a call at ROOT_LEVEL deals in whole keys.
//
// Skip prefixes: a node of level L under an edge of level E > L keeps the key
// bytes L..E-1 common to its subtree in the edge (P). Comparing the search
// key's bytes above L (H) with P decides the whole subtree at once: for next,
// H > P means nothing qualifies and H < P means the subtree's minimum does;
// prev mirrors it; rank counts the whole subtree or none of it.
//
// next and prev recurse one call per level (at most eight deep) and keep no
// explicit stack: a child that yields nothing returns to its parent, which
// tries its next child up (next) or down (prev) from that child's minimum or
// maximum. Searches inside a node are branch-free halving searches (digits,
// unpacked immediates, flat arrays) or the packed leaf lower bound; bitmaps
// are scanned a 64-bit word at a time with count-trailing/leading-zeros.
//
// Neighbour search reads no pop field of a branch or of an ancestor edge: the
// only population it reads is that of a LinearLeaf edge, which the insert
// fast path always keeps current. It is therefore exact while the path cache
// holds a pending population delta. Rank and select do read ancestor
// populations; the container operations flush the path cache first.
//
// A tag outside the edge-tag table is the fatal error "valid edge tag".
#pragma once

#include <bit>
#include <optional>
#include <type_traits>

#include "engine/core.hpp"
#include "engine/leaf.hpp"
#include "engine/node.hpp"
#include "engine/types.hpp"

namespace corvale_trie::nav {

// What a navigation step finds: the key alone (set) or the key and its value
// (map).
template <bool IS_MAP>
using Entry = std::conditional_t<IS_MAP, KeyValue, u64>;

// The population of the subtree under `edge`, an edge at `level` (1..7).
[[nodiscard]] u64 edge_pop(const Edge& edge, u8 level);

// Rank: the number of keys below `key` under `edge` (at `level`, 1..8).
template <bool IS_MAP>
[[nodiscard]] u64 count_below(const Edge& edge, u64 key, u8 level);

// The smallest key >= `key` under `edge`, with its value in the map flavour.
template <bool IS_MAP>
[[nodiscard]] std::optional<Entry<IS_MAP>> next(const Edge& edge, u64 key, u8 level);

// The largest key <= `key` under `edge`, with its value in the map flavour.
template <bool IS_MAP>
[[nodiscard]] std::optional<Entry<IS_MAP>> prev(const Edge& edge, u64 key, u8 level);

// Select: the key with `index` keys below it under `edge`. The caller
// guarantees index < the edge's population.
template <bool IS_MAP>
[[nodiscard]] Entry<IS_MAP> by_count(const Edge& edge, u64 index, u8 level);

extern template u64 count_below<false>(const Edge&, u64, u8);
extern template u64 count_below<true>(const Edge&, u64, u8);
extern template std::optional<u64> next<false>(const Edge&, u64, u8);
extern template std::optional<KeyValue> next<true>(const Edge&, u64, u8);
extern template std::optional<u64> prev<false>(const Edge&, u64, u8);
extern template std::optional<KeyValue> prev<true>(const Edge&, u64, u8);
extern template u64 by_count<false>(const Edge&, u64, u8);
extern template KeyValue by_count<true>(const Edge&, u64, u8);

// ---------------------------------------------------------------------------
// The order queries over a whole container record (flat array or tree), one
// body for both flavours; the core set and map answer through them.

template <bool IS_MAP>
[[nodiscard]] std::optional<Entry<IS_MAP>> record_first(const CoreRecord& rec);
template <bool IS_MAP>
[[nodiscard]] std::optional<Entry<IS_MAP>> record_last(const CoreRecord& rec);
template <bool IS_MAP>
[[nodiscard]] std::optional<Entry<IS_MAP>> record_next(const CoreRecord& rec, u64 key);
template <bool IS_MAP>
[[nodiscard]] std::optional<Entry<IS_MAP>> record_prev(const CoreRecord& rec, u64 key);
// Rank over the whole container; the path cache is flushed first so that
// every population on the cached path is exact.
template <bool IS_MAP>
[[nodiscard]] u64 record_count_below(CoreRecord& rec, u64 key);
// Select over the whole container; the cheap out-of-range answers come
// before the flush.
template <bool IS_MAP>
[[nodiscard]] std::optional<Entry<IS_MAP>> record_by_count(CoreRecord& rec, u64 index);

extern template std::optional<u64> record_first<false>(const CoreRecord&);
extern template std::optional<KeyValue> record_first<true>(const CoreRecord&);
extern template std::optional<u64> record_last<false>(const CoreRecord&);
extern template std::optional<KeyValue> record_last<true>(const CoreRecord&);
extern template std::optional<u64> record_next<false>(const CoreRecord&, u64);
extern template std::optional<KeyValue> record_next<true>(const CoreRecord&, u64);
extern template std::optional<u64> record_prev<false>(const CoreRecord&, u64);
extern template std::optional<KeyValue> record_prev<true>(const CoreRecord&, u64);
extern template u64 record_count_below<false>(CoreRecord&, u64);
extern template u64 record_count_below<true>(CoreRecord&, u64);
extern template std::optional<u64> record_by_count<false>(CoreRecord&, u64);
extern template std::optional<KeyValue> record_by_count<true>(CoreRecord&, u64);

// ---------------------------------------------------------------------------
// Shared by navigation and the cursors.

// The mask of the low n bytes of a key, n = 0..8 (all 64 bits at 8).
[[nodiscard]] constexpr u64 lowmask(unsigned n) noexcept {
  return n >= 8 ? ~u64{0} : BYTE_MASK_TABLE[n];
}

}  // namespace corvale_trie::nav
