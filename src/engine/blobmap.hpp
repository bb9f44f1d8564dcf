// corvale_trie engine: the blob map, u64 keys to byte payloads with a 24-bit
// hot_meta word each.
//
// The map is its arena (slot.hpp) and its index, a core CorvaleMap from key
// to ValueSlot. Payloads of up to 7 bytes live in the slot itself; longer
// ones are records in the arena, referenced by offset together with their
// hot_meta. Replacing or removing an arena payload leaves its record where
// it is and lowers `live_bytes` by the record's size, when the record passes
// the record check; a reference that fails it has no payload anywhere (get,
// scans, compaction, save and load) and no size to subtract, while its key
// stays in the index (membership and length count it).
//
// Compaction (`compact`) copies the records still referenced into a fresh
// arena of the next generation, in ascending key order, and then patches
// the slots in place; the index keeps its shape. Nothing is changed until
// every record is copied, so a failed compaction leaves the map as it was.
// A reference whose record failed the check before compaction is pointed at
// an offset that no arena resolves (ValueSlot::dangling, hot_meta kept), so
// it cannot come to name a record of the fresh arena that it never owned.
//
// The image file, little-endian throughout:
//
//   header (64 bytes)   "CORVALE\0", version u32 = 1, reserved u32 = 0,
//                       entry_count, index_offset = 64, arena_offset =
//                       64 + 16 * entry_count, total_size, chunk_size,
//                       chunk_count (u64 each)
//   index records       (key u64, slot u64) per entry, ascending keys
//   chunk records       capacity u64, used u64, generation u32, reserved
//                       u32 = 0, the first `used` chunk bytes, zero padding
//                       to the next multiple of 16 of `used`
//
// Slots hold arena offsets, not addresses, so an image loads at any address
// without rewriting. The loader treats its input as untrusted: every field
// it uses is checked with arithmetic that cannot overflow, every record it
// reads must lie inside the image, a chunk it cannot allocate is an error,
// and a failure leaves no partial map. A key that appears twice takes its
// later slot, and `live_bytes` counts only the records that the loaded
// slots reference. Bytes past `total_size`, gaps and overlapping sections
// are accepted; slot tags, key order and record contents are not checked
// (every use runs the record check).
//
// Loading reads the 64-byte header first and checks it against the file's
// length before anything else is read or allocated; then each chunk record's
// header, and its bytes straight into the chunk's own buffer (small chunks
// through a bounded read window); then the index records in blocks of that
// window. The checks run in the order of the format's description, so a
// corrupt image fails with the same error wherever it is read from: when
// the index cannot fit into the file, the chunk records are still checked
// and allocated (their bytes are not read) before the index fails. The index
// is built by ascending insertion (ascending.hpp) while the keys ascend, and
// from the first key that does not by ordinary insertion: either way each
// record is inserted as CorvaleMap::insert would, in file order.
//
// Filtered scans walk a key range of the index with the ordered range
// cursor, hand (key, hot_meta) read from the slot to a filter, and resolve
// only the payloads the filter lets through. Nothing may change the map
// while a scan runs (the Python class holds a shared claim throughout).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ascending.hpp"
#include "engine/image_file.hpp"
#include "engine/iter.hpp"
#include "engine/map.hpp"
#include "engine/slot.hpp"

namespace corvale_trie::blobmap {

using slot::ValueSlot;

inline constexpr u32 IMAGE_VERSION = 1;
inline constexpr u64 IMAGE_HEADER_SIZE = 64;
inline constexpr u64 INDEX_RECORD_SIZE = 16;
inline constexpr u64 CHUNK_RECORD_HEADER = 24;
inline constexpr char IMAGE_MAGIC[8] = {'C', 'O', 'R', 'V', 'A', 'L', 'E', '\0'};

// A payload as a reader sees it: valid until the map next changes.
struct BlobView {
  std::span<const u8> payload;
  u32 hot_meta;
};

struct CompactStats {
  u64 live_before;
  u64 live_after;
  u64 total_before;
  u64 total_after;
  u64 chunks_before;
  u64 chunks_after;
  u64 relocated_count;
};

// Where an image is written. write_all writes all n bytes or reports why
// not: 0 on success, else an errno value or WRITE_ZERO.
class ImageSink {
 public:
  static constexpr int WRITE_ZERO = -1;  // a write call that accepted no byte
  virtual ~ImageSink() = default;
  [[nodiscard]] virtual int write_all(const u8* data, std::size_t n) noexcept = 0;
};

// An image kept in memory.
class StringSink final : public ImageSink {
 public:
  int write_all(const u8* data, std::size_t n) noexcept override {
    out.append(reinterpret_cast<const char*>(data), n);
    return 0;
  }
  std::string out;
};

// The text of a file error: "{description} (os error {code})", or "failed
// to write whole buffer" for WRITE_ZERO.
[[nodiscard]] std::string io_error_text(int code);

class ImageReader;

class CorvaleBlobMap {
 public:
  explicit CorvaleBlobMap(std::optional<u64> chunk_size = std::nullopt) noexcept : arena_(chunk_size) {}
  CorvaleBlobMap(const CorvaleBlobMap&) = delete;
  CorvaleBlobMap& operator=(const CorvaleBlobMap&) = delete;

  // Point operations. A failed insert leaves the index as it was.
  [[nodiscard]] MaybeError insert(u64 key, std::span<const u8> payload, u32 hot_meta);
  [[nodiscard]] std::optional<BlobView> get(u64 key) const noexcept;
  bool remove(u64 key);
  [[nodiscard]] bool contains_key(u64 key) const { return index_.contains_key(key); }
  [[nodiscard]] u64 len() const noexcept { return index_.len(); }
  [[nodiscard]] bool is_empty() const noexcept { return index_.is_empty(); }
  void clear();
  // Whole chunks plus the index's node memory.
  [[nodiscard]] u64 mem_used() const noexcept { return arena_.total_allocated() + index_.mem_used(); }

  [[nodiscard]] Outcome<CompactStats> compact();

  // Compaction in two steps, for a caller that must prepare what it reports
  // before the map changes: prepare_compaction copies the referenced records
  // into the fresh arena and works out the statistics, changing nothing (an
  // error, or dropping the result, leaves the map as it was);
  // commit_compaction then patches the slots and puts the fresh arena in
  // place, which cannot fail. The map must not change in between.
  // compact() is the two in a row.
  class Compaction {
   public:
    [[nodiscard]] const CompactStats& stats() const noexcept { return stats_; }

   private:
    friend class CorvaleBlobMap;
    explicit Compaction(BlobArena fresh) noexcept : fresh_(std::move(fresh)) {}
    BlobArena fresh_;
    std::vector<KeyValue> refs_;  // the new slot of every arena reference
    CompactStats stats_{};
  };
  [[nodiscard]] Outcome<Compaction> prepare_compaction() const;
  void commit_compaction(Compaction&& c) noexcept;

  // Visits the entries with start <= key <= end in ascending order: filter(key,
  // hot_meta) -> bool first, then, for those it keeps and whose payload
  // resolves, visit(key, payload span, hot_meta) -> bool (false stops).
  template <class Filter, class Visit>
  void scan_filtered(u64 start, u64 end, Filter&& filter, Visit&& visit) const {
    iter::MapRange range = index_.range(start, end);
    while (const std::optional<KeyValue> kv = range.next()) {
      if (kv->key > end) return;
      const u32 meta = ValueSlot(kv->value).hot_meta();
      if (!filter(kv->key, meta)) continue;
      const u64 word = kv->value;
      const std::optional<BlobView> view = view_of(&word);
      if (!view) continue;
      if (!visit(kv->key, view->payload, meta)) return;
    }
  }

  // Image file. save_to_writer returns total_size or the first write error
  // (what was written stays written). save_to_file writes the image to a
  // new file and puts it in place of `path` (image_file.hpp: flushed,
  // renamed over the path, the directory flushed; a path that is not a
  // regular file, or a file whose owner and group the new file cannot
  // carry, is written in place, under a lock); a failure before the rename
  // leaves the old file as it was and removes the new one, and a failed
  // flush or close is an error too. Errors are file-error texts
  // (io_error_text). Both may throw std::bad_alloc; save_to_file does so
  // only before it makes or opens a file. The caller's check (`caller.stop`,
  // file_step.hpp), when given, is asked between the pieces of the save
  // (image_file.hpp), and the caller's other threads run while the save
  // waits for a lock, a lease or another thread's call; its true answer fails
  // the save with EINTR ("Interrupted system call (os error 4)"), before
  // the new image is in place, or, asked once it is (after the rename and
  // after the directory's flush, or after the flush of a file written in
  // place), with the new image in place. A failure says whether the new
  // image was in place.
  struct SaveError {
    std::string text;
    bool image_in_place = false;  // the failure came once the new image was in place
  };
  [[nodiscard]] u64 image_size() const noexcept;
  [[nodiscard]] std::optional<u64> save_to_writer(ImageSink& sink, int& error) const;
  [[nodiscard]] std::optional<u64> save_to_file(std::string_view path, SaveError& error,
                                                const file::Caller& caller = {}) const;
  // Validates `image` and builds its content into `into`, which must be a
  // new map. On failure `into` is left empty and the error is returned.
  [[nodiscard]] static MaybeError from_bytes_slice(std::span<const u8> image, CorvaleBlobMap& into);
  // What from_file() tells of the file beside its answer.
  struct FileRead {
    u64 bytes = 0;  // read from the file
    // The errno value that kept the file from being opened, locked or read,
    // when that is why the answer is CorruptHeader: EISDIR for a directory,
    // ESPIPE for another file that is not a regular one (a FIFO, a device:
    // an image is read by offset), EDEADLK for a file that another call of
    // ours writes in place (file_lock.hpp), EINTR when the caller's check
    // ended the load. 0 for an image refused for what it holds (a file that shrank
    // while it was read included), and for a path holding NUL.
    int os_error = 0;
  };
  // The same for the image file at `path`, read piece by piece. A file that
  // cannot be opened or read gives CorruptHeader, with the system's error
  // in `read->os_error` (FileRead). No memory for the read window (1 MiB),
  // or for the file's entry in the table of locked files, throws
  // std::bad_alloc, before anything is read: `into` stays empty and the
  // file is closed. `read`, when given, receives what happened. The
  // caller's check, when given, is asked before each read (file_step.hpp);
  // its true answer fails the load with CorruptHeader, `into` left empty.
  // The file is read under a shared lock (file_lock.hpp), which waits for a
  // save that writes it in place, in another process or on another thread
  // (and an open waits for a lease, as open() does); the check is asked
  // while it waits too, and the caller's other threads run meanwhile.
  [[nodiscard]] static MaybeError from_file(std::string_view path, CorvaleBlobMap& into, FileRead* read = nullptr,
                                            const file::Caller& caller = {});

  [[nodiscard]] const BlobArena& arena() const noexcept { return arena_; }
  [[nodiscard]] const map::CorvaleMap& index() const noexcept { return index_; }

 private:
  // The payload a slot word stands for (inline bytes are read in place).
  [[nodiscard]] std::optional<BlobView> view_of(const u64* word) const noexcept;
  // payload_len + 8 of the record an ArenaRef names, when it passes the check.
  [[nodiscard]] std::optional<u64> record_size(ValueSlot s) const noexcept;
  [[nodiscard]] static MaybeError load(ImageReader& reader, CorvaleBlobMap& into);

  BlobArena arena_;
  map::CorvaleMap index_;
};

}  // namespace corvale_trie::blobmap
