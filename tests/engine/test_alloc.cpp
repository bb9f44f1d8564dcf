#include <gtest/gtest.h>

#include "engine/alloc.hpp"

namespace corvale_trie {
namespace {

TEST(NodeAlloc, CountsAndReusesBlocks) {
  NodeAlloc a;
  void* odd = a.allocate_bytes(17);  // no class: from the system, counted as 32
  EXPECT_EQ(a.mem_used(), 32u);
  a.release_bytes(odd, 17);
  EXPECT_EQ(a.mem_used(), 0u);
  EXPECT_EQ(a.chunk_count(), 0u);

  void* big = a.allocate_bytes(375);  // class 61: system block, kept on release
  a.release_bytes(big, 375);
  EXPECT_EQ(a.allocate_bytes(375), big);
  a.release_bytes(big, 375);

  auto* l3 = a.make<BranchL3>();
  EXPECT_EQ(a.chunk_count(), 1u);
  auto* l3b = a.make<BranchL3>();
  EXPECT_EQ(reinterpret_cast<u8*>(l3b) - reinterpret_cast<u8*>(l3), 64);
  a.destroy(l3);
  a.destroy(l3b);
  EXPECT_EQ(a.mem_used(), 0u);
  EXPECT_EQ(a.live_nodes(), 0u);
  EXPECT_EQ(a.total_node_allocs(), 5u);
}

}  // namespace
}  // namespace corvale_trie
