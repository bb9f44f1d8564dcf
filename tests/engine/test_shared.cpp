// Shared mode against private mode: the same random operation sequences in
// every key distribution give the same trie shapes (tags, pop fields, skip
// prefixes, immediates), key counts, content and mem_used; in shared mode
// every version is even after each operation and retired blocks wait in the
// collector until it recycles them. Also the version bracket counts of the
// insertion and removal walks.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/occ.hpp"
#include "support.hpp"

namespace corvale_trie {
namespace {

using namespace testsupport;

// The version word of the branch node under a branch edge.
[[nodiscard]] u32 version_of(const Edge& e) {
  switch (e.tag) {
    case TAG_L3: return e.ptr<BranchL3>()->version;
    case TAG_L7: return e.ptr<BranchL7>()->version;
    case TAG_B: return e.ptr<BranchB>()->version;
    case TAG_U: return e.ptr<BranchU>()->version;
    default: return 0;
  }
}

// Everything of a trie but its addresses and versions, one line per edge.
template <bool IS_MAP>
[[nodiscard]] std::string shape_of(Container<IS_MAP>& c) {
  CoreRecord& rec = c.record();
  // Private mode lags on the cached path: bring the pop fields up to date.
  rec.path.flush();
  std::string out = "state " + std::to_string(static_cast<u64>(rec.state)) + " len " +
                    std::to_string(rec.count()) + "\n";
  if (rec.state != RootState::Tree) return out;
  for_each_edge(rec.root, ROOT_LEVEL, [&](Edge& e, unsigned E) {
    const bool inline_payload = IS_MAP ? is_map_immed_tag(e.tag) && immed_count(e.tag) == 1
                                       : is_set_immed_tag(e.tag);
    out += std::to_string(E) + " " + std::to_string(e.tag) + " " + std::to_string(e.decode_word()) +
           " " + std::to_string(inline_payload ? e.payload : 0) + " " +
           std::to_string(is_branch_tag(e.tag) ? node_level(e, E) : 0) + "\n";
  });
  return out;
}

// Every branch version of the container, "" when all are even.
template <bool IS_MAP>
[[nodiscard]] std::string odd_versions(Container<IS_MAP>& c) {
  CoreRecord& rec = c.record();
  std::string out;
  if (rec.state != RootState::Tree) return out;
  for_each_edge(rec.root, ROOT_LEVEL, [&](Edge& e, unsigned E) {
    if (is_branch_tag(e.tag) && (version_of(e) & 1))
      out += "odd version at level " + std::to_string(E) + "; ";
  });
  return out;
}

template <bool IS_MAP>
void private_and_shared_agree(Dist dist, u64 seed) {
  CORVALE_SEED_TRACE(seed);
  SCOPED_TRACE(dist_name(dist));
  Harness<IS_MAP> priv;
  Harness<IS_MAP> shared;
  const occ::CollectorRef col = occ::make_collector();
  shared.c.record().alloc.defer_to(col);
  KeyGen gen(dist, seed);
  std::mt19937_64& rng = gen.rng();
  std::vector<u64> recent;
  const u64 ops = scaled(6000, 600);
  for (u64 i = 0; i < ops; ++i) {
    const u64 op = rng() % 16;
    u64 k;
    if (op < 9 || recent.empty()) {
      k = gen();
      recent.push_back(k);
      const u64 v = value_of(k, i);
      if (IS_MAP && op == 8) {
        if constexpr (IS_MAP) {
          priv.insert_keep(k, v);
          shared.insert_keep(k, v);
        }
      } else {
        priv.insert(k, v);
        shared.insert(k, v);
      }
    } else {
      // Remove mostly keys that are present, now and then a whole run.
      const u64 from = rng() % recent.size();
      const u64 count = op == 15 ? 1 + rng() % 300 : 1;
      for (u64 j = from; j < recent.size() && j < from + count; ++j) {
        priv.remove(recent[j]);
        shared.remove(recent[j]);
      }
    }
    col->try_advance();
    ASSERT_EQ(odd_versions<IS_MAP>(shared.c), "") << "after op " << i;
    ASSERT_EQ(priv.c.mem_used(), shared.c.mem_used()) << "after op " << i;
    if (i % 97 == 0 || i + 1 == ops) {
      ASSERT_TRUE(priv.check()) << "after op " << i;
      ASSERT_TRUE(shared.check()) << "after op " << i;
      ASSERT_EQ(shape_of<IS_MAP>(priv.c), shape_of<IS_MAP>(shared.c)) << "after op " << i;
    }
    if (recent.size() > 4000) recent.erase(recent.begin(), recent.begin() + 2000);
  }
  // Drop everything: mem_used falls to zero; the retired blocks are the
  // collector's to free (ASan: exactly once, nothing leaks).
  shared.c.clear();
  EXPECT_EQ(shared.c.mem_used(), 0u);
}

TEST(SharedMode, SetAgreesWithPrivateModeInEveryDistribution) {
  for (const Dist d : ALL_DISTS) private_and_shared_agree<false>(d, test_seed(0x5E7 + static_cast<u64>(d)));
}

TEST(SharedMode, MapAgreesWithPrivateModeInEveryDistribution) {
  for (const Dist d : ALL_DISTS) private_and_shared_agree<true>(d, test_seed(0x3A9 + static_cast<u64>(d)));
}

// Version counts: every node on the path of a shared insertion or removal
// grows by exactly 2 when it is passed; a removal that misses in a linear
// branch leaves it alone, one below a BranchU passes (and bumps) it.
TEST(SharedMode, BracketsBumpEachNodeOnThePathByTwo) {
  set::CorvaleSet s;
  const occ::CollectorRef col = occ::make_collector();
  s.record().alloc.defer_to(col);
  // A BranchU at level 8 over digits 0..199 of the top byte, each a leaf.
  for (u64 d = 0; d < 200; ++d)
    for (u64 j = 0; j < 3; ++j) s.insert((d << 56) | (j << 48));
  // Digit 7 gets enough keys to split its leaf under a BranchL3 at level 7
  // (three children: byte 6 is 0, 1 or 2).
  for (u64 j = 0; j < 40; ++j) s.insert((u64{7} << 56) | ((j % 3) << 48) | j);
  CoreRecord& rec = s.record();
  ASSERT_EQ(rec.root.tag, TAG_U);
  const u32 root_v = version_of(rec.root);
  EXPECT_EQ(root_v % 2, 0u);
  const u32 before = root_v;
  EXPECT_FALSE(s.insert(u64{5} << 56)) << "present";
  EXPECT_EQ(version_of(rec.root), before + 2) << "a present key still passes the root";
  EXPECT_FALSE(s.remove((u64{250} << 56) | 1)) << "absent below a BranchU";
  EXPECT_EQ(version_of(rec.root), before + 4);

  // Below the root: digit 7's subtree is a BranchL3 over the keys' byte 6.
  Edge* child = &rec.root.ptr<BranchU>()->children[7];
  ASSERT_TRUE(is_branch_tag(child->tag)) << int(child->tag);
  const u32 child_v = version_of(*child);
  EXPECT_FALSE(s.remove((u64{7} << 56) | (u64{9} << 48)));  // digit absent in the child
  EXPECT_EQ(version_of(*child), child_v) << "a miss in a linear branch leaves it alone";
  EXPECT_TRUE(s.insert((u64{7} << 56) | (u64{1} << 48) | 5));
  EXPECT_EQ(version_of(*child), child_v + 2);
  EXPECT_TRUE(s.remove((u64{7} << 56) | (u64{1} << 48) | 5));
  EXPECT_EQ(version_of(*child), child_v + 4);
  EXPECT_EQ(odd_versions<false>(s), "");
  EXPECT_EQ(rec.path.depth, 0u) << "the shared walk leaves the path cache empty";
}

}  // namespace
}  // namespace corvale_trie

namespace corvale_trie {
namespace {

using namespace testsupport;

// A present key passes every node on its path (+2) and changes nothing
// else; an upgrade builds the new node off to the side and retires the old
// block, which stays readable and unchanged but for its version, now odd
// for good (obsolete), until the collector recycles it.
TEST(SharedMode, PresentKeysAndReplacedNodes) {
  map::CorvaleMap m;
  const occ::CollectorRef col = occ::make_collector();
  m.record().alloc.defer_to(col);
  // Top digits 1..3 under the root BranchL3; digit 1 gets a BranchL3 of its
  // own at level 7 (its keys differ in byte 6).
  for (u64 j = 0; j < 40; ++j) m.insert((u64{1} << 56) | ((j % 3) << 48) | j, j);
  for (u64 d = 2; d <= 3; ++d) m.insert(d << 56, d);
  CoreRecord& rec = m.record();
  ASSERT_EQ(rec.root.tag, TAG_L3);
  auto* root = rec.root.ptr<BranchL3>();
  Edge* child = &root->children[0];
  ASSERT_EQ(child->tag, TAG_L3);
  auto* inner = child->ptr<BranchL3>();
  const u32 root_v = root->version;
  const u32 inner_v = inner->version;
  const u64 child_word = child->decode_word();
  const u64 key = (u64{1} << 56) | (u64{1} << 48) | 4;
  const InsertOutcome keep = m.insert_keep(key, 99);
  EXPECT_EQ(keep.found, 1u);
  EXPECT_EQ(keep.old, 4u);
  EXPECT_EQ(*keep.slot, 4u) << "the keep-existing variant leaves the value";
  EXPECT_EQ(m.insert(key, 77), std::optional<u64>(4));
  EXPECT_EQ(m.get(key), std::optional<u64>(77));
  EXPECT_EQ(root->version, root_v + 4);
  EXPECT_EQ(inner->version, inner_v + 4);
  EXPECT_EQ(child->decode_word(), child_word) << "no pop field changes for a present key";
  EXPECT_EQ(rec.path.depth, 0u);

  // A 4th top digit upgrades the root node: the new BranchL7 keeps the
  // version, the old block is retired intact and obsolete.
  const u64 pending = col->pending_count();
  const u64 mem = m.mem_used();
  m.insert(u64{4} << 56, 4);
  ASSERT_EQ(rec.root.tag, TAG_L7);
  EXPECT_EQ(col->pending_count(), pending + 1) << "the old BranchL3 is retired";
  EXPECT_EQ(m.mem_used(), mem + BRANCH_L7_SIZE - BRANCH_L3_SIZE);
  EXPECT_EQ(root->count, 3) << "the retired node keeps its children";
  EXPECT_EQ(root->version, root_v + 5) << "obsolete: odd for good";
  EXPECT_EQ(rec.root.ptr<BranchL7>()->version, root_v + 6);

  // Emptying the inner node releases it: retired obsolete.
  for (u64 j = 0; j < 40; ++j) EXPECT_TRUE(m.remove((u64{1} << 56) | ((j % 3) << 48) | j).has_value());
  EXPECT_EQ(inner->version % 2, 1u);
  EXPECT_EQ(verify::map_errors(m), "");
}

}  // namespace
}  // namespace corvale_trie
