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
//   3. walk. Every word a writer may change at the same time is read with a
//      relaxed atomic load (occ::load, occ::load_edge); nothing read is used
//      to reach memory before the guard that covers it has been re-checked
//      (an acquire fence, then the guard word must still hold its value).
//      Entering a branch node, the guard becomes that node's version word
//      (acquire load, odd = failure); leaves, immediates and edges are
//      validated against the guard of the branch (or root) holding them;
//   4. unpin, and return the answer, or count a failure and start again.
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
// array is indexed, and packed leaf keys are copied out (occ::copy_out) into a
// local buffer before they are searched.
#include "engine/sync.hpp"

#include <bit>
#include <cstring>
#include <exception>

#include "engine/codec.hpp"
#include "engine/leaf.hpp"
#include "engine/node.hpp"

namespace corvale_trie::sync {

namespace {

std::atomic<u64> g_attempt_limit{MAX_OPTIMISTIC_ATTEMPTS};

// A spin-wait hint while `seq` is odd.
inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// The word an attempt validates against: `seq` or a branch's version.
class GuardWord {
 public:
  static GuardWord of_seq(const std::atomic<u64>& seq, u64 value) noexcept {
    GuardWord g;
    g.seq_ = &seq;
    g.value_ = value;
    return g;
  }
  static GuardWord of_node(const u32& version, u32 value) noexcept {
    GuardWord g;
    g.version_ = &version;
    g.value_ = value;
    return g;
  }
  // Acquire fence, then the word must still hold its value.
  [[nodiscard]] bool holds() const noexcept {
    std::atomic_thread_fence(std::memory_order_acquire);
    const u64 now = version_ ? occ::load(*version_) : seq_->load(std::memory_order_relaxed);
    return now == value_;
  }

 private:
  const std::atomic<u64>* seq_ = nullptr;
  const u32* version_ = nullptr;
  u64 value_ = 0;
};

// The outcome of one attempt: empty = failure (start again).
template <class Answer>
using Attempt = std::optional<Answer>;

// What the two flavours answer: present (with the value word's address for
// the map) or absent.
struct SetFlavor {
  static constexpr bool kMap = false;
  using Answer = bool;
  static Answer absent() noexcept { return false; }
  static Answer found(u64) noexcept { return true; }
};
struct MapFlavor {
  static constexpr bool kMap = true;
  using Answer = std::optional<u64>;
  static Answer absent() noexcept { return std::nullopt; }
  static Answer found(u64 value) noexcept { return value; }
};

// Entering a branch node: its version word, loaded with acquire ordering,
// becomes the guard when it is even; odd (a writer is in or below the node)
// is a failure.
std::optional<GuardWord> enter(const u32& version) noexcept {
  const u32 v = occ::load_version(version);
  if (v & 1) return std::nullopt;
  return GuardWord::of_node(version, v);
}

// Concludes on `answer` when the guard still holds, else fails.
template <class F>
Attempt<typename F::Answer> conclude(const GuardWord& guard, typename F::Answer answer) noexcept {
  if (!guard.holds()) return std::nullopt;
  return answer;
}

// Flat array of n ascending keys (the map's values follow capacity_for(n)
// key slots): a lower-bound search, each probe validated against `seq`.
template <class F>
Attempt<typename F::Answer> search_flat(const u64* keys, u64 n, u64 key,
                                        const GuardWord& root) noexcept {
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

// LinearLeaf of width W holding n keys (n from the edge's pop field).
template <class F>
Attempt<typename F::Answer> search_linear_leaf(const Edge& e, unsigned W, u64 key,
                                               const GuardWord& guard) noexcept {
  const u64 n = (e.decode_word() & BYTE_MASK_TABLE[W]) + 1;
  const u8* block = e.ptr<const u8>();
  if (n > LINEAR_LEAF_MAX || block == nullptr) return std::nullopt;
  const u8* keys = F::kMap ? block + 8 * capacity_for(n) : block;
  // Room for 32 keys of 7 bytes plus the search's 16-byte overreach.
  alignas(16) u8 local[LINEAR_LEAF_MAX * 7 + 16] = {};
  occ::copy_out(local, keys, n * W);
  const std::optional<u64> i = leaf::search(local, n, static_cast<u8>(W), key);
  if (!guard.holds()) return std::nullopt;
  if (!i) return F::absent();
  if constexpr (F::kMap) {
    const u64 v = occ::load(reinterpret_cast<const u64*>(block)[*i]);
    return conclude<F>(guard, F::found(v));
  } else {
    return F::found(key);
  }
}

// BitmapLeaf over the lowest key byte.
template <class F>
Attempt<typename F::Answer> search_bitmap_leaf(const Edge& e, u64 key,
                                               const GuardWord& guard) noexcept {
  const unsigned b = static_cast<u8>(key);
  if constexpr (!F::kMap) {
    const auto* leaf = e.ptr<const SetBitmapLeaf>();
    if (leaf == nullptr) return std::nullopt;
    const u64 word = occ::load(leaf->bitmap.words[b >> 6]);
    return conclude<F>(guard, ((word >> (b & 63)) & 1) != 0);
  } else {
    const auto* leaf = e.ptr<const MapBitmapLeaf>();
    if (leaf == nullptr) return std::nullopt;
    const u64 word = occ::load(leaf->bitmap.words[b >> 6]);
    const u32 group = static_cast<u32>(word >> (32 * ((b >> 5) & 1)));
    const u64* values = occ::load(leaf->subarrays[b >> 5]);
    const unsigned rank = std::popcount(group & ((u32{1} << (b & 31)) - 1));
    if (!guard.holds()) return std::nullopt;
    if (((word >> (b & 63)) & 1) == 0) return F::absent();
    if (values == nullptr) return std::nullopt;
    const u64 v = occ::load(values[rank]);
    return conclude<F>(guard, F::found(v));
  }
}

// Immediate keys inside the edge copy itself.
template <class F>
Attempt<typename F::Answer> search_immediate(const Edge& e, unsigned L, u64 key,
                                             const GuardWord& guard) noexcept {
  const u8 tag = e.tag;
  const unsigned W = immed_width(tag);
  const unsigned n = immed_count(tag);
  if (W == 0 || n * W > (F::kMap ? 7u : 15u) || W != L) return std::nullopt;
  const int i = ImmedBytes<F::kMap>(e).find(n, W, key & BYTE_MASK_TABLE[W]);
  if (!guard.holds()) return std::nullopt;
  if (i < 0) return F::absent();
  if constexpr (F::kMap) {
    if (n == 1) return F::found(e.payload);
    const u64* values = e.ptr<const u64>();
    if (values == nullptr) return std::nullopt;
    const u64 v = occ::load(values[i]);
    return conclude<F>(guard, F::found(v));
  } else {
    return F::found(key);
  }
}

// What a branch node says about the key: the walk fails, the key is absent
// (to be concluded under `guard`), or it goes on with `child` at `level`
// (read under `guard`, not yet re-checked).
struct BranchStep {
  enum Kind { Fail, Absent, Descend } kind = Fail;
  GuardWord guard;
  Edge child;
  unsigned level = 0;
};

// A BranchL3 or BranchL7 under an edge at level L.
template <class Node>
BranchStep linear_branch(const Edge& e, u64 key, unsigned L) noexcept {
  BranchStep st;
  const Node* node = e.ptr<const Node>();
  if (node == nullptr) return st;
  const std::optional<GuardWord> here = enter(node->version);
  if (!here) return st;
  const unsigned level = occ::load(node->level);
  const unsigned count = occ::load(node->count);
  const u64 digits = occ::load(*reinterpret_cast<const occ::detail::alias_u64*>(node->digits));
  if (level < 2 || level > L || count > Node::kCapacity) return st;
  st.guard = *here;
  st.kind = BranchStep::Absent;
  if (level < L && !skip_matches(e, key, level, L)) return st;
  const u8 d = digit_at(key, level);
  unsigned i = 0;
  while (i < count && static_cast<u8>(digits >> (8 * i)) != d) ++i;
  if (i == count) return st;
  st.kind = BranchStep::Descend;
  st.child = occ::load_edge(node->children[i]);
  st.level = level - 1;
  return st;
}

// The walk from the root edge (a validated copy) at level 8.
template <class F>
Attempt<typename F::Answer> walk_tree(Edge e, u64 key, const GuardWord& root) noexcept {
  GuardWord guard = root;
  unsigned L = ROOT_LEVEL;
  // Moves to a child edge read under `here`, once `here` still holds.
  auto descend = [&](const GuardWord& here, unsigned child_level, const Edge& child) {
    if (!here.holds()) return false;
    guard = here;
    L = child_level;
    e = child;
    return true;
  };
  for (;;) {
    const u8 tag = e.tag;
    switch (tag) {
      case TAG_EMPTY:
        return conclude<F>(guard, F::absent());

      case TAG_L3:
      case TAG_L7: {
        const BranchStep st = tag == TAG_L3 ? linear_branch<BranchL3>(e, key, L)
                                            : linear_branch<BranchL7>(e, key, L);
        if (st.kind == BranchStep::Fail) return std::nullopt;
        if (st.kind == BranchStep::Absent) return conclude<F>(st.guard, F::absent());
        if (!descend(st.guard, st.level, st.child)) return std::nullopt;
        continue;
      }

      case TAG_B: {
        const auto* node = e.ptr<const BranchB>();
        if (node == nullptr) return std::nullopt;
        const std::optional<GuardWord> here = enter(node->version);
        if (!here) return std::nullopt;
        const unsigned level = occ::load(node->level);
        if (level < 2 || level > L) return std::nullopt;
        const u8 d = digit_at(key, level);
        const u64 word = occ::load(node->bitmap.words[d >> 6]);
        const u32 group = static_cast<u32>(word >> (32 * ((d >> 5) & 1)));
        const Edge* sub = occ::load(node->subarrays[d >> 5]);
        const unsigned rank = std::popcount(group & ((u32{1} << (d & 31)) - 1));
        if (level < L && !skip_matches(e, key, level, L)) return conclude<F>(*here, F::absent());
        if (((word >> (d & 63)) & 1) == 0) return conclude<F>(*here, F::absent());
        if (sub == nullptr || !here->holds()) return std::nullopt;
        if (!descend(*here, level - 1, occ::load_edge(sub[rank]))) return std::nullopt;
        continue;
      }

      case TAG_U: {
        const auto* node = e.ptr<const BranchU>();
        if (node == nullptr || L < 2) return std::nullopt;
        const std::optional<GuardWord> here = enter(node->version);
        if (!here) return std::nullopt;
        if (!descend(*here, L - 1, occ::load_edge(node->children[digit_at(key, L)])))
          return std::nullopt;
        continue;
      }

      case TAG_BITMAP_LEAF:
        if (L > 1 && !skip_matches(e, key, 1, L)) return conclude<F>(guard, F::absent());
        return search_bitmap_leaf<F>(e, key, guard);

      case TAG_FULL:
        if constexpr (F::kMap) return std::nullopt;  // a map never holds one
        return conclude<F>(guard, F::found(key));

      default:
        break;
    }
    if (is_linear_leaf_tag(tag)) {
      const unsigned W = linear_leaf_width(tag);
      if (W > L) return std::nullopt;
      if (W < L && !skip_matches(e, key, W, L)) return conclude<F>(guard, F::absent());
      return search_linear_leaf<F>(e, W, key, guard);
    }
    if (tag >= 0x10 && tag < TAG_FULL) return search_immediate<F>(e, L, key, guard);
    return std::nullopt;  // 13..15 and tags with the top bit set
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
  const GuardWord root = GuardWord::of_seq(seq, s);
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
