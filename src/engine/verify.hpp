// corvale_trie engine: whole-container consistency check (test support).
//
// verify walks every block reachable from a core set or map and checks the
// invariants that the engine relies on, reporting every violation it finds as
// one line of text (an empty string means consistent):
//
//  - root state: Empty; Flat with 1..31 strictly ascending keys in a block of
//    capacity_for(len) slots (keys then values for a map); Tree with at least
//    31 keys under a root edge holding a branch node of level 8;
//  - tags valid for the flavour and the level: an Immediate has W == E and
//    n*W <= 15 (set) or <= 7 (map), a LinearLeaf has W <= E and at most 25
//    (W = 1) or 32 keys, a FullEdge only in a set at level 1, a set
//    BitmapLeaf at level 1 never holds all 256 keys (it would be a FullEdge);
//  - branch nodes: level 2 <= L <= E (L == E for a BranchU, 8 at the root),
//    child counts inside their kind's range (L3 1..3, L7 3..7, B 7..192,
//    U 192..256), linear digits strictly ascending with an exact nibble
//    filter and zeroed slots past `count`, BranchB bitmap, group counts and
//    subarrays in agreement, no empty child marked present;
//  - pop fields equal to the real populations, except that the edges on the
//    path cache's path lag by its pending delta;
//  - keys strictly ascending over the whole tree, their number equal to len,
//    and every key found again by the point lookup (which checks that skip
//    prefixes route to where the keys are stored);
//  - packed forms: immediate keys ascending with zero bytes past the last
//    key, map value subarrays present exactly for the non-empty groups;
//  - the allocator: mem_used equal to the rounded sizes of all reachable
//    blocks (flat array, nodes, leaves, subarrays, value arrays) and
//    live_nodes equal to their number;
//  - the path cache: every edge it holds is reachable and its cached leaf
//    block is the one its first edge points to.
//
// The check reads only; it never repairs. It is meant for tests, which call
// it after every batch of operations.
#pragma once

#include <string>

#include "engine/core.hpp"

namespace corvale_trie::set {
class CorvaleSet;
}
namespace corvale_trie::map {
class CorvaleMap;
}

namespace corvale_trie::verify {

enum class Flavor : u8 { Set, Map };

// Every violation found in `rec` as one line each; empty when consistent.
[[nodiscard]] std::string record_errors(const CoreRecord& rec, Flavor flavor);

// Every violation of a subtree under `edge` (standing at `level` 1..7): the
// same checks as for a whole tree, without the root and allocator checks.
// `prefix` holds the key bytes above `level`. Used on hand-built tries.
[[nodiscard]] std::string subtree_errors(const Edge& edge, u8 level, u64 prefix, Flavor flavor);

[[nodiscard]] std::string set_errors(const set::CorvaleSet& s);
[[nodiscard]] std::string map_errors(const map::CorvaleMap& m);

// The same, named for use in test expectations:
//   EXPECT_EQ(verify::check_set(s), "");
[[nodiscard]] inline std::string check_set(const set::CorvaleSet& s) { return set_errors(s); }
[[nodiscard]] inline std::string check_map(const map::CorvaleMap& m) { return map_errors(m); }

}  // namespace corvale_trie::verify

// GoogleTest helpers: print every violation on failure.
#define CORVALE_EXPECT_VALID_SET(s) EXPECT_EQ(::corvale_trie::verify::set_errors(s), std::string())
#define CORVALE_EXPECT_VALID_MAP(m) EXPECT_EQ(::corvale_trie::verify::map_errors(m), std::string())
#define CORVALE_ASSERT_VALID_SET(s) ASSERT_EQ(::corvale_trie::verify::set_errors(s), std::string())
#define CORVALE_ASSERT_VALID_MAP(m) ASSERT_EQ(::corvale_trie::verify::map_errors(m), std::string())
