// The node allocator: size classes and chunk carving at their edges (no
// rounding to a class, a chunk's block count per stride, large classes kept
// for reuse and freed at teardown), exact counters, zero-filled reuse, and a
// randomized run of every block kind against a counter model.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/alloc.hpp"
#include "seed.hpp"

namespace corvale_trie {
namespace {

u64 round16(u64 n) { return (n + 15) & ~u64{15}; }
std::uintptr_t addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
bool all_zero(const void* p, u64 n) {
  const auto* b = static_cast<const u8*>(p);
  for (u64 i = 0; i < n; ++i)
    if (b[i] != 0) return false;
  return true;
}

TEST(NodeAlloc, SizeClassAndChunkEdges) {
  // Every exact size with a class has a class of exactly that size.
  unsigned classes = 0;
  for (unsigned s = 0; s < 376; ++s) {
    const u8 c = NODE_SIZE_TO_CLASS[s];
    if (c == NO_CLASS) continue;
    ++classes;
    ASSERT_TRUE(c >= 6 && NODE_CLASS_LAYOUTS[c].size == s && NODE_CLASS_LAYOUTS[c].align == 16) << s;
  }
  EXPECT_EQ(classes, 56u);

  NodeAlloc a;
  // No class (17, 256, 376 and more, below 8): straight to the system and
  // back, counted rounded up to 16, no chunk.
  for (u64 s : {17u, 256u, 376u, 5000u, 1u, 7u}) {
    void* p = a.allocate_bytes(s);
    EXPECT_EQ(a.mem_used(), round16(s)) << s;
    EXPECT_EQ(a.live_nodes(), 1u);
    EXPECT_TRUE(addr(p) % 16 == 0 && all_zero(p, s)) << s;
    a.release_bytes(p, s);
  }
  EXPECT_EQ(a.chunk_count(), 0u);
  EXPECT_EQ(a.mem_used(), 0u);

  // Class 61 (375 bytes): from the system, kept on its list when released,
  // handed out again zero-filled; blocks of every class above 256 bytes are
  // left on their lists for the teardown to free (a leak under ASan else).
  void* big = a.allocate_bytes(375);
  EXPECT_EQ(a.mem_used(), 384u);
  std::memset(big, 0xEE, 375);
  a.release_bytes(big, 375);
  EXPECT_EQ(a.allocate_bytes(375), big);
  EXPECT_TRUE(all_zero(big, 375));
  a.release_bytes(big, 375);
  for (u64 s : {275u, 300u, 325u, 350u}) a.release_bytes(a.allocate_bytes(s), s);
  EXPECT_EQ(a.chunk_count(), 0u);
  EXPECT_EQ(a.total_node_allocs(), 12u);
  EXPECT_EQ(a.live_nodes(), 0u);

  // A chunk carves 4032 / stride blocks back to back from byte 64 of a
  // 64-aligned chunk; the next request of the class takes a new chunk.
  struct Carve {
    u64 size;
    bool fixed;
    u64 stride, blocks;
  };
  for (const Carve& c : {Carve{8, false, 16, 252}, Carve{32, false, 32, 126}, Carve{192, false, 192, 21},
                         Carve{250, false, 256, 15}, Carve{CLASS_64, true, 64, 63}, Carve{CLASS_128, true, 128, 31}}) {
    SCOPED_TRACE(testing::Message() << (c.fixed ? "class " : "size ") << c.size);
    NodeAlloc b;
    std::vector<void*> got;
    for (u64 i = 0; i <= c.blocks; ++i) {
      got.push_back(c.fixed ? b.allocate_class(static_cast<unsigned>(c.size)) : b.allocate_bytes(c.size));
      EXPECT_EQ(b.chunk_count(), i < c.blocks ? 1u : 2u);
      if (i < c.blocks) {
        EXPECT_EQ(addr(got[i]) - addr(got[0]), i * c.stride);
      }
    }
    EXPECT_EQ(addr(got[0]) % 64, 0u);
    EXPECT_EQ(b.mem_used(), (c.blocks + 1) * round16(c.fixed ? c.stride : c.size));
    for (void* p : got) {
      if (c.fixed) b.release_class(p, static_cast<unsigned>(c.size));
      else b.release_bytes(p, c.size);
    }
    EXPECT_EQ(b.mem_used(), 0u);
    EXPECT_EQ(b.live_nodes(), 0u);
  }

  EXPECT_DEATH(a.release_bytes(nullptr, 16, "leaf ptr"), "leaf ptr");
  EXPECT_DEATH((void)a.allocate_bytes(~u64{0} - 8), "valid node layout");
}

// Random allocations and releases of every kind. Each live block carries its
// own fill byte, checked at release, so overlapping blocks show up; every
// block must come zero-filled although freed blocks were dirty; the counters
// follow a model and come back to zero while total_node_allocs only grows.
TEST(NodeAlloc, RandomizedCountersZeroFillAndDisjointBlocks) {
  const u64 seed = test_seed(0xa110c5eed);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  struct Live {
    void* p;
    int kind;  // 0 exact bytes, 1 class 64, 2 class 128, 3 BranchU
    u64 size;
    u8 fill;
  };
  NodeAlloc a;
  std::vector<Live> live;
  u64 mem = 0, total = 0;
  auto release = [&](std::size_t i) {
    const Live l = live[i];
    for (u64 j = 0; j < l.size; ++j) ASSERT_EQ(static_cast<const u8*>(l.p)[j], l.fill) << "block of " << l.size;
    if (l.kind == 0) a.release_bytes(l.p, l.size);
    if (l.kind == 1) a.release_class(l.p, CLASS_64);
    if (l.kind == 2) a.release_class(l.p, CLASS_128);
    if (l.kind == 3) a.release_branch_u(static_cast<BranchU*>(l.p));
    mem -= round16(l.size);
    live[i] = live.back();
    live.pop_back();
  };
  for (int step = 0; step < 20000; ++step) {
    if (live.empty() || rng() % 100 < 55) {
      Live l{nullptr, 0, 0, static_cast<u8>(1 + rng() % 255)};
      const u64 r = rng() % 100;
      if (r < 70) {
        l.size = 1 + rng() % (r < 60 ? 300 : 600);
        l.p = a.allocate_bytes(l.size);
      } else if (r < 98) {
        l.kind = r < 85 ? 1 : 2;
        l.size = r < 85 ? 64 : 128;
        l.p = a.allocate_class(l.kind == 1 ? CLASS_64 : CLASS_128);
      } else {
        l.kind = 3;
        l.size = BRANCH_U_SIZE;
        l.p = a.allocate_branch_u();
      }
      ASSERT_EQ(addr(l.p) % (l.kind ? 64 : 16), 0u);
      ASSERT_TRUE(all_zero(l.p, l.size)) << "kind " << l.kind << " size " << l.size;
      std::memset(l.p, l.fill, l.size);
      live.push_back(l);
      mem += round16(l.size);
      ++total;
    } else {
      release(rng() % live.size());
      if (HasFatalFailure()) return;
    }
    ASSERT_EQ(a.mem_used(), mem);
    ASSERT_EQ(a.live_nodes(), live.size());
    ASSERT_EQ(a.total_node_allocs(), total);
  }
  while (!live.empty()) {
    release(live.size() - 1);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(a.mem_used(), 0u);
  EXPECT_EQ(a.live_nodes(), 0u);
  EXPECT_EQ(a.total_node_allocs(), total);
}

}  // namespace
}  // namespace corvale_trie
