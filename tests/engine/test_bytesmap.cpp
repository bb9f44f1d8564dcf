// The bytes map: its keyed hash against a textbook SipHash and the published
// SipHash-2-4 vectors, a seeded differential test against a std::unordered_map
// model (real hashing, and hash masks that force collisions into few or one
// bucket), with the invariants and the exact bucket accounting checked after
// every batch, the edge cases of the bucket order and accounting, and the
// system random bytes that seed its hash keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/bytesmap.hpp"
#include "engine/random.hpp"
#include "seed.hpp"

namespace corvale_trie::bytesmap {
namespace {

using namespace std::string_literals;

// ---------------------------------------------------------------------------
// SipHash

// SipHash-c-d written the plain way: the message padded into whole words,
// the last one carrying the length byte; no shared code with siphash.hpp.
u64 reference_siphash(unsigned c, unsigned d, u64 k0, u64 k1, const std::string& msg) {
  u64 v[4] = {k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
              k1 ^ 0x7465646279746573ull};
  auto rounds = [&v](unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
      v[0] += v[1], v[1] = std::rotl(v[1], 13), v[1] ^= v[0], v[0] = std::rotl(v[0], 32);
      v[2] += v[3], v[3] = std::rotl(v[3], 16), v[3] ^= v[2];
      v[0] += v[3], v[3] = std::rotl(v[3], 21), v[3] ^= v[0];
      v[2] += v[1], v[1] = std::rotl(v[1], 17), v[1] ^= v[2], v[2] = std::rotl(v[2], 32);
    }
  };
  std::string padded = msg;
  padded.resize((msg.size() / 8 + 1) * 8, '\0');
  padded.back() = static_cast<char>(msg.size() & 0xff);
  for (std::size_t i = 0; i < padded.size(); i += 8) {
    u64 m = 0;
    for (unsigned b = 0; b < 8; ++b) m |= u64{static_cast<u8>(padded[i + b])} << (8 * b);
    v[3] ^= m;
    rounds(c);
    v[0] ^= m;
  }
  v[2] ^= 0xff;
  rounds(d);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

std::string counting_bytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i);
  return s;
}

// Key 00 01 .. 0f; message i is the bytes 00 .. i-1.
constexpr HashKey kVectorKey{0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull};

TEST(BytesMapHash, SipHash24PublishedVectors) {
  const std::pair<std::size_t, u64> pinned[] = {
      {0, 0x726fdb47dd0e0e31ull},  {1, 0x74f839c593dc67fdull},  {2, 0x0d6c8009d9a94f5aull},
      {3, 0x85676696d7fb7e2dull},  {4, 0xcf2794e0277187b7ull},  {5, 0x18765564cd99a68dull},
      {6, 0xcbc9466e58fee3ceull},  {7, 0xab0200f58b01d137ull},  {8, 0x93f5f5799a932462ull},
      {9, 0x9e0082df0ba9e4b0ull},  {10, 0x7a5dbbc594ddb9f3ull}, {11, 0xf4b32f46226bada7ull},
      {12, 0x751e8fbc860ee5fbull}, {13, 0x14ea5627c0843d90ull}, {14, 0xf723ca908e7af2eeull},
      {15, 0xa129ca6149be45e5ull}, {16, 0x3f2acc7f57c29bdbull}, {63, 0x958a324ceb064572ull},
  };
  for (const auto& [n, want] : pinned) {
    EXPECT_EQ((siphash<2, 4>(kVectorKey, counting_bytes(n))), want) << "message length " << n;
    EXPECT_EQ(reference_siphash(2, 4, kVectorKey.k0, kVectorKey.k1, counting_bytes(n)), want) << n;
  }
}

// All 64 vector messages, and random keys and messages, in both variants:
// the word-at-a-time code equals the textbook one, and the map's hash is
// SipHash-1-3 of (length as 8 little-endian bytes, key).
TEST(BytesMapHash, AgreesWithTheTextbookFunction) {
  const u64 seed = test_seed(0x51a5);
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  for (std::size_t n = 0; n < 200; ++n) {
    const HashKey key = n < 64 ? kVectorKey : HashKey{rng(), rng()};
    std::string msg = counting_bytes(n);
    if (n >= 64)
      for (char& ch : msg) ch = static_cast<char>(rng() % 3 == 0 ? 0 : rng());
    EXPECT_EQ((siphash<2, 4>(key, msg)), reference_siphash(2, 4, key.k0, key.k1, msg)) << n;
    EXPECT_EQ((siphash<1, 3>(key, msg)), reference_siphash(1, 3, key.k0, key.k1, msg)) << n;
    std::string prefixed(8, '\0');
    for (unsigned b = 0; b < 8; ++b) prefixed[b] = static_cast<char>(u64{n} >> (8 * b));
    EXPECT_EQ(key_hash(key, msg), reference_siphash(1, 3, key.k0, key.k1, prefixed + msg)) << n;
  }
  // Trailing zero bytes make another message: "a" and "a\0" differ.
  EXPECT_NE(key_hash(kVectorKey, "a"), key_hash(kVectorKey, "a\0"s));
  EXPECT_NE(key_hash(kVectorKey, ""), key_hash(kVectorKey, "\0"s));
}

// ---------------------------------------------------------------------------
// Differential test

// Bytes of entries and buckets the accounting charges for the model's keys.
u64 expected_bucket_bytes(const CorvaleBytesMap& m, const std::unordered_map<std::string, u64>& model,
                          u64* buckets = nullptr) {
  std::set<u64> hashes;
  u64 bytes = 0;
  for (const auto& [k, v] : model) {
    hashes.insert(m.hash(k));
    bytes += ENTRY_CHARGE + k.size();
  }
  if (buckets) *buckets = hashes.size();
  return bytes + BUCKET_CHARGE * hashes.size();
}

void check_against(const CorvaleBytesMap& m, const std::unordered_map<std::string, u64>& model) {
  ASSERT_EQ(m.check_invariants(), nullptr) << m.check_invariants();
  ASSERT_EQ(m.len(), model.size());
  u64 buckets = 0;
  ASSERT_EQ(m.bucket_bytes(), expected_bucket_bytes(m, model, &buckets));
  ASSERT_EQ(m.index().len(), buckets);
  ASSERT_EQ(m.mem_used(), m.index().mem_used() + m.bucket_bytes());
  std::unordered_map<std::string, u64> seen;
  u64 key_bytes = 0;
  m.for_each([&](std::string_view k, u64 v) {
    EXPECT_TRUE(seen.emplace(std::string(k), v).second) << "a key visited twice";
    key_bytes += k.size();
  });
  ASSERT_EQ(seen, model);
  ASSERT_EQ(m.key_bytes(), key_bytes);
}

// Keys of 0 to 1000 bytes, many with zero bytes; often a known key, or one
// that differs from a known key by a trailing zero byte or a cut.
class KeyDraw {
 public:
  explicit KeyDraw(u64 seed) : rng_(seed) {}

  std::string fresh() {
    const u64 r = rng_() % 100;
    const std::size_t len = r < 10 ? 0 : r < 60 ? rng_() % 9 : r < 90 ? rng_() % 65 : rng_() % 1001;
    std::string k(len, '\0');
    const bool sparse = rng_() % 2 == 0;  // mostly zero bytes
    for (char& ch : k) ch = static_cast<char>(sparse && rng_() % 4 != 0 ? 0 : rng_() % 256);
    return k;
  }

  std::string operator()(const std::vector<std::string>& known) {
    if (known.empty() || rng_() % 3 == 0) return fresh();
    std::string k = known[rng_() % known.size()];
    switch (rng_() % 6) {
      case 0: k.push_back('\0'); break;
      case 1: if (!k.empty()) k.pop_back(); break;
      default: break;
    }
    return k;
  }

  std::mt19937_64& rng() { return rng_; }

 private:
  std::mt19937_64 rng_;
};

struct Mode {
  const char* name;
  u64 mask;
  friend void PrintTo(const Mode& m, std::ostream* os) { *os << m.name; }
};

class BytesMapDifferential : public ::testing::TestWithParam<Mode> {};

TEST_P(BytesMapDifferential, MatchesAModel) {
  const Mode mode = GetParam();
  const u64 seed = test_seed(0xb17e5 + mode.mask);
  SCOPED_TRACE(::testing::Message() << mode.name << ", seed " << seed);
  KeyDraw draw(seed);
  std::mt19937_64& rng = draw.rng();
  CorvaleBytesMap m(HashKey{rng(), rng()}, mode.mask);
  std::unordered_map<std::string, u64> model;
  std::vector<std::string> known;
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
  const u64 ops = mode.mask == 0 ? 1500 : 6000;
#else
  const u64 ops = mode.mask == 0 ? 4000 : 40000;
#endif
  for (u64 op = 1; op <= ops; ++op) {
    const std::string key = draw(known);
    const auto it = model.find(key);
    const std::optional<u64> want = it == model.end() ? std::nullopt : std::optional<u64>(it->second);
    const bool growing = (op / (ops / 5)) % 2 == 0;
    const u64 r = rng() % 100;
    if (r < (growing ? 50u : 25u)) {
      const u64 value = rng() % 4 == 0 ? 0 : rng();  // 0 is an ordinary value
      ASSERT_EQ(m.insert(key, value), want) << "insert, op " << op;
      model[key] = value;
      known.push_back(key);
    } else if (r < 80) {
      ASSERT_EQ(m.remove(key), want) << "remove, op " << op;
      model.erase(key);
    } else {
      ASSERT_EQ(m.get(key), want) << "get, op " << op;
    }
    if (op % 500 == 0 || op == ops) check_against(m, model);
    if (op % (ops / 3) == 0) {
      m.clear();
      model.clear();
      check_against(m, model);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, BytesMapDifferential,
                         ::testing::Values(Mode{"siphash", ~u64{0}}, Mode{"sixteen-buckets", 0xF000'0000'0000'000Full},
                                           Mode{"one-bucket", 0}),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& ch : n) ch = ch == '-' ? '_' : ch;
                           return n;
                         });

// ---------------------------------------------------------------------------
// Edge cases

std::vector<std::pair<std::string, u64>> contents(const CorvaleBytesMap& m) {
  std::vector<std::pair<std::string, u64>> out;
  m.for_each([&](std::string_view k, u64 v) { out.emplace_back(std::string(k), v); });
  return out;
}

TEST(BytesMap, AccountingOfSingleEntryBuckets) {
  CorvaleBytesMap m(HashKey{1, 2});
  const std::string keys[] = {""s, "a"s, "a\0"s, std::string(3000, '\0'), "\0\0x\0"s};
  u64 want = 0;
  for (const std::string& k : keys) {
    EXPECT_EQ(m.insert(k, k.size()), std::nullopt);
    want += k.size() + 48;
    EXPECT_EQ(m.bucket_bytes(), want);
  }
  EXPECT_EQ(m.len(), 5u);
  EXPECT_EQ(m.index().len(), 5u);
  for (const std::string& k : keys) EXPECT_EQ(m.get(k), k.size());
  // Overwriting changes neither the counts nor the order.
  const auto before = contents(m);
  EXPECT_EQ(m.insert("a", 7), 1u);
  auto after = contents(m);
  for (auto& [k, v] : after)
    if (k == "a") v = 1;
  EXPECT_EQ(after, before);
  EXPECT_EQ(m.bucket_bytes(), want);
  // Removing the only key of a bucket takes its hash out of the index.
  EXPECT_EQ(m.remove("a\0"s), 2u);
  EXPECT_EQ(m.bucket_bytes(), want - (2 + 48));
  EXPECT_EQ(m.index().len(), 4u);
  EXPECT_EQ(m.get("a\0"s), std::nullopt);
  EXPECT_EQ(m.get("a"), 7u);
  EXPECT_EQ(m.remove("a\0"s), std::nullopt);
}

TEST(BytesMap, OneBucketOrderAndAccounting) {
  CorvaleBytesMap m(HashKey{3, 4}, 0);  // every key in one bucket
  EXPECT_EQ(m.insert("X", 1), std::nullopt);
  EXPECT_EQ(m.insert(std::string(40, 'Y'), 2), std::nullopt);
  EXPECT_EQ(m.insert("", 3), std::nullopt);
  EXPECT_EQ(m.index().len(), 1u);
  EXPECT_EQ(m.bucket_bytes(), 24 + (1 + 24) + (40 + 24) + (0 + 24));
  EXPECT_EQ(m.insert("X", 9), 1u);  // replaced in place
  // A present hash whose bytes match no entry: nothing changes.
  EXPECT_EQ(m.remove("Z"), std::nullopt);
  EXPECT_EQ(m.get("X\0"s), std::nullopt);
  // Removing X moves the last entry (the empty key) into its place.
  EXPECT_EQ(m.remove("X"), 9u);
  using V = std::vector<std::pair<std::string, u64>>;
  EXPECT_EQ(contents(m), (V{{"", 3}, {std::string(40, 'Y'), 2}}));
  EXPECT_EQ(m.bucket_bytes(), 24 + (40 + 24) + 24);
  EXPECT_EQ(m.remove(std::string(40, 'Y')), 2u);  // the last entry: nothing moves
  EXPECT_EQ(contents(m), (V{{"", 3}}));
  EXPECT_EQ(m.remove(""), 3u);
  EXPECT_EQ(m.bucket_bytes(), 0u);
  EXPECT_EQ(m.index().len(), 0u);
  EXPECT_EQ(m.check_invariants(), nullptr);
}

TEST(BytesMap, ClearKeepsTheHashKey) {
  CorvaleBytesMap m;
  const HashKey key = m.hash_key();
  const u64 h = m.hash("some key");
  int calls = 0;
  m.for_each([&](std::string_view, u64) { ++calls; });
  EXPECT_EQ(calls, 0);
  for (int i = 0; i < 100; ++i) m.insert(std::to_string(i), i);
  m.clear();
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(m.bucket_bytes(), 0u);
  EXPECT_EQ(m.index().len(), 0u);
  EXPECT_EQ(m.hash_key(), key);
  EXPECT_EQ(m.hash("some key"), h);
  m.for_each([&](std::string_view, u64) { ++calls; });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(m.insert("again", 1), std::nullopt);
  EXPECT_EQ(m.get("again"), 1u);
}

TEST(BytesMap, ThreadKeyPairs) {
  const CorvaleBytesMap a;
  const CorvaleBytesMap b;
  EXPECT_EQ(b.hash_key().k0, a.hash_key().k0 + 1);
  EXPECT_EQ(b.hash_key().k1, a.hash_key().k1);
  HashKey other;
  std::thread([&other] { other = CorvaleBytesMap().hash_key(); }).join();
  EXPECT_NE(other, a.hash_key());  // a draw of its own: equal with odds 2**-128
  EXPECT_NE(other.k1, a.hash_key().k1);
}

// The system hands out at most 256 bytes per request: a longer buffer is
// filled to its last byte and not one byte beyond it.
TEST(BytesMap, OsRandomBytesFillTheWholeBuffer) {
  constexpr std::size_t kSize = 1000;  // three full requests and a part
  std::vector<u8> a(kSize + 16, 0xA5);
  std::vector<u8> b(kSize, 0);
  std::fill_n(a.begin(), kSize, u8{0});
  os_random_bytes(a.data(), kSize);
  os_random_bytes(b.data(), kSize);
  // Each 40-byte stretch left zero, or equal in the two draws, has odds 2**-320.
  for (std::size_t at = 0; at < kSize; at += 40) {
    SCOPED_TRACE(at);
    EXPECT_FALSE(std::all_of(a.begin() + at, a.begin() + at + 40, [](u8 x) { return x == 0; }));
    EXPECT_FALSE(std::equal(a.begin() + at, a.begin() + at + 40, b.begin() + at));
  }
  EXPECT_TRUE(std::all_of(a.begin() + kSize, a.end(), [](u8 x) { return x == 0xA5; })) << "written past the end";
}

}  // namespace
}  // namespace corvale_trie::bytesmap
