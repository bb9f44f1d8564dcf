// The shared-mode paths of the node allocator: the collector slot, blocks
// taken from the collector's pools or the system, releases retired to the
// collector. The private-mode paths (alloc.cpp) test shared() first and come
// here.
#include "engine/alloc.hpp"
#include "engine/occ.hpp"

namespace corvale_trie {

void NodeAlloc::defer_to(const occ::CollectorRef& collector) {
  CORVALE_EXPECT(collector != nullptr, MISSING_BLOCK);
  if (collector_ref_ != nullptr) {
    if (collector_ref_ != collector) [[unlikely]]
      CORVALE_PANIC("NodeAlloc already deferred to a different collector");
    return;
  }
  // Blocks carved from chunks or kept on the own free lists must never be
  // retired one by one: the mode may only change before the first block.
  CORVALE_EXPECT(total_node_allocs() == 0 && chunks_ == nullptr,
                 "NodeAlloc deferred to a collector before its first allocation");
  collector_ref_ = collector;
}

// A block from the system spans whole 16-byte granules (the size mem_used
// counts it at), so that a lock-free reader may load any aligned 8-byte word
// that holds a byte of the block (get.hpp, SharedLeafKeys). A pooled block
// was taken from the system for the same exact size.
void* NodeAlloc::shared_allocate(u64 size, u64 align, u8 cls) {
  if (cls != NO_CLASS) {
    if (void* block = collector_ref_->pop_pool(cls)) return block;
  }
  return system_alloc((size + 15) & ~u64{15}, align);
}

void NodeAlloc::shared_release(void* block, u64 size, u64 align) { collector_ref_->retire(block, size, align); }

}  // namespace corvale_trie
