// The blob arena: bump allocation of records, the record check, chunks from
// stored bytes (slot.hpp).
#include "engine/slot.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace corvale_trie::blobmap {

const char* error_text(ArenaError e) noexcept {
  switch (e) {
    case ArenaError::AllocFailed:
      return "Arena memory allocation failed";
    case ArenaError::CeilingExceeded:
      return "Arena growth exceeded the addressable/allowed ceiling";
    case ArenaError::MetaOverflow:
      return "hot_meta exceeds the 24-bit ArenaMeta field";
    case ArenaError::InvalidOffset:
      return "Invalid arena offset";
    case ArenaError::GenerationMismatch:
      return "Blob generation mismatch (ABA detected)";
    case ArenaError::CorruptHeader:
      return "Corrupted blob record header";
  }
  CORVALE_UNREACHABLE("arena error code");
}

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Buffers from this size on are mapped directly.
constexpr u64 MAP_THRESHOLD = u64{2} << 20;
constexpr u64 PAGE = 4096;

}  // namespace

void BufferDeleter::operator()(u8* p) const noexcept {
  if (mapped != 0)
    ::munmap(p, mapped);
  else
    std::free(p);
}

Buffer allocate_zeroed(u64 size, u64 prefault) noexcept {
  // calloc hands out zeroed memory aligned for max_align_t (16 bytes on the
  // 64-bit targets we build for).
  static_assert(alignof(std::max_align_t) >= RECORD_ALIGN);
  if (kSanitized || size < MAP_THRESHOLD) return Buffer(static_cast<u8*>(std::calloc(size == 0 ? 1 : size, 1)));
  const u64 len = (size + PAGE - 1) & ~(PAGE - 1);
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return Buffer();
#ifdef MADV_POPULATE_WRITE
  // A hint: a kernel without it leaves the pages to their first write.
  if (prefault != 0) ::madvise(p, std::min(len, (prefault + PAGE - 1) & ~(PAGE - 1)), MADV_POPULATE_WRITE);
#else
  (void)prefault;
#endif
  return Buffer(static_cast<u8*>(p), BufferDeleter{len});
}

Outcome<ArenaChunk> ArenaChunk::allocate(u64 capacity, u64 used, u32 generation) noexcept {
  Buffer p = allocate_zeroed(capacity, used);
  if (!p) return ArenaError::AllocFailed;
  ArenaChunk c;
  c.data = std::move(p);
  c.capacity = capacity;
  c.used = used;
  c.generation = generation;
  return c;
}

Outcome<ArenaChunk> ArenaChunk::from_raw_parts(u64 capacity, u64 used, u32 generation,
                                               std::span<const u8> source) noexcept {
  if (capacity < 1 || capacity > MAX_CHUNK_SIZE || used > capacity || source.size() > capacity)
    return ArenaError::InvalidOffset;
  Outcome<ArenaChunk> c = allocate(capacity, used, generation);
  if (!c.ok()) return c;
  const u64 n = std::min<u64>(used, source.size());
  if (n != 0) std::memcpy(c.value().data.get(), source.data(), n);
  return c;
}

u64 BlobArena::normalise_chunk_size(std::optional<u64> chunk_size) noexcept {
  if (!chunk_size) return DEFAULT_CHUNK_SIZE;
  return round_up16(std::clamp(*chunk_size, MIN_CHUNK_SIZE, MAX_CHUNK_SIZE));
}

BlobArena::BlobArena(std::optional<u64> chunk_size, u32 generation) noexcept
    : chunk_size_(normalise_chunk_size(chunk_size)), generation_(generation) {}

Outcome<u64> BlobArena::alloc_blob(std::span<const u8> payload) noexcept {
  if (payload.size() > chunk_size_ - RECORD_HEADER) return ArenaError::AllocFailed;
  const u64 n = payload.size() + RECORD_HEADER;
  const RecordHeader header{static_cast<u32>(payload.size()), 0};
  auto place = [&](ArenaChunk& c, u64 index, u64 start) -> u64 {
    RecordHeader h = header;
    h.generation = c.generation;
    h.write(c.data.get() + start);
    if (!payload.empty()) std::memcpy(c.data.get() + start + RECORD_HEADER, payload.data(), payload.size());
    c.used = round_up16(start + n);
    live_bytes_ += n;
    return index * chunk_size_ + start;
  };
  if (current_) {
    ArenaChunk& c = chunk_list_[*current_];
    const u64 start = round_up16(c.used);  // a loaded chunk's `used` may be unaligned
    if (start <= c.capacity && n <= c.capacity - start) return place(c, *current_, start);
  }
  if (chunk_list_.size() >= MAX_ARENA_CHUNKS) return ArenaError::CeilingExceeded;
  const u64 grown = total_allocated_ > ~u64{0} - chunk_size_ ? ~u64{0} : total_allocated_ + chunk_size_;
  if (grown > ceiling_) return ArenaError::CeilingExceeded;
  if (chunk_size_ > MAX_CHUNK_SIZE) return ArenaError::AllocFailed;
  Outcome<ArenaChunk> fresh = ArenaChunk::allocate(chunk_size_, 0, generation_);
  if (!fresh.ok()) return fresh.error();
  push_chunk(std::move(fresh.value()));
  return place(chunk_list_.back(), chunk_list_.size() - 1, 0);
}

void BlobArena::push_chunk(ArenaChunk chunk) {
  CORVALE_ASSERT(chunk.capacity == chunk_size_);
  total_allocated_ += chunk.capacity;
  chunk_list_.push_back(std::move(chunk));
  current_ = chunk_list_.size() - 1;
}

std::optional<std::span<const u8>> BlobArena::resolve(u32 offset16) const noexcept {
  const u64 off = u64{offset16} * RECORD_ALIGN;
  const u64 i = off / chunk_size_;
  const u64 r = off % chunk_size_;
  if (i >= chunk_list_.size()) return std::nullopt;
  const ArenaChunk& c = chunk_list_[i];
  if (r + RECORD_HEADER > c.used) return std::nullopt;
  const RecordHeader h = RecordHeader::read(c.data.get() + r);
  if (!record_passes(c, r, h)) return std::nullopt;
  return std::span<const u8>(c.data.get() + r + RECORD_HEADER, h.payload_len);
}

void BlobArena::free_chunks() noexcept {
  chunk_list_.clear();
  current_.reset();
  total_allocated_ = 0;
  live_bytes_ = 0;
}

}  // namespace corvale_trie::blobmap
