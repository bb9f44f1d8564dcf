// The epoch collector and the byte-range copies of racing words.
#include "engine/occ.hpp"

#include "engine/alloc.hpp"

#include <algorithm>
#include <bit>
#include <unordered_map>

namespace corvale_trie::occ {

static_assert(POOL_CLASSES == NODE_CLASS_COUNT);

// ---------------------------------------------------------------------------
// Byte ranges

namespace {
[[nodiscard]] bool both_aligned8(const void* a, const void* b, u64 n) noexcept {
  return ((reinterpret_cast<std::uintptr_t>(a) | reinterpret_cast<std::uintptr_t>(b) | n) & 7) == 0;
}
}  // namespace

void copy_out(void* dst, const void* shared_src, u64 n) noexcept {
  // Bytes up to the first 8-aligned source address, then whole source words
  // (the private destination may be unaligned), then the last bytes: a
  // packed leaf is read a word at a time wherever it starts.
  auto* d = static_cast<u8*>(dst);
  const auto* s = static_cast<const detail::alias_u8*>(shared_src);
  for (; n > 0 && (reinterpret_cast<std::uintptr_t>(s) & 7) != 0; --n) *d++ = __atomic_load_n(s++, __ATOMIC_RELAXED);
  for (; n >= 8; n -= 8, s += 8, d += 8) {
    const u64 w = __atomic_load_n(reinterpret_cast<const detail::alias_u64*>(s), __ATOMIC_RELAXED);
    std::memcpy(d, &w, 8);
  }
  for (; n > 0; --n) *d++ = __atomic_load_n(s++, __ATOMIC_RELAXED);
}

void copy_in(void* shared_dst, const void* src, u64 n) noexcept {
  if (both_aligned8(shared_dst, src, n)) {
    auto* d = static_cast<detail::alias_u64*>(shared_dst);
    const auto* s = static_cast<const u64*>(src);
    for (u64 i = 0; i < n / 8; ++i) __atomic_store_n(d + i, s[i], __ATOMIC_RELAXED);
    return;
  }
  auto* d = static_cast<detail::alias_u8*>(shared_dst);
  const auto* s = static_cast<const u8*>(src);
  for (u64 i = 0; i < n; ++i) __atomic_store_n(d + i, s[i], __ATOMIC_RELAXED);
}

void move_within(void* shared_dst, const void* shared_src, u64 n) noexcept {
  // The writer is the only thread that stores into the block, so its own
  // loads of it do not race; they are atomic only to keep the accesses of
  // one word uniform.
  const bool words = both_aligned8(shared_dst, shared_src, n);
  const u64 step = words ? 8 : 1;
  const u64 count = n / step;
  const bool down = shared_dst < shared_src;
  for (u64 j = 0; j < count; ++j) {
    const u64 i = down ? j : count - 1 - j;
    if (words) {
      auto* d = static_cast<detail::alias_u64*>(shared_dst);
      const auto* s = static_cast<const detail::alias_u64*>(shared_src);
      __atomic_store_n(d + i, __atomic_load_n(s + i, __ATOMIC_RELAXED), __ATOMIC_RELAXED);
    } else {
      auto* d = static_cast<detail::alias_u8*>(shared_dst);
      const auto* s = static_cast<const detail::alias_u8*>(shared_src);
      __atomic_store_n(d + i, __atomic_load_n(s + i, __ATOMIC_RELAXED), __ATOMIC_RELAXED);
    }
  }
}

void zero_in(void* shared_dst, u64 n) noexcept {
  if (both_aligned8(shared_dst, shared_dst, n)) {
    auto* d = static_cast<detail::alias_u64*>(shared_dst);
    for (u64 i = 0; i < n / 8; ++i) __atomic_store_n(d + i, u64{0}, __ATOMIC_RELAXED);
    return;
  }
  auto* d = static_cast<detail::alias_u8*>(shared_dst);
  for (u64 i = 0; i < n; ++i) __atomic_store_n(d + i, u8{0}, __ATOMIC_RELAXED);
}

// ---------------------------------------------------------------------------
// Collector

namespace {

// Size class of a retired block, or NO_CLASS when it goes to the system.
[[nodiscard]] u8 class_of(u64 size, u64 align) noexcept {
  if (align == 64) {
    for (unsigned c = 0; c < 6; ++c)
      if (NODE_CLASS_LAYOUTS[c].size == size) return static_cast<u8>(c);
    return NO_CLASS;
  }
  if (align == 16 && size < 376) return NODE_SIZE_TO_CLASS[size];
  return NO_CLASS;
}

void free_retired(const RetiredBlock& r) noexcept {
  const bool valid = r.align != 0 && std::has_single_bit(r.align) && r.size <= (u64{1} << 63) - r.align;
  if (!valid) [[unlikely]] CORVALE_PANIC("valid retired layout");
  system_free(r.block);
}

}  // namespace

namespace {
std::atomic<u64> g_next_collector_id{1};
}  // namespace

Collector::Collector() noexcept : id_(g_next_collector_id.fetch_add(1, std::memory_order_relaxed)) {}

// A separate block for the collector: the weak handles of the threads'
// slot lists keep only the small control block alive after the teardown.
CollectorRef make_collector() { return CollectorRef(new Collector()); }

Collector::~Collector() {
  for (unsigned b = 0; b < GARBAGE_BINS; ++b) {
    std::vector<RetiredBlock> bin;
    {
      std::lock_guard<std::mutex> lock(bin_mu_[b]);
      bin.swap(bins_[b]);
    }
    for (const RetiredBlock& r : bin) free_retired(r);
  }
  for (unsigned c = 0; c < NODE_CLASS_COUNT; ++c) {
    void* block = free_lists_[c].load(std::memory_order_acquire);
    while (block != nullptr) {
      void* next = *static_cast<void**>(block);
      system_free(block);
      block = next;
    }
    free_lists_[c].store(nullptr, std::memory_order_relaxed);
  }
}

void Collector::retire(void* block, u64 size, u64 align) {
  const u64 e = epoch_.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(bin_mu_[e % GARBAGE_BINS]);
  bins_[e % GARBAGE_BINS].push_back(RetiredBlock{block, size, align});
  pending_bytes_.store(pending_bytes() + size, std::memory_order_relaxed);
}

void Collector::try_advance() {
  const u64 e = epoch_.load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  {
    std::lock_guard<std::mutex> lock(readers_mu_);
    for (const auto& slot : readers_) {
      const u64 v = slot->pinned.load(std::memory_order_acquire);
      if (v != UNPINNED && v != e) return;
    }
  }
  epoch_.store(e + 1, std::memory_order_release);
  std::vector<RetiredBlock> bin;
  {
    std::lock_guard<std::mutex> lock(bin_mu_[(e + 2) % GARBAGE_BINS]);
    bin.swap(bins_[(e + 2) % GARBAGE_BINS]);
  }
  u64 taken = 0;
  for (const RetiredBlock& r : bin) {
    taken += r.size;
    recycle(r);
  }
  pending_bytes_.store(pending_bytes() - taken, std::memory_order_relaxed);
}

void Collector::shrink(u64 keep) {
  for (unsigned i = 0; i < GARBAGE_BINS && pending_bytes() > 0; ++i) {
    const u64 e = epoch();
    try_advance();
    if (epoch() == e) break;  // a reader holds the rest back
  }
  for (unsigned c = 0; c < NODE_CLASS_COUNT && pooled_bytes() > keep; ++c) {
    while (pooled_bytes() > keep) {
      void* block = take_pooled(c);
      if (block == nullptr) break;
      system_free(block);
    }
  }
}

void Collector::recycle(const RetiredBlock& r) noexcept {
  const u8 cls = class_of(r.size, r.align);
  if (cls == NO_CLASS) {
    free_retired(r);
  } else {
    push_pool(r.block, cls);
  }
}

void Collector::push_pool(void* block, unsigned cls) noexcept {
  if (cls >= NODE_CLASS_COUNT) [[unlikely]]
    panic_fmt(CORVALE_HERE, "index out of bounds: the len is 62 but the index is %u", cls);
  void* head = free_lists_[cls].load(std::memory_order_relaxed);
  do {
    *static_cast<void**>(block) = head;
  } while (!free_lists_[cls].compare_exchange_weak(head, block, std::memory_order_release,
                                                    std::memory_order_relaxed));
  pooled_bytes_.store(pooled_bytes() + NODE_CLASS_LAYOUTS[cls].size, std::memory_order_relaxed);
}

void* Collector::take_pooled(unsigned cls) noexcept {
  void* head = free_lists_[cls].load(std::memory_order_acquire);
  while (head != nullptr) {
    void* next = *static_cast<void**>(head);
    if (free_lists_[cls].compare_exchange_weak(head, next, std::memory_order_acquire,
                                               std::memory_order_acquire)) {
      pooled_bytes_.store(pooled_bytes() - NODE_CLASS_LAYOUTS[cls].size, std::memory_order_relaxed);
      return head;
    }
  }
  return nullptr;
}

void* Collector::pop_pool(unsigned cls) noexcept {
  void* block = take_pooled(cls);
  if (block != nullptr) std::memset(block, 0, NODE_CLASS_LAYOUTS[cls].size);
  return block;
}

u64 Collector::pending_count() const {
  u64 n = 0;
  for (unsigned b = 0; b < GARBAGE_BINS; ++b) {
    std::lock_guard<std::mutex> lock(bin_mu_[b]);
    n += bins_[b].size();
  }
  return n;
}

u64 Collector::pool_count(unsigned cls) const noexcept {
  u64 n = 0;
  for (void* b = free_lists_[cls].load(std::memory_order_acquire); b != nullptr; b = *static_cast<void**>(b)) ++n;
  return n;
}

u64 Collector::reader_count() const {
  std::lock_guard<std::mutex> lock(readers_mu_);
  return readers_.size();
}

void Collector::register_reader(const std::shared_ptr<ReaderSlot>& slot) {
  std::lock_guard<std::mutex> lock(readers_mu_);
  readers_.push_back(slot);
}

void Collector::unregister_reader(const ReaderSlot* slot) {
  std::lock_guard<std::mutex> lock(readers_mu_);
  std::erase_if(readers_, [slot](const std::shared_ptr<ReaderSlot>& s) { return s.get() == slot; });
}

void Collector::pin(ReaderSlot& slot) const noexcept {
  u64 e = epoch_.load(std::memory_order_relaxed);
  for (;;) {
    // Release: the reads of an earlier attempt stay before this pin for a
    // writer that finds it (a plain store would end that ordering).
    slot.pinned.store(e, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const u64 now = epoch_.load(std::memory_order_acquire);
    if (now == e) return;
    e = now;
  }
}

// ---------------------------------------------------------------------------
// The threads' slots

namespace {
// The slot of the thread's last lookup (collector id, slot), kept apart from
// its list (ThreadSlots) in plain thread-locals, which need no
// initialisation on first use: a lookup reads them without the list's
// guard.
struct RecentSlot {
  u64 id = 0;  // ids start at 1
  ReaderSlot* slot = nullptr;
};
thread_local RecentSlot t_recent;
}  // namespace

// The calling thread's registered slots, by collector id. Only the owning
// thread touches its list; the registries it points into are locked as usual.
struct ThreadSlots {
  struct Entry {
    std::weak_ptr<Collector> collector;
    std::shared_ptr<ReaderSlot> slot;
  };

  ThreadSlots() = default;
  ThreadSlots(const ThreadSlots&) = delete;
  ThreadSlots& operator=(const ThreadSlots&) = delete;

  // Thread exit: leave the registry of every collector still alive. A
  // collector already torn down took its registry with it.
  ~ThreadSlots() {
    forget_recent();
    for (auto& [id, entry] : entries)
      if (const CollectorRef c = entry.collector.lock()) c->unregister_reader(entry.slot.get());
  }

  [[nodiscard]] std::size_t size() const noexcept { return entries.size(); }

  // The slot with `c`, registered on the first call; it becomes the
  // thread's recent slot.
  ReaderSlot& slot_for(Collector& c) {
    auto it = entries.find(c.id_);
    if (it == entries.end()) it = add(c);
    t_recent = {c.id_, it->second.slot.get()};
    return *t_recent.slot;
  }

 private:
  using Map = std::unordered_map<u64, Entry>;

  Map::iterator add(Collector& c) {
    std::weak_ptr<Collector> weak = c.weak_from_this();
    CORVALE_EXPECT(!weak.expired(), "collector held by a CollectorRef");
    if (entries.size() >= prune_at) {
      std::erase_if(entries, [](const auto& kv) { return kv.second.collector.expired(); });
      prune_at = std::max<std::size_t>(16, 2 * entries.size());
      forget_recent();
    }
    // The list entry first, then the registration: a failure of either
    // leaves nothing behind.
    auto it = entries.emplace(c.id_, Entry{std::move(weak), std::make_shared<ReaderSlot>()}).first;
    try {
      c.register_reader(it->second.slot);
    } catch (...) {
      entries.erase(it);
      throw;
    }
    return it;
  }

  static void forget_recent() noexcept { t_recent = {}; }

  Map entries;
  std::size_t prune_at = 16;  // list size at which expired entries are dropped
};

namespace {
thread_local ThreadSlots t_slots;
}  // namespace

ReaderSlot& Collector::thread_slot() {
  const RecentSlot& recent = t_recent;
  if (recent.id == id_) [[likely]] return *recent.slot;
  return t_slots.slot_for(*this);
}

u64 Collector::thread_slot_count_for_testing() noexcept { return t_slots.size(); }

// ---------------------------------------------------------------------------
// Reader

Reader::Reader(const CollectorRef& collector) : collector_(collector) {
  CORVALE_EXPECT(collector_ != nullptr, MISSING_BLOCK);
  slot_ = std::make_shared<ReaderSlot>();
  collector_->register_reader(slot_);
}

Reader::~Reader() { collector_->unregister_reader(slot_.get()); }

}  // namespace corvale_trie::occ
