// corvale_trie engine: the sorted string map.
//
// `CorvaleStrMap` maps byte strings free of NUL bytes to u64 values, in
// byte-lexicographic order. It is a tree of integer maps: every level is a
// `StrNode`, which is one core `CorvaleMap` (with its own NodeAlloc) keyed by
// 8-byte key words.
//
// Key words. A key is read from its start in steps of 8 bytes. The word at
// byte offset p is the next min(8, n - p) bytes copied into a zeroed 8-byte
// buffer and read big-endian, so that unsigned order of words is the byte
// order of their bytes.
//   full word      taken while 8 or more bytes remain: no byte of it is 0
//   terminal word  taken when 0..7 bytes remain: the bytes fill its most
//                  significant end, at least its lowest byte is 0; the key
//                  that ends exactly at a word boundary has terminal word 0
// Since no key byte is 0, a word holds a zero byte exactly when it is
// terminal; nothing else tells the two kinds apart. The padding 0 sorts below
// every key byte, so within a node a terminal word sorts before every full
// word that begins with its bytes: an in-order walk of the tree yields the
// keys in byte-lexicographic order.
//
// Entries of a node:
//   terminal word  the user's value
//   full word      a reference with a tail bit (bit 0):
//                    0  the address of a child StrNode, owned by the entry
//                    1  the address (bit cleared) of a StrTail, owned by it
// A StrTail holds the whole rest of exactly one key after its full word (the
// suffix, possibly empty) and that key's value. A tail hangs at a (node,
// word) through which no other key passes; a second key through that word
// splits it (the tail's suffix, past its first word, is copied into a new
// tail in the new node): the word then leads to a new node that holds both
// continuations (two keys sharing k full words from there hang through a
// chain of k nodes, the first k - 1 with one entry each). Removal never
// re-compresses: it only removes the key's own entry and releases the nodes
// it leaves empty, deepest first, the root included.
//
// Storing a key again writes the value field of its tail record (or its
// terminal word's value) in place.
//
// Invariants: every node holds at least one entry; `len` is the number of
// keys; the root is absent exactly when the map is empty.
//
// Memory. Each node's block comes from the general-purpose allocator, its
// integer-map storage from its own NodeAlloc. A tail record and its suffix
// bytes share one block of the map's `TailArena`: blocks of 24 + suffix
// bytes rounded up to 8, carved from the map's chunks with one free list per
// block size (larger records come from the system). The arena keeps no
// counter that `mem_used` reads: the map's heap bytes are computed by a walk
// (`subtree_bytes`) that counts each node as NODE_RECORD_BYTES plus its map's
// `mem_used`, and each tail as TAIL_RECORD_BYTES plus its suffix length.
//
// No operation recurses: point operations loop over the key words, removal
// keeps an explicit path, navigation explicit path stacks, teardown,
// accounting and the in-order cursor explicit stacks of nodes. Keys of any
// length and trees of any depth run on the default thread stack.
//
// The map is single-threaded; its nodes' integer maps are in private mode.
// Keys handed to it must be NUL-free: the caller checks (a NUL byte would
// make a full word look terminal).
#pragma once

#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/iter.hpp"
#include "engine/map.hpp"
#include "engine/types.hpp"

namespace corvale_trie::strmap {

// Accounted bytes of one node record and of one tail record (without its
// suffix), as `mem_used` reports them. The node figure is a fixed part of
// the accounting; a node's record (an integer map and its allocator) must
// not be larger.
inline constexpr u64 NODE_RECORD_BYTES = 696;
inline constexpr u64 TAIL_RECORD_BYTES = 24;
inline constexpr u64 TAIL_BIT = 1;
inline constexpr u64 WORD_BYTES = 8;

// ---------------------------------------------------------------------------
// Key words

// The key word of the `n` bytes at `p` (n <= 8): zero-padded, big-endian.
[[nodiscard]] inline u64 key_word(const u8* p, u64 n) noexcept {
  if (n == 0) return 0;  // the empty rest (p may be null then)
  u8 buf[8] = {};
  std::memcpy(buf, p, n < WORD_BYTES ? n : WORD_BYTES);
  u64 w;
  std::memcpy(&w, buf, 8);
  return __builtin_bswap64(w);
}

// The key word of `key` at byte offset `at` (at <= key.size()).
[[nodiscard]] inline u64 word_at(std::string_view key, u64 at) noexcept {
  return key_word(reinterpret_cast<const u8*>(key.data()) + at, key.size() - at);
}

// A full word has no zero byte.
[[nodiscard]] constexpr bool is_full_word(u64 w) noexcept {
  constexpr u64 kLow = 0x0101010101010101ULL;
  constexpr u64 kHigh = 0x8080808080808080ULL;
  return ((w - kLow) & ~w & kHigh) == 0;
}

// Key bytes held by a terminal word: its leading non-zero bytes (the key
// bytes are non-zero and the padding zeros sit at its low end).
[[nodiscard]] constexpr u64 terminal_length(u64 w) noexcept {
  return w == 0 ? 0 : WORD_BYTES - static_cast<u64>(std::countr_zero(w)) / 8;
}

// Appends the bytes of a word in key order: `n` of them (8 for a full word,
// terminal_length for a terminal one).
inline void append_word(std::string& out, u64 w, u64 n) {
  const u64 be = __builtin_bswap64(w);
  char buf[8];
  std::memcpy(buf, &be, 8);
  out.append(buf, n);
}

// ---------------------------------------------------------------------------
// Records

// The rest of one key after its full word, and that key's value. The suffix
// bytes follow the record in the same block; `suffix` points at them (and
// is never read when `suffix_len` is 0).
struct StrTail {
  const u8* suffix;
  u64 suffix_len;
  u64 value;

  [[nodiscard]] std::string_view rest() const noexcept {
    return {reinterpret_cast<const char*>(suffix), suffix_len};
  }
};
static_assert(sizeof(StrTail) == TAIL_RECORD_BYTES);

// One level of the tree: an integer map from key words to entries.
struct StrNode {
  map::CorvaleMap map;

  [[nodiscard]] bool empty() const noexcept { return map.is_empty(); }
};
static_assert(sizeof(StrNode) <= NODE_RECORD_BYTES, "a node costs no more than it is accounted for");

// What a full word's entry refers to.
[[nodiscard]] constexpr bool is_tail_ref(u64 ref) noexcept { return (ref & TAIL_BIT) != 0; }
[[nodiscard]] inline StrTail* tail_of(u64 ref) noexcept {
  return reinterpret_cast<StrTail*>(ref & ~TAIL_BIT);
}
[[nodiscard]] inline StrNode* child_of(u64 ref) noexcept { return reinterpret_cast<StrNode*>(ref); }
[[nodiscard]] inline u64 tail_ref(StrTail* t) noexcept { return reinterpret_cast<u64>(t) | TAIL_BIT; }
[[nodiscard]] inline u64 child_ref(StrNode* n) noexcept { return reinterpret_cast<u64>(n); }

// The store of tail records: blocks of TAIL_RECORD_BYTES + suffix bytes,
// rounded up to 8. Blocks up to MAX_POOLED bytes are carved from chunks
// (each chunk twice the size of the last, from MIN_CHUNK up to MAX_CHUNK)
// and go back to a free list of their size on release; larger ones come from
// the system and go back to it. Chunks are released together, by
// release_all, when the map empties or is torn down.
class TailArena {
 public:
  static constexpr u64 MAX_POOLED = 512;
  static constexpr u64 MIN_CHUNK = 1024;
  static constexpr u64 MAX_CHUNK = 64 * 1024;
  static constexpr u64 CHUNK_HEADER = 8;  // links the chunks

  TailArena() noexcept = default;
  TailArena(const TailArena&) = delete;
  TailArena& operator=(const TailArena&) = delete;
  ~TailArena() { release_all(); }

  // A record holding a copy of `suffix` and `value`.
  [[nodiscard]] StrTail* make(std::string_view suffix, u64 value);
  void release(StrTail* t) noexcept;
  // Frees a record only when it is a system block: for teardown, when the
  // chunks go next with release_all.
  void abandon(StrTail* t) noexcept;
  // Frees every chunk; every pooled record must have been released or be
  // abandoned with them.
  void release_all() noexcept;

 private:
  [[nodiscard]] static constexpr u64 block_size(u64 suffix_len) noexcept {
    return (TAIL_RECORD_BYTES + suffix_len + 7) & ~u64{7};
  }
  void* carve(u64 size);

  void* free_[MAX_POOLED / 8 + 1] = {};
  void* chunks_ = nullptr;  // first word of each chunk links the next
  u8* bump_ = nullptr;
  u8* bump_end_ = nullptr;
  u64 next_chunk_ = MIN_CHUNK;
};

class InOrder;

// ---------------------------------------------------------------------------
// The map

class CorvaleStrMap {
 public:
  CorvaleStrMap() noexcept = default;
  CorvaleStrMap(const CorvaleStrMap&) = delete;
  CorvaleStrMap& operator=(const CorvaleStrMap&) = delete;
  ~CorvaleStrMap() { clear(); }

  // Point operations. A change runs to its end or not at all: running out
  // of memory in insert or remove ends the process (noexcept), as the node
  // allocators do.
  std::optional<u64> insert(std::string_view key, u64 value) noexcept;
  [[nodiscard]] std::optional<u64> get(std::string_view key) const noexcept;
  std::optional<u64> remove(std::string_view key) noexcept;
  void clear() noexcept;

  [[nodiscard]] u64 len() const noexcept { return len_; }
  [[nodiscard]] bool is_empty() const noexcept { return len_ == 0; }
  [[nodiscard]] const StrNode* root() const noexcept { return root_; }

  // Ordered navigation. Each writes the found key into `out` (replacing its
  // content) and returns its value, or nothing (then `out` is empty).
  //   next_at_or_after   the smallest key >= query
  //   prev_at_or_before  the largest key <= query, or < query when strict
  //   first / last       the smallest / largest key
  std::optional<u64> next_at_or_after(std::string_view query, std::string& out) const;
  std::optional<u64> prev_at_or_before(std::string_view query, bool strict,
                                       std::string& out) const;
  std::optional<u64> first(std::string& out) const { return next_at_or_after({}, out); }
  std::optional<u64> last(std::string& out) const;

  // Heap bytes of the tree (0 without a root).
  [[nodiscard]] u64 mem_used() const;

 private:
  StrNode* root_ = nullptr;
  u64 len_ = 0;
  TailArena tails_;
};

// Heap bytes of the subtree under `node`: NODE_RECORD_BYTES plus the map's
// mem_used for each node, TAIL_RECORD_BYTES plus the suffix length for each
// tail. An explicit stack, no recursion.
[[nodiscard]] u64 subtree_bytes(const StrNode& node);

// The smallest (smallest = true) or largest key under `node`, appended to
// `out`, and its value. `node` must hold an entry ("non-empty node").
u64 extreme_entry(const StrNode& node, std::string& out, bool smallest);

// The in-order cursor: every (key, value) of the map in ascending key
// order, the key built in place. One frame per node on the path: the node,
// the key length at that node and the first word it has still to yield. A
// frame starts reading its node only when it becomes the innermost one: a
// flat integer map is read in place, a tree through an integer-map cursor
// whose entries are read BATCH at a time. The tail records among the next
// entries are prefetched: tails lie in the arena in insertion order, so an
// in-order walk would otherwise wait on memory once per key. The map must
// not change while the cursor is used.
//
// A cursor made with a start key is positioned at that key: it descends
// along the words of `start` by point lookups, leaving on each node a frame
// that resumes after the word taken, so that its first step yields the
// smallest key >= start and the walk goes on from there as if it had
// stepped over every smaller key. A range costs one descent plus one step
// per key returned; an ancestor's node is read only when the walk climbs
// back to it.
class InOrder {
 public:
  explicit InOrder(const CorvaleStrMap& m);
  InOrder(const CorvaleStrMap& m, std::string_view start);
  // Advances to the next entry; false at the end.
  bool next();
  [[nodiscard]] std::string_view key() const noexcept { return key_; }
  [[nodiscard]] u64 value() const noexcept { return value_; }

 private:
  static constexpr u32 BATCH = 16;
  static constexpr u32 PREFETCH_AHEAD = 8;  // flat arrays: tails this far ahead
  enum class Source : u8 { Unread, Flat, Tree, Done };
  struct Frame {
    const StrNode* node;
    u64 key_len;
    u64 from;  // Unread: the first word to yield
    Source source;
    // Flat: the node's arrays, read in place; Tree: the read-ahead batch.
    u32 pos;
    u32 count;
    const u64* words;
    const u64* values;
    KeyValue batch[BATCH];
    iter::MapIter it;
    Frame() noexcept {}  // filled by push_frame; nothing to initialise
  };
  static_assert(std::is_trivially_copyable_v<iter::MapIter>);
  // A frame over `node` yielding its entries from word `from` on, read
  // when the frame is first stepped.
  Frame& push_frame(const StrNode& node, u64 key_len, u64 from);
  // Starts reading a tree node through a cursor seeked to `from`.
  static void start_tree(Frame& f);
  // The next entry of the innermost frame, or nothing when it is used up.
  std::optional<KeyValue> step(Frame& f);
  std::vector<Frame> frames_;
  std::string key_;
  u64 value_ = 0;
};

}  // namespace corvale_trie::strmap
