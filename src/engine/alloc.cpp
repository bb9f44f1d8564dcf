#include "engine/alloc.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define CORVALE_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define CORVALE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define CORVALE_POISON(p, n) ((void)(p), (void)(n))
#define CORVALE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace corvale_trie {

const NodeClassLayout NODE_CLASS_LAYOUTS[NODE_CLASS_COUNT] = {
    {32, 64},  {64, 64},  {96, 64},  {128, 64}, {256, 64}, {2048, 64}, {8, 16},   {9, 16},
    {10, 16},  {11, 16},  {12, 16},  {13, 16},  {14, 16},  {15, 16},   {16, 16},  {18, 16},
    {20, 16},  {22, 16},  {24, 16},  {25, 16},  {26, 16},  {28, 16},   {30, 16},  {32, 16},
    {36, 16},  {40, 16},  {44, 16},  {48, 16},  {50, 16},  {52, 16},   {56, 16},  {60, 16},
    {64, 16},  {72, 16},  {75, 16},  {80, 16},  {88, 16},  {96, 16},   {100, 16}, {104, 16},
    {112, 16}, {120, 16}, {125, 16}, {128, 16}, {144, 16}, {150, 16},  {160, 16}, {175, 16},
    {176, 16}, {192, 16}, {200, 16}, {208, 16}, {224, 16}, {225, 16},  {240, 16}, {248, 16},
    {250, 16}, {275, 16}, {300, 16}, {325, 16}, {350, 16}, {375, 16},
};

namespace {
struct SizeToClass {
  u8 table[376];
  constexpr SizeToClass() : table{} {
    for (auto& t : table) t = NO_CLASS;
    const u16 sizes[] = {8,   9,   10,  11,  12,  13,  14,  15,  16,  18,  20,  22,  24,  25,
                         26,  28,  30,  32,  36,  40,  44,  48,  50,  52,  56,  60,  64,  72,
                         75,  80,  88,  96,  100, 104, 112, 120, 125, 128, 144, 150, 160, 175,
                         176, 192, 200, 208, 224, 225, 240, 248, 250, 275, 300, 325, 350, 375};
    for (unsigned i = 0; i < sizeof(sizes) / sizeof(sizes[0]); ++i) table[sizes[i]] = static_cast<u8>(6 + i);
  }
};
constexpr SizeToClass kSizeToClass{};

constexpr u64 round16(u64 n) noexcept { return (n + 15) & ~u64{15}; }

// The largest size a valid layout may have.
constexpr u64 MAX_LAYOUT_SIZE = (u64{1} << 63) - 16;

constexpr u64 round64(u64 n) noexcept { return (n + 63) & ~u64{63}; }
constexpr std::uintptr_t align64(std::uintptr_t p) noexcept { return (p + 63) & ~std::uintptr_t{63}; }

// A chunk: its header (the link to the older chunk, the bytes of all chunks
// up to this one, the merge pass bookkeeping) in its first 32 bytes, packed
// blocks from there on, 64-aligned blocks below the 64-aligned top of its usable
// bytes. Chunks are taken as `bytes - 8` from malloc, so that a malloc that
// adds an 8-byte header uses exactly `bytes`.
struct ChunkHeader {
  void* older;
  u64 bytes_so_far;
  u32 merge_mark;  // releases (allocations - live blocks, mod 2^32) at the last merge pass
  u32 merge_span;  // releases to wait for before the next one
};
constexpr u64 CHUNK_LINK_BYTES = 32;
static_assert(sizeof(ChunkHeader) <= CHUNK_LINK_BYTES);

ChunkHeader header_of(const void* chunk) noexcept {
  ChunkHeader header;
  std::memcpy(&header, chunk, sizeof header);
  return header;
}
constexpr u64 MALLOC_HEADER = 8;
static_assert(alignof(std::max_align_t) >= 16);

std::atomic<u64> g_system_allocs{0};
std::atomic<u64> g_system_frees{0};

[[noreturn]] void allocation_failed(u64 size) {
  std::fprintf(stderr, "memory allocation of %llu bytes failed\n", static_cast<unsigned long long>(size));
  std::abort();
}

// Zero-filled fresh storage: a new byte array over the block, in which the
// caller's objects begin their lifetime.
inline void* fresh(void* block, u64 n) noexcept {
  CORVALE_UNPOISON(block, n);
  return std::memset(::new (block) std::byte[n], 0, n);
}
}  // namespace

const u8 NODE_SIZE_TO_CLASS[376] = {
#define C(i) kSizeToClass.table[i]
#define C8(i) C(i), C(i + 1), C(i + 2), C(i + 3), C(i + 4), C(i + 5), C(i + 6), C(i + 7)
    C8(0),   C8(8),   C8(16),  C8(24),  C8(32),  C8(40),  C8(48),  C8(56),  C8(64),  C8(72),
    C8(80),  C8(88),  C8(96),  C8(104), C8(112), C8(120), C8(128), C8(136), C8(144), C8(152),
    C8(160), C8(168), C8(176), C8(184), C8(192), C8(200), C8(208), C8(216), C8(224), C8(232),
    C8(240), C8(248), C8(256), C8(264), C8(272), C8(280), C8(288), C8(296), C8(304), C8(312),
    C8(320), C8(328), C8(336), C8(344), C8(352), C8(360), C8(368),
#undef C8
#undef C
};

void* system_alloc(u64 size, u64 align) {
  void* p = nullptr;
  if (align <= 16 && size >= align) {
    p = std::calloc(size, 1);
  } else {
    if (posix_memalign(&p, align, size) != 0) p = nullptr;
    if (p != nullptr) std::memset(p, 0, size);
  }
  if (p == nullptr) [[unlikely]] allocation_failed(size);
  g_system_allocs.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void system_free(void* block) noexcept {
  if (block == nullptr) return;
  g_system_frees.fetch_add(1, std::memory_order_relaxed);
  std::free(block);
}

AllocStats alloc_stats() noexcept {
  return {g_system_allocs.load(std::memory_order_relaxed), g_system_frees.load(std::memory_order_relaxed)};
}

NodeAlloc::~NodeAlloc() { release_all(); }

void NodeAlloc::count_alloc(u64 rounded) noexcept {
  mem_used_.fetch_add(rounded, std::memory_order_relaxed);
  live_nodes_.fetch_add(1, std::memory_order_relaxed);
  total_node_allocs_.fetch_add(1, std::memory_order_relaxed);
}

// The release of the last live block gives every chunk back.
void NodeAlloc::count_release(u64 rounded) noexcept {
  mem_used_.fetch_sub(rounded, std::memory_order_relaxed);
  if (live_nodes_.fetch_sub(1, std::memory_order_relaxed) == 1) release_all();
}

void NodeAlloc::push(void* block, unsigned list) noexcept {
  std::memcpy(block, &lists_[list], sizeof(void*));
  lists_[list] = block;
  free_bytes_ += list_stride(list);
  CORVALE_POISON(block, list_stride(list));
}

void* NodeAlloc::pop(unsigned list) noexcept {
  void* head = lists_[list];
  if (head != nullptr) {
    CORVALE_UNPOISON(head, list_stride(list));
    std::memcpy(&lists_[list], head, sizeof(void*));
    free_bytes_ -= list_stride(list);
  }
  return head;
}

// Free space [start, start + bytes) goes onto the lists in pieces of at most
// CHUNK_STRIDE_MAX bytes.
void NodeAlloc::push_run(u8* start, u64 bytes) noexcept {
  while (bytes >= 16) {
    // The largest piece with a list of exactly its stride.
    const u64 piece = bytes >= CHUNK_STRIDE_MAX ? CHUNK_STRIDE_MAX
                      : bytes > 256             ? 256 + (bytes - 256) / 32 * 32
                                                : bytes;
    CORVALE_UNPOISON(start, piece);
    push(start, packed_list(piece));
    start += piece;
    bytes -= piece;
  }
}

// A block goes back to the system when it was taken from there (a
// container that had no chunk yet), else onto its stride's list. The system
// blocks fill the first slots of direct_; a system block of a 64-aligned
// list was cut from a larger packed one, whose slot has the lowest bit set.
void NodeAlloc::give(void* block, unsigned list) noexcept {
  if (direct_[0] != nullptr) [[unlikely]] {
    const std::uintptr_t aligned = list < kList64 ? 0 : 1;
    for (unsigned i = 0; i < kDirectSlots && direct_[i] != nullptr; ++i) {
      const auto held = reinterpret_cast<std::uintptr_t>(direct_[i]);
      const std::uintptr_t packed = held & ~std::uintptr_t{1};
      if ((held & 1) == aligned && (aligned ? align64(packed) : packed) == reinterpret_cast<std::uintptr_t>(block)) {
        unsigned last = i;
        while (last + 1 < kDirectSlots && direct_[last + 1] != nullptr) ++last;
        direct_[i] = direct_[last];
        direct_[last] = nullptr;
        system_free(reinterpret_cast<void*>(packed));
        return;
      }
    }
  }
  push(block, list);
}

inline void* NodeAlloc::take(unsigned list, u64 size) {
  const u64 stride = list_stride(list);
  if (void* head = pop(list)) return fresh(head, stride);
  if (static_cast<u64>(high_ - low_) >= stride) {
    u8* block;
    if (list < kList64) {
      block = low_;
      low_ += stride;
    } else {
      high_ -= stride;
      block = high_;
    }
    return fresh(block, stride);
  }
  return take_slow(list, size);
}

// The stride's list is empty and the current chunk cannot hold the block.
void* NodeAlloc::take_slow(unsigned list, u64 size) {
  const u64 stride = list_stride(list);
  if (chunks_ == nullptr) {
    for (void*& slot : direct_) {
      if (slot != nullptr) continue;
      if (list < kList64) return slot = system_alloc(size, 16);
      // A 64-aligned block inside a packed one 48 bytes larger: cheaper in
      // the C library's heap than an aligned allocation.
      void* packed = system_alloc(stride + 48, 16);
      slot = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(packed) | 1);
      return reinterpret_cast<void*>(align64(reinterpret_cast<std::uintptr_t>(packed)));
    }
  }
  retire_tail();
  void* block = split_larger(list);
  if (block == nullptr && merge_free_blocks()) {
    block = pop(list);
    if (block == nullptr) block = split_larger(list);
  }
  if (block != nullptr) return fresh(block, stride);
  new_chunk(stride);
  return take(list, size);
}

// A larger free block that can hold a block of `list`; the block is cut
// from it and the rest goes back onto the lists. Packed blocks take the
// smallest larger stride. A 64-aligned block is the first half of a free
// 128-byte one, or the 64-aligned part of a packed block large enough.
void* NodeAlloc::split_larger(unsigned list) noexcept {
  const u64 stride = list_stride(list);
  if (list < kList64) {
    for (unsigned l = list + 1; l < kPackedLists; ++l) {
      const u64 s = list_stride(l);
      void* block = pop(l);
      if (block == nullptr && s == 64) block = pop(kList64);
      if (block == nullptr && s == 128) block = pop(kList128);
      if (block != nullptr) {
        push_run(static_cast<u8*>(block) + stride, s - stride);
        return block;
      }
    }
    return nullptr;
  }
  if (list == kList64) {
    if (void* block = pop(kList128)) {
      push(static_cast<u8*>(block) + 64, kList64);
      return block;
    }
  }
  for (unsigned l = packed_list(stride); l < kPackedLists; ++l) {
    auto* head = static_cast<u8*>(lists_[l]);
    if (head == nullptr) continue;
    const u64 lead = (64 - reinterpret_cast<std::uintptr_t>(head) % 64) % 64;
    if (lead + stride > list_stride(l)) continue;
    (void)pop(l);
    push_run(head, lead);
    push_run(head + lead + stride, list_stride(l) - lead - stride);
    return head + lead;
  }
  return nullptr;
}

// Free blocks that lie side by side become one: every free block is taken
// off the lists, sorted by address, merged with its neighbours, and the runs
// go back in pieces of up to 512 bytes, so that memory released in small
// blocks (a leaf that grew, a churn of removals) serves larger ones. Runs on
// the way to a new chunk only, when an eighth of the chunk bytes is free,
// spaced by the releases since the last pass (kept in the newest chunk's
// header).
bool NodeAlloc::merge_free_blocks() {
  const auto releases = static_cast<u32>(total_node_allocs() - live_nodes());
  if (chunks_ == nullptr) return false;
  ChunkHeader header = header_of(chunks_);
  if (free_bytes_ < header.bytes_so_far / 8 || static_cast<u32>(releases - header.merge_mark) < header.merge_span)
    return false;
  std::vector<std::pair<u8*, u64>> blocks;
  for (unsigned l = 0; l < kListCount; ++l) {
    while (void* block = pop(l)) blocks.emplace_back(static_cast<u8*>(block), list_stride(l));
  }
  std::sort(blocks.begin(), blocks.end());
  for (std::size_t i = 0; i < blocks.size();) {
    u8* const start = blocks[i].first;
    u8* end = start + blocks[i].second;
    for (++i; i < blocks.size() && blocks[i].first == end; ++i) end += blocks[i].second;
    push_run(start, static_cast<u64>(end - start));
  }
  // The next pass waits for half as many releases as this one found free
  // blocks (none for a few).
  const u64 n = blocks.size();
  header.merge_mark = releases;
  header.merge_span = static_cast<u32>(std::min<u64>(n <= 64 ? 0 : n / 2, ~u32{0}));
  std::memcpy(chunks_, &header, sizeof header);
  return true;
}

// The free space left in the current chunk goes onto the lists.
void NodeAlloc::retire_tail() noexcept {
  if (high_ != low_) push_run(low_, static_cast<u64>(high_ - low_));
  low_ = high_ = nullptr;
}

void NodeAlloc::new_chunk(u64 stride) {
  // A quarter of what the container holds, between the bounds, and room for
  // the link, the alignment of the top and the block that asked for it.
  const u64 held = chunk_bytes();
  const u64 bytes = std::max(std::clamp(round64(held / 4), CHUNK_MIN_BYTES, CHUNK_MAX_BYTES),
                             round64(stride + CHUNK_LINK_BYTES + 64 + MALLOC_HEADER));
  const u64 usable = bytes - MALLOC_HEADER;
  auto* const chunk = static_cast<u8*>(std::malloc(usable));
  if (chunk == nullptr) [[unlikely]] allocation_failed(usable);
  g_system_allocs.fetch_add(1, std::memory_order_relaxed);
  ChunkHeader header{chunks_, held + bytes, static_cast<u32>(total_node_allocs() - live_nodes()), 0};
  if (chunks_ != nullptr) {
    const ChunkHeader older = header_of(chunks_);
    header.merge_mark = older.merge_mark;
    header.merge_span = older.merge_span;
  }
  std::memcpy(chunk, &header, sizeof header);
  chunks_ = chunk;
  // The top: the 64-aligned end of the usable bytes; the few bytes above it
  // that hold whole 16-byte blocks are one free block.
  u8* const end = chunk + (usable & ~u64{15});
  high_ = reinterpret_cast<u8*>(reinterpret_cast<std::uintptr_t>(end) & ~std::uintptr_t{63});
  push_run(high_, static_cast<u64>(end - high_));
  low_ = chunk + CHUNK_LINK_BYTES;
  CORVALE_POISON(low_, static_cast<u64>(high_ - low_));
}

void NodeAlloc::release_all() noexcept {
  CORVALE_ASSERT(direct_[0] == nullptr);
  void* chunk = chunks_;
  while (chunk != nullptr) {
    void* const older = header_of(chunk).older;
    system_free(chunk);
    chunk = older;
  }
  chunks_ = nullptr;
  low_ = high_ = nullptr;
  std::fill(std::begin(lists_), std::end(lists_), nullptr);
  free_bytes_ = 0;
}

u64 NodeAlloc::chunk_bytes() const noexcept {
  if (chunks_ == nullptr) return 0;
  return header_of(chunks_).bytes_so_far;
}

u64 NodeAlloc::chunk_count() const noexcept {
  u64 n = 0;
  for (void* c = chunks_; c != nullptr; std::memcpy(&c, c, sizeof(void*))) ++n;
  return n;
}

void* NodeAlloc::allocate_class(unsigned cls) {
  // Only the classes that node kinds use.
  CORVALE_ASSERT(cls == CLASS_64 || cls == CLASS_128);
  const u64 size = NODE_CLASS_LAYOUTS[cls].size;
  count_alloc(size);
  if (shared()) return shared_allocate(size, 64, static_cast<u8>(cls));
  return take(cls == CLASS_64 ? kList64 : kList128, size);
}

void NodeAlloc::release_class(void* block, unsigned cls, const char* expect) {
  if (block == nullptr) [[unlikely]] CORVALE_PANIC(expect);
  CORVALE_ASSERT(cls == CLASS_64 || cls == CLASS_128);
  if (shared()) {
    count_release(NODE_CLASS_LAYOUTS[cls].size);
    return shared_release(block, NODE_CLASS_LAYOUTS[cls].size, 64);
  }
  give(block, cls == CLASS_64 ? kList64 : kList128);
  count_release(NODE_CLASS_LAYOUTS[cls].size);
}

void* NodeAlloc::allocate_bytes(u64 size) {
  if (size > MAX_LAYOUT_SIZE) [[unlikely]] CORVALE_PANIC("valid node layout");
  const u64 stride = round16(size);
  count_alloc(stride);
  if (shared()) return shared_allocate(size, 16, size < 376 ? NODE_SIZE_TO_CLASS[size] : NO_CLASS);
  if (stride - 1 < CHUNK_STRIDE_MAX) return take(packed_list(stride), size);
  return system_alloc(size, 16);
}

void NodeAlloc::release_bytes(void* block, u64 size, const char* expect) {
  if (block == nullptr) [[unlikely]] CORVALE_PANIC(expect);
  if (size > MAX_LAYOUT_SIZE) [[unlikely]] CORVALE_PANIC("valid node layout");
  const u64 stride = round16(size);
  if (shared()) {
    count_release(stride);
    return shared_release(block, size, 16);
  }
  if (stride - 1 < CHUNK_STRIDE_MAX) {
    give(block, packed_list(stride));
  } else {
    system_free(block);
  }
  count_release(stride);
}

BranchU* NodeAlloc::allocate_branch_u() {
  count_alloc(BRANCH_U_SIZE);
  if (shared()) return std::launder(static_cast<BranchU*>(shared_allocate(BRANCH_U_SIZE, 64, NO_CLASS)));
  return std::launder(static_cast<BranchU*>(system_alloc(BRANCH_U_SIZE, 64)));
}

void NodeAlloc::release_branch_u(BranchU* node, const char* expect) {
  if (node == nullptr) [[unlikely]] CORVALE_PANIC(expect);
  count_release(BRANCH_U_SIZE);
  if (shared()) return shared_release(node, BRANCH_U_SIZE, 64);
  system_free(node);
}

}  // namespace corvale_trie
