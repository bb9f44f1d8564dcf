// corvale_trie engine: SipHash-c-d, the keyed 64-bit hash of the bytes map.
//
// SipHash keeps four 64-bit words of state, v0..v3, initialised from the
// 128-bit key (k0, k1) and the constants of the ASCII text
// "somepseudorandomlygeneratedbytes":
//
//   v0 = k0 ^ 0x736f6d6570736575   v1 = k1 ^ 0x646f72616e646f6d
//   v2 = k0 ^ 0x6c7967656e657261   v3 = k1 ^ 0x7465646279746573
//
// The message is read as little-endian 64-bit words m: each is absorbed as
// v3 ^= m, C rounds, v0 ^= m. The last word holds the 0..7 bytes left over
// and, in its top byte, the message length modulo 256. Then v2 ^= 0xff, D
// rounds, and the hash is v0 ^ v1 ^ v2 ^ v3.
//
// The bytes map uses C = 1, D = 3 (SipHash-1-3) over one message: the key's
// length as a u64 in 8 little-endian bytes, then the key's bytes. The length
// word is absorbed first, as a word of its own, so the key needs no copy;
// and keys that differ only in trailing zero bytes are different messages.
// `siphash` over a plain message is the same code with no length word; the
// tests run it with C = 2, D = 4 against the published SipHash-2-4 vectors.
#pragma once

#include <bit>
#include <cstring>
#include <string_view>

#include "engine/types.hpp"

namespace corvale_trie::bytesmap {

// The 128-bit key of one hash function.
struct HashKey {
  u64 k0 = 0;
  u64 k1 = 0;
  friend bool operator==(const HashKey&, const HashKey&) = default;
};

template <unsigned C, unsigned D>
class SipState {
 public:
  explicit constexpr SipState(HashKey key) noexcept
      : v0_(key.k0 ^ 0x736f6d6570736575ull),
        v1_(key.k1 ^ 0x646f72616e646f6dull),
        v2_(key.k0 ^ 0x6c7967656e657261ull),
        v3_(key.k1 ^ 0x7465646279746573ull) {}

  constexpr void absorb(u64 m) noexcept {
    v3_ ^= m;
    for (unsigned i = 0; i < C; ++i) round();
    v0_ ^= m;
  }

  // Absorbs the whole words of `bytes` and then the last word, whose top
  // byte is `total_len` (the length of the whole message) modulo 256.
  u64 finish(std::string_view bytes, u64 total_len) noexcept {
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; p += 8, n -= 8) {
      u64 m;
      std::memcpy(&m, p, 8);
      absorb(m);
    }
    u64 last = 0;
    if (n != 0) std::memcpy(&last, p, n);  // little-endian: byte i at bits 8i
    absorb(last | (total_len << 56));
    v2_ ^= 0xff;
    for (unsigned i = 0; i < D; ++i) round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  constexpr void round() noexcept {
    v0_ += v1_;
    v1_ = std::rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = std::rotl(v0_, 32);
    v2_ += v3_;
    v3_ = std::rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = std::rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = std::rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = std::rotl(v2_, 32);
  }

  u64 v0_, v1_, v2_, v3_;
};

// SipHash-C-D of a plain message.
template <unsigned C, unsigned D>
[[nodiscard]] u64 siphash(HashKey key, std::string_view message) noexcept {
  return SipState<C, D>(key).finish(message, message.size());
}

// SipHash-C-D of the message (key length as 8 little-endian bytes, key).
template <unsigned C, unsigned D>
[[nodiscard]] u64 siphash_length_prefixed(HashKey key, std::string_view bytes) noexcept {
  SipState<C, D> state(key);
  state.absorb(bytes.size());
  return state.finish(bytes, bytes.size() + 8);
}

// The hash of a bytes-map key: SipHash-1-3 of its length-prefixed message.
[[nodiscard]] inline u64 key_hash(HashKey key, std::string_view bytes) noexcept {
  return siphash_length_prefixed<1, 3>(key, bytes);
}

}  // namespace corvale_trie::bytesmap
