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
// Size classes (NODE_CLASS_LAYOUTS, 62 of them): classes 0..5 are 64-aligned
// (32, 64, 96, 128, 256, 2048 bytes), classes 6..61 16-aligned exact sizes
// from 8 to 375 bytes. A block is taken from its class's intrusive free list
// (the first word of a free block links the next); an empty list of a class
// of at most 256 bytes is refilled by carving a 4096-byte, 64-aligned
// NodeChunk (header 64 bytes, blocks from byte 64 on). Blocks with no class
// (exact sizes without a table entry, or above 256 bytes with an empty list)
// come from the system and, when released, go back to it unless their class
// list can keep them (classes above 256 bytes keep released blocks for reuse
// and free them one by one at teardown). A BranchU (4160 bytes) always goes to
// the system and back.
//
// Only classes 1 (BranchL3, set BitmapLeaf), 3 (BranchL7, BranchB, map
// BitmapLeaf) and the exact-size classes are ever requested; classes 0, 2, 4
// and 5 stay empty. That keeps the teardown rule sound: every block on a list
// of a class above 256 bytes was a system block, never a piece of a chunk.
//
// The allocator serves one writer at a time; the counters are relaxed atomics
// so that they can be read while a writer runs.
//
// Shared mode (alloc_shared.cpp, occ.hpp): an allocator deferred to an epoch
// collector before its first block takes every block from the collector's
// class pools or from the system (never from a chunk) and retires every
// released block to the collector with its exact size and alignment; the
// counters move at once. Its own free lists and chunk list stay empty.
#pragma once

#include <atomic>
#include <memory>

#include "engine/node.hpp"
#include "engine/occ.hpp"
#include "engine/types.hpp"

namespace corvale_trie {

inline constexpr unsigned NODE_CLASS_COUNT = 62;
inline constexpr u64 NODE_CHUNK_SIZE = 4096;
inline constexpr u64 NODE_CHUNK_HEADER = 64;
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


class NodeAlloc {
 public:
  NodeAlloc() noexcept = default;
  NodeAlloc(const NodeAlloc&) = delete;
  NodeAlloc& operator=(const NodeAlloc&) = delete;
  // Frees chunks and the blocks that lie on lists of classes above 256
  // bytes. The owner must have released every reachable block before.
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
      return static_cast<T*>(allocate_class(sizeof(T) == 64 ? CLASS_64 : CLASS_128));
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
    return static_cast<T*>(allocate_bytes(slots * sizeof(T)));
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
  // Number of NodeChunks taken so far (for tests and benchmarks).
  [[nodiscard]] u64 chunk_count() const noexcept;

  // Shared mode (alloc_shared.cpp). defer_to attaches an epoch collector
  // for good: from then on released blocks are retired to it and new blocks
  // come from its recycled pools or from the system (never from chunks, so
  // that no piece of a chunk is ever retired on its own). Legal only before
  // the first allocation; a second call must name the same collector.
  void defer_to(const occ::CollectorRef& collector);
  [[nodiscard]] bool shared() const noexcept { return collector_ != nullptr; }
  [[nodiscard]] occ::Collector* collector() const noexcept { return collector_; }

 private:
  [[nodiscard]] void* shared_allocate(u64 size, u64 align, u8 cls);
  void shared_release(void* block, u64 size, u64 align);

  void count_alloc(u64 rounded) noexcept;
  void count_release(u64 rounded) noexcept;
  void* pop_free(unsigned cls) noexcept;
  void push_free(void* block, unsigned cls) noexcept;
  void* carve_chunk(unsigned cls, u64 stride);

  void* free_lists_[NODE_CLASS_COUNT] = {};
  std::atomic<u64> mem_used_{0};
  std::atomic<u64> live_nodes_{0};
  std::atomic<u64> total_node_allocs_{0};
  void* chunks_ = nullptr;
  occ::Collector* collector_ = nullptr;  // shared mode when set
  occ::CollectorRef collector_ref_;      // keeps the collector alive
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
