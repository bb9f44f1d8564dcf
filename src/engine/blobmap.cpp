// The blob map: point operations, compaction, the image writer and loader
// (blobmap.hpp).
#include "engine/blobmap.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "engine/image_file.hpp"

namespace corvale_trie::blobmap {

// ---------------------------------------------------------------------------
// Point operations

std::optional<BlobView> CorvaleBlobMap::view_of(const u64* word) const noexcept {
  const ValueSlot s(*word);
  if (s.is_inline()) return BlobView{{reinterpret_cast<const u8*>(word) + 1, s.inline_len()}, 0};
  if (!s.is_arena_ref()) return std::nullopt;
  const std::optional<std::span<const u8>> payload = arena_.resolve(s.offset16());
  if (!payload) return std::nullopt;
  return BlobView{*payload, s.hot_meta()};
}

std::optional<u64> CorvaleBlobMap::record_size(ValueSlot s) const noexcept {
  if (!s.is_arena_ref()) return std::nullopt;
  const std::optional<std::span<const u8>> payload = arena_.resolve(s.offset16());
  if (!payload) return std::nullopt;
  return payload->size() + RECORD_HEADER;
}

namespace {

// The slot of a record just written at `offset`, or CeilingExceeded when a
// slot cannot hold the offset.
Outcome<ValueSlot> arena_slot(u64 offset, u32 hot_meta) noexcept {
  if (offset % RECORD_ALIGN != 0 || offset >= SLOT_OFFSET_LIMIT) return ArenaError::CeilingExceeded;
  return ValueSlot::arena_ref(static_cast<u32>(offset / RECORD_ALIGN), hot_meta);
}

}  // namespace

MaybeError CorvaleBlobMap::insert(u64 key, std::span<const u8> payload, u32 hot_meta) {
  // The record is written before the index is touched, so a failure leaves
  // the index as it was; the old record stays resolvable until its size has
  // been subtracted.
  ValueSlot s;
  if (payload.size() > ValueSlot::MAX_INLINE) {
    if (hot_meta > ValueSlot::META_MAX) return ArenaError::MetaOverflow;
    const Outcome<u64> offset = arena_.alloc_blob(payload);
    if (!offset.ok()) return offset.error();
    const Outcome<ValueSlot> made = arena_slot(offset.value(), hot_meta);
    if (!made.ok()) return made.error();
    s = made.value();
  } else {
    s = ValueSlot::inline_blob(payload);
  }
  // One walk: a new key takes the slot, a present one keeps its old value
  // for the accounting and is overwritten in place.
  const InsertOutcome out = index_.insert_keep(key, s.raw());
  if (out.found) {
    *out.slot = s.raw();
    if (const std::optional<u64> n = record_size(ValueSlot(out.old))) arena_.sub_live(*n);
  }
  return std::nullopt;
}

std::optional<BlobView> CorvaleBlobMap::get(u64 key) const noexcept {
  const u64* word = index_.locate_slot(key);
  if (!word) return std::nullopt;
  return view_of(word);
}

bool CorvaleBlobMap::remove(u64 key) {
  const std::optional<u64> old = index_.remove(key);
  if (!old) return false;
  // The record is still in its chunk: the check can run after the removal.
  if (const std::optional<u64> n = record_size(ValueSlot(*old))) arena_.sub_live(*n);
  return true;
}

void CorvaleBlobMap::clear() {
  index_.clear();
  arena_.free_chunks();
}

// ---------------------------------------------------------------------------
// Compaction

Outcome<CorvaleBlobMap::Compaction> CorvaleBlobMap::prepare_compaction() const {
  const u32 old_gen = arena_.generation();
  Compaction c(BlobArena(arena_.chunk_size(), old_gen == ~u32{0} ? 1 : old_gen + 1));
  CompactStats& st = c.stats_;
  st.live_before = arena_.live_bytes();
  st.total_before = arena_.total_allocated();
  st.chunks_before = arena_.chunks().size();

  std::vector<KeyValue>& refs = c.refs_;
  iter::MapIter it = index_.iter();
  while (const std::optional<KeyValue> kv = it.next())
    if (ValueSlot(kv->value).is_arena_ref()) refs.push_back(*kv);

  for (KeyValue& kv : refs) {
    const ValueSlot s(kv.value);
    const std::optional<std::span<const u8>> payload = arena_.resolve(s.offset16());
    if (!payload) {
      kv.value = s.dangling().raw();
      continue;
    }
    const Outcome<u64> offset = c.fresh_.alloc_blob(*payload);
    if (!offset.ok()) return offset.error();
    const Outcome<ValueSlot> made = arena_slot(offset.value(), s.hot_meta());
    if (!made.ok()) return made.error();
    kv.value = made.value().raw();
    ++st.relocated_count;
  }
  st.live_after = c.fresh_.live_bytes();
  st.total_after = c.fresh_.total_allocated();
  st.chunks_after = c.fresh_.chunks().size();
  return c;
}

void CorvaleBlobMap::commit_compaction(Compaction&& c) noexcept {
  for (const KeyValue& kv : c.refs_)
    if (u64* word = index_.locate_slot(kv.key)) *word = kv.value;
  arena_ = std::move(c.fresh_);
}

Outcome<CompactStats> CorvaleBlobMap::compact() {
  Outcome<Compaction> c = prepare_compaction();
  if (!c.ok()) return c.error();
  const CompactStats st = c.value().stats();
  commit_compaction(std::move(c.value()));
  return st;
}

// ---------------------------------------------------------------------------
// Image writer

namespace {

// strerror_r comes in two forms: glibc's (g++ defines _GNU_SOURCE) returns
// the text, which need not be in `buf`; the POSIX one (macOS) writes it to
// `buf` and returns an error number. Overloading takes either.
[[maybe_unused]] const char* strerror_text(const char* text, const char*) noexcept { return text; }
[[maybe_unused]] const char* strerror_text(int, const char* buf) noexcept { return buf; }

}  // namespace

std::string io_error_text(int code) {
  if (code == ImageSink::WRITE_ZERO) return "failed to write whole buffer";
  char buf[256] = "";
  std::string out = strerror_text(strerror_r(code, buf, sizeof buf), buf);
  out += " (os error ";
  out += std::to_string(code);
  out += ')';
  return out;
}

namespace {

// Gathers the small pieces of an image (header, index records, chunk record
// headers and padding) into a bounded buffer; chunk bytes go straight to the
// sink. Records the first error and writes nothing after it. The buffer is
// its only allocation, made by make_buffer(): a caller that must not fail
// once it has started on the sink makes it first.
class ImageWriter {
 public:
  static constexpr std::size_t kBuffer = 1 << 16;
  [[nodiscard]] static std::unique_ptr<u8[]> make_buffer() { return std::unique_ptr<u8[]>(new u8[kBuffer]); }

  ImageWriter(ImageSink& sink, std::unique_ptr<u8[]> buffer) noexcept : sink_(sink), buf_(std::move(buffer)) {}

  void put_u64(u64 v) { put(&v, 8); }
  void put_u32(u32 v) { put(&v, 4); }
  void put(const void* p, std::size_t n) {
    if (n > kBuffer - len_) flush();
    std::memcpy(buf_.get() + len_, p, n);
    len_ += n;
  }
  void put_large(const u8* p, std::size_t n) {
    if (n < kBuffer / 4) return put(p, n);
    flush();
    if (error_ == 0 && n != 0) error_ = sink_.write_all(p, n);
  }
  void flush() {
    if (error_ == 0 && len_ != 0) error_ = sink_.write_all(buf_.get(), len_);
    len_ = 0;
  }
  [[nodiscard]] int error() const noexcept { return error_; }

 private:
  ImageSink& sink_;
  std::unique_ptr<u8[]> buf_;
  std::size_t len_ = 0;
  int error_ = 0;
};

class FdSink final : public ImageSink {
 public:
  FdSink(int fd, file::Interrupted stop) noexcept : fd_(fd), stop_(stop) {}
  int write_all(const u8* data, std::size_t n) noexcept override {
    return file::write_all(fd_, data, n, WRITE_ZERO, stop_);
  }

 private:
  int fd_;
  file::Interrupted stop_;
};

// A path as a C string, or nothing when it holds a NUL byte.
std::optional<std::string> c_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  return std::string(path);
}

}  // namespace

u64 CorvaleBlobMap::image_size() const noexcept {
  u64 total = IMAGE_HEADER_SIZE + INDEX_RECORD_SIZE * len();
  for (const ArenaChunk& c : arena_.chunks()) total += CHUNK_RECORD_HEADER + round_up16(c.used);
  return total;
}

namespace {

// The image of `m` through `w`: total_size, or the first write error.
std::optional<u64> write_image(const CorvaleBlobMap& m, ImageWriter& w, int& error) {
  const BlobArena& arena = m.arena();
  const u64 entries = m.len();
  const u64 total = m.image_size();
  w.put(IMAGE_MAGIC, 8);
  w.put_u32(IMAGE_VERSION);
  w.put_u32(0);
  w.put_u64(entries);
  w.put_u64(IMAGE_HEADER_SIZE);
  w.put_u64(IMAGE_HEADER_SIZE + INDEX_RECORD_SIZE * entries);
  w.put_u64(total);
  w.put_u64(arena.chunk_size());
  w.put_u64(arena.chunks().size());
  iter::MapIter it = m.index().iter();
  while (const std::optional<KeyValue> kv = it.next()) {
    w.put_u64(kv->key);
    w.put_u64(kv->value);
    if (w.error() != 0) break;
  }
  static constexpr u8 kZeros[16] = {};
  for (const ArenaChunk& c : arena.chunks()) {
    w.put_u64(c.capacity);
    w.put_u64(c.used);
    w.put_u32(c.generation);
    w.put_u32(0);
    w.put_large(c.data.get(), c.used);
    w.put(kZeros, round_up16(c.used) - c.used);
    if (w.error() != 0) break;
  }
  w.flush();
  if ((error = w.error()) != 0) return std::nullopt;
  return total;
}

}  // namespace

std::optional<u64> CorvaleBlobMap::save_to_writer(ImageSink& sink, int& error) const {
  ImageWriter w(sink, ImageWriter::make_buffer());
  return write_image(*this, w, error);
}

std::optional<u64> CorvaleBlobMap::save_to_file(std::string_view path, SaveError& error,
                                                const file::Caller& caller) const {
  // Whatever may run out of memory is taken before a file is made or
  // opened: a save that fails for want of memory leaves everything as it
  // was. Writing the image allocates nothing.
  error.image_in_place = false;
  const std::optional<std::string> p = c_path(path);
  if (!p) {
    error.text = "file name contained an unexpected NUL byte";
    return std::nullopt;
  }
  std::unique_ptr<u8[]> buffer = ImageWriter::make_buffer();
  file::SaveTarget target(caller);
  int code = target.open(*p);
  std::optional<u64> total;
  if (code == 0) {
    FdSink sink(target.fd(), caller.stop);
    ImageWriter w(sink, std::move(buffer));
    total = write_image(*this, w, code);
    // A write error that only shows at the flush or the close (a full or
    // remote file system) is an error as well: the image is not known to
    // be complete.
    if (code == 0) {
      const file::Commit done = target.commit();
      code = done.error;
      error.image_in_place = done.in_place;
    }
  }
  if (code != 0) {
    error.text = io_error_text(code);
    return std::nullopt;
  }
  return total;
}

// ---------------------------------------------------------------------------
// Image loader

// The bytes of an image, in memory or in a file read by offset. A file is
// read through a window of kWindow bytes, except pieces of kDirect bytes or
// more, which go straight to their destination. The caller asks only for
// bytes inside `size()`; a file that cannot deliver them (a read error, or a
// file that shrank) makes the call fail. A file's window is taken when its
// reader is made, after the file is opened and before anything is read or
// allocated: no memory for it throws std::bad_alloc, which a caller can
// tell from a damaged file.
class ImageReader {
 public:
  static constexpr u64 kWindow = u64{1} << 20;
  static constexpr u64 kDirect = u64{64} << 10;

  explicit ImageReader(std::span<const u8> image) noexcept
      : in_memory_(true), mem_(image.data()), size_(image.size()) {}
  ImageReader(int fd, u64 size, file::Interrupted stop)
      : fd_(fd), stop_(stop), size_(size), window_(take_window()) {}

  [[nodiscard]] u64 size() const noexcept { return size_; }
  [[nodiscard]] u64 bytes_read() const noexcept { return read_; }
  // The errno value of the read that failed (EINTR: stopped), or 0.
  [[nodiscard]] int error() const noexcept { return error_; }

  // The n <= kWindow bytes at `off`, valid until the next call, or null. A
  // window is filled from `off` on with up to kWindow bytes when `ahead`,
  // else with exactly n.
  [[nodiscard]] const u8* view(u64 off, u64 n, bool ahead) noexcept {
    CORVALE_ASSERT(n <= kWindow && off <= size_ && n <= size_ - off);
    if (in_memory_) return mem_ + off;
    if (in_window(off, n)) return window_.get() + (off - win_off_);
    const u64 want = ahead ? std::min(kWindow, size_ - off) : n;
    win_len_ = 0;
    if (!read_at(off, window_.get(), want)) return nullptr;
    win_off_ = off;
    win_len_ = want;
    return window_.get();
  }

  // Copies the n bytes at `off` to `dst`.
  [[nodiscard]] bool copy(u64 off, u8* dst, u64 n) noexcept {
    CORVALE_ASSERT(off <= size_ && n <= size_ - off);
    if (in_memory_) {
      if (n != 0) std::memcpy(dst, mem_ + off, n);
      return true;
    }
    if (n >= kDirect && !in_window(off, n)) return read_at(off, dst, n);
    const u8* p = view(off, n, true);
    if (p == nullptr) return false;
    if (n != 0) std::memcpy(dst, p, n);
    return true;
  }

 private:
  [[nodiscard]] static std::unique_ptr<u8[]> take_window() {
    if (file::step_fails()) throw std::bad_alloc();
    return std::unique_ptr<u8[]>(new u8[kWindow]);
  }
  [[nodiscard]] bool in_window(u64 off, u64 n) const noexcept {
    return off >= win_off_ && n <= win_len_ && off - win_off_ <= win_len_ - n;
  }
  bool read_at(u64 off, u8* dst, u64 n) noexcept {
    while (n > 0) {
      if (file::stopped(stop_)) {
        error_ = EINTR;
        return false;
      }
      const ssize_t r = file::step(
          [&] { return ::pread(fd_, dst, std::min<u64>(n, file::kPiece), static_cast<off_t>(off)); }, stop_);
      if (r < 0) error_ = errno;
      if (r <= 0) return false;  // a read error, or the file shrank
      read_ += static_cast<u64>(r);
      dst += r;
      off += static_cast<u64>(r);
      n -= static_cast<u64>(r);
    }
    return true;
  }

  bool in_memory_ = false;
  const u8* mem_ = nullptr;
  int fd_ = -1;
  file::Interrupted stop_ = nullptr;
  u64 size_;
  u64 read_ = 0;
  int error_ = 0;
  std::unique_ptr<u8[]> window_;
  u64 win_off_ = 0;
  u64 win_len_ = 0;
};

namespace {

u64 read_u64(const u8* p) noexcept {
  u64 v;
  std::memcpy(&v, p, 8);
  return v;
}
u32 read_u32(const u8* p) noexcept {
  u32 v;
  std::memcpy(&v, p, 4);
  return v;
}

struct ImageHeader {
  u64 entry_count, index_offset, arena_offset, total_size, chunk_size, chunk_count;
};

// Every header check, in order, on the first 64 bytes of an image of length
// L; nothing when one fails.
std::optional<ImageHeader> check_header(const u8* b, u64 L) noexcept {
  if (std::memcmp(b, IMAGE_MAGIC, 8) != 0 || read_u32(b + 8) != IMAGE_VERSION) return std::nullopt;
  const ImageHeader h{read_u64(b + 16), read_u64(b + 24), read_u64(b + 32),
                      read_u64(b + 40), read_u64(b + 48), read_u64(b + 56)};
  if (h.total_size > L || h.total_size < IMAGE_HEADER_SIZE) return std::nullopt;
  if (h.chunk_size < MIN_CHUNK_SIZE || h.chunk_size > MAX_CHUNK_SIZE) return std::nullopt;
  if (h.chunk_count > MAX_ARENA_CHUNKS || h.chunk_size % RECORD_ALIGN != 0) return std::nullopt;
  // Both factors are bounded above (2^16 and 2^30): the product cannot overflow.
  if (h.chunk_count * h.chunk_size > ARENA_CEILING) return std::nullopt;
  if (h.chunk_count > L / CHUNK_RECORD_HEADER || h.entry_count > L / INDEX_RECORD_SIZE) return std::nullopt;
  if (h.index_offset > L || h.arena_offset > L) return std::nullopt;
  return h;
}

// Chunk records from h.arena_offset into `arena`; their bytes are read only
// when `fill` is set.
MaybeError load_chunks(ImageReader& r, const ImageHeader& h, BlobArena& arena, bool fill) {
  const u64 L = r.size();
  u64 p = h.arena_offset;  // <= L, so p + 24 and p + 24 + used (<= 2^30) cannot overflow
  for (u64 i = 0; i < h.chunk_count; ++i) {
    if (p > L || CHUNK_RECORD_HEADER > L - p) return ArenaError::CorruptHeader;
    // Small chunks come through the window, together with the records
    // after them; when no chunk bytes are to be read, headers come alone.
    const u8* rec = r.view(p, CHUNK_RECORD_HEADER, fill && h.chunk_size < ImageReader::kDirect);
    if (rec == nullptr) return ArenaError::CorruptHeader;
    const u64 capacity = read_u64(rec);
    const u64 used = read_u64(rec + 8);
    const u32 generation = read_u32(rec + 16);
    if (used > capacity || capacity != h.chunk_size) return ArenaError::CorruptHeader;
    if (used > L - p - CHUNK_RECORD_HEADER) return ArenaError::CorruptHeader;
    Outcome<ArenaChunk> chunk = ArenaChunk::allocate(h.chunk_size, fill ? used : 0, generation);
    if (!chunk.ok()) return chunk.error();
    if (fill && !r.copy(p + CHUNK_RECORD_HEADER, chunk.value().data.get(), used)) return ArenaError::CorruptHeader;
    arena.push_chunk(std::move(chunk.value()));
    p += CHUNK_RECORD_HEADER + round_up16(used);  // may pass L: the next record then fails
  }
  if (!arena.chunks().empty()) arena.set_generation(arena.chunks().back().generation);
  return std::nullopt;
}

// Every record is counted as it is read and a replaced one subtracted as it
// goes, so the total never drops below what was subtracted: adding up the
// sizes of all the records read first, in any order, gives the same sum.
// The slots name records all over the arena in key order; rather than check
// them in that order, the loader marks each referenced record start in a
// bitmap (one bit per 16 bytes of arena) and then follows every chunk's
// chain of records from its start (each record ends where the next begins,
// at the next multiple of 16), checking the marked ones on the way, in
// address order. A start named twice, and one the chain does not reach (a
// foreign or damaged chunk), is checked on its own.
class LiveCounter {
 public:
  // Sized for `arena` before any slot is marked; it must then stay the same.
  explicit LiveCounter(const BlobArena& arena)
      : end16_(arena.total_allocated() / RECORD_ALIGN), marks_((end16_ + 63) / 64, 0) {}

  // A slot read from the index.
  void mark(ValueSlot s, const BlobArena& arena) {
    if (!s.is_arena_ref() || s.offset16() >= end16_) return;  // resolves nowhere
    u64& word = marks_[s.offset16() / 64];
    const u64 bit = u64{1} << (s.offset16() % 64);
    if (word & bit) {
      live_ += size_at(arena, s.offset16());
    } else {
      word |= bit;
      ++marked_;
    }
  }

  [[nodiscard]] u64 total(const BlobArena& arena) {
    const u64 per_chunk = arena.chunk_size() / RECORD_ALIGN;
    for (u64 i = 0; i < arena.chunks().size() && marked_ != 0; ++i) {
      const ArenaChunk& c = arena.chunks()[i];
      for (u64 r = 0; r + RECORD_HEADER <= c.used && marked_ != 0;) {
        const u64 unit = i * per_chunk + r / RECORD_ALIGN;
        const RecordHeader h = RecordHeader::read(c.data.get() + r);
        u64& word = marks_[unit / 64];
        const u64 bit = u64{1} << (unit % 64);
        if (word & bit) {
          word &= ~bit;
          --marked_;
          if (record_passes(c, r, h)) live_ += h.payload_len + RECORD_HEADER;
        }
        r = round_up16(r + RECORD_HEADER + h.payload_len);
      }
    }
    for (u64 w = 0; w < marks_.size() && marked_ != 0; ++w)
      for (u64 bits = marks_[w]; bits != 0; bits &= bits - 1) {
        live_ += size_at(arena, static_cast<u32>(w * 64 + static_cast<u64>(std::countr_zero(bits))));
        --marked_;
      }
    return live_;
  }

 private:
  [[nodiscard]] static u64 size_at(const BlobArena& arena, u32 offset16) noexcept {
    const std::optional<std::span<const u8>> payload = arena.resolve(offset16);
    return payload ? payload->size() + RECORD_HEADER : 0;
  }

  u64 end16_;
  std::vector<u64> marks_;
  u64 marked_ = 0;  // marks not yet checked
  u64 live_ = 0;
};

}  // namespace

MaybeError CorvaleBlobMap::from_bytes_slice(std::span<const u8> image, CorvaleBlobMap& into) {
  ImageReader reader(image);
  return load(reader, into);
}

MaybeError CorvaleBlobMap::from_file(std::string_view path, CorvaleBlobMap& into, FileRead* read,
                                     const file::Caller& caller) {
  FileRead unasked;
  FileRead& out = read != nullptr ? *read : unasked;
  out = FileRead{};
  const auto unreadable = [&out](int e) {
    out.os_error = e;
    return ArenaError::CorruptHeader;
  };
  const std::optional<std::string> p = c_path(path);
  if (!p) return ArenaError::CorruptHeader;
  const file::CallInProgress call;
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused
  // below as not a regular file.
  file::HeldFile file;
  if (const int e = file.open(AT_FDCWD, p->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0, file::Use::read, caller))
    return unreadable(e);
  if (!file.regular()) return unreadable(S_ISDIR(file.status().st_mode) ? EISDIR : ESPIPE);
  // A shared lock while it reads, so that a save writing the file in place
  // (which holds an exclusive one) is waited for; the size is taken once
  // the lock is held.
  if (const int e = file.lock(caller)) return unreadable(e);
  struct stat locked {};
  if (file::step([&] { return ::fstat(file.fd(), &locked); }, caller.stop) != 0) return unreadable(errno);
  if (locked.st_size < 0) return ArenaError::CorruptHeader;
  ImageReader reader(file.fd(), static_cast<u64>(locked.st_size), caller.stop);  // may throw std::bad_alloc
  const MaybeError e = load(reader, into);
  out.bytes = reader.bytes_read();
  out.os_error = reader.error();
  return e;
}

MaybeError CorvaleBlobMap::load(ImageReader& r, CorvaleBlobMap& into) {
  CORVALE_ASSERT(into.index_.is_empty() && into.arena_.chunks().empty());
  const u64 L = r.size();
  if (L < IMAGE_HEADER_SIZE) return ArenaError::CorruptHeader;
  // The header alone, or the whole image when it fits in the read window.
  const u8* head = r.view(0, IMAGE_HEADER_SIZE, L <= ImageReader::kWindow);
  if (head == nullptr) return ArenaError::CorruptHeader;
  const std::optional<ImageHeader> h = check_header(head, L);
  if (!h) return ArenaError::CorruptHeader;
  // Records are read in order, so an index that runs past the end fails
  // only after every chunk record: those are checked and allocated as they
  // would be, but their bytes are not read for nothing.
  const bool index_fits = h->entry_count <= (L - h->index_offset) / INDEX_RECORD_SIZE;
  BlobArena arena(h->chunk_size);
  if (const MaybeError e = load_chunks(r, *h, arena, index_fits)) return e;
  if (!index_fits) return ArenaError::CorruptHeader;
  LiveCounter live(arena);
  into.arena_ = std::move(arena);

  // Index records, a window's worth at a time. While the keys ascend, each
  // is appended by the ascending inserter; from the first key that does not,
  // by ordinary insertion, where a key met again replaces its earlier slot,
  // whose record then no longer counts as live.
  map::AscendingInserter ascending(into.index_);
  u64 replaced = 0;  // sizes of the records of replaced slots
  bool in_order = true;
  u64 last = 0;
  u64 q = h->index_offset;
  for (u64 left = h->entry_count; left > 0;) {
    const u64 n = std::min(left, ImageReader::kWindow / INDEX_RECORD_SIZE);
    const u8* block = r.view(q, n * INDEX_RECORD_SIZE, true);
    if (block == nullptr) {
      ascending.finish();
      into.clear();
      into.arena_ = BlobArena();
      return ArenaError::CorruptHeader;
    }
    for (u64 i = 0; i < n; ++i) {
      const u8* rec = block + i * INDEX_RECORD_SIZE;
      const u64 key = read_u64(rec);
      const ValueSlot s(read_u64(rec + 8));
      live.mark(s, into.arena_);
      if (in_order && (key > last || into.index_.is_empty())) {
        ascending.push(key, s.raw());
        last = key;
      } else {
        if (in_order) {
          ascending.finish();
          in_order = false;
        }
        // A key met again: only its later slot is referenced.
        if (const std::optional<u64> old = into.index_.insert(key, s.raw()))
          if (const std::optional<u64> size = into.record_size(ValueSlot(*old))) replaced += *size;
      }
    }
    q += n * INDEX_RECORD_SIZE;
    left -= n;
  }
  into.arena_.add_live(live.total(into.arena_));
  into.arena_.sub_live(replaced);
  return std::nullopt;
}

}  // namespace corvale_trie::blobmap
