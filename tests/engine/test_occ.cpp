// The epoch collector, the shared-mode allocator and the relaxed byte-range
// copies. Run also under ThreadSanitizer and AddressSanitizer (every retired
// block is a real allocation: a double free or a leak at teardown fails).
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "engine/alloc.hpp"
#include "engine/occ.hpp"
#include "seed.hpp"

namespace corvale_trie {
namespace {

using occ::Collector;
using occ::Reader;

void* block_of(u64 size, u64 align) { return system_alloc(size, align); }

TEST(Collector, EpochsAdvanceOnlyWhenEveryPinnedReaderCaughtUp) {
  const occ::CollectorRef col = occ::make_collector();
  // No reader: every call advances.
  col->try_advance();
  col->try_advance();
  EXPECT_EQ(col->epoch(), 2u);

  Reader idle(col);  // registered, never pinned: never holds anything up
  Reader r(col);
  r.pin();  // pinned at 2
  col->try_advance();
  EXPECT_EQ(col->epoch(), 3u) << "a reader pinned at the current epoch does not block the next advance";
  col->try_advance();
  col->try_advance();
  EXPECT_EQ(col->epoch(), 3u) << "a reader pinned one epoch back blocks";
  r.unpin();
  col->try_advance();
  EXPECT_EQ(col->epoch(), 4u);
  r.pin();  // re-pinned at 4
  col->try_advance();
  col->try_advance();
  EXPECT_EQ(col->epoch(), 5u);
  r.unpin();
  EXPECT_EQ(col->reader_count(), 2u);
  {
    Reader third(col);
    EXPECT_EQ(col->reader_count(), 3u);
  }
  EXPECT_EQ(col->reader_count(), 2u) << "a dropped reader removes only its own entry";
}

// ---------------------------------------------------------------------------
// The threads' reader slots

// Runs body on a new thread and joins it (the thread's slots go at its end).
template <class F>
void on_thread(F&& body) {
  std::thread t(std::forward<F>(body));
  t.join();
}

TEST(ThreadSlot, OneRegistrationPerThreadAndCollectorThatOnlyPinnedUseHoldsBack) {
  const occ::CollectorRef col = occ::make_collector();
  const occ::CollectorRef other = occ::make_collector();
  EXPECT_EQ(col->reader_count(), 0u);
  occ::ReaderSlot& mine = col->thread_slot();
  EXPECT_EQ(&col->thread_slot(), &mine) << "the same slot on every call";
  EXPECT_EQ(col->reader_count(), 1u);
  EXPECT_EQ(mine.pinned.load(), occ::UNPINNED);
  occ::ReaderSlot& theirs = other->thread_slot();  // a second collector: its own slot
  EXPECT_NE(&theirs, &mine);
  EXPECT_EQ(&col->thread_slot(), &mine);
  EXPECT_EQ(other->reader_count(), 1u);

  // Registered and idle: every advance goes through.
  col->try_advance();
  col->try_advance();
  EXPECT_EQ(col->epoch(), 2u);
  col->pin(mine);  // at 2
  EXPECT_EQ(mine.pinned.load(), 2u);
  col->try_advance();
  col->try_advance();
  EXPECT_EQ(col->epoch(), 3u) << "pinned one epoch back: held";
  occ::Collector::unpin(mine);
  col->try_advance();
  EXPECT_EQ(col->epoch(), 4u);

  // Another thread gets a slot of its own, and its end takes it away.
  std::atomic<occ::ReaderSlot*> seen{nullptr};
  on_thread([&] {
    seen = &col->thread_slot();
    EXPECT_EQ(col->reader_count(), 2u);
    col->pin(*seen);
    col->try_advance();
    col->try_advance();
    EXPECT_EQ(col->epoch(), 5u) << "the other thread's pin holds the advance";
    occ::Collector::unpin(*seen);
  });
  EXPECT_NE(seen.load(), &mine);
  EXPECT_EQ(col->reader_count(), 1u) << "thread exit unregisters its slot";
  EXPECT_EQ(other->reader_count(), 1u);
  col->try_advance();
  EXPECT_EQ(col->epoch(), 6u);
}

TEST(ThreadSlot, ThreadEndAndCollectorTeardownInBothOrders) {
  // Thread first: the collector outlives the thread and loses its entry.
  {
    const occ::CollectorRef col = occ::make_collector();
    on_thread([&] { (void)col->thread_slot(); });
    EXPECT_EQ(col->reader_count(), 0u);
  }
  // Collector first: the thread holds an entry of a collector that is gone;
  // a collector made later (possibly at the same address) is a new one to
  // the thread, with a slot registered there. AddressSanitizer reports a
  // use after free or a leak.
  on_thread([] {
    const u64 entries = occ::Collector::thread_slot_count_for_testing();
    occ::CollectorRef col = occ::make_collector();
    occ::ReaderSlot* first = &col->thread_slot();
    col->pin(*first);
    occ::Collector::unpin(*first);
    col.reset();  // teardown while the thread still holds its entry
    const occ::CollectorRef again = occ::make_collector();
    occ::ReaderSlot& next = again->thread_slot();
    EXPECT_EQ(again->reader_count(), 1u) << "a new collector gets a registration of its own";
    again->pin(next);
    again->try_advance();
    again->try_advance();
    EXPECT_EQ(again->epoch(), 1u) << "the slot found is the one this collector scans";
    occ::Collector::unpin(next);
    EXPECT_EQ(occ::Collector::thread_slot_count_for_testing(), entries + 2);
  });
  // Collector first, from another thread: torn down (blocks still in its
  // bins) while a living thread holds an entry of it, which then expires.
  {
    occ::CollectorRef col = occ::make_collector();
    std::atomic<bool> registered{false};
    std::atomic<bool> dropped{false};
    std::thread t([&, weak = std::weak_ptr<occ::Collector>(col)] {
      {
        const occ::CollectorRef mine = weak.lock();
        (void)mine->thread_slot();
      }
      registered = true;
      while (!dropped) std::this_thread::yield();
      EXPECT_TRUE(weak.expired());
    });
    while (!registered) std::this_thread::yield();
    col->retire(block_of(64, 64), 64, 64);
    col.reset();
    dropped = true;
    t.join();
  }
}

TEST(ThreadSlot, EntriesOfCollectorsThatWentArePruned) {
  on_thread([] {
    for (int i = 0; i < 1000; ++i) {
      const occ::CollectorRef col = occ::make_collector();
      (void)col->thread_slot();
    }
    EXPECT_LE(occ::Collector::thread_slot_count_for_testing(), 32u);
    const occ::CollectorRef kept = occ::make_collector();
    occ::ReaderSlot& slot = kept->thread_slot();
    for (int i = 0; i < 100; ++i) {
      const occ::CollectorRef col = occ::make_collector();
      (void)col->thread_slot();
      EXPECT_EQ(&kept->thread_slot(), &slot) << "a pruning keeps the live entries";
    }
    EXPECT_EQ(kept->reader_count(), 1u);
  });
}

TEST(ThreadSlot, ThreadsAndCollectorsEndingConcurrently) {
  // Threads register with a collector, pin and unpin, and end while the
  // collector loses its handles on another thread: each collector goes on
  // whichever thread drops it last. ThreadSanitizer checks the registry and
  // AddressSanitizer the lifetimes.
  const u64 seed = test_seed(0x7EA2);
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 60; ++round) {
    occ::CollectorRef col = occ::make_collector();
    std::atomic<int> started{0};
    std::vector<std::thread> threads;
    const int n = 2 + static_cast<int>(rng() % 3);
    for (int t = 0; t < n; ++t) {
      const int pins = static_cast<int>(rng() % 50);
      threads.emplace_back([&started, pins, ref = col] {
        occ::ReaderSlot& slot = ref->thread_slot();
        started.fetch_add(1);
        for (int i = 0; i < pins; ++i) {
          ref->pin(slot);
          occ::Collector::unpin(slot);
        }
      });
    }
    for (int i = 0; i < 20; ++i) {
      col->retire(block_of(64, 64), 64, 64);
      col->try_advance();
    }
    if (rng() & 1) {
      while (started.load() < n) std::this_thread::yield();
    }
    col.reset();  // the threads' copies may outlive it or not
    for (auto& t : threads) t.join();
  }
}

TEST(Collector, BinsRecycleIntoPoolsTwoAdvancesLater) {
  const occ::CollectorRef col = occ::make_collector();
  void* node64 = block_of(64, 64);
  void* exact48 = block_of(48, 16);
  col->retire(node64, 64, 64);
  col->retire(exact48, 48, 16);
  col->retire(block_of(BRANCH_U_SIZE, 64), BRANCH_U_SIZE, 64);  // freed, no class
  col->retire(block_of(17, 16), 17, 16);                        // freed, no class
  col->retire(block_of(400, 16), 400, 16);                      // freed, no class
  EXPECT_EQ(col->pending_count(), 5u);
  col->try_advance();  // 0 -> 1: bin 2 is empty
  EXPECT_EQ(col->pending_count(), 5u);
  EXPECT_EQ(col->pool_count(CLASS_64), 0u);
  col->try_advance();  // 1 -> 2: the blocks of epoch 0
  EXPECT_EQ(col->pending_count(), 0u);
  EXPECT_EQ(col->pool_count(CLASS_64), 1u);
  EXPECT_EQ(col->pool_count(NODE_SIZE_TO_CLASS[48]), 1u);

  // A reader pinned while a block is retired keeps it out of the pools.
  Reader r(col);
  r.pin();  // at 2
  col->retire(block_of(128, 64), 128, 64);
  for (int i = 0; i < 5; ++i) col->try_advance();
  EXPECT_EQ(col->pool_count(CLASS_128), 0u);
  EXPECT_EQ(col->pending_count(), 1u);
  r.unpin();
  col->try_advance();
  col->try_advance();
  EXPECT_EQ(col->pool_count(CLASS_128), 1u);

  // Pops are zero-filled and come from the pool.
  std::memset(static_cast<u8*>(node64) + 8, 0xAB, 56);  // past the pool link
  void* again = col->pop_pool(CLASS_64);
  EXPECT_EQ(again, node64);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(static_cast<u8*>(again)[i], 0) << i;
  EXPECT_EQ(col->pop_pool(CLASS_64), nullptr);
  system_free(again);
}

TEST(Collector, ShrinkFreesWhatNoReaderHoldsDownToTheBound) {
  const occ::CollectorRef col = occ::make_collector();
  for (int i = 0; i < 4; ++i) col->retire(block_of(64, 64), 64, 64);
  for (int i = 0; i < 2; ++i) col->retire(block_of(48, 16), 48, 16);
  col->retire(block_of(BRANCH_U_SIZE, 64), BRANCH_U_SIZE, 64);  // no class: freed when its bin is
  const u64 retired = 4 * 64 + 2 * 48 + BRANCH_U_SIZE;
  EXPECT_EQ(col->pending_bytes(), retired);

  col->shrink_to(retired);
  EXPECT_EQ(col->epoch(), 0u) << "within the bound nothing moves";

  Reader r(col);
  r.pin();  // at 0: one advance, then it holds the bin of epoch 0
  col->shrink_to(0);
  EXPECT_EQ(col->epoch(), 1u);
  EXPECT_EQ(col->pending_bytes(), retired);
  EXPECT_EQ(col->pooled_bytes(), 0u);

  r.unpin();
  col->shrink_to(100);
  EXPECT_EQ(col->pending_bytes(), 0u);
  const u64 pooled = col->pooled_bytes();
  EXPECT_LE(pooled, 100u);
  EXPECT_EQ(pooled, 64 * col->pool_count(CLASS_64) + 48 * col->pool_count(NODE_SIZE_TO_CLASS[48]));

  col->shrink_to(0);
  EXPECT_EQ(col->pooled_bytes(), 0u);
  EXPECT_EQ(col->pool_count(CLASS_64) + col->pool_count(NODE_SIZE_TO_CLASS[48]), 0u);
}

TEST(Collector, TeardownFreesBinsAndPoolsOnce) {
  // Blocks in all three bins and in two pools; AddressSanitizer reports a
  // leak or a double free.
  const occ::CollectorRef col = occ::make_collector();
  for (int round = 0; round < 4; ++round) {
    col->retire(block_of(64, 64), 64, 64);
    col->retire(block_of(32, 16), 32, 16);
    col->retire(block_of(BRANCH_U_SIZE, 64), BRANCH_U_SIZE, 64);
    col->try_advance();
  }
  EXPECT_GT(col->pool_count(CLASS_64), 0u);
  EXPECT_GT(col->pending_count(), 0u);
}

TEST(SharedAlloc, BlocksComeFromPoolsOrTheSystemAndReleasesRetire) {
  const occ::CollectorRef col = occ::make_collector();
  {
    NodeAlloc alloc;
    alloc.defer_to(col);
    alloc.defer_to(col);  // the same collector again: accepted
    EXPECT_TRUE(alloc.shared());
    auto* a = alloc.make<BranchL3>();
    auto* u = alloc.make<BranchU>();
    auto* bytes = static_cast<u8*>(alloc.allocate_bytes(40));
    EXPECT_EQ(alloc.chunk_count(), 0u) << "no chunk in shared mode";
    EXPECT_EQ(alloc.mem_used(), 64u + BRANCH_U_SIZE + 48u);
    a->count = 3;
    alloc.destroy(a);
    alloc.destroy(u);
    alloc.release_bytes(bytes, 40);
    EXPECT_EQ(alloc.mem_used(), 0u);
    EXPECT_EQ(alloc.live_nodes(), 0u);
    EXPECT_EQ(col->pending_count(), 3u) << "releases are retired, not reused";
    auto* fresh = alloc.make<BranchL3>();
    EXPECT_NE(fresh, a) << "a retired block is not handed out again at once";
    col->try_advance();
    col->try_advance();
    auto* b = alloc.make<BranchL3>();
    EXPECT_EQ(b, a) << "recycled through the class pool";
    EXPECT_EQ(b->count, 0) << "zero-filled";
    EXPECT_EQ(alloc.total_node_allocs(), 5u);
    alloc.destroy(fresh);
    alloc.destroy(b);
  }
  // The allocator is gone; the collector still holds (and frees) its blocks.
  EXPECT_GT(col->pending_count() + col->pool_count(CLASS_64), 0u);
}

TEST(SharedAllocDeath, DeferToOnlyBeforeTheFirstBlockAndToOneCollector) {
  EXPECT_DEATH(
      {
        NodeAlloc alloc;
        alloc.defer_to(occ::make_collector());
        alloc.defer_to(occ::make_collector());
      },
      "NodeAlloc already deferred to a different collector");
  EXPECT_DEATH(
      {
        NodeAlloc alloc;
        void* b = alloc.allocate_bytes(24);
        alloc.release_bytes(b, 24);
        alloc.defer_to(occ::make_collector());
      },
      "before its first allocation");
}

TEST(RacingWords, ByteRangeCopiesMatchMemmove) {
  const u64 seed = test_seed(0x0CC0);
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    alignas(16) u8 buf[96];
    alignas(16) u8 want[96];
    for (u8& b : buf) b = static_cast<u8>(rng());
    std::memcpy(want, buf, sizeof buf);
    // Word-aligned moves half of the time.
    const bool words = rng() & 1;
    const u64 n = words ? 8 * (rng() % 6) : rng() % 40;
    const u64 src = words ? 8 * (rng() % 6) : rng() % 48;
    const u64 dst = words ? 8 * (rng() % 6) : rng() % 48;
    std::memmove(want + dst, want + src, n);
    occ::move_within(buf + dst, buf + src, n);
    ASSERT_EQ(std::memcmp(buf, want, sizeof buf), 0) << "move " << src << "->" << dst << " n " << n;
    u8 out[48] = {};
    occ::copy_out(out, buf + src, n);
    ASSERT_EQ(std::memcmp(out, buf + src, n), 0);
    occ::copy_in(buf + dst, out, n);
    ASSERT_EQ(std::memcmp(buf + dst, out, n), 0);
    occ::zero_in(buf + dst, n);
    for (u64 i = 0; i < n; ++i) ASSERT_EQ(buf[dst + i], 0);
  }
  Edge e;
  e.payload = 0x1122334455667788ull;
  e.set_decode_bits(0x00AABBCCDDEEFF01ull);
  e.tag = 0x35;
  Edge f;
  occ::store_edge(f, e);
  const Edge g = occ::load_edge(f);
  EXPECT_EQ(std::memcmp(&g, &e, sizeof(Edge)), 0);
  EXPECT_EQ(occ::load_decode_word(g), e.decode_word());
}

// A guard holds while its word keeps the even value it was taken with; a
// bracket (odd, then even again) or an obsolete mark breaks it, and an odd
// word (open or obsolete) cannot be entered. A node whose version wrapped
// to the top keeps failing once marked.
TEST(Versions, GuardsFailAcrossABracketAndForGoodOnAnObsoleteNode) {
  std::atomic<u64> seq{4};
  occ::Guard g = occ::Guard::of_seq(seq, 4);
  EXPECT_TRUE(g.holds());
  u32 node = 6;
  ASSERT_TRUE(g.enter(node));
  EXPECT_TRUE(g.holds());
  seq.store(6);
  EXPECT_TRUE(g.holds()) << "the guard is the node now, not the sequence word";
  occ::open_version(node);
  EXPECT_FALSE(g.holds());
  occ::Guard inside = g;
  EXPECT_FALSE(inside.enter(node)) << "an open node";
  occ::close_version(node);
  EXPECT_EQ(node, 8u);
  EXPECT_FALSE(g.holds());
  ASSERT_TRUE(g.enter(node));
  occ::mark_obsolete(node);
  EXPECT_EQ(node, 9u);
  EXPECT_FALSE(g.holds());
  EXPECT_FALSE(g.enter(node)) << "an obsolete node";
  occ::mark_obsolete(node);
  EXPECT_EQ(node, 9u) << "marking twice changes nothing";
  u32 top = 0xFFFF'FFFEu;
  ASSERT_TRUE(g.enter(top));
  occ::mark_obsolete(top);
  EXPECT_FALSE(g.holds());
  EXPECT_FALSE(g.enter(top));
}

TEST(Collector, ConcurrentReadersNeverSeeARecycledBlock) {
  // Writer: publishes a block, replaces it, retires the old one, advances.
  // Readers: pin, take the current block, check it is intact, unpin. A
  // recycled block would be zero-filled (pop_pool) or hold a pool link.
  const occ::CollectorRef col = occ::make_collector();
  constexpr u64 kMagic = 0x5EED'F00D'0000'0000ull;
  u64* current = static_cast<u64*>(system_alloc(64, 64));
  for (u64 i = 0; i < 8; ++i) current[i] = kMagic | i;
  std::atomic<u64*> published{current};
  std::atomic<bool> stop{false};
  std::atomic<u64> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      Reader r(col);
      while (!stop.load(std::memory_order_relaxed)) {
        r.pin();
        const u64* b = published.load(std::memory_order_acquire);
        for (u64 i = 0; i < 8; ++i)
          if ((occ::load(b[i]) & ~u64{0xFFFF'FFFF}) != kMagic) bad.fetch_add(1);
        r.unpin();
      }
    });
  }
  for (u64 round = 1; round < 20000; ++round) {
    u64* next = static_cast<u64*>(col->pop_pool(CLASS_64));
    if (next == nullptr) next = static_cast<u64*>(system_alloc(64, 64));
    for (u64 i = 0; i < 8; ++i) next[i] = kMagic | (round << 8) | i;
    u64* old = published.exchange(next, std::memory_order_acq_rel);
    col->retire(old, 64, 64);
    col->try_advance();
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0u);
  col->retire(published.load(), 64, 64);
}

}  // namespace
}  // namespace corvale_trie
