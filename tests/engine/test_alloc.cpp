// The node allocator: the size-class table, aligned zero-filled blocks of
// every size from every source (system, fresh chunk space, free lists),
// where blocks live (no chunk for a few keys, shared chunks, split reuse,
// everything back at the last release, a clear and a refill counted through
// the system-allocation hook), sanitizer poisoning of free blocks, a
// randomized run of every block kind against a counter model, and a large
// tree whose 256-slot nodes come and go.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "engine/alloc.hpp"
#include "engine/set.hpp"
#include "seed.hpp"
#include "support.hpp"

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

TEST(NodeAlloc, SizeClassTableAndEdges) {
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
  EXPECT_DEATH(a.release_bytes(nullptr, 16, "leaf ptr"), "leaf ptr");
  EXPECT_DEATH(a.release_class(nullptr, CLASS_64, "node ptr"), "node ptr");
  EXPECT_DEATH((void)a.allocate_bytes(~u64{0} - 8), "valid node layout");
  EXPECT_DEATH(a.release_bytes(&a, ~u64{0} - 8), "valid node layout");
}

// Every size and both fixed classes, from a container without a chunk (the
// first two packed blocks come from the system), from fresh chunk space and
// from the free lists after dirty releases: aligned, zero-filled, counted at
// the size rounded up to 16.
TEST(NodeAlloc, EverySizeAlignedAndZeroFilled) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    NodeAlloc a;
    std::vector<std::pair<void*, u64>> held;
    // Keep one block live throughout, so that releases do not end the chunks.
    void* anchor = a.allocate_class(CLASS_128);
    u64 mem = 128;
    for (u64 s = 1; s <= 600; ++s) {
      for (int k = 0; k < 2; ++k) {
        void* p = a.allocate_bytes(s);
        mem += round16(s);
        ASSERT_EQ(addr(p) % 16, 0u) << s;
        ASSERT_TRUE(all_zero(p, s)) << s;
        std::memset(p, 0xA5, s);
        held.emplace_back(p, s);
      }
      void* q = a.allocate_class(s % 2 ? CLASS_64 : CLASS_128);
      ASSERT_EQ(addr(q) % 64, 0u);
      ASSERT_TRUE(all_zero(q, s % 2 ? 64 : 128));
      std::memset(q, 0x5A, s % 2 ? 64 : 128);
      a.release_class(q, s % 2 ? CLASS_64 : CLASS_128);
      ASSERT_EQ(a.mem_used(), mem);
    }
    // Release every other block, then take every size again.
    for (std::size_t i = round % 2; i < held.size(); i += 2) {
      a.release_bytes(held[i].first, held[i].second);
      mem -= round16(held[i].second);
      held[i].first = nullptr;
    }
    for (u64 s = 600; s >= 1; --s) {
      void* p = a.allocate_bytes(s);
      mem += round16(s);
      ASSERT_TRUE(addr(p) % 16 == 0 && all_zero(p, s)) << s;
      held.emplace_back(p, s);
    }
    EXPECT_EQ(a.mem_used(), mem);
    for (auto& [p, s] : held) {
      if (p != nullptr) a.release_bytes(p, s);
    }
    a.release_class(anchor, CLASS_128);
    EXPECT_EQ(a.mem_used(), 0u);
    EXPECT_EQ(a.live_nodes(), 0u);
    EXPECT_EQ(a.chunk_count(), 0u);  // the last release gave every chunk back
  }
}

// Where blocks live: a container without a chunk takes its first five live
// blocks from the system and gives them back at once; from the sixth on,
// small blocks of every stride share chunks; the chunks go back when the
// last block does; memory one stride gave back serves another.
TEST(NodeAlloc, ChunksFollowTheLiveBlocks) {
  const AllocStats start = alloc_stats();
  auto outstanding = [&] {
    const AllocStats now = alloc_stats();
    return (now.system_allocs - start.system_allocs) - (now.system_frees - start.system_frees);
  };
  NodeAlloc a;
  void* flat = a.allocate_bytes(8);
  void* grown = a.allocate_bytes(16);
  EXPECT_EQ(outstanding(), 2u);
  a.release_bytes(flat, 8);
  EXPECT_EQ(outstanding(), 1u);
  // 64-aligned system blocks next to packed ones of the same sizes.
  std::vector<std::pair<void*, int>> direct;  // 0 packed 64, 1 CLASS_64, 2 CLASS_128
  for (int i = 0; i < 4; ++i) {
    const int kind = i % 3;
    void* p = kind == 0 ? a.allocate_bytes(64) : a.allocate_class(kind == 1 ? CLASS_64 : CLASS_128);
    EXPECT_EQ(addr(p) % (kind ? 64 : 16), 0u);
    EXPECT_TRUE(all_zero(p, kind == 2 ? 128 : 64));
    std::memset(p, 0x77, kind == 2 ? 128 : 64);
    direct.emplace_back(p, kind);
  }
  EXPECT_EQ(a.chunk_count(), 0u);
  EXPECT_EQ(outstanding(), 5u);
  // The sixth live block takes the first chunk; later small blocks of any
  // stride share it, and the system blocks still go back one by one.
  void* more = a.allocate_bytes(40);
  void* node = a.allocate_class(CLASS_64);
  EXPECT_EQ(a.chunk_count(), 1u);
  EXPECT_EQ(a.chunk_bytes(), CHUNK_MIN_BYTES);
  EXPECT_EQ(outstanding(), 6u);
  a.release_bytes(grown, 16);
  for (auto [p, kind] : direct) {
    if (kind == 0) a.release_bytes(p, 64);
    else a.release_class(p, kind == 1 ? CLASS_64 : CLASS_128);
  }
  EXPECT_EQ(outstanding(), 1u);
  void* again = a.allocate_bytes(16);
  EXPECT_EQ(outstanding(), 1u);
  a.release_bytes(more, 40);
  a.release_bytes(again, 16);
  EXPECT_EQ(a.chunk_count(), 1u);
  a.release_class(node, CLASS_64);
  EXPECT_EQ(a.chunk_count(), 0u);
  EXPECT_EQ(outstanding(), 0u);

  // Past its first blocks, a container takes chunks.
  std::vector<void*> first;
  for (int i = 0; i < 5; ++i) first.push_back(a.allocate_bytes(8));
  // 4000 blocks of 256 bytes, all but one released, then 64000 blocks of 16
  // bytes: the freed blocks are split, no chunk is added.
  std::vector<void*> big;
  for (int i = 0; i < 4000; ++i) big.push_back(a.allocate_bytes(256));
  const u64 chunks = a.chunk_count();
  const u64 bytes = a.chunk_bytes();
  EXPECT_LE(bytes, 4000u * 256 * 5 / 4);
  for (std::size_t i = 1; i < big.size(); ++i) a.release_bytes(big[i], 256);
  std::vector<void*> small;
  for (int i = 0; i < 3999 * 16; ++i) small.push_back(a.allocate_bytes(1 + i % 16));
  EXPECT_EQ(a.chunk_count(), chunks);
  EXPECT_EQ(a.chunk_bytes(), bytes);
  for (int i = 0; i < 3999 * 16; ++i) a.release_bytes(small[i], 1 + i % 16);
  a.release_bytes(big[0], 256);
  for (void* p : first) a.release_bytes(p, 8);
  EXPECT_EQ(outstanding(), 0u);
  for (int i = 0; i < 5; ++i) first[i] = a.allocate_bytes(8);

  // 64-aligned nodes of 64 bytes are the halves of freed 128-byte ones.
  void* anchor = a.allocate_bytes(16);
  std::vector<void*> nodes;
  for (int i = 0; i < 2000; ++i) nodes.push_back(a.allocate_class(CLASS_128));
  const u64 node_chunks = a.chunk_count();
  for (void* n : nodes) a.release_class(n, CLASS_128);
  nodes.clear();
  for (int i = 0; i < 4000; ++i) {
    nodes.push_back(a.allocate_class(CLASS_64));
    ASSERT_EQ(addr(nodes.back()) % 64, 0u);
  }
  EXPECT_EQ(a.chunk_count(), node_chunks);
  for (void* n : nodes) a.release_class(n, CLASS_64);
  a.release_bytes(anchor, 16);
  for (void* p : first) a.release_bytes(p, 8);
  EXPECT_EQ(outstanding(), 0u);
}

// A container cleared and refilled takes what it held before, and gives it
// all back at the clear and when it is dropped (system blocks counted
// through the process-wide hook).
TEST(NodeAlloc, ClearedContainerGivesBackAndRefillReuses) {
  const u64 seed = test_seed(0xc1ea4);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  std::vector<u64> keys(20000);
  for (u64& k : keys) k = rng();
  const AllocStats start = alloc_stats();
  auto outstanding = [&] {
    const AllocStats now = alloc_stats();
    return (now.system_allocs - start.system_allocs) - (now.system_frees - start.system_frees);
  };
  {
    set::CorvaleSet s;
    for (u64 k : keys) s.insert(k);
    const u64 held = outstanding();
    const u64 mem = s.mem_used();
    const u64 chunk_bytes = s.record().alloc.chunk_bytes();
    EXPECT_GT(held, 0u);
    for (int round = 0; round < 3; ++round) {
      s.clear();
      EXPECT_EQ(outstanding(), 0u);
      EXPECT_EQ(s.mem_used(), 0u);
      for (u64 k : keys) s.insert(k);
      EXPECT_EQ(outstanding(), held);
      EXPECT_EQ(s.mem_used(), mem);
      EXPECT_EQ(s.record().alloc.chunk_bytes(), chunk_bytes);
    }
    // Removing every key one by one gives everything back as well.
    for (u64 k : keys) s.remove(k);
    EXPECT_EQ(outstanding(), 0u);
    for (std::size_t i = 0; i < 100; ++i) s.insert(keys[i]);
  }
  EXPECT_EQ(outstanding(), 0u);
}

#if defined(__SANITIZE_ADDRESS__)
// Free blocks inside chunks are poisoned: a block released twice, or used
// after its release, is reported.
TEST(NodeAlloc, SanitizerSeesReleasedChunkBlocks) {
  NodeAlloc a;
  std::vector<void*> keep;  // five system blocks, then a chunk
  for (int i = 0; i < 6; ++i) keep.push_back(a.allocate_bytes(16));
  void* p = a.allocate_bytes(48);
  ASSERT_EQ(a.chunk_count(), 1u);
  a.release_bytes(p, 48);
  EXPECT_DEATH(a.release_bytes(p, 48), "use-after-poison");
  EXPECT_DEATH(static_cast<volatile u8*>(p)[20] = 1, "use-after-poison");
  for (void* k : keep) a.release_bytes(k, 16);
}
#endif

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
    // Now and then everything goes, which gives the chunks back mid-run.
    if (step % 6000 == 5999) {
      while (!live.empty()) {
        release(live.size() - 1);
        if (HasFatalFailure()) return;
      }
      ASSERT_EQ(a.chunk_count(), 0u);
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

// A tree large enough for many BranchU nodes: each is a system block of its
// own, aligned to 64; a churn turns them back into smaller nodes and a
// 256-slot node that comes and goes takes a system block each time and
// gives it back; at the clear every chunk goes, the system allocations
// balance, and the content is the model's throughout.
template <bool IS_MAP>
void branch_u_round(u64 seed) {
  SCOPED_TRACE(IS_MAP ? "map" : "set");
  const AllocStats start = alloc_stats();
  auto outstanding = [&] {
    const AllocStats now = alloc_stats();
    return (now.system_allocs - start.system_allocs) - (now.system_frees - start.system_frees);
  };
  std::mt19937_64 rng(seed);
  {
    testsupport::Harness<IS_MAP> h;
    std::vector<u64> keys(100000);
    for (u64& k : keys) {
      k = rng();
      h.insert(k, ~k);
    }
    u64 branch_u = 0;
    testsupport::for_each_edge(h.c.record().root, ROOT_LEVEL, [&](Edge& e, unsigned) {
      if (e.tag != TAG_U) return;
      EXPECT_EQ(addr(e.ptr<void>()) % 64, 0u);
      ++branch_u;
    });
    EXPECT_GE(branch_u, 20u);
    ASSERT_TRUE(h.check());
    std::vector<u64> probes(keys.begin(), keys.begin() + 1000);
    for (u64 i = 0; i < 200; ++i) probes.push_back(rng());
    h.lookup_batch(probes);
    std::shuffle(keys.begin(), keys.end(), rng);
    for (std::size_t i = 0; i < keys.size() * 4 / 5; ++i) h.remove(keys[i]);
    ASSERT_TRUE(h.check());
    for (u64 i = 0; i < 20000; ++i) h.insert(rng(), i);
    ASSERT_TRUE(h.check());
    // 256 keys under one 6-byte prefix, each in a child of its own, then
    // removed: the BranchU each round makes goes back to the system.
    const u64 prefix = rng() << 16;
    u64 after_first = 0;
    for (int round = 0; round < 40; ++round) {
      const u64 before = outstanding();
      for (u64 d = 0; d < 256; ++d) h.insert(prefix | d << 8, d);
      ASSERT_GT(outstanding(), before) << "round " << round;
      for (u64 d = 0; d < 256; ++d) h.remove(prefix | d << 8);
      if (round == 0) after_first = outstanding();
      ASSERT_EQ(outstanding(), after_first) << "round " << round;
    }
    ASSERT_TRUE(h.check());
    h.c.clear();
    h.model.clear();
    EXPECT_EQ(outstanding(), 0u);
    EXPECT_EQ(h.c.record().alloc.chunk_count(), 0u);
    for (std::size_t i = 0; i < 5000; ++i) h.insert(keys[i], i);
    ASSERT_TRUE(h.check());
  }
  EXPECT_EQ(outstanding(), 0u);
}

TEST(NodeAlloc, BranchUNodesComeAndGoInLargeTrees) {
  const u64 seed = test_seed(0x4a6e);
  CORVALE_SEED_TRACE(seed);
  branch_u_round<false>(seed);
  branch_u_round<true>(seed + 1);
}

}  // namespace
}  // namespace corvale_trie
