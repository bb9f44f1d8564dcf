// corvale_trie engine: the per-container node allocator.
//
// Every block of a container (branch nodes, leaves, BranchB subarrays, value
// arrays, the flat root array) comes from its NodeAlloc and goes back to it.
// Blocks are handed out zero-filled and counted:
//
//   mem_used           bytes of live blocks, each rounded up to 16
//   live_nodes         live blocks
//   total_node_allocs  allocations ever made (never decreases)
//
// The size classes (NODE_CLASS_LAYOUTS) name the blocks the trie asks for:
// the fixed node kinds of 64 and 128 bytes aligned to 64 (CLASS_64,
// CLASS_128) and packed arrays of an exact byte size aligned to 16. Where a
// block lives is the allocator's own business, chosen so that the resident
// memory of a container follows its live blocks:
//
//  - Small blocks (a stride, the size rounded up to 16, of at most 512 bytes)
//    are cut from the container's chunks. All strides share one sequence of
//    chunks; the current chunk is cut from both ends, packed blocks upwards
//    from its low end and 64-aligned blocks downwards from its 64-aligned
//    high end, so neither pays alignment padding, and no page is touched
//    before a block lies on it. Chunk sizes grow with the container (a
//    quarter of what it already holds, from 512 bytes up to 64 KiB).
//  - A released small block goes on the free list of its stride (16..256
//    bytes by 16 and 288..512 by 32: 24 lists; 64-aligned blocks of 64 and
//    128 bytes: 2 more), so blocks of one stride serve each other whatever
//    their class. When the list of a stride is empty and the current chunk
//    cannot hold the block, the chunk's tail goes onto the lists and the
//    smallest larger free block is split; failing that, free blocks that lie
//    side by side are merged (a pass over all lists, when an eighth of the
//    chunk bytes is free, at most once per half as many releases as the
//    previous pass found free blocks); only then is a new chunk taken. So
//    memory that one stride gave back serves the others after a churn.
//  - A container without a chunk takes its blocks straight from the system,
//    up to five live at a time: the flat root array of up to 31 keys (and its
//    replacement while the entries move), and the few nodes of a small tree
//    with the leaves that its growth replaces (a 64-aligned one cut from a
//    packed block 48 bytes larger). A container of a few keys thus costs one
//    system block and no chunk. The sixth live block takes the first chunk,
//    and from then on every small block comes from chunks until the
//    container is empty again; a release compares the block with the
//    remaining system blocks only while there are any.
//  - Larger blocks and BranchU (4160 bytes) go to the system and back.
//  - When the last live block is released (a clear, the last key removed),
//    every chunk goes back to the system at once.
//
// Free-list links are written and read with memcpy; a block handed out is
// fresh storage (a new byte array, zero-filled) in which the caller's
// objects begin their lifetime.
//
// The allocator serves one writer at a time; the counters are relaxed atomics
// so that they can be read while a writer runs.
//
// Shared mode (alloc_shared.cpp, occ.hpp): an allocator deferred to an epoch
// collector before its first block takes every block from the collector's
// class pools or from the system (never from a chunk nor as one of the
// system blocks of a small container) and retires every released block to
// the collector with its exact size and alignment; the counters move at
// once. Its own free lists and chunk list stay empty.
#pragma once

#include <atomic>
#include <memory>
#include <new>

#include "engine/node.hpp"
#include "engine/occ.hpp"
#include "engine/types.hpp"

namespace corvale_trie {

inline constexpr unsigned NODE_CLASS_COUNT = 62;
inline constexpr u8 NO_CLASS = 255;

struct NodeClassLayout {
  u16 size;
  u16 align;
};
extern const NodeClassLayout NODE_CLASS_LAYOUTS[NODE_CLASS_COUNT];
// Exact size 0..375 -> class 6..61, or NO_CLASS.
extern const u8 NODE_SIZE_TO_CLASS[376];

inline constexpr unsigned CLASS_64 = 1;   // 64 bytes, aligned 64
inline constexpr unsigned CLASS_128 = 3;  // 128 bytes, aligned 64

// Blocks of a stride up to this many bytes live in chunks.
inline constexpr u64 CHUNK_STRIDE_MAX = 512;
inline constexpr u64 CHUNK_MIN_BYTES = 512;
inline constexpr u64 CHUNK_MAX_BYTES = 64 * 1024;

// Process-wide count of blocks taken from and given back to the system
// (chunks, large blocks, BranchU, blocks of containers without a chunk).
struct AllocStats {
  u64 system_allocs;
  u64 system_frees;
};
[[nodiscard]] AllocStats alloc_stats() noexcept;

class NodeAlloc {
 public:
  NodeAlloc() noexcept = default;
  NodeAlloc(const NodeAlloc&) = delete;
  NodeAlloc& operator=(const NodeAlloc&) = delete;
  // Frees the chunks. The owner must have released every reachable block
  // before (which has already freed them).
  ~NodeAlloc();

  // A zero-filled block of a fixed 64-aligned class (CLASS_64 or CLASS_128).
  [[nodiscard]] void* allocate_class(unsigned cls);
  void release_class(void* block, unsigned cls, const char* expect = MISSING_BLOCK);

  // A zero-filled block of exactly `size` bytes, aligned to 16.
  [[nodiscard]] void* allocate_bytes(u64 size);
  void release_bytes(void* block, u64 size, const char* expect = MISSING_BLOCK);

  [[nodiscard]] BranchU* allocate_branch_u();
  void release_branch_u(BranchU* node, const char* expect = MISSING_BLOCK);

  // Typed helpers for the fixed node kinds.
  template <class T>
  [[nodiscard]] T* make() {
    if constexpr (std::is_same_v<T, BranchU>) {
      return allocate_branch_u();
    } else {
      static_assert(sizeof(T) == 64 || sizeof(T) == 128);
      return std::launder(static_cast<T*>(allocate_class(sizeof(T) == 64 ? CLASS_64 : CLASS_128)));
    }
  }
  template <class T>
  void destroy(T* node, const char* expect = MISSING_BLOCK) {
    if constexpr (std::is_same_v<T, BranchU>) {
      release_branch_u(node, expect);
    } else {
      static_assert(sizeof(T) == 64 || sizeof(T) == 128);
      release_class(node, sizeof(T) == 64 ? CLASS_64 : CLASS_128, expect);
    }
  }
  // Packed arrays of n slots of T (exact size n * sizeof(T), aligned 16).
  template <class T>
  [[nodiscard]] T* make_array(u64 slots) {
    return std::launder(static_cast<T*>(allocate_bytes(slots * sizeof(T))));
  }
  template <class T>
  void destroy_array(T* block, u64 slots, const char* expect = MISSING_BLOCK) {
    release_bytes(block, slots * sizeof(T), expect);
  }

  [[nodiscard]] u64 mem_used() const noexcept { return mem_used_.load(std::memory_order_relaxed); }
  [[nodiscard]] u64 live_nodes() const noexcept { return live_nodes_.load(std::memory_order_relaxed); }
  [[nodiscard]] u64 total_node_allocs() const noexcept {
    return total_node_allocs_.load(std::memory_order_relaxed);
  }
  // Chunks held now and their bytes (for tests and benchmarks).
  [[nodiscard]] u64 chunk_count() const noexcept;
  [[nodiscard]] u64 chunk_bytes() const noexcept;

  // Shared mode (alloc_shared.cpp). defer_to attaches an epoch collector
  // for good: from then on released blocks are retired to it and new blocks
  // come from its recycled pools or from the system (never from chunks, so
  // that no piece of a chunk is ever retired on its own). Legal only before
  // the first allocation; a second call must name the same collector.
  void defer_to(const occ::CollectorRef& collector);
  [[nodiscard]] bool shared() const noexcept { return collector_ref_ != nullptr; }
  [[nodiscard]] occ::Collector* collector() const noexcept { return collector_ref_.get(); }

 private:
  // Packed lists: strides 16..256 by 16, then 288..512 by 32 (a block of
  // another stride above 256 takes the next one); then the 64-aligned lists.
  static constexpr unsigned kFineLists = 16;
  static constexpr unsigned kPackedLists = kFineLists + 8;
  static constexpr unsigned kList64 = kPackedLists;       // 64-aligned, 64 bytes
  static constexpr unsigned kList128 = kPackedLists + 1;  // 64-aligned, 128 bytes
  static constexpr unsigned kListCount = kPackedLists + 2;
  static constexpr unsigned kDirectSlots = 5;
  static constexpr u64 list_stride(unsigned list) noexcept {
    if (list < kFineLists) return (u64{list} + 1) * 16;
    if (list < kPackedLists) return 256 + (u64{list} - kFineLists + 1) * 32;
    return list == kList64 ? 64 : 128;
  }
  // The list of a packed stride (16..512, a multiple of 16).
  static constexpr unsigned packed_list(u64 stride) noexcept {
    return static_cast<unsigned>(stride <= 256 ? stride / 16 - 1 : kFineLists + (stride - 257) / 32);
  }

  [[nodiscard]] void* shared_allocate(u64 size, u64 align, u8 cls);
  void shared_release(void* block, u64 size, u64 align);
  void count_alloc(u64 rounded) noexcept;
  void count_release(u64 rounded) noexcept;
  void* take(unsigned list, u64 size);
  [[gnu::noinline]] void* take_slow(unsigned list, u64 size);
  void give(void* block, unsigned list) noexcept;
  void push(void* block, unsigned list) noexcept;
  void* pop(unsigned list) noexcept;
  void push_run(u8* start, u64 bytes) noexcept;
  void* split_larger(unsigned list) noexcept;
  bool merge_free_blocks();
  void retire_tail() noexcept;
  void new_chunk(u64 stride);
  void release_all() noexcept;

  u8* low_ = nullptr;   // next packed block of the current chunk
  u8* high_ = nullptr;  // end of its free space, 64-aligned
  void* lists_[kListCount] = {};
  void* chunks_ = nullptr;  // newest chunk; each starts with the link to the older one
  u64 free_bytes_ = 0;   // bytes on the lists
  void* direct_[kDirectSlots] = {};  // system blocks taken before the first chunk, packed to the front
  std::atomic<u64> mem_used_{0};
  std::atomic<u64> live_nodes_{0};
  std::atomic<u64> total_node_allocs_{0};
  occ::CollectorRef collector_ref_;  // shared mode when set; keeps the collector alive
};

// ---------------------------------------------------------------------------
// Packed arrays of one kind of entry (BranchB child subarrays, map bitmap
// value subarrays, ValueArrays): n entries in a block of capacity_for(n)
// slots. A block is replaced only when the capacity changes (a new block,
// the entries copied around the slot, the old block released); between
// capacity steps the entries move in place.

// Opens slot `pos` (0..n) of the packed array `block` of n entries and
// returns the array of n + 1 entries (a fresh one-slot block when n is 0).
// The opened slot is zero in a new block and stale in place: the caller
// writes it. A null block with n > 0 is the fatal error `expect`.
template <class T>
[[nodiscard]] T* open_slot(NodeAlloc& alloc, T* block, u64 n, u64 pos, const char* expect) {
  CORVALE_ASSERT(pos <= n);
  if (n > 0 && block == nullptr) [[unlikely]] CORVALE_PANIC(expect);
  if (n > 0 && capacity_for(n + 1) == capacity_for(n)) {
    // In shared mode readers may be reading the block: relaxed word moves.
    if (alloc.shared())
      occ::move_within(block + pos + 1, block + pos, (n - pos) * sizeof(T));
    else
      std::memmove(static_cast<void*>(block + pos + 1), block + pos, (n - pos) * sizeof(T));
    return block;
  }
  T* grown = alloc.make_array<T>(capacity_for(n + 1));
  if (n > 0) {
    std::memcpy(static_cast<void*>(grown), block, pos * sizeof(T));
    std::memcpy(static_cast<void*>(grown + pos + 1), block + pos, (n - pos) * sizeof(T));
    alloc.destroy_array(block, capacity_for(n), expect);
  }
  return grown;
}

// Closes slot `pos` (0..n-1) of the packed array `block` of n >= 1 entries
// and returns the array of n - 1 entries: null when none is left (the block
// is released), else the same block with its vacated last slot zeroed, or a
// new smaller one. A null block is the fatal error `expect`.
template <class T>
[[nodiscard]] T* close_slot(NodeAlloc& alloc, T* block, u64 n, u64 pos, const char* expect) {
  CORVALE_ASSERT(n >= 1 && pos < n);
  if (block == nullptr) [[unlikely]] CORVALE_PANIC(expect);
  if (n == 1) {
    alloc.destroy_array(block, 1, expect);
    return nullptr;
  }
  if (capacity_for(n - 1) == capacity_for(n)) {
    if (alloc.shared()) {
      occ::move_within(block + pos, block + pos + 1, (n - 1 - pos) * sizeof(T));
      occ::zero_in(block + n - 1, sizeof(T));
    } else {
      std::memmove(static_cast<void*>(block + pos), block + pos + 1, (n - 1 - pos) * sizeof(T));
      block[n - 1] = T{};
    }
    return block;
  }
  T* smaller = alloc.make_array<T>(capacity_for(n - 1));
  std::memcpy(static_cast<void*>(smaller), block, pos * sizeof(T));
  std::memcpy(static_cast<void*>(smaller + pos), block + pos + 1, (n - 1 - pos) * sizeof(T));
  alloc.destroy_array(block, capacity_for(n), expect);
  return smaller;
}

// System blocks, zero-filled; allocation failure aborts the process.
[[nodiscard]] void* system_alloc(u64 size, u64 align);
void system_free(void* block) noexcept;

}  // namespace corvale_trie
