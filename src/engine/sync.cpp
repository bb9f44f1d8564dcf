// corvale_trie engine: the concurrent set and map (see sync.hpp), and their
// optimistic point lookups.
//
// A lookup takes its thread's reader slot with the container's collector
// (registered on the thread's first lookup, occ.hpp) and makes attempts,
// each pinned at the current epoch, so that no block it can still reach is
// recycled under it. An attempt:
//
//   1. pin; load `seq` (acquire), spinning while it is odd (not counted);
//      call the even value s: the guard is now (seq, s);
//   2. read the root state, then by state the flat array (count, pointer) or
//      the root edge; an acquire fence and a reload of `seq` must give s;
//   3. search the flat array, each probe validated against `seq`, or run
//      the point walk of get.hpp (the one the private lookups run) with the
//      ValidatedRead policy: every word a writer may change at the same time
//      is read with a relaxed atomic load (occ::load, occ::load_edge);
//      nothing read is used to reach memory before the guard that covers it
//      has been re-checked (an acquire fence, then the guard word must still
//      hold its value). Entering a branch node, the guard becomes that
//      node's version word (acquire load, odd = failure); leaves, immediates
//      and edges are validated against the guard of the branch (or root)
//      holding them, the answer last of all;
//   4. unpin, and return the answer, or count a failure and start again.
//
// A branch node that a writer replaces or releases is obsolete for good
// (its version odd, occ::mark_obsolete) before its replacement can be
// reached, so a reader inside it fails its next validation even though the
// node itself never changes again: the leaves below it live on under the
// replacement, and changes to them are bracketed by the replacement alone.
//
// After attempt_limit() (64) failures the lookup reads under the writer
// mutex with the ordinary core lookup.
//
// In-place changes of leaves: the shared-mode insertion keeps the path
// cache empty, so the insertion fast path (which would write a cached leaf
// and the pop byte of its edge without opening the branch above) never runs
// on these containers; every in-place change of a leaf, an immediate or an
// edge lies inside the version bracket of the branch holding that edge, and
// the root words and the flat array inside the odd `seq` window.
//
// Bounds: a node, leaf or array reached through a validated edge is a block
// of that kind, live or retired (never freed while pinned); counts taken
// from racing words are checked against the kind's capacity before any
// array is indexed, and packed leaf keys are searched in place with relaxed
// loads of whole aligned words inside their n * W key bytes (get.hpp,
// SharedLeafKeys).
#include "engine/sync.hpp"

#include <bit>
#include <cstring>
#include <exception>

#include "engine/get.hpp"

namespace corvale_trie::sync {

namespace {

std::atomic<u64> g_attempt_limit{MAX_OPTIMISTIC_ATTEMPTS};

// A spin-wait hint while `seq` is odd.
inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// The outcome of one attempt: empty = failure (start again).
template <class Answer>
using Attempt = std::optional<Answer>;

// What the two flavours answer: present (with the value for the map) or
// absent, and the walk of get.hpp that finds it.
struct SetFlavor {
  static constexpr bool kMap = false;
  using Answer = bool;
  using Lookup = get::SetLookup;
  static Answer absent() noexcept { return false; }
  static Answer found(u64) noexcept { return true; }
};
struct MapFlavor {
  static constexpr bool kMap = true;
  using Answer = std::optional<u64>;
  using Lookup = get::MapLookup<true>;
  static Answer absent() noexcept { return std::nullopt; }
  static Answer found(u64 value) noexcept { return value; }
};

// Concludes on `answer` when the guard still holds, else fails.
template <class F>
Attempt<typename F::Answer> conclude(const occ::Guard& guard, typename F::Answer answer) noexcept {
  if (!guard.holds()) return std::nullopt;
  return answer;
}

// Flat array of n ascending keys (the map's values follow capacity_for(n)
// key slots): a lower-bound search, each probe validated against `seq`.
template <class F>
Attempt<typename F::Answer> search_flat(const u64* keys, u64 n, u64 key,
                                        const occ::Guard& root) noexcept {
  if (n > FLAT_MAX_KEYS || (n != 0 && keys == nullptr)) return std::nullopt;
  u64 lo = 0;
  u64 hi = n;
  while (lo < hi) {
    const u64 mid = (lo + hi) / 2;
    const u64 k = occ::load(keys[mid]);
    if (!root.holds()) return std::nullopt;
    if (k < key)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo >= n) return F::absent();
  const u64 k = occ::load(keys[lo]);
  if (!root.holds()) return std::nullopt;
  if (k != key) return F::absent();
  if constexpr (F::kMap) {
    const u64 v = occ::load(keys[capacity_for(n) + lo]);
    return conclude<F>(root, F::found(v));
  } else {
    return F::found(key);
  }
}

// The walk from the root edge (a copy validated against `seq`) at level 8:
// the point walk of get.hpp with validated reads. Its answer is concluded
// under the guard the walk ended with, after the value it names is read.
template <class F>
Attempt<typename F::Answer> walk_tree(const Edge& root_edge, u64 key, const occ::Guard& root) noexcept {
  get::ValidatedRead read(root);
  const typename F::Lookup::Result r = get::walk<typename F::Lookup>(read, &root_edge, key, ROOT_LEVEL);
  if (read.failed()) return std::nullopt;
  if constexpr (F::kMap) {
    if (r == nullptr) return conclude<F>(read.guard(), F::absent());
    const u64 v = occ::load(*r);
    return conclude<F>(read.guard(), F::found(v));
  } else {
    return conclude<F>(read.guard(), r);
  }
}

// One attempt at the root: the root words validated against `seq`, then the
// flat search or the walk.
template <class F>
Attempt<typename F::Answer> attempt(const CoreRecord& rec, const std::atomic<u64>& seq,
                                    u64 key) noexcept {
  u64 s = seq.load(std::memory_order_acquire);
  while (s & 1) {
    spin_hint();
    s = seq.load(std::memory_order_acquire);
  }
  const occ::Guard root = occ::Guard::of_seq(seq, s);
  const RootState state = occ::load(rec.state);
  u64 n = 0;
  const u64* flat = nullptr;
  Edge edge;
  if (state == RootState::Flat) {
    n = occ::load(rec.len);
    flat = reinterpret_cast<const u64*>(occ::load(rec.root.payload));
  } else if (state == RootState::Tree) {
    edge = occ::load_edge(rec.root);
  }
  if (!root.holds()) return std::nullopt;
  if (state == RootState::Flat) return search_flat<F>(flat, n, key, root);
  if (state == RootState::Tree) return walk_tree<F>(edge, key, root);
  return F::absent();
}

std::atomic<u64> g_fallbacks{0};

}  // namespace

u64 attempt_limit() noexcept { return g_attempt_limit.load(std::memory_order_relaxed); }

void set_attempt_limit_for_testing(u64 limit) noexcept {
  g_attempt_limit.store(limit == 0 ? MAX_OPTIMISTIC_ATTEMPTS : limit, std::memory_order_relaxed);
}

u64 fallbacks_for_testing() noexcept { return g_fallbacks.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------------------
// Writer mutex

WriterMutex::Guard::Guard(WriterMutex& m, Hold hold)
    : m_(&m), exceptions_on_entry_(hold == Hold::Change ? std::uncaught_exceptions() : -1) {
  m.mutex_.lock();
  if (m.poisoned_) [[unlikely]] {
    m.mutex_.unlock();
    CORVALE_PANIC("writer lock poisoned");
  }
}

WriterMutex::Guard::~Guard() {
  if (exceptions_on_entry_ >= 0 && std::uncaught_exceptions() > exceptions_on_entry_) [[unlikely]]
    m_->poisoned_ = true;
  m_->mutex_.unlock();
}

// ---------------------------------------------------------------------------
// The shared layout

template <class Inner>
SyncCore<Inner>::SyncCore() : collector_(occ::make_collector()) {
  inner_.record().alloc.defer_to(collector_);
}

template <class Inner>
u64 SyncCore<Inner>::len() const noexcept {
  const CoreRecord& rec = inner_.record();
  const u64 limit = attempt_limit();
  for (u64 attempts = 0; attempts < limit; ++attempts) {
    u64 s = seq_.load(std::memory_order_acquire);
    while (s & 1) {
      spin_hint();
      s = seq_.load(std::memory_order_acquire);
    }
    const RootState state = occ::load(rec.state);
    const u64 n = state == RootState::Empty ? 0 : occ::load(rec.len);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (seq_.load(std::memory_order_relaxed) == s) return n;
  }
  g_fallbacks.fetch_add(1, std::memory_order_relaxed);
  WriterMutex::Guard g(writer_, WriterMutex::Hold::Read);
  return inner_.len();
}

template <class Inner>
template <class Walk>
typename Walk::Answer SyncCore<Inner>::read_optimistic(u64 key) const {
  occ::ReaderSlot& slot = collector_->thread_slot();
  const u64 limit = attempt_limit();
  for (u64 attempts = 0; attempts < limit; ++attempts) {
    collector_->pin(slot);
    const Attempt<typename Walk::Answer> a = attempt<Walk>(inner_.record(), seq_, key);
    occ::Collector::unpin(slot);
    if (a) return *a;
  }
  g_fallbacks.fetch_add(1, std::memory_order_relaxed);
  WriterMutex::Guard g(writer_, WriterMutex::Hold::Read);
  if constexpr (Walk::kMap)
    return inner_.get(key);
  else
    return inner_.contains(key);
}

template class SyncCore<set::CorvaleSet>;
template class SyncCore<map::CorvaleMap>;

// ---------------------------------------------------------------------------
// Set and map

bool SyncCorvaleSet::insert(u64 key) {
  return write([key](set::CorvaleSet& s) { return s.insert(key); });
}

bool SyncCorvaleSet::remove(u64 key) {
  return write([key](set::CorvaleSet& s) { return s.remove(key); });
}

void SyncCorvaleSet::clear() {
  (void)write([](set::CorvaleSet& s) {
    s.clear();
    return true;
  });
}

bool SyncCorvaleSet::contains(u64 key) const { return read_optimistic<SetFlavor>(key); }

std::optional<u64> SyncCorvaleMap::insert(u64 key, u64 value) {
  return write([key, value](map::CorvaleMap& m) { return m.insert(key, value); });
}

std::optional<u64> SyncCorvaleMap::remove(u64 key) {
  return write([key](map::CorvaleMap& m) { return m.remove(key); });
}

std::optional<u64> SyncCorvaleMap::insert_if(u64 key, u64 value, std::optional<u64> expected) {
  return write([=](map::CorvaleMap& m) {
    const std::optional<u64> found = m.get(key);
    if (found == expected) (void)m.insert(key, value);
    return found;
  });
}

std::optional<u64> SyncCorvaleMap::remove_if(u64 key, u64 expected) {
  return write([=](map::CorvaleMap& m) {
    const std::optional<u64> found = m.get(key);
    if (found == expected) (void)m.remove(key);
    return found;
  });
}

void SyncCorvaleMap::clear() {
  (void)write([](map::CorvaleMap& m) {
    m.clear();
    return true;
  });
}

std::optional<u64> SyncCorvaleMap::get(u64 key) const { return read_optimistic<MapFlavor>(key); }

}  // namespace corvale_trie::sync
