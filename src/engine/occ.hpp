// corvale_trie engine: optimistic concurrency (shared mode).
//
// A container in shared mode has one writer at a time and any number of
// lock-free readers that walk the trie while the writer changes it. Two
// services make that safe:
//
// Racing words. Every word that a reader may load while the writer stores
// it (node versions, both halves of an edge, leaf words, BranchB bitmaps,
// group counts and subarray pointers, linear-branch digits and counts,
// flat-array words, the core record's root words) is accessed through the
// functions below, never with a plain load or store: a plain racing access
// is undefined behaviour even where every outcome would be rejected by the
// reader's validation. They are GCC's `__atomic_load_n` / `__atomic_store_n`
// with relaxed ordering on `may_alias` typedefs (so that a u64 view of the
// eight bytes 8..15 of an Edge is no aliasing violation); on x86-64 they
// compile to ordinary moves. A 16-byte edge is two 8-byte relaxed accesses:
// payload first, then the decode word (bytes 8..15, tag included). A reader
// sees a torn edge only while the branch holding it is odd, so it validates
// the branch's version before it uses anything the edge points to.
//
// NodeVersion brackets. The writer opens a branch node before it changes
// anything in or below it (version + 1, odd, then a full fence) and closes it
// when done (a full fence, then version + 1 with release ordering, even
// again). A reader loads the version with acquire ordering (load_version),
// treats an odd value as a failure, reads what it needs with relaxed loads,
// issues an acquire fence and accepts only when the version is unchanged.
// The release store of the close pairs with the reader's acquire load, so a
// block filled before the bracket that linked it was closed is visible to a
// reader that validated the link. A branch node that leaves the tree is
// marked obsolete (mark_obsolete): odd for good, so that no reader still
// inside it can validate against it again.
//
// Epoch collector. A block the writer takes out of the tree may still be
// read by a reader that found it earlier, so shared mode never frees or
// reuses a block at once: the allocator hands it to `Collector::retire`,
// which files it in the garbage bin of the current epoch (epoch % 3). After
// each write the writer calls `try_advance`: when every pinned reader is
// pinned at the current epoch e (or none is pinned), the epoch becomes e + 1
// and the bin of epoch e - 1 is recycled: blocks of a size class go onto the
// collector's per-class pools (from which the shared-mode allocator takes
// its next blocks), the others are freed. A reader pinned at e - 1 or
// earlier holds the advance back, so nothing it may hold is recycled.
//
// What the bins and pools hold is memory the container no longer uses. The
// writer bounds it after each write (`shrink_to`): when the two hold more
// than the container lets them keep (sync.hpp: its largest size since it
// was last empty, nothing once it is empty), the collector advances as far
// as the pinned readers let it, so that the bins recycle what no reader
// can reach any more, and frees pooled blocks down to that bound. A
// `clear()` thus gives its blocks back to the system at once when no
// reader is inside the container, and otherwise at the first write after
// the last such reader has left.
//
// Reader slots. A reader publishes the epoch it reads at in a ReaderSlot
// registered with the collector: `pin` stores the current epoch in it before
// every read attempt (store, full fence, reload the epoch until stable) and
// `unpin` stores UNPINNED with release ordering after it. Lookups use the
// calling thread's own slot (`thread_slot`): registered on the thread's
// first lookup with that collector and kept, so that a lookup takes no lock
// and allocates nothing. A registered slot that is not pinned never holds an
// advance back. The slot leaves the registry when its thread ends, or goes
// with the registry when the collector goes, whichever comes first:
//   - each thread keeps a list of (collector id, weak handle, slot); at
//     thread exit it takes a strong handle on every collector still alive
//     and unregisters its slot there (if that handle is the last one, the
//     collector is torn down on the exiting thread);
//   - a collector torn down first drops its registry; the thread's entry
//     then holds an expired weak handle and its own slot handle, and is
//     dropped at thread exit or when the thread's list is pruned of expired
//     entries (on a later registration).
// Ids are never reused, so an entry never matches a later collector at the
// same address. A `Reader` is a registration of its own (register on
// construction, unregister on destruction) for callers that manage one
// explicitly.
//
// The collector lives as long as a handle (the container, its allocator,
// every Reader, a thread unregistering at its exit) holds it; its teardown
// frees every retired and pooled block exactly once.
//
// Context: retire, try_advance and the pool operations run only on the
// writer's side (one thread at a time, under the container's writer mutex or
// at teardown); registration runs on any thread, outside every writer mutex,
// and never blocks the writer for longer than one registry update. Lock
// order: writer mutex, then registry.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/types.hpp"

namespace corvale_trie::occ {

// ---------------------------------------------------------------------------
// Racing words

namespace detail {
typedef u64 __attribute__((may_alias)) alias_u64;
typedef u32 __attribute__((may_alias)) alias_u32;
typedef u16 __attribute__((may_alias)) alias_u16;
typedef u8 __attribute__((may_alias)) alias_u8;
}  // namespace detail

// Relaxed atomic load of a word (u8/u16/u32/u64 or a pointer).
template <class T>
[[nodiscard]] inline T load(const T& word) noexcept {
  static_assert(std::is_trivially_copyable_v<T> &&
                (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8));
  // The generic builtins take enumerations too (clang's _n forms do not).
  T out;
  __atomic_load(&word, &out, __ATOMIC_RELAXED);
  return out;
}

// Relaxed atomic store of a word.
template <class T>
inline void store(T& word, T value) noexcept {
  static_assert(std::is_trivially_copyable_v<T> &&
                (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8));
  __atomic_store(&word, &value, __ATOMIC_RELAXED);
}

// Acquire load of a NodeVersion (or of the container's sequence word).
[[nodiscard]] inline u32 load_version(const u32& version) noexcept {
  return __atomic_load_n(&version, __ATOMIC_ACQUIRE);
}

// Bytes 8..15 of an edge (decode bytes and tag) as one relaxed word,
// addressed from the whole edge (not from the 7-byte decode member).
[[nodiscard]] inline u64 load_decode_word(const Edge& e) noexcept {
  const auto* word = reinterpret_cast<const detail::alias_u64*>(reinterpret_cast<const u8*>(&e) + 8);
  return __atomic_load_n(word, __ATOMIC_RELAXED);
}
inline void store_decode_word(Edge& e, u64 w) noexcept {
  auto* word = reinterpret_cast<detail::alias_u64*>(reinterpret_cast<u8*>(&e) + 8);
  __atomic_store_n(word, w, __ATOMIC_RELAXED);
}

// The 16-byte edge as two relaxed 8-byte loads: payload, then bytes 8..15.
[[nodiscard]] inline Edge load_edge(const Edge& e) noexcept {
  Edge out;
  out.payload = __atomic_load_n(&e.payload, __ATOMIC_RELAXED);
  const u64 w = load_decode_word(e);
  std::memcpy(reinterpret_cast<u8*>(&out) + 8, &w, 8);
  return out;
}

// Two relaxed 8-byte stores: payload, then bytes 8..15.
inline void store_edge(Edge& e, const Edge& v) noexcept {
  __atomic_store_n(&e.payload, v.payload, __ATOMIC_RELAXED);
  store_decode_word(e, v.decode_word());
}

// Byte ranges of blocks a reader may be reading. copy_out reads `n` bytes
// of shared memory into private memory; copy_in writes private bytes into
// shared memory; move_within shifts bytes inside one shared block (either
// direction, ranges may overlap). Relaxed accesses: copy_out loads whole
// words from its first 8-aligned source address on (bytes before and after);
// the others use words where source and destination are both 8-aligned,
// bytes otherwise.
void copy_out(void* dst, const void* shared_src, u64 n) noexcept;
void copy_in(void* shared_dst, const void* src, u64 n) noexcept;
void move_within(void* shared_dst, const void* shared_src, u64 n) noexcept;
void zero_in(void* shared_dst, u64 n) noexcept;

// Bit d of a bitmap that readers may load, set or cleared by the writer
// (a relaxed store of its whole word).
inline void set_bit(Bitmap256& bitmap, unsigned d) noexcept {
  u64& w = bitmap.words[d >> 6];
  store(w, w | (u64{1} << (d & 63)));
}
inline void reset_bit(Bitmap256& bitmap, unsigned d) noexcept {
  u64& w = bitmap.words[d >> 6];
  store(w, w & ~(u64{1} << (d & 63)));
}

// Key i of a packed array of `width`-byte keys, written byte by byte.
inline void store_key(u8* keys, unsigned width, u64 i, u64 key) noexcept {
  u8* p = keys + width * i;
  for (unsigned j = 0; j < width; ++j) store(p[j], static_cast<u8>(key >> (8 * j)));
}

// ---------------------------------------------------------------------------
// NodeVersion brackets (writer side)

// version + 1 (odd), then a full fence.
inline void open_version(u32& version) noexcept {
  __atomic_store_n(&version, version + 1, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
}
// A full fence, then version + 1 (even) with release ordering.
inline void close_version(u32& version) noexcept {
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  __atomic_store_n(&version, version + 1, __ATOMIC_RELEASE);
}

// A branch node that leaves the tree (replaced by a node of another kind, or
// released) becomes obsolete: its version is made odd for good, before the
// node's replacement is linked. A reader that holds the node as its guard
// then fails its next validation, and a reader that still reaches the node
// fails on entry. This matters because the children of a replaced node are
// shared with its replacement: later changes of a leaf below them happen
// under the replacement's bracket, never under the old node's. The release
// fence orders the mark before every later store of the writer, so a reader
// that sees any of them (through its relaxed loads and acquire fence) sees
// the mark when it re-checks the old node's version. Nothing closes an
// obsolete node again; the collector zero-fills the block when it recycles it.
inline void mark_obsolete(u32& version) noexcept {
  __atomic_store_n(&version, version | 1, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_RELEASE);
}

// ---------------------------------------------------------------------------
// Validation (reader side)

// The word a lock-free reader validates against: the container's sequence
// word (at the root) or the version of the branch node it entered last,
// with the even value it was taken with.
class Guard {
 public:
  Guard() noexcept = default;
  static Guard of_seq(const std::atomic<u64>& seq, u64 value) noexcept {
    Guard g;
    g.seq_ = &seq;
    g.value_ = value;
    return g;
  }
  // Entering a branch node: its version, loaded with acquire ordering,
  // becomes the guard when it is even. Odd (a writer is in or below the
  // node, or the node is obsolete) gives false and leaves the guard alone.
  [[nodiscard]] bool enter(const u32& version) noexcept {
    const u32 v = load_version(version);
    if (v & 1) return false;
    seq_ = nullptr;
    version_ = &version;
    value_ = v;
    return true;
  }
  // An acquire fence, then the word must still hold its value.
  [[nodiscard]] bool holds() const noexcept {
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    const u64 now = version_ != nullptr ? u64{load(*version_)} : seq_->load(std::memory_order_relaxed);
    return now == value_;
  }

 private:
  const std::atomic<u64>* seq_ = nullptr;
  const u32* version_ = nullptr;
  u64 value_ = 0;
};

// ---------------------------------------------------------------------------
// Epoch collector

inline constexpr unsigned GARBAGE_BINS = 3;
// One pool per size class of the node allocator (NODE_CLASS_COUNT).
inline constexpr unsigned POOL_CLASSES = 62;
inline constexpr u64 UNPINNED = ~u64{0};

struct RetiredBlock {
  void* block;
  u64 size;
  u64 align;
};

// The epoch a reader is pinned at, or UNPINNED.
struct alignas(64) ReaderSlot {
  std::atomic<u64> pinned{UNPINNED};
};
static_assert(std::atomic<u64>::is_always_lock_free);

class Collector : public std::enable_shared_from_this<Collector> {
 public:
  Collector() noexcept;
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;
  // Frees every block still in the bins, then every pooled block.
  ~Collector();

  // Files a block (exact allocation size and alignment) in the bin of the
  // current epoch; the block is not touched. Writer side.
  void retire(void* block, u64 size, u64 align);
  // Advances the epoch when every pinned reader stands at the current one,
  // then recycles the bin of two epochs back. Writer side.
  void try_advance();
  [[nodiscard]] u64 epoch() const noexcept { return epoch_.load(std::memory_order_relaxed); }
  // When the bins and pools hold more than `keep` bytes: advances while
  // blocks wait in the bins and the pinned readers allow it (at most once
  // per bin), then frees pooled blocks until the pools hold at most `keep`
  // bytes. Writer side.
  void shrink_to(u64 keep) {
    if (pending_bytes() + pooled_bytes() > keep) [[unlikely]]
      shrink(keep);
  }

  // The calling thread's slot with this collector, registered (unpinned) on
  // the thread's first call; it stays registered until the thread ends or
  // the collector goes. The collector must be held by a CollectorRef.
  // Throws std::bad_alloc only on the thread's first call.
  [[nodiscard]] ReaderSlot& thread_slot();
  // Pins `slot` at the current epoch; unpin marks it idle again.
  void pin(ReaderSlot& slot) const noexcept;
  static void unpin(ReaderSlot& slot) noexcept { slot.pinned.store(UNPINNED, std::memory_order_release); }

  // A recycled block of size class `cls`, zero-filled, or null when the
  // pool is empty. Writer side.
  [[nodiscard]] void* pop_pool(unsigned cls) noexcept;

  // For tests: blocks waiting in the bins, and blocks in a class pool.
  [[nodiscard]] u64 pending_count() const;
  [[nodiscard]] u64 pool_count(unsigned cls) const noexcept;
  // Bytes of the blocks waiting in the bins, and of the pooled blocks.
  [[nodiscard]] u64 pending_bytes() const noexcept { return pending_bytes_.load(std::memory_order_relaxed); }
  [[nodiscard]] u64 pooled_bytes() const noexcept { return pooled_bytes_.load(std::memory_order_relaxed); }
  [[nodiscard]] u64 reader_count() const;
  // Entries in the calling thread's slot list (collectors live or gone that
  // are not pruned yet).
  [[nodiscard]] static u64 thread_slot_count_for_testing() noexcept;

 private:
  friend class Reader;
  friend struct ThreadSlots;
  void register_reader(const std::shared_ptr<ReaderSlot>& slot);
  void unregister_reader(const ReaderSlot* slot);
  void push_pool(void* block, unsigned cls) noexcept;
  void shrink(u64 keep);
  // The head of pool `cls`, as it is, or null.
  [[nodiscard]] void* take_pooled(unsigned cls) noexcept;
  void recycle(const RetiredBlock& r) noexcept;

  const u64 id_;  // unique in the process, never reused
  std::atomic<void*> free_lists_[POOL_CLASSES] = {};
  std::atomic<u64> epoch_{0};
  // Changed by the writer only; atomic so that tests may read them.
  std::atomic<u64> pending_bytes_{0};
  std::atomic<u64> pooled_bytes_{0};
  mutable std::mutex readers_mu_;
  std::vector<std::shared_ptr<ReaderSlot>> readers_;
  mutable std::mutex bin_mu_[GARBAGE_BINS];
  std::vector<RetiredBlock> bins_[GARBAGE_BINS];
};

using CollectorRef = std::shared_ptr<Collector>;

[[nodiscard]] CollectorRef make_collector();

// A registration of its own with a collector: registers a slot on
// construction, unregisters it on destruction. Pin before each read attempt,
// unpin after it (also before a fallback under the writer mutex). Lookups
// use the thread's slot (Collector::thread_slot) instead.
class Reader {
 public:
  explicit Reader(const CollectorRef& collector);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  void pin() noexcept { collector_->pin(*slot_); }
  void unpin() noexcept { Collector::unpin(*slot_); }

 private:
  CollectorRef collector_;
  std::shared_ptr<ReaderSlot> slot_;
};

}  // namespace corvale_trie::occ
