// corvale_trie engine: the shared vocabulary of the 256-way trie.
//
// A u64 key is resolved one byte per level, most significant byte first. The
// `level` of an edge is the number of key bytes still to resolve below it: a
// container's root edge stands at ROOT_LEVEL 8, an edge whose subtree differs
// only in the lowest byte stands at level 1. The digit at level L is key byte
// L-1 counted from the least significant byte.
//
// Every child reference is one 16-byte `Edge`:
//
//   bytes 0..7   payload  node/leaf address, packed immediate keys, or a value
//   bytes 8..14  decode   pop field (population - 1) in the low bytes, the
//                         skip prefix (key bytes L..E-1) above it
//   byte  15     tag      an EdgeTag
//
// Decode byte i always stands for key byte i, so a skip prefix is compared
// with one masked XOR against the key. Bytes 8..15 are read as one
// little-endian word (the decode word) and every reader masks it with
// BYTE_MASK; no mask reaches the tag byte.
//
// Invariants (checked by verify()):
//  - the root edge holds a branch node of level 8 and carries no pop field;
//  - every other edge stands at a level 1..7 and its pop field equals the
//    population below it minus one, except along the path cache's path,
//    which lags by the cache's pending delta until a flush;
//  - branch nodes of level L < E, linear leaves of width W < E and bitmap
//    leaves under E > 1 carry the skipped key bytes in their edge.
//
// This header also holds the fatal-error helper (broken invariants end the
// process, they are never reported as recoverable errors), the project
// assertion macro, and small value types used across the engine.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Edges, packed leaf keys, hash words and image files are read and written
// with memcpy in the machine's byte order, and their formats are
// little-endian: a big-endian build would give wrong answers, so it stops.
static_assert(std::endian::native == std::endian::little,
              "corvale_trie builds only for little-endian machines: its edges, packed keys, "
              "hash words and image files are little-endian");

namespace corvale_trie {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// ---------------------------------------------------------------------------
// Fatal errors

// Writes the panic report ("\nthread '{}' ({}) panicked at {}:\n{}\n") to
// standard error and aborts. `where` is "file:line:column".
[[noreturn]] void panic_at(const char* where, const char* message) noexcept;
// The same for a message built at run time.
[[noreturn]] void panic_fmt(const char* where, const char* fmt, ...) noexcept
    __attribute__((format(printf, 2, 3)));

#define CORVALE_STR2(x) #x
#define CORVALE_STR(x) CORVALE_STR2(x)
#define CORVALE_HERE __FILE__ ":" CORVALE_STR(__LINE__) ":1"

// A broken invariant with a fixed message ("valid edge tag", ...).
#define CORVALE_PANIC(msg) ::corvale_trie::panic_at(CORVALE_HERE, msg)
// A broken expectation whose message is the expected fact: stops when !cond.
#define CORVALE_EXPECT(cond, msg)                \
  do {                                           \
    if (!(cond)) [[unlikely]] CORVALE_PANIC(msg); \
  } while (0)
#define CORVALE_UNREACHABLE(what) \
  CORVALE_PANIC("internal error: entered unreachable code: " what)

// Preconditions of the engine: checked in debug and sanitizer builds, free in
// release builds.
#if defined(CORVALE_ENABLE_ASSERTS)
#define CORVALE_ASSERT(cond)                                              \
  do {                                                                    \
    if (!(cond)) [[unlikely]]                                             \
      ::corvale_trie::panic_at(CORVALE_HERE, "assertion failed: " #cond); \
  } while (0)
#else
#define CORVALE_ASSERT(cond) \
  do {                       \
    (void)sizeof(cond);      \
  } while (0)
#endif

// ---------------------------------------------------------------------------
// Testing hooks

// The countdown of a testing hook that fails (or stops) the n-th of some
// steps: after arm(n), the n-th tick() answers true, once; arm(0) disarms.
// Steps on any thread count (a relaxed atomic); unarmed, a tick is one load.
class Countdown {
 public:
  void arm(u64 n) noexcept { left_.store(n, std::memory_order_relaxed); }
  [[nodiscard]] bool armed() const noexcept { return left_.load(std::memory_order_relaxed) != 0; }
  [[nodiscard]] bool tick() noexcept {
    if (!armed()) [[likely]] return false;
    return left_.fetch_sub(1, std::memory_order_relaxed) == 1;
  }

 private:
  std::atomic<u64> left_{0};
};

// ---------------------------------------------------------------------------
// Levels, tags, masks

inline constexpr u8 ROOT_LEVEL = 8;

// Key byte L-1: the digit a node at level L branches on.
[[nodiscard]] constexpr u8 digit_at(u64 key, unsigned level) noexcept {
  return static_cast<u8>(key >> (8 * (level - 1)));
}

inline constexpr u8 TAG_EMPTY = 0;
inline constexpr u8 TAG_L3 = 1;
inline constexpr u8 TAG_L7 = 2;
inline constexpr u8 TAG_B = 3;
inline constexpr u8 TAG_U = 4;
inline constexpr u8 TAG_LEAF_BASE = 4;  // LinearLeaf of width W: 4 + W
inline constexpr u8 TAG_BITMAP_LEAF = 12;
inline constexpr u8 TAG_FULL = 127;

[[nodiscard]] constexpr bool is_branch_tag(u8 tag) noexcept {
  return tag >= TAG_L3 && tag <= TAG_U;
}
[[nodiscard]] constexpr bool is_linear_leaf_tag(u8 tag) noexcept {
  return tag >= TAG_LEAF_BASE + 1 && tag <= TAG_LEAF_BASE + 7;
}
[[nodiscard]] constexpr u8 linear_leaf_tag(unsigned width) noexcept {
  return static_cast<u8>(TAG_LEAF_BASE + width);
}
[[nodiscard]] constexpr unsigned linear_leaf_width(u8 tag) noexcept {
  return tag - TAG_LEAF_BASE;
}

// Immediate tags: (W << 4) | (n - 1). The set flavour allows n*W <= 15, the
// map flavour n*W <= 7.
[[nodiscard]] constexpr u8 immed_tag(unsigned width, unsigned count) noexcept {
  return static_cast<u8>((width << 4) | (count - 1));
}
[[nodiscard]] constexpr unsigned immed_width(u8 tag) noexcept { return tag >> 4; }
[[nodiscard]] constexpr unsigned immed_count(u8 tag) noexcept { return (tag & 15u) + 1; }
[[nodiscard]] constexpr bool is_set_immed_tag(u8 tag) noexcept {
  return tag >= 0x10 && tag < 0x7F && immed_width(tag) * immed_count(tag) < 16;
}
[[nodiscard]] constexpr bool is_map_immed_tag(u8 tag) noexcept {
  return tag >= 0x10 && tag < 0x7F && immed_width(tag) * immed_count(tag) <= 7;
}

// Set-flavour immediate capacity for keys of width W: floor(15 / W).
[[nodiscard]] constexpr unsigned set_immed_max(unsigned width) noexcept { return 15 / width; }
// Map-flavour immediate capacity: floor(7 / W).
[[nodiscard]] constexpr unsigned map_immed_max(unsigned width) noexcept { return 7 / width; }

// BYTE_MASK[i]: the low i bytes set. An index of 8 or more is a broken
// invariant.
inline constexpr u64 BYTE_MASK_TABLE[8] = {
    0x0ull,
    0xFFull,
    0xFFFFull,
    0xFF'FFFFull,
    0xFFFF'FFFFull,
    0xFF'FFFF'FFFFull,
    0xFFFF'FFFF'FFFFull,
    0xFF'FFFF'FFFF'FFFFull,
};
[[nodiscard]] inline u64 byte_mask(unsigned i) noexcept {
  if (i >= 8) [[unlikely]]
    panic_fmt(CORVALE_HERE, "index out of bounds: the len is 8 but the index is %u", i);
  return BYTE_MASK_TABLE[i];
}

// Slot count of every packed array of n entries: n below 3, else n rounded up
// to a multiple of 4.
[[nodiscard]] constexpr u64 capacity_for(u64 n) noexcept { return n < 3 ? n : (n + 3) & ~u64{3}; }
static_assert(capacity_for(0) == 0 && capacity_for(1) == 1 && capacity_for(2) == 2);
static_assert(capacity_for(3) == 4 && capacity_for(4) == 4 && capacity_for(5) == 8);

// Leaf limits.
inline constexpr u64 LINEAR_LEAF_MAX = 32;   // width 2..7
inline constexpr u64 SET_W1_LEAF_MAX = 25;   // width 1, set flavour
inline constexpr u64 MAP_W1_LEAF_MAX = 25;   // width 1, map flavour
inline constexpr u64 W1_APPEND_MAX = 25;     // path-cache fast path bound

// Root-state thresholds of the core containers.
inline constexpr u64 FLAT_MAX_KEYS = 31;
inline constexpr u64 CONDENSE_MAX_KEYS = 30;

// ---------------------------------------------------------------------------
// Edge

struct alignas(16) Edge {
  u64 payload = 0;
  u8 decode[7] = {};
  u8 tag = TAG_EMPTY;

  [[nodiscard]] constexpr bool is_empty() const noexcept { return tag == TAG_EMPTY; }

  // Bytes 8..15 as one little-endian word (the tag is byte 7 of it), read
  // from the whole edge so that no load runs past the 7-byte decode member.
  [[nodiscard]] u64 decode_word() const noexcept;
  // Writes the low 7 bytes of `w` into decode; the tag stays.
  void set_decode_bits(u64 w) noexcept { std::memcpy(decode, &w, 7); }

  // Population of the subtree when the pop field is `width` bytes wide.
  [[nodiscard]] u64 pop(unsigned width) const noexcept {
    return (decode_word() & byte_mask(width)) + 1;
  }
  void set_pop(unsigned width, u64 population) noexcept {
    const u64 m = byte_mask(width);
    const u64 w = decode_word();
    set_decode_bits((w & ~m) | ((population - 1) & m));
  }
  // Adds d (two's complement for a decrement) inside the pop field.
  void add_pop(unsigned width, u64 d) noexcept {
    const u64 m = byte_mask(width);
    const u64 w = decode_word();
    set_decode_bits((((w & m) + d) & m) | (w & ~m));
  }

  template <class T>
  [[nodiscard]] T* ptr() const noexcept {
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(payload));
  }
  void set_ptr(const void* p) noexcept { payload = reinterpret_cast<std::uintptr_t>(p); }

  void clear() noexcept { *this = Edge{}; }
};
static_assert(sizeof(Edge) == 16 && alignof(Edge) == 16);
static_assert(std::is_trivially_copyable_v<Edge>);
static_assert(offsetof(Edge, decode) == 8 && offsetof(Edge, tag) == 15);

// The edge as its two little-endian words (bytes 0..7 and 8..15).
struct EdgeWords {
  u64 payload;
  u64 decode;
};
static_assert(sizeof(EdgeWords) == sizeof(Edge));

inline u64 Edge::decode_word() const noexcept { return std::bit_cast<EdgeWords>(*this).decode; }

// A key belongs under an edge of level E whose node resolves from level L < E
// only when its bytes L..E-1 equal the stored skip prefix.
[[nodiscard]] inline bool skip_matches(const Edge& e, u64 key, unsigned node_level,
                                       unsigned edge_level) noexcept {
  if (node_level >= edge_level) return true;
  const u64 mask = byte_mask(edge_level - node_level) << (8 * node_level);
  return ((e.decode_word() ^ key) & mask) == 0;
}

// ---------------------------------------------------------------------------
// Bitmap256: bit d of 256 in word d >> 6 at position d & 63 (equivalently
// bit d & 31 of the little-endian u32 word d >> 5).

struct Bitmap256 {
  u64 words[4] = {};

  [[nodiscard]] bool test(unsigned b) const noexcept { return (words[b >> 6] >> (b & 63)) & 1; }
  void set(unsigned b) noexcept { words[b >> 6] |= u64{1} << (b & 63); }
  void reset(unsigned b) noexcept { words[b >> 6] &= ~(u64{1} << (b & 63)); }
  // Returns the previous state of the bit.
  bool test_and_set(unsigned b) noexcept {
    const u64 bit = u64{1} << (b & 63);
    const bool was = words[b >> 6] & bit;
    words[b >> 6] |= bit;
    return was;
  }
  [[nodiscard]] unsigned count() const noexcept {
    return std::popcount(words[0]) + std::popcount(words[1]) + std::popcount(words[2]) +
           std::popcount(words[3]);
  }
  [[nodiscard]] bool none() const noexcept {
    return (words[0] | words[1] | words[2] | words[3]) == 0;
  }
  // Group word g (digits 32g..32g+31).
  [[nodiscard]] u32 group(unsigned g) const noexcept {
    return static_cast<u32>(words[g >> 1] >> (32 * (g & 1)));
  }
  // Rank of bit b inside its group: set bits of the group below b.
  [[nodiscard]] unsigned rank_in_group(unsigned b) const noexcept {
    return std::popcount(group(b >> 5) & ((u32{1} << (b & 31)) - 1));
  }
  // Number of set bits strictly below b (0..256): the popcounts of the
  // words below b's word, plus that of b's word masked below b.
  [[nodiscard]] unsigned rank(unsigned b) const noexcept {
    unsigned r = 0;
    const unsigned w = b >> 6;
    for (unsigned i = 0; i < w && i < 4; ++i) r += static_cast<unsigned>(std::popcount(words[i]));
    if (w < 4 && (b & 63) != 0) r += static_cast<unsigned>(std::popcount(words[w] & ((u64{1} << (b & 63)) - 1)));
    return r;
  }
  // Smallest set bit j >= i, or -1 when there is none: the word of i with
  // the bits below i cleared, then the following words, each scanned with a
  // trailing-zero count.
  [[nodiscard]] int next_set(unsigned i) const noexcept {
    if (i >= 256) return -1;
    unsigned w = i >> 6;
    u64 bits = words[w] & (~u64{0} << (i & 63));
    while (bits == 0) {
      if (++w == 4) return -1;
      bits = words[w];
    }
    return static_cast<int>(w * 64 + static_cast<unsigned>(std::countr_zero(bits)));
  }
  // Largest set bit j <= i (i above 255 counts as 255), or -1 when there is
  // none; the mirror image of next_set with a leading-zero count.
  [[nodiscard]] int prev_set(unsigned i) const noexcept {
    if (i >= 256) i = 255;
    int w = static_cast<int>(i >> 6);
    u64 bits = words[w] & (~u64{0} >> (63 - (i & 63)));
    while (bits == 0) {
      if (--w < 0) return -1;
      bits = words[w];
    }
    return w * 64 + 63 - std::countl_zero(bits);
  }
  // The k-th set bit (0-based), or -1 when fewer than k+1 bits are set: the
  // words in order, each counted whole while k lies beyond it; in the word
  // that holds it, the lowest set bit is cleared k times.
  [[nodiscard]] int select(u64 k) const noexcept {
    for (unsigned w = 0; w < 4; ++w) {
      const unsigned c = static_cast<unsigned>(std::popcount(words[w]));
      if (k < c) {
        u64 bits = words[w];
        for (; k > 0; --k) bits &= bits - 1;
        return static_cast<int>(w * 64 + static_cast<unsigned>(std::countr_zero(bits)));
      }
      k -= c;
    }
    return -1;
  }
};
static_assert(sizeof(Bitmap256) == 32);

// ---------------------------------------------------------------------------
// Small result records

// An unpacked Immediate: the low W bytes of each key, zero-extended.
struct ImmedKeys {
  u64 keys[16] = {};
  u64 count = 0;
};

// Result of map insertion: whether the key was present, its previous value,
// and the address of its value word.
struct InsertOutcome {
  u64 found = 0;
  u64 old = 0;
  u64* slot = nullptr;
};

enum class RootState : u64 { Empty = 0, Flat = 1, Tree = 2 };

}  // namespace corvale_trie
