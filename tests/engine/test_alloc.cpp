#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

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

// ---------------------------------------------------------------------------
// Size classes, chunk carving, reuse and counters

namespace corvale_trie {
namespace {

constexpr u64 kAllocSeed = 0xa110c5eed;

u64 round16(u64 n) { return (n + 15) & ~u64{15}; }

bool all_zero(const void* p, u64 n) {
  const auto* b = static_cast<const u8*>(p);
  for (u64 i = 0; i < n; ++i)
    if (b[i] != 0) return false;
  return true;
}

std::uintptr_t addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

TEST(NodeAllocClasses, TableMatchesExactSizes) {
  EXPECT_EQ(NODE_CLASS_LAYOUTS[6].size, 8);
  EXPECT_EQ(NODE_CLASS_LAYOUTS[14].size, 16);
  EXPECT_EQ(NODE_CLASS_LAYOUTS[23].size, 32);
  EXPECT_EQ(NODE_CLASS_LAYOUTS[32].size, 64);
  EXPECT_EQ(NODE_CLASS_LAYOUTS[43].size, 128);
  EXPECT_EQ(NODE_CLASS_LAYOUTS[49].size, 192);
  EXPECT_EQ(NODE_CLASS_LAYOUTS[61].size, 375);
  for (unsigned c = 0; c < NODE_CLASS_COUNT; ++c)
    EXPECT_EQ(NODE_CLASS_LAYOUTS[c].align, c < 6 ? 64 : 16) << c;
  unsigned classes = 0;
  for (unsigned s = 0; s < 376; ++s) {
    const u8 c = NODE_SIZE_TO_CLASS[s];
    if (c == NO_CLASS) continue;
    ++classes;
    ASSERT_GE(c, 6);
    EXPECT_EQ(NODE_CLASS_LAYOUTS[c].size, s);
  }
  EXPECT_EQ(classes, 56u);
  EXPECT_EQ(NODE_SIZE_TO_CLASS[17], NO_CLASS);
  EXPECT_EQ(NODE_SIZE_TO_CLASS[256], NO_CLASS);
}

TEST(NodeAllocClasses, UnclassedSizesGoToTheSystem) {
  NodeAlloc a;
  void* odd = a.allocate_bytes(17);
  EXPECT_EQ(a.mem_used(), 32u);
  EXPECT_EQ(a.live_nodes(), 1u);
  EXPECT_TRUE(all_zero(odd, 17));
  a.release_bytes(odd, 17);
  EXPECT_EQ(a.mem_used(), 0u);

  // A BranchB subarray of 16 edges: no 16-aligned class of 256 bytes.
  void* sub = a.allocate_bytes(256);
  EXPECT_EQ(a.mem_used(), 256u);
  EXPECT_EQ(addr(sub) % 16, 0u);
  a.release_bytes(sub, 256);

  // Above the last class, and below the smallest one.
  for (u64 s : {376u, 377u, 1000u, 5000u, 1u, 3u, 7u}) {
    void* p = a.allocate_bytes(s);
    EXPECT_EQ(addr(p) % 16, 0u) << s;
    EXPECT_TRUE(all_zero(p, s)) << s;
    EXPECT_EQ(a.mem_used(), round16(s)) << s;
    a.release_bytes(p, s);
  }
  EXPECT_EQ(a.chunk_count(), 0u);
  EXPECT_EQ(a.mem_used(), 0u);
  EXPECT_EQ(a.live_nodes(), 0u);
  EXPECT_EQ(a.total_node_allocs(), 9u);
}

// One chunk yields 4032 / stride blocks laid out back to back from byte 64;
// the next request of the class carves a second chunk.
void check_carving(unsigned cls_or_size, bool fixed, u64 stride, u64 blocks) {
  SCOPED_TRACE(testing::Message() << (fixed ? "class " : "size ") << cls_or_size);
  NodeAlloc a;
  auto take = [&] {
    return fixed ? a.allocate_class(cls_or_size) : a.allocate_bytes(cls_or_size);
  };
  std::vector<void*> got;
  for (u64 i = 0; i < blocks; ++i) got.push_back(take());
  EXPECT_EQ(a.chunk_count(), 1u);
  for (u64 i = 1; i < blocks; ++i)
    ASSERT_EQ(addr(got[i]) - addr(got[0]), i * stride) << "block " << i;
  EXPECT_EQ(addr(got[0]) % 64, 0u);  // byte 64 of a 64-aligned chunk
  got.push_back(take());
  EXPECT_EQ(a.chunk_count(), 2u);
  for (void* p : got) {
    if (fixed) {
      a.release_class(p, cls_or_size);
    } else {
      a.release_bytes(p, cls_or_size);
    }
  }
  EXPECT_EQ(a.mem_used(), 0u);
  EXPECT_EQ(a.live_nodes(), 0u);
}

TEST(NodeAllocClasses, ChunkCarving) {
  check_carving(8, false, 16, 252);
  check_carving(9, false, 16, 252);
  check_carving(16, false, 16, 252);
  check_carving(32, false, 32, 126);
  check_carving(64, false, 64, 63);
  check_carving(128, false, 128, 31);
  check_carving(192, false, 192, 21);  // 12 edges of a BranchB subarray
  check_carving(250, false, 256, 15);
  check_carving(CLASS_64, true, 64, 63);
  check_carving(CLASS_128, true, 128, 31);
}

TEST(NodeAllocClasses, LargeClassesReuseAndTearDown) {
  NodeAlloc a;
  void* big = a.allocate_bytes(375);
  EXPECT_EQ(a.chunk_count(), 0u);
  EXPECT_EQ(a.mem_used(), 384u);
  std::memset(big, 0xEE, 375);
  a.release_bytes(big, 375);
  void* again = a.allocate_bytes(375);
  EXPECT_EQ(again, big);
  EXPECT_TRUE(all_zero(again, 375));
  a.release_bytes(again, 375);
  // Leave blocks of every class above 256 bytes on their lists: the teardown
  // frees them (a sanitizer build reports a leak otherwise).
  for (u64 s : {275u, 300u, 325u, 350u, 375u}) {
    void* p = a.allocate_bytes(s);
    void* q = a.allocate_bytes(s);
    a.release_bytes(p, s);
    a.release_bytes(q, s);
  }
  EXPECT_EQ(a.chunk_count(), 0u);
  EXPECT_EQ(a.live_nodes(), 0u);
}

TEST(NodeAllocClasses, BlocksAreZeroFilledAfterReuse) {
  NodeAlloc a;
  for (unsigned cls : {CLASS_64, CLASS_128}) {
    const u64 size = NODE_CLASS_LAYOUTS[cls].size;
    void* p = a.allocate_class(cls);
    EXPECT_EQ(addr(p) % 64, 0u);
    std::memset(p, 0xFF, size);
    a.release_class(p, cls);
    void* q = a.allocate_class(cls);
    EXPECT_EQ(q, p);
    EXPECT_TRUE(all_zero(q, size)) << "class " << cls;
    a.release_class(q, cls);
  }
  for (unsigned s = 8; s <= 375; ++s) {
    if (NODE_SIZE_TO_CLASS[s] == NO_CLASS) continue;
    void* p = a.allocate_bytes(s);
    std::memset(p, 0xFF, s);
    a.release_bytes(p, s);
    void* q = a.allocate_bytes(s);
    EXPECT_EQ(q, p) << s;
    EXPECT_TRUE(all_zero(q, s)) << "size " << s;
    a.release_bytes(q, s);
  }
  BranchU* u = a.allocate_branch_u();
  EXPECT_EQ(addr(u) % 64, 0u);
  std::memset(static_cast<void*>(u), 0xFF, BRANCH_U_SIZE);
  a.release_branch_u(u);
  u = a.make<BranchU>();
  EXPECT_TRUE(all_zero(u, BRANCH_U_SIZE));
  EXPECT_EQ(a.mem_used(), BRANCH_U_SIZE);
  a.destroy(u);
  EXPECT_EQ(a.mem_used(), 0u);
}

// Random allocations and releases of every kind: each live block carries its
// own fill byte, checked when it is released, so overlapping or reused-while-
// live blocks show up; the counters follow a model throughout.
TEST(NodeAllocClasses, RandomizedCountersAndDisjointBlocks) {
  std::mt19937_64 rng(kAllocSeed);
  SCOPED_TRACE(testing::Message() << "seed " << kAllocSeed);
  struct Live {
    void* p;
    int kind;  // 0 exact bytes, 1 class 64, 2 class 128, 3 BranchU
    u64 size;
    u8 fill;
  };
  NodeAlloc a;
  std::vector<Live> live;
  u64 mem = 0;
  u64 total = 0;
  u64 last_total = 0;
  auto release = [&](u64 i) {
    const Live l = live[i];
    const auto* b = static_cast<const u8*>(l.p);
    for (u64 j = 0; j < l.size; ++j) ASSERT_EQ(b[j], l.fill) << "block of " << l.size;
    switch (l.kind) {
      case 0: a.release_bytes(l.p, l.size); mem -= round16(l.size); break;
      case 1: a.release_class(l.p, CLASS_64); mem -= 64; break;
      case 2: a.release_class(l.p, CLASS_128); mem -= 128; break;
      default: a.release_branch_u(static_cast<BranchU*>(l.p)); mem -= BRANCH_U_SIZE; break;
    }
    live[i] = live.back();
    live.pop_back();
  };
  for (int step = 0; step < 20000; ++step) {
    if (live.empty() || rng() % 100 < 55) {
      Live l{};
      const u64 r = rng() % 100;
      if (r < 70) {
        l.kind = 0;
        l.size = r < 60 ? 1 + rng() % 300 : 1 + rng() % 600;
        l.p = a.allocate_bytes(l.size);
        ASSERT_EQ(addr(l.p) % 16, 0u);
        mem += round16(l.size);
      } else if (r < 85) {
        l.kind = 1;
        l.size = 64;
        l.p = a.allocate_class(CLASS_64);
        mem += 64;
      } else if (r < 98) {
        l.kind = 2;
        l.size = 128;
        l.p = a.allocate_class(CLASS_128);
        mem += 128;
      } else {
        l.kind = 3;
        l.size = BRANCH_U_SIZE;
        l.p = a.allocate_branch_u();
        mem += BRANCH_U_SIZE;
      }
      if (l.kind != 0) {
        ASSERT_EQ(addr(l.p) % 64, 0u);
      }
      ASSERT_TRUE(all_zero(l.p, l.size)) << "kind " << l.kind << " size " << l.size;
      l.fill = static_cast<u8>(1 + rng() % 255);
      std::memset(l.p, l.fill, l.size);
      live.push_back(l);
      ++total;
    } else {
      release(rng() % live.size());
      if (HasFatalFailure()) return;
    }
    ASSERT_EQ(a.mem_used(), mem);
    ASSERT_EQ(a.live_nodes(), live.size());
    ASSERT_EQ(a.total_node_allocs(), total);
    ASSERT_GE(a.total_node_allocs(), last_total);
    last_total = a.total_node_allocs();
  }
  while (!live.empty()) {
    release(live.size() - 1);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(a.mem_used(), 0u);
  EXPECT_EQ(a.live_nodes(), 0u);
  EXPECT_EQ(a.total_node_allocs(), total);
}

TEST(NodeAllocClasses, BrokenRequestsAreFatal) {
  NodeAlloc a;
  EXPECT_DEATH(a.release_bytes(nullptr, 16, "leaf ptr"), "leaf ptr");
  EXPECT_DEATH(a.release_class(nullptr, CLASS_64), "called `Option::unwrap\\(\\)` on a `None` value");
  EXPECT_DEATH((void)a.allocate_bytes(~u64{0} - 8), "valid node layout");
}

}  // namespace
}  // namespace corvale_trie
