// The sorted string map against a std::map<std::string, u64> model: point
// operations, every neighbour query, the in-order cursor, the tree's shape
// invariants and its heap accounting, on key distributions that stress the
// word structure (shared prefixes of 0..40 bytes, keys that are prefixes of
// each other around multiples of 8, the empty key, bytes above 0x7F, long
// keys), plus deep trees that a recursive walk could not survive.
#include <gtest/gtest.h>

#include <pthread.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/strmap.hpp"
#include "support.hpp"

namespace corvale_trie::strmap {
namespace {

using testsupport::scaled;
using Model = std::map<std::string, u64>;

// Whole-tree check: every node holds an entry, the cursor yields the model in
// order, len agrees, and mem_used equals the accounting recomputed here.
void check_tree(const CorvaleStrMap& m, const Model& model) {
  ASSERT_EQ(m.len(), model.size());
  ASSERT_EQ(m.root() == nullptr, model.empty());
  u64 bytes = 0;
  if (m.root()) {
    std::vector<const StrNode*> stack{m.root()};
    while (!stack.empty()) {
      const StrNode* n = stack.back();
      stack.pop_back();
      ASSERT_FALSE(n->empty()) << "empty node left in the tree";
      bytes += NODE_RECORD_BYTES + n->map.mem_used();
      for (const KeyValue& kv : n->map.to_vec()) {
        if (!is_full_word(kv.key)) continue;
        if (is_tail_ref(kv.value))
          bytes += TAIL_RECORD_BYTES + tail_of(kv.value)->suffix_len;
        else
          stack.push_back(child_of(kv.value));
      }
    }
  }
  ASSERT_EQ(m.mem_used(), bytes);
  InOrder cur(m);
  auto it = model.begin();
  while (cur.next()) {
    ASSERT_NE(it, model.end());
    ASSERT_EQ(cur.key(), it->first);
    ASSERT_EQ(cur.value(), it->second);
    ++it;
  }
  ASSERT_EQ(it, model.end());
}

// Neighbours of `q` in the model.
std::optional<std::pair<std::string, u64>> model_next(const Model& model, const std::string& q,
                                                      bool inclusive) {
  auto it = inclusive ? model.lower_bound(q) : model.upper_bound(q);
  if (it == model.end()) return std::nullopt;
  return *it;
}
std::optional<std::pair<std::string, u64>> model_prev(const Model& model, const std::string& q,
                                                      bool inclusive) {
  auto it = inclusive ? model.upper_bound(q) : model.lower_bound(q);
  if (it == model.begin()) return std::nullopt;
  return *std::prev(it);
}

void expect_found(std::optional<u64> got, const std::string& key,
                  const std::optional<std::pair<std::string, u64>>& want, const std::string& q) {
  ASSERT_EQ(got.has_value(), want.has_value()) << "query of " << q.size() << " bytes";
  if (!want) {
    ASSERT_TRUE(key.empty());
    return;
  }
  ASSERT_EQ(key, want->first);
  ASSERT_EQ(*got, want->second);
}

void check_neighbours(const CorvaleStrMap& m, const Model& model, const std::string& q) {
  std::string out;
  expect_found(m.next_at_or_after(q, out), out, model_next(model, q, true), q);
  // The strict successor is the successor of q followed by 0x01.
  expect_found(m.next_at_or_after(q + '\x01', out), out, model_next(model, q, false), q);
  expect_found(m.prev_at_or_before(q, false, out), out, model_prev(model, q, true), q);
  expect_found(m.prev_at_or_before(q, true, out), out, model_prev(model, q, false), q);
}

// The cursor positioned at `start` against the model from lower_bound(start)
// on: its first `count` steps, or every step when count is 0.
void check_cursor_from(const CorvaleStrMap& m, const Model& model, const std::string& start,
                       u64 count) {
  InOrder cur(m, start);
  auto it = model.lower_bound(start);
  for (u64 i = 0; count == 0 || i < count; ++i) {
    const bool more = cur.next();
    ASSERT_EQ(more, it != model.end()) << "start of " << start.size() << " bytes, step " << i;
    if (!more) return;
    ASSERT_EQ(cur.key(), it->first) << "start of " << start.size() << " bytes, step " << i;
    ASSERT_EQ(cur.value(), it->second);
    ++it;
  }
}

// Starts on every stored key, between keys (a key followed by 0x01, a key
// with its last byte raised), below them (a key's proper prefix, a key with
// its last byte lowered), below all (empty) and above all.
std::vector<std::string> starts_around(const Model& model) {
  std::vector<std::string> starts{std::string(), std::string(50, '\xff')};
  for (const auto& [k, v] : model) {
    starts.push_back(k);
    starts.push_back(k + '\x01');
    if (k.empty()) continue;
    starts.push_back(k.substr(0, k.size() - 1));
    std::string lower = k;
    std::string higher = k;
    if (static_cast<u8>(lower.back()) > 1) lower.back() = static_cast<char>(lower.back() - 1);
    if (static_cast<u8>(higher.back()) < 0xFF) higher.back() = static_cast<char>(higher.back() + 1);
    starts.push_back(lower);
    starts.push_back(higher);
  }
  return starts;
}

void check_cursor_starts(const CorvaleStrMap& m, const Model& model) {
  for (const std::string& start : starts_around(model)) {
    check_cursor_from(m, model, start, 12);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Keys that share prefixes with each other in the ways the tree cares for.
class StrKeys {
 public:
  explicit StrKeys(u64 seed) : rng_(seed) {
    for (int i = 0; i < 6; ++i) stems_.push_back(random_bytes(40, i % 2 == 0));
  }

  std::string draw() {
    switch (rng_() % 8) {
      case 0: return std::string();
      case 1: {  // a stem prefix ending near a word boundary
        const std::string& s = stems_[rng_() % stems_.size()];
        const u64 k = 8 * (1 + rng_() % 4);
        const u64 len = std::min<u64>(s.size(), k - 1 + rng_() % 3);
        return s.substr(0, len);
      }
      case 2:
      case 3: {  // a stem prefix of 0..40 bytes and a short random tail
        const std::string& s = stems_[rng_() % stems_.size()];
        return s.substr(0, rng_() % 41) + random_bytes(rng_() % 12, rng_() % 2 == 0);
      }
      case 4: return random_bytes(1 + rng_() % 20, false);  // bytes 1..255
      case 5: return random_bytes(1 + rng_() % 3, true);    // short, dense
      case 6: {  // a long key
        const std::string& s = stems_[rng_() % stems_.size()];
        return s + random_bytes(40 + rng_() % 200, true);
      }
      default: return random_bytes(rng_() % 17, true);
    }
  }

  std::string random_bytes(u64 n, bool ascii) {
    std::string s(n, 'a');
    for (char& c : s)
      c = static_cast<char>(ascii ? 'a' + rng_() % 4 : 1 + rng_() % 255);
    return s;
  }

 private:
  std::mt19937_64 rng_;
  std::vector<std::string> stems_;
};

TEST(StrMap, RandomizedAgainstModel) {
  for (u64 round = 0; round < 4; ++round) {
    const u64 seed = test_seed(0x5157 + round);
    CORVALE_SEED_TRACE(seed);
    StrKeys keys(seed);
    std::mt19937_64 rng(seed ^ 0x9e37);
    CorvaleStrMap m;
    Model model;
    const u64 steps = scaled(round == 0 ? 40000 : 6000, 500);
    for (u64 i = 0; i < steps; ++i) {
      const std::string k = keys.draw();
      const u64 op = rng() % 10;
      if (op < 5) {
        const u64 v = rng();
        const std::optional<u64> old = m.insert(k, v);
        auto it = model.find(k);
        ASSERT_EQ(old.has_value(), it != model.end());
        if (old) {
          ASSERT_EQ(*old, it->second);
        }
        model[k] = v;
      } else if (op < 8) {
        const std::optional<u64> old = m.remove(k);
        auto it = model.find(k);
        ASSERT_EQ(old.has_value(), it != model.end());
        if (old) {
          ASSERT_EQ(*old, it->second);
          model.erase(it);
        }
      } else {
        const std::optional<u64> v = m.get(k);
        auto it = model.find(k);
        ASSERT_EQ(v.has_value(), it != model.end());
        if (v) {
          ASSERT_EQ(*v, it->second);
        }
      }
      check_neighbours(m, model, k);
      check_cursor_from(m, model, k, 3);
      if (i % 500 == 0) check_tree(m, model);
      if (i % 5000 == 0) check_cursor_starts(m, model);
    }
    check_tree(m, model);
    check_cursor_starts(m, model);
    check_cursor_from(m, model, keys.draw(), 0);
    if (round == 0) {
      ASSERT_EQ(m.root()->map.record().state, RootState::Tree);
    }
    std::string out;
    expect_found(m.first(out), out, model.empty() ? std::nullopt
                                                  : std::optional(*model.begin()), "first");
    expect_found(m.last(out), out, model.empty() ? std::nullopt
                                                 : std::optional(*model.rbegin()), "last");
    // Down to empty: every node pruned, nothing accounted.
    std::vector<std::string> all;
    for (const auto& [k, v] : model) all.push_back(k);
    std::shuffle(all.begin(), all.end(), rng);
    for (std::size_t i = 0; i < all.size(); ++i) {
      ASSERT_TRUE(m.remove(all[i]).has_value());
      model.erase(all[i]);
      if (i % 200 == 0) check_tree(m, model);
    }
    check_tree(m, model);
    ASSERT_EQ(m.mem_used(), 0u);
    ASSERT_FALSE(m.remove("x").has_value());
  }
}

TEST(StrMap, WordsAndTheirAccounting) {
  CorvaleStrMap m;
  // The empty key is terminal word 0 of the root.
  EXPECT_FALSE(m.insert("", 5).has_value());
  EXPECT_EQ(m.mem_used(), NODE_RECORD_BYTES + m.root()->map.mem_used());
  EXPECT_EQ(m.remove(""), std::optional<u64>(5));
  EXPECT_EQ(m.root(), nullptr);
  // An 8-byte key is a tail with an empty suffix; no child node.
  m.insert("abcdefgh", 1);
  EXPECT_EQ(m.mem_used(), NODE_RECORD_BYTES + m.root()->map.mem_used() + TAIL_RECORD_BYTES);
  // One more byte splits it: the word leads to a child with words 0 and "x".
  m.insert("abcdefghx", 2);
  const u64 root_bytes = NODE_RECORD_BYTES + m.root()->map.mem_used();
  const u64* slot = m.root()->map.locate_slot(word_at("abcdefgh", 0));
  ASSERT_NE(slot, nullptr);
  ASSERT_FALSE(is_tail_ref(*slot));
  const StrNode* child = child_of(*slot);
  EXPECT_EQ(child->map.len(), 2u);
  EXPECT_EQ(child->map.get(0), std::optional<u64>(1));
  EXPECT_EQ(child->map.get(word_at("x", 0)), std::optional<u64>(2));
  EXPECT_EQ(m.mem_used(), root_bytes + NODE_RECORD_BYTES + child->map.mem_used());
  // Replacing a tail's value keeps its suffix; a near miss is absent.
  m.insert("zzzzzzzzsuffix", 3);
  EXPECT_EQ(m.insert("zzzzzzzzsuffix", 4), std::optional<u64>(3));
  EXPECT_EQ(m.get("zzzzzzzzsuffix"), std::optional<u64>(4));
  for (const char* miss : {"zzzzzzzzsuffi", "zzzzzzzzsuffixx", "zzzzzzzzsuffiy", "zzzzzzzz"}) {
    EXPECT_FALSE(m.get(miss).has_value()) << miss;
    EXPECT_FALSE(m.remove(miss).has_value()) << miss;
  }
  EXPECT_EQ(m.len(), 3u);
  // Three shared words, then a difference: a chain of three nodes.
  const std::string stem = "AAAAAAAABBBBBBBBCCCCCCCC";
  m.insert(stem + "D1", 7);
  m.insert(stem + "D2", 8);
  const StrNode* n = m.root();
  for (int i = 0; i < 3; ++i) {
    const u64* s = n->map.locate_slot(word_at(stem, 8 * i));
    ASSERT_NE(s, nullptr);
    ASSERT_FALSE(is_tail_ref(*s));
    n = child_of(*s);
    EXPECT_EQ(n->map.len(), i < 2 ? 1u : 2u);
  }
  // Removing one leaves the other in the last node (no re-compression);
  // removing both releases the chain up to the root.
  m.remove(stem + "D1");
  EXPECT_EQ(n->map.len(), 1u);
  EXPECT_EQ(m.get(stem + "D2"), std::optional<u64>(8));
  m.remove(stem + "D2");
  EXPECT_FALSE(m.root()->map.contains_key(word_at(stem, 0)));
  // Tails beyond the arena's pooled sizes come from the system: split,
  // replaced, removed and torn down like the others.
  const std::string big = "BBBBBBBB" + std::string(1000, 'q');
  m.insert(big, 11);
  EXPECT_EQ(m.insert(big, 12), std::optional<u64>(11));
  m.insert(big + "r", 13);  // splits: the rest becomes a large tail one level down
  m.insert("BBBBBBBB" + std::string(2000, 'q'), 14);
  EXPECT_EQ(m.get(big), std::optional<u64>(12));
  EXPECT_EQ(m.remove(big + "r"), std::optional<u64>(13));
  m.clear();
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(m.mem_used(), 0u);
}

TEST(StrMap, NeighboursAtWordBoundaries) {
  CorvaleStrMap m;
  std::string out;
  EXPECT_FALSE(m.next_at_or_after("", out).has_value());
  EXPECT_FALSE(m.prev_at_or_before("", false, out).has_value());
  EXPECT_FALSE(m.last(out).has_value());
  m.insert("ab", 1);
  m.insert("abcdefgh", 2);
  m.insert("abcdefghij", 3);
  EXPECT_EQ(m.next_at_or_after("abcdefgh", out), std::optional<u64>(2));
  EXPECT_EQ(out, "abcdefgh");
  EXPECT_EQ(m.next_at_or_after("abcdefgh\x01", out), std::optional<u64>(3));
  EXPECT_EQ(out, "abcdefghij");
  EXPECT_EQ(m.prev_at_or_before("abcdefgh", true, out), std::optional<u64>(1));
  EXPECT_EQ(out, "ab");
  // A query of eight 0xFF bytes beyond its word's tail: no successor there.
  CorvaleStrMap f;
  const std::string ff(8, '\xff');
  f.insert(ff + "a", 1);
  f.insert("b", 2);
  EXPECT_FALSE(f.next_at_or_after(ff + "b", out).has_value());
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(f.prev_at_or_before(ff + "b", true, out), std::optional<u64>(1));
  EXPECT_EQ(out, ff + "a");
  // A query far beyond the stored keys.
  EXPECT_EQ(f.prev_at_or_before(std::string(1000, 'c'), false, out), std::optional<u64>(2));
  EXPECT_EQ(out, "b");
}

// The positioned cursor where its seek meets each kind of entry: a child
// or a tail at the start's full word (the tail's key below, equal to or
// above the start), the word of eight 0xFF bytes (nothing after it in its
// node), flat node arrays of every length up to the tree threshold and a
// tree node, each start at and around every key.
TEST(StrMap, CursorFromEveryStart) {
  const std::string ff(8, '\xff');
  for (u64 fill : {u64{0}, u64{1}, u64{3}, u64{4}, u64{5}, u64{8}, u64{30}, u64{31}, u64{32}, u64{200}}) {
    CorvaleStrMap m;
    Model model;
    auto put = [&](const std::string& k, u64 v) {
      m.insert(k, v);
      model[k] = v;
    };
    // Siblings in the root and in one child: `fill` words besides the ones
    // below, so that both nodes run through the flat sizes and into a tree.
    for (u64 i = 0; i < fill; ++i) {
      put(std::string(1, static_cast<char>('A' + i % 26)) + std::to_string(i), i);
      put("stemstem" + std::string(1, static_cast<char>('A' + i % 26)) + std::to_string(i) + "xxxxxxxx", i);
    }
    put(ff, 1);                          // a tail with an empty suffix at the 0xFF word
    put(ff + ff + "tail", 2);            // ... split: the 0xFF word leads to a child
    put("stemstem", 3);                  // a child holding terminal word 0
    put("stemstemlongtailbytes", 4);     // a tail beyond a shared word
    put("stemstemlongtailbytez12345", 5);
    put("q", 6);
    put("", 7);
    check_cursor_starts(m, model);
    for (const std::string& start : {std::string(), std::string("stemstem"), ff, ff + ff})
      check_cursor_from(m, model, start, 0);
    if (HasFatalFailure()) return;
  }
  CorvaleStrMap empty;
  InOrder none(empty, "anything");
  EXPECT_FALSE(none.next());
}

// Runs `body` on a thread with a stack of `bytes`.
template <class F>
void on_small_stack(std::size_t bytes, F body) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, bytes), 0);
  pthread_t thread;
  auto run = [](void* f) -> void* {
    (*static_cast<F*>(f))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &body), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
}

// Two keys of `len` bytes that differ only in the last byte hang through a
// chain of len/8 nodes; a recursive walk would need that many frames, more
// than the 256 KiB stack this test runs on holds.
void deep_trees();
TEST(StrMap, DeepTreesNeedNoRecursion) { on_small_stack(256 * 1024, [] { deep_trees(); }); }

void deep_trees() {
  const u64 len = scaled(u64{1} << 17, u64{1} << 13);
  std::string a(len, 'k');
  std::string b = a;
  b.back() = 'l';
  CorvaleStrMap m;
  m.insert(a, 1);
  m.insert(b, 2);
  m.insert("k", 3);
  EXPECT_EQ(m.get(a), std::optional<u64>(1));
  std::string out;
  EXPECT_EQ(m.next_at_or_after(a + '\x01', out), std::optional<u64>(2));
  EXPECT_EQ(out, b);
  EXPECT_EQ(m.prev_at_or_before(a, true, out), std::optional<u64>(3));
  EXPECT_EQ(m.last(out), std::optional<u64>(2));
  EXPECT_GT(m.mem_used(), (len / 8) * NODE_RECORD_BYTES);
  InOrder cur(m);
  u64 seen = 0;
  while (cur.next()) ++seen;
  EXPECT_EQ(seen, 3u);
  InOrder from(m, a + '\x01');  // one frame per node of the chain
  ASSERT_TRUE(from.next());
  EXPECT_EQ(from.key(), b);
  EXPECT_FALSE(from.next());
  // Removing one key keeps the chain (no re-compression) ...
  m.remove(a);
  EXPECT_EQ(m.get(b), std::optional<u64>(2));
  // ... and teardown of what is left is iterative too.
  m.clear();

  // Keys each one byte longer than the last: every node on the chain holds
  // eight terminal words and the next full word.
  const u64 n = scaled(20000, 2000);
  std::string key;
  for (u64 i = 0; i < n; ++i) {
    key.push_back(static_cast<char>('a' + i % 26));
    m.insert(key, i);
  }
  EXPECT_EQ(m.len(), n);
  EXPECT_EQ(m.get(key), std::optional<u64>(n - 1));
  EXPECT_EQ(m.last(out), std::optional<u64>(n - 1));
  EXPECT_EQ(m.prev_at_or_before(key, true, out), std::optional<u64>(n - 2));
  // Dropped with the map: the destructor runs the same teardown.
}

}  // namespace
}  // namespace corvale_trie::strmap
