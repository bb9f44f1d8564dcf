// The bytes map's point operations over its index and bucket blocks.
#include "engine/bytesmap.hpp"

#include <algorithm>
#include <cstdlib>
#include <unordered_set>

#include "engine/random.hpp"

namespace corvale_trie::bytesmap {

namespace {

// Bucket blocks come from the C heap; exhausting it ends the process.
char* block_realloc(char* block, u64 bytes) {
  void* p = std::realloc(block, bytes);
  if (p == nullptr) [[unlikely]]
    panic_fmt(CORVALE_HERE, "memory allocation of %llu bytes failed", static_cast<unsigned long long>(bytes));
  return static_cast<char*>(p);
}

// A new bucket holding one entry, in a block exactly that long.
Bucket new_bucket(std::string_view key, u64 value) {
  const u64 size = EntryRef::HEAD + key.size();
  Bucket b = Bucket::of_block(block_realloc(nullptr, 8 + size));
  b.set_header(BucketHeader(size, 0));
  EntryRef::write(b.begin(), key, value);
  return b;
}

// Appends an entry at the end of the bucket, growing its room to the next
// power of two when it does not fit; returns the (possibly moved) bucket.
Bucket append(Bucket b, std::string_view key, u64 value) {
  const BucketHeader h = b.header();
  const u64 used = h.used() + EntryRef::HEAD + key.size();
  unsigned cls = h.capacity_class();
  if (used > h.capacity()) {
    const u64 room = std::bit_ceil(used);
    cls = static_cast<unsigned>(std::countr_zero(room));
    b = Bucket::of_block(block_realloc(b.block(), 8 + room));
  }
  EntryRef::write(b.end(), key, value);
  b.set_header(BucketHeader(used, cls));
  return b;
}

// Takes the entry at `at` out of a bucket of two or more entries: the
// bucket's last entry moves into its place. The room stays.
void erase(Bucket b, char* at) {
  const BucketHeader h = b.header();
  char* const end = b.end();
  const u64 gone = EntryRef(at).size();
  char* last = at;
  while (EntryRef(last).end() != end) last = EntryRef(last).end();
  if (last != at) {
    // [at][middle][last] -> [middle][last] -> [last][middle]
    std::memmove(at, at + gone, static_cast<std::size_t>(end - (at + gone)));
    std::rotate(at, last - gone, end - gone);
  }
  b.set_header(BucketHeader(h.used() - gone, h.capacity_class()));
}

void release(Bucket b) noexcept { std::free(b.block()); }

}  // namespace

HashKey next_thread_hash_key() noexcept {
  struct Cell {
    u64 k0 = 0;
    u64 k1 = 0;
    bool filled = false;
  };
  static thread_local Cell cell;
  if (!cell.filled) {
    unsigned char bytes[16];
    os_random_bytes(bytes, sizeof bytes);
    std::memcpy(&cell.k0, bytes, 8);
    std::memcpy(&cell.k1, bytes + 8, 8);
    cell.filled = true;
  }
  const HashKey key{cell.k0, cell.k1};
  cell.k0 += 1;
  return key;
}

CorvaleBytesMap::CorvaleBytesMap() : CorvaleBytesMap(next_thread_hash_key()) {}

CorvaleBytesMap::CorvaleBytesMap(HashKey key, u64 hash_mask) noexcept : key_(key), hash_mask_(hash_mask) {}

CorvaleBytesMap::~CorvaleBytesMap() { clear(); }

std::optional<u64> CorvaleBytesMap::get(std::string_view key) const {
  const u64* slot = index_.locate_slot(hash(key));
  if (slot == nullptr || *slot == 0) return std::nullopt;
  if (char* e = Bucket::at(*slot).find(key)) return EntryRef(e).value();
  return std::nullopt;
}

// One hash and one index walk: the keep-existing insertion hands back the
// hash's value word, 0 when the hash is new.
std::optional<u64> CorvaleBytesMap::insert(std::string_view key, u64 value) {
  u64* slot = index_.insert_keep(hash(key), 0).slot;
  CORVALE_EXPECT(slot != nullptr, "just-ensured key");
  if (*slot == 0) {
    *slot = new_bucket(key, value).address();
    bucket_bytes_ += BUCKET_CHARGE + ENTRY_CHARGE + key.size();
    ++len_;
    return std::nullopt;
  }
  const Bucket b = Bucket::at(*slot);
  if (char* e = b.find(key)) {
    const EntryRef entry(e);
    const u64 old = entry.value();
    entry.set_value(value);
    return old;
  }
  *slot = append(b, key, value).address();
  bucket_bytes_ += ENTRY_CHARGE + key.size();
  ++len_;
  return std::nullopt;
}

std::optional<u64> CorvaleBytesMap::remove(std::string_view key) {
  const u64 h = hash(key);
  const u64* slot = index_.locate_slot(h);
  if (slot == nullptr || *slot == 0) return std::nullopt;
  const Bucket b = Bucket::at(*slot);
  char* e = b.find(key);
  if (e == nullptr) return std::nullopt;
  const EntryRef entry(e);
  const u64 value = entry.value();
  --len_;
  bucket_bytes_ -= ENTRY_CHARGE + key.size();
  if (entry.size() == b.header().used()) {
    (void)index_.remove(h);
    release(b);
    bucket_bytes_ -= BUCKET_CHARGE;
  } else {
    erase(b, e);
  }
  return value;
}

// The cursor reads only the index, so each bucket is released as it is met.
void CorvaleBytesMap::clear() {
  for_each_bucket([](u64, Bucket b) { release(b); });
  index_.clear();
  len_ = 0;
  bucket_bytes_ = 0;
}

const char* CorvaleBytesMap::check_invariants() const {
  u64 entries = 0;
  u64 bytes = 0;
  const char* bad = nullptr;
  for_each_bucket([&](u64 h, Bucket b) {
    if (bad != nullptr) return;
    if (b.block() == nullptr) {
      bad = "every hash maps to a bucket";
      return;
    }
    const BucketHeader header = b.header();
    if (header.used() == 0) bad = "every bucket holds an entry";
    if (header.used() > header.capacity()) bad = "a bucket's entries fit its room";
    std::unordered_set<std::string_view> seen;
    (void)b.find_if([&](const EntryRef& e) {
      if (e.end() > b.end()) bad = "entries end at the bucket's end";
      else if (hash(e.key()) != h) bad = "every key has its bucket's hash";
      else if (!seen.insert(e.key()).second) bad = "no key twice in a bucket";
      ++entries;
      bytes += ENTRY_CHARGE + e.key_len();
      return bad != nullptr;
    });
    bytes += BUCKET_CHARGE;
  });
  if (bad != nullptr) return bad;
  if (entries != len_) return "len counts the entries";
  if (bytes != bucket_bytes_) return "bucket_bytes follows the accounting rule";
  return nullptr;
}

}  // namespace corvale_trie::bytesmap
