#include "engine/alloc.hpp"

#include <cstdio>
#include <cstdlib>

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

struct ChunkHeader {
  void* next;
  u64 align;
  u64 size;
};
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
  if (p == nullptr) [[unlikely]] {
    std::fprintf(stderr, "memory allocation of %llu bytes failed\n",
                 static_cast<unsigned long long>(size));
    std::abort();
  }
  return p;
}

void system_free(void* block) noexcept { std::free(block); }

NodeAlloc::~NodeAlloc() {
  void* chunk = chunks_;
  while (chunk != nullptr) {
    void* next = static_cast<ChunkHeader*>(chunk)->next;
    system_free(chunk);
    chunk = next;
  }
  chunks_ = nullptr;
  for (unsigned c = 0; c < NODE_CLASS_COUNT; ++c) {
    if (NODE_CLASS_LAYOUTS[c].size <= 256) continue;
    // Only system blocks reach these lists (see the class rule in the header).
    void* block = free_lists_[c];
    while (block != nullptr) {
      void* next = *static_cast<void**>(block);
      system_free(block);
      block = next;
    }
    free_lists_[c] = nullptr;
  }
}

void NodeAlloc::count_alloc(u64 rounded) noexcept {
  mem_used_.fetch_add(rounded, std::memory_order_relaxed);
  live_nodes_.fetch_add(1, std::memory_order_relaxed);
  total_node_allocs_.fetch_add(1, std::memory_order_relaxed);
}

void NodeAlloc::count_release(u64 rounded) noexcept {
  mem_used_.fetch_sub(rounded, std::memory_order_relaxed);
  live_nodes_.fetch_sub(1, std::memory_order_relaxed);
}

void* NodeAlloc::pop_free(unsigned cls) noexcept {
  void* head = free_lists_[cls];
  if (head != nullptr) {
    free_lists_[cls] = *static_cast<void**>(head);
    std::memset(head, 0, NODE_CLASS_LAYOUTS[cls].size);
  }
  return head;
}

void NodeAlloc::push_free(void* block, unsigned cls) noexcept {
  *static_cast<void**>(block) = free_lists_[cls];
  free_lists_[cls] = block;
}

void* NodeAlloc::carve_chunk(unsigned cls, u64 stride) {
  // A class carved here must have a block size of at most 256 bytes, so that
  // the teardown never frees a piece of a chunk on its own.
  CORVALE_ASSERT(NODE_CLASS_LAYOUTS[cls].size <= 256);
  auto* chunk = static_cast<u8*>(system_alloc(NODE_CHUNK_SIZE, 64));
  auto* header = reinterpret_cast<ChunkHeader*>(chunk);
  header->next = chunks_;
  header->align = 64;
  header->size = NODE_CHUNK_SIZE;
  chunks_ = chunk;
  constexpr u64 usable = NODE_CHUNK_SIZE - NODE_CHUNK_HEADER;
  if (stride > usable / 2) return chunk + NODE_CHUNK_HEADER;
  const u64 k = usable / stride;
  for (u64 i = k - 1; i >= 1; --i) push_free(chunk + NODE_CHUNK_HEADER + i * stride, cls);
  return chunk + NODE_CHUNK_HEADER;
}

u64 NodeAlloc::chunk_count() const noexcept {
  u64 n = 0;
  for (void* c = chunks_; c != nullptr; c = static_cast<ChunkHeader*>(c)->next) ++n;
  return n;
}

void* NodeAlloc::allocate_class(unsigned cls) {
  // Only the classes that node kinds use; see the class rule in the header.
  CORVALE_ASSERT(cls == CLASS_64 || cls == CLASS_128);
  const u64 size = NODE_CLASS_LAYOUTS[cls].size;
  count_alloc(size);
  if (shared()) return shared_allocate(size, 64, static_cast<u8>(cls));
  if (void* block = pop_free(cls)) return block;
  return carve_chunk(cls, size);
}

void NodeAlloc::release_class(void* block, unsigned cls, const char* expect) {
  if (block == nullptr) [[unlikely]] CORVALE_PANIC(expect);
  CORVALE_ASSERT(cls == CLASS_64 || cls == CLASS_128);
  count_release(NODE_CLASS_LAYOUTS[cls].size);
  if (shared()) return shared_release(block, NODE_CLASS_LAYOUTS[cls].size, 64);
  push_free(block, cls);
}

void* NodeAlloc::allocate_bytes(u64 size) {
  if (size > MAX_LAYOUT_SIZE) [[unlikely]] CORVALE_PANIC("valid node layout");
  count_alloc(round16(size));
  const u8 cls = size < 376 ? NODE_SIZE_TO_CLASS[size] : NO_CLASS;
  if (shared()) return shared_allocate(size, 16, cls);
  if (cls != NO_CLASS) {
    if (void* block = pop_free(cls)) return block;
    if (size <= 256) return carve_chunk(cls, round16(size));
  }
  return system_alloc(size, 16);
}

void NodeAlloc::release_bytes(void* block, u64 size, const char* expect) {
  if (block == nullptr) [[unlikely]] CORVALE_PANIC(expect);
  if (size > MAX_LAYOUT_SIZE) [[unlikely]] CORVALE_PANIC("valid node layout");
  count_release(round16(size));
  if (shared()) return shared_release(block, size, 16);
  const u8 cls = size < 376 ? NODE_SIZE_TO_CLASS[size] : NO_CLASS;
  if (cls != NO_CLASS) {
    push_free(block, cls);
  } else {
    system_free(block);
  }
}

BranchU* NodeAlloc::allocate_branch_u() {
  count_alloc(BRANCH_U_SIZE);
  if (shared()) return static_cast<BranchU*>(shared_allocate(BRANCH_U_SIZE, 64, NO_CLASS));
  return static_cast<BranchU*>(system_alloc(BRANCH_U_SIZE, 64));
}

void NodeAlloc::release_branch_u(BranchU* node, const char* expect) {
  if (node == nullptr) [[unlikely]] CORVALE_PANIC(expect);
  count_release(BRANCH_U_SIZE);
  if (shared()) return shared_release(node, BRANCH_U_SIZE, 64);
  system_free(node);
}

}  // namespace corvale_trie
