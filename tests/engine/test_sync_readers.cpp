// Engine tests of how the concurrent containers' lookups read: through the
// calling thread's reader slot (one registration per thread and container,
// kept between lookups and dropped at thread exit or with the container),
// and the writer mutex, which a failed read leaves usable and a failed
// change poisons. Run under AddressSanitizer and ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "engine/sync.hpp"

namespace corvale_trie {
namespace {

using sync::SyncCorvaleMap;
using sync::SyncCorvaleSet;

TEST(SyncReaders, LookupsKeepOneSlotPerThreadAndWritesStillAdvance) {
  auto m = std::make_shared<SyncCorvaleMap>();
  SyncCorvaleSet s;
  for (u64 k = 0; k < 2000; ++k) {
    m->insert(k * 977, k);
    s.insert(k * 977);
  }
  const occ::Collector& col = *m->collector();
  EXPECT_EQ(col.reader_count(), 0u) << "writers register nothing";
  for (u64 k = 0; k < 3000; ++k) {
    ASSERT_EQ(m->get(k * 977), k < 2000 ? std::optional<u64>(k) : std::nullopt) << k;
    ASSERT_EQ(s.contains(k * 977), k < 2000) << k;
  }
  EXPECT_EQ(col.reader_count(), 1u) << "one slot for the calling thread";
  EXPECT_EQ(s.collector()->reader_count(), 1u);

  // The registered slot is idle between lookups: every write advances.
  const u64 epoch = col.epoch();
  m->insert(5, 5);
  m->insert(6, 6);
  EXPECT_EQ(col.epoch(), epoch + 2);

  // Four threads look up at once, each with its slot; their ends unregister.
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (!go) std::this_thread::yield();
      for (u64 k = static_cast<u64>(t); k < 2000; k += 4) EXPECT_EQ(m->get(k * 977), std::optional<u64>(k));
    });
  }
  while (ready.load() < 4) std::this_thread::yield();
  go = true;
  for (u64 k = 2000; k < 2400; ++k) m->insert(k * 977, k);  // a writer beside them
  for (auto& th : threads) th.join();
  EXPECT_EQ(col.reader_count(), 1u) << "the threads' slots left with them";
}

TEST(SyncReaders, AContainerThatGoesBeforeTheReadingThread) {
  // A thread reads a container, the container is dropped (its collector torn
  // down) while the thread lives, and the thread reads a new one.
  std::atomic<int> phase{0};
  auto m = std::make_shared<SyncCorvaleMap>();
  for (u64 k = 0; k < 100; ++k) m->insert(k << 20, k);
  std::weak_ptr<SyncCorvaleMap> weak = m;
  std::thread t([&] {
    {
      const auto held = weak.lock();
      EXPECT_EQ(held->get(7 << 20), std::optional<u64>(7));
    }
    phase = 1;
    while (phase.load() != 2) std::this_thread::yield();
    EXPECT_TRUE(weak.expired());
    SyncCorvaleSet fresh;
    for (u64 k = 0; k < 100; ++k) fresh.insert(k << 20);
    EXPECT_TRUE(fresh.contains(99 << 20));
    EXPECT_FALSE(fresh.contains(100 << 20));
    EXPECT_EQ(fresh.collector()->reader_count(), 1u);
  });
  while (phase.load() != 1) std::this_thread::yield();
  m.reset();
  phase = 2;
  t.join();
}

// The protected writer protocol, reachable for a test.
struct OpenMap : SyncCorvaleMap {
  using SyncCorvaleMap::write;
};

TEST(SyncReaders, AFailedReadLeavesTheWriterMutexUsable) {
  SyncCorvaleMap m;
  for (u64 k = 0; k < 50; ++k) m.insert(k, k + 1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_THROW((void)m.locked([](const map::CorvaleMap&) -> u64 { throw std::bad_alloc(); }),
                 std::bad_alloc);
  }
  EXPECT_EQ(m.locked([](const map::CorvaleMap& inner) { return inner.len(); }), 50u);
  EXPECT_EQ(m.insert(100, 1), std::nullopt) << "writers still get the mutex";
  EXPECT_EQ(m.len(), 51u);
}

TEST(SyncReadersDeath, AFailedChangePoisonsTheWriterMutex) {
  EXPECT_DEATH(
      {
        OpenMap m;
        try {
          (void)m.write([](map::CorvaleMap&) -> bool { throw std::bad_alloc(); });
        } catch (const std::bad_alloc&) {
        }
        (void)m.locked([](const map::CorvaleMap& inner) { return inner.len(); });
      },
      "writer lock poisoned");
}

}  // namespace
}  // namespace corvale_trie
