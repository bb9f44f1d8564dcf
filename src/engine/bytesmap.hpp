// corvale_trie engine: the unordered map from arbitrary byte strings to u64.
//
// `CorvaleBytesMap` has no trie code of its own. It keys a core map, its
// `index`, by the 64-bit keyed hash of each key (SipHash-1-3 of the key's
// length and bytes, siphash.hpp), and the index's value for a hash is the
// address of that hash's `Bucket`: one heap block holding the map's own copy
// of every key with that hash, each beside its value. Key equality is settled
// inside the bucket, so keys whose hashes collide live side by side; there
// is no table, no probing, no rehashing and no limit on a bucket's size.
//
// Bucket block (one allocation per distinct hash present):
//
//   bytes 0..7   BucketHeader: the bytes of entries in use (low 56 bits) and
//                the capacity class (high 8 bits): 0 while the bucket has
//                only ever held its first entry (the block is exactly that
//                entry long), c > 0 for room of 2^c entry bytes
//   bytes 8..    the entries, back to back, in the bucket's order:
//                  value    u64
//                  length   u64, the key's length in bytes
//                  key      `length` bytes (none for the empty key)
//
// Entries are read and written with memcpy: after the first one they stand
// at any byte offset. Nearly every bucket holds one entry, so a lookup costs
// the hash, one index walk and one block whose header, length, key and value
// share a cache line or two; the block pays one allocation header and no
// spare room. A second entry (a collision) grows the block to a power of two;
// the room never shrinks while the bucket lives.
//
// Order: the map's order is the index's (ascending hash) and, within one
// bucket, the order in which its keys were first inserted, except that a
// removal moves the bucket's last entry into the removed entry's place.
// Replacing the value of a present key does not move it.
//
// Memory accounting (`bucket_bytes`), independent of the block layout: 24
// bytes per bucket plus, per entry, its key length + 24. `mem_used` is that
// plus the index allocator's `mem_used`. Spare room and allocator overhead
// are not charged.
//
// Invariants between complete operations (checked by `check_invariants`):
//  - every hash in `index` maps to a non-zero bucket address, and that bucket
//    holds at least one entry;
//  - every entry of a bucket has a key with the bucket's hash, and no two
//    entries of one bucket have equal keys;
//  - `len` is the number of entries over all buckets; the index holds one
//    key per bucket; `bucket_bytes` follows the rule above.
//
// Hash keys: each thread keeps one key pair, drawn from the operating
// system's random source the first time the thread needs one (bytes 0..7
// little-endian give k0, bytes 8..15 k1). Each new map takes the thread's
// current pair, and the thread's k0 then grows by 1 (wrapping). A map keeps
// its pair for its life; `clear` keeps it too.
//
// Allocation failure ends the process. The map is used by one thread at a
// time; its owner serialises the calls (the Python object's borrow flag).
#pragma once

#include <bit>
#include <cstring>
#include <optional>
#include <string_view>

#include "engine/iter.hpp"
#include "engine/map.hpp"
#include "engine/siphash.hpp"

namespace corvale_trie::bytesmap {

inline constexpr u64 BUCKET_CHARGE = 24;  // accounted per bucket
inline constexpr u64 ENTRY_CHARGE = 24;   // accounted per entry, besides its key

// The first word of a bucket block.
class BucketHeader {
 public:
  static constexpr unsigned CLASS_SHIFT = 56;
  static constexpr u64 USED_MASK = (u64{1} << CLASS_SHIFT) - 1;

  constexpr BucketHeader(u64 used, unsigned capacity_class) noexcept
      : word_(used | (u64{capacity_class} << CLASS_SHIFT)) {
    CORVALE_ASSERT(used <= USED_MASK && capacity_class < 64);
  }

  // Bytes of entries in use.
  [[nodiscard]] constexpr u64 used() const noexcept { return word_ & USED_MASK; }
  [[nodiscard]] constexpr unsigned capacity_class() const noexcept {
    return static_cast<unsigned>(word_ >> CLASS_SHIFT);
  }
  // Bytes of room for entries.
  [[nodiscard]] constexpr u64 capacity() const noexcept {
    return capacity_class() == 0 ? used() : u64{1} << capacity_class();
  }

 private:
  u64 word_;
};
static_assert(sizeof(BucketHeader) == 8);

// One entry of a bucket, read in place.
class EntryRef {
 public:
  static constexpr u64 HEAD = 16;  // value and length words

  explicit EntryRef(char* at) noexcept : p_(at) {}

  [[nodiscard]] u64 value() const noexcept { return load(0); }
  void set_value(u64 v) const noexcept { std::memcpy(p_, &v, 8); }
  [[nodiscard]] u64 key_len() const noexcept { return load(8); }
  [[nodiscard]] std::string_view key() const noexcept { return {p_ + HEAD, key_len()}; }
  [[nodiscard]] u64 size() const noexcept { return HEAD + key_len(); }
  [[nodiscard]] char* start() const noexcept { return p_; }
  [[nodiscard]] char* end() const noexcept { return p_ + size(); }

  // Writes an entry at `at`.
  static void write(char* at, std::string_view key, u64 value) noexcept {
    const u64 len = key.size();
    std::memcpy(at, &value, 8);
    std::memcpy(at + 8, &len, 8);
    if (len != 0) std::memcpy(at + HEAD, key.data(), len);
  }

 private:
  [[nodiscard]] u64 load(unsigned offset) const noexcept {
    u64 v;
    std::memcpy(&v, p_ + offset, 8);
    return v;
  }

  char* p_;
};

// A bucket block seen through its address (the index value).
class Bucket {
 public:
  [[nodiscard]] static Bucket at(u64 address) noexcept {
    return Bucket(reinterpret_cast<char*>(static_cast<std::uintptr_t>(address)));
  }
  [[nodiscard]] static Bucket of_block(char* block) noexcept { return Bucket(block); }
  [[nodiscard]] char* block() const noexcept { return block_; }
  [[nodiscard]] u64 address() const noexcept {
    return static_cast<u64>(reinterpret_cast<std::uintptr_t>(block_));
  }

  [[nodiscard]] BucketHeader header() const noexcept {
    BucketHeader h(0, 0);
    std::memcpy(&h, block_, 8);
    return h;
  }
  void set_header(BucketHeader h) const noexcept { std::memcpy(block_, &h, 8); }
  [[nodiscard]] char* begin() const noexcept { return block_ + 8; }
  [[nodiscard]] char* end() const noexcept { return begin() + header().used(); }

  // Calls fn(EntryRef) for each entry in the bucket's order; stops at the
  // first call that returns true and hands back that entry's start.
  template <class F>
  char* find_if(F&& fn) const {
    char* const stop = end();
    for (char* p = begin(); p < stop;) {
      const EntryRef e(p);
      if (fn(e)) return p;
      p = e.end();
    }
    return nullptr;
  }

  // The entry whose key equals `key`, or null.
  [[nodiscard]] char* find(std::string_view key) const {
    return find_if([key](const EntryRef& e) {
      return e.key_len() == key.size() &&
             (key.empty() || std::memcmp(e.key().data(), key.data(), key.size()) == 0);
    });
  }

 private:
  explicit Bucket(char* block) noexcept : block_(block) {}
  char* block_;
};

class CorvaleBytesMap {
 public:
  // An empty map under the calling thread's next hash key pair.
  CorvaleBytesMap();
  // An empty map under `key`. `hash_mask` is a test hook: every hash is
  // ANDed with it (all ones outside tests), so that a test can make keys
  // collide at will.
  explicit CorvaleBytesMap(HashKey key, u64 hash_mask = ~u64{0}) noexcept;
  CorvaleBytesMap(const CorvaleBytesMap&) = delete;
  CorvaleBytesMap& operator=(const CorvaleBytesMap&) = delete;
  ~CorvaleBytesMap();

  [[nodiscard]] std::optional<u64> get(std::string_view key) const;
  // The previous value of a present key (which keeps its place), or nothing
  // for a new key, appended to its bucket.
  std::optional<u64> insert(std::string_view key, u64 value);
  std::optional<u64> remove(std::string_view key);
  // Releases every bucket and the index; the hash key pair stays.
  void clear();

  // Calls fn(key bytes, value) for every entry in the map's order. The map
  // must not change during the walk.
  template <class F>
  void for_each(F&& fn) const {
    for_each_bucket([&fn](u64, Bucket b) {
      (void)b.find_if([&fn](const EntryRef& e) {
        fn(e.key(), e.value());
        return false;
      });
    });
  }

  // Calls fn(hash, bucket) for every bucket in ascending hash order. The
  // buckets lie anywhere in the heap: each group of the walk is fetched
  // ahead before it is visited, so that their cache misses overlap.
  template <class F>
  void for_each_bucket(F&& fn) const {
    constexpr unsigned GROUP = 16;
    auto cursor = index_.iter();
    KeyValue group[GROUP];
    for (unsigned n = GROUP; n == GROUP;) {
      for (n = 0; n < GROUP; ++n) {
        const std::optional<KeyValue> kv = cursor.next();
        if (!kv) break;
        group[n] = *kv;
        __builtin_prefetch(Bucket::at(kv->value).block());
      }
      for (unsigned i = 0; i < n; ++i) fn(group[i].key, Bucket::at(group[i].value));
    }
  }

  [[nodiscard]] u64 len() const noexcept { return len_; }
  [[nodiscard]] u64 bucket_bytes() const noexcept { return bucket_bytes_; }
  [[nodiscard]] u64 mem_used() const noexcept { return index_.mem_used() + bucket_bytes_; }
  // Sum of the key lengths over all entries (read off the accounting).
  [[nodiscard]] u64 key_bytes() const noexcept {
    return bucket_bytes_ - BUCKET_CHARGE * index_.len() - ENTRY_CHARGE * len_;
  }
  [[nodiscard]] HashKey hash_key() const noexcept { return key_; }
  [[nodiscard]] u64 hash(std::string_view key) const noexcept { return key_hash(key_, key) & hash_mask_; }
  // The test hook of the constructor, on an empty map.
  void set_hash_mask(u64 mask) noexcept {
    CORVALE_ASSERT(len_ == 0);
    hash_mask_ = mask;
  }
  [[nodiscard]] const map::CorvaleMap& index() const noexcept { return index_; }

  // The first broken invariant of the header's list, or null (for tests).
  [[nodiscard]] const char* check_invariants() const;

 private:
  map::CorvaleMap index_;
  HashKey key_;
  u64 hash_mask_;
  u64 len_ = 0;
  u64 bucket_bytes_ = 0;
};

// The calling thread's current key pair; the thread's k0 then grows by 1.
// The first call on a thread draws the pair from the operating system.
[[nodiscard]] HashKey next_thread_hash_key() noexcept;

}  // namespace corvale_trie::bytesmap
