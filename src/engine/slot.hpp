// corvale_trie engine: the blob map's value slots and its payload arena.
//
// A blob map keeps one u64 `ValueSlot` per key in its index (a core
// CorvaleMap). The slot's low byte is its tag:
//
//   tag 0..7   InlineBlob  the payload (tag = its length) in slot bytes 1..7,
//                          every bit above the payload 0; no hot_meta
//   tag 16     ArenaRef    bits 8..39 the arena offset / 16, bits 40..63 the
//                          24-bit hot_meta (ArenaMeta)
//   any other  only read from an image file: kept and written back as it is,
//              never resolved to a payload
//
// Payloads of 8 bytes or more live in the `BlobArena`: records in chunks of
// one fixed size (`chunk_size`, 4096..1 GiB, a multiple of 16), placed by
// bump allocation. A record is an 8-byte header {payload_len u32, generation
// u32} (little-endian) followed by the payload, and starts at a multiple of
// 16 inside its chunk. Its arena offset is chunk index * chunk_size + its
// offset in the chunk. The arena never frees a single record: replaced and
// removed records stay until compaction copies the live ones into a fresh
// arena of the next generation (blobmap.hpp).
//
// The record check (`resolve`) is the only truth about a payload. An arena
// offset names a record when its chunk exists, its header and payload lie
// below the chunk's `used`, and the header's generation is the chunk's.
// Every reader, the accounting of replaced and removed records, compaction
// and the image loader go through it; a reference that fails it has no
// payload and no size.
//
// Invariants: every chunk's capacity is chunk_size; used <= capacity;
// total_allocated = chunks * chunk_size <= ceiling; `current`, once set, is
// the last chunk; live_bytes never goes below 0 (subtractions saturate).
// A chunk loaded from an image may carry a `used` that is not a multiple of
// 16: the next record in it starts at the next multiple of 16, so every
// record the arena writes sits at an offset a slot can encode.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/types.hpp"

namespace corvale_trie::slot {

class ValueSlot {
 public:
  static constexpr u8 ARENA_REF_TAG = 16;
  static constexpr u64 MAX_INLINE = 7;
  static constexpr u32 META_MAX = 0xFFFFFF;
  // An offset field that resolves in no arena: 2^36 - 16 lies beyond every
  // chunk of an arena whose size is capped at 1 GiB.
  static constexpr u32 DANGLING_OFFSET16 = 0xFFFFFFFFu;

  constexpr ValueSlot() noexcept = default;
  constexpr explicit ValueSlot(u64 raw) noexcept : raw_(raw) {}

  // Payload of at most MAX_INLINE bytes.
  [[nodiscard]] static ValueSlot inline_blob(std::span<const u8> payload) noexcept {
    CORVALE_ASSERT(payload.size() <= MAX_INLINE);
    u64 raw = payload.size();
    if (!payload.empty()) {
      u64 bytes = 0;
      std::memcpy(&bytes, payload.data(), payload.size());
      raw |= bytes << 8;
    }
    return ValueSlot(raw);
  }
  // Arena offset / 16 and a hot_meta of at most META_MAX.
  [[nodiscard]] static constexpr ValueSlot arena_ref(u32 offset16, u32 meta) noexcept {
    return ValueSlot(u64{ARENA_REF_TAG} | u64{offset16} << 8 | u64{meta & META_MAX} << 40);
  }

  [[nodiscard]] constexpr u64 raw() const noexcept { return raw_; }
  [[nodiscard]] constexpr u8 tag() const noexcept { return static_cast<u8>(raw_); }
  [[nodiscard]] constexpr bool is_inline() const noexcept { return tag() <= MAX_INLINE; }
  [[nodiscard]] constexpr bool is_arena_ref() const noexcept { return tag() == ARENA_REF_TAG; }
  [[nodiscard]] constexpr u64 inline_len() const noexcept { return tag(); }
  [[nodiscard]] constexpr u32 offset16() const noexcept { return static_cast<u32>(raw_ >> 8); }
  // The hot_meta a reader sees: the ArenaMeta of an ArenaRef, else 0.
  [[nodiscard]] constexpr u32 hot_meta() const noexcept {
    return is_arena_ref() ? static_cast<u32>(raw_ >> 40) : 0;
  }
  // The same reference, pointing nowhere.
  [[nodiscard]] constexpr ValueSlot dangling() const noexcept {
    return arena_ref(DANGLING_OFFSET16, hot_meta());
  }

 private:
  u64 raw_ = 0;
};
static_assert(sizeof(ValueSlot) == 8 && std::is_trivially_copyable_v<ValueSlot>);
static_assert(ValueSlot::arena_ref(0x200070 / 16, 5).raw() == 0x50002000710);

}  // namespace corvale_trie::slot

namespace corvale_trie::blobmap {

inline constexpr u64 DEFAULT_CHUNK_SIZE = 0x200000;
inline constexpr u64 MIN_CHUNK_SIZE = 4096;
inline constexpr u64 MAX_CHUNK_SIZE = 0x40000000;
inline constexpr u64 ARENA_CEILING = 0x40000000;
inline constexpr u64 MAX_ARENA_CHUNKS = 65536;
inline constexpr u64 RECORD_HEADER = 8;
inline constexpr u64 RECORD_ALIGN = 16;
// Arena offsets a slot can hold: multiples of 16 below 2^36.
inline constexpr u64 SLOT_OFFSET_LIMIT = u64{1} << 36;

[[nodiscard]] constexpr u64 round_up16(u64 n) noexcept { return (n + 15) & ~u64{15}; }

enum class ArenaError : u8 {
  AllocFailed = 0,
  CeilingExceeded = 1,
  MetaOverflow = 2,
  InvalidOffset = 3,
  GenerationMismatch = 4,
  CorruptHeader = 5,
};

// The error's fixed text.
[[nodiscard]] const char* error_text(ArenaError e) noexcept;

// Success without a value, or an error.
using MaybeError = std::optional<ArenaError>;

// A value or an error.
template <class T>
class Outcome {
 public:
  Outcome(T value) noexcept : value_(std::move(value)) {}  // NOLINT: implicit by design
  Outcome(ArenaError e) noexcept : error_(e) {}            // NOLINT
  [[nodiscard]] bool ok() const noexcept { return !error_; }
  [[nodiscard]] ArenaError error() const noexcept { return *error_; }
  [[nodiscard]] const T& value() const noexcept { return *value_; }
  [[nodiscard]] T& value() noexcept { return *value_; }

 private:
  std::optional<T> value_;
  MaybeError error_;
};

// BlobRecordHeader, 8 bytes little-endian at the start of every record.
struct RecordHeader {
  u32 payload_len;
  u32 generation;

  [[nodiscard]] static RecordHeader read(const u8* at) noexcept {
    RecordHeader h;
    std::memcpy(&h.payload_len, at, 4);
    std::memcpy(&h.generation, at + 4, 4);
    return h;
  }
  void write(u8* at) const noexcept {
    std::memcpy(at, &payload_len, 4);
    std::memcpy(at + 4, &generation, 4);
  }
};
static_assert(sizeof(RecordHeader) == RECORD_HEADER);

// Zero-filled, 16-byte aligned buffers. Large ones (2 MiB or more: the
// default chunk) are private anonymous mappings, and the first `prefault`
// bytes that the caller is about to fill (a chunk read from an image file)
// are made present in one call, which costs far less than a page fault
// each; smaller ones, and every buffer of a sanitizer build (whose
// allocator watches the bounds), come from calloc.
struct BufferDeleter {
  u64 mapped = 0;  // length of the mapping; 0: from calloc
  void operator()(u8* p) const noexcept;
};
using Buffer = std::unique_ptr<u8, BufferDeleter>;
// Null when the memory cannot be had.
[[nodiscard]] Buffer allocate_zeroed(u64 size, u64 prefault = 0) noexcept;

// One chunk: `capacity` zero-filled bytes, 16-byte aligned.
struct ArenaChunk {
  Buffer data;
  u64 capacity = 0;
  u64 used = 0;
  u32 generation = 0;

  // A zero-filled chunk; AllocFailed when the buffer cannot be had.
  [[nodiscard]] static Outcome<ArenaChunk> allocate(u64 capacity, u64 used, u32 generation) noexcept;
  // A chunk built from stored bytes: the first min(used, source) bytes are
  // copied, `used` is taken as it is. InvalidOffset unless 1 <= capacity <=
  // MAX_CHUNK_SIZE, used <= capacity and source <= capacity.
  [[nodiscard]] static Outcome<ArenaChunk> from_raw_parts(u64 capacity, u64 used, u32 generation,
                                                          std::span<const u8> source) noexcept;
};

// The record check on the header `h` read at offset r of chunk c, where
// r + RECORD_HEADER <= c.used: the record's generation is the chunk's and
// its payload ends within `used`.
[[nodiscard]] inline bool record_passes(const ArenaChunk& c, u64 r, const RecordHeader& h) noexcept {
  return h.generation == c.generation && h.payload_len <= c.used - r - RECORD_HEADER;
}

class BlobArena {
 public:
  // chunk_size: DEFAULT_CHUNK_SIZE when absent, else clamped to
  // MIN_CHUNK_SIZE..MAX_CHUNK_SIZE and rounded up to 16. Allocates nothing.
  explicit BlobArena(std::optional<u64> chunk_size = std::nullopt, u32 generation = 1) noexcept;
  BlobArena(BlobArena&&) noexcept = default;
  BlobArena& operator=(BlobArena&&) noexcept = default;

  [[nodiscard]] static u64 normalise_chunk_size(std::optional<u64> chunk_size) noexcept;

  // Writes one record holding `payload`; its arena offset, or AllocFailed /
  // CeilingExceeded with the arena unchanged.
  [[nodiscard]] Outcome<u64> alloc_blob(std::span<const u8> payload) noexcept;
  // Appends a chunk of capacity chunk_size and makes it current.
  void push_chunk(ArenaChunk chunk);
  // The record check: the payload of the record at offset16 * 16, or nothing.
  [[nodiscard]] std::optional<std::span<const u8>> resolve(u32 offset16) const noexcept;
  // Frees every chunk; chunk_size, ceiling and generation stay.
  void free_chunks() noexcept;

  void add_live(u64 n) noexcept { live_bytes_ += n; }
  void sub_live(u64 n) noexcept { live_bytes_ = live_bytes_ > n ? live_bytes_ - n : 0; }

  [[nodiscard]] u64 chunk_size() const noexcept { return chunk_size_; }
  [[nodiscard]] u64 total_allocated() const noexcept { return total_allocated_; }
  [[nodiscard]] u64 live_bytes() const noexcept { return live_bytes_; }
  [[nodiscard]] u64 ceiling() const noexcept { return ceiling_; }
  [[nodiscard]] u32 generation() const noexcept { return generation_; }
  void set_generation(u32 g) noexcept { generation_ = g; }
  [[nodiscard]] const std::vector<ArenaChunk>& chunks() const noexcept { return chunk_list_; }
  [[nodiscard]] std::optional<u64> current() const noexcept { return current_; }

 private:
  std::optional<u64> current_;
  std::vector<ArenaChunk> chunk_list_;
  u64 chunk_size_;
  u64 total_allocated_ = 0;
  u64 live_bytes_ = 0;
  u64 ceiling_ = ARENA_CEILING;
  u32 generation_;
};

}  // namespace corvale_trie::blobmap
