// verify() detects faults, and the fatal checks that guard memory safety
// stop the process with a report that names the thread and the place.
//
// Each corruption is applied to a real container (built through its public
// API, so it holds every node kind), must be reported with its own text,
// and once undone the container must check clean again. Corrupted tags stop
// every walk: nothing trusts an unknown form.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>
#include <thread>

#include "engine/iter.hpp"
#include "engine/leaf.hpp"
#include "support.hpp"

namespace corvale_trie {
namespace {

using namespace testsupport;

constexpr u64 K = 0x1122334455000000ull;  // K | 0x1xx: a level-1 bitmap leaf

// The death tests below run each dying statement in a child that executes
// the test binary afresh ("threadsafe"). A binary run by a user-mode
// emulator (the cross build's tests under qemu-user) cannot execute itself
// again, so there the child is a fork of the test ("fast"), which is as
// sound for these tests: the process has one thread when it forks (the
// engine starts none, the tests join theirs), and every statement builds
// the container it corrupts inside the child.
void choose_death_test_style() {
#ifdef CORVALE_TESTS_UNDER_EMULATOR
  GTEST_FLAG_SET(death_test_style, "fast");
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
}

template <bool IS_MAP>
void fill(Container<IS_MAP>& c) {
  auto add = [&c](u64 k) {
    if constexpr (IS_MAP) c.insert(k, k ^ 5);
    else c.insert(k);
  };
  for (u64 i = 0; i < 60; ++i) add(K | 0x100 | (i * 3));
  add(K | 0x200);
  for (Dist d : {Dist::Uniform, Dist::Clusters, Dist::SharedUpper, Dist::Dense}) {
    KeyGen gen(d, test_seed(0x7E51));  // the seed is printed by the callers' traces
    for (int i = 0; i < 1500; ++i) add(gen());
  }
}

// The first edge (parents first) for which `pred` holds.
Edge* find_edge(CoreRecord& rec, const std::function<bool(const Edge&, unsigned)>& pred) {
  Edge* found = nullptr;
  for_each_edge(rec.root, ROOT_LEVEL, [&](Edge& e, unsigned E) {
    if (found == nullptr && pred(e, E)) found = &e;
  });
  return found;
}

struct Fault {
  const char* name;
  const char* report;  // a text the report must contain
  // Applies the fault and returns its undo; nullptr when the container
  // offers no place for it.
  std::function<std::function<void()>(CoreRecord&, bool is_map)> apply;
};

std::function<void()> flip_byte(u8& b, u8 mask) {
  b ^= mask;
  return [&b, mask] { b ^= mask; };
}

const std::vector<Fault>& faults() {
  static const std::vector<Fault> table = {
      {"length", "len", [](CoreRecord& r, bool) -> std::function<void()> {
         ++r.len;
         return [&r] { --r.len; };
       }},
      {"pop field", "pop field", [](CoreRecord& r, bool) -> std::function<void()> {
         Edge* e = find_edge(r, [](const Edge& e, unsigned E) { return E < 8 && is_branch_tag(e.tag); });
         if (!e) return nullptr;
         return flip_byte(e->decode[0], 1);
       }},
      {"nibble filter", "nibble filter", [](CoreRecord& r, bool) -> std::function<void()> {
         Edge* e = find_edge(r, [](const Edge& e, unsigned) { return e.tag == TAG_L7; });
         if (!e) return nullptr;
         auto* n = e->ptr<BranchL7>();
         const u16 was = n->nibble_filter;
         n->nibble_filter = static_cast<u16>(was ^ (1u << (n->digits[0] & 15)));
         return [n, was] { n->nibble_filter = was; };
       }},
      {"linear branch digits", "not ascending", [](CoreRecord& r, bool) -> std::function<void()> {
         Edge* e = find_edge(r, [](const Edge& e, unsigned) { return e.tag == TAG_L3 && e.ptr<BranchL3>()->count >= 2; });
         if (!e) return nullptr;
         auto* n = e->ptr<BranchL3>();
         std::swap(n->digits[0], n->digits[1]);
         std::swap(n->children[0], n->children[1]);
         return [n] {
           std::swap(n->digits[0], n->digits[1]);
           std::swap(n->children[0], n->children[1]);
         };
       }},
      {"BranchB group count", "group", [](CoreRecord& r, bool) -> std::function<void()> {
         Edge* e = find_edge(r, [](const Edge& e, unsigned) { return e.tag == TAG_B; });
         if (!e) return nullptr;
         auto* n = e->ptr<BranchB>();
         const unsigned g = static_cast<unsigned>(n->bitmap.next_set(0)) >> 5;
         ++n->group_counts[g];
         return [n, g] { --n->group_counts[g]; };
       }},
      {"unreachable block", "mem_used", [](CoreRecord& r, bool) -> std::function<void()> {
         void* extra = r.alloc.allocate_bytes(40);
         return [&r, extra] { r.alloc.release_bytes(extra, 40); };
       }},
      {"missing leaf block", "without a block", [](CoreRecord& r, bool) -> std::function<void()> {
         Edge* e = find_edge(r, [](const Edge& e, unsigned) { return is_linear_leaf_tag(e.tag); });
         if (!e) return nullptr;
         const u64 was = e->payload;
         e->payload = 0;
         return [e, was] { e->payload = was; };
       }},
      {"linear leaf keys", "not ascending", [](CoreRecord& r, bool map) -> std::function<void()> {
         Edge* e = find_edge(r, [](const Edge& e, unsigned) { return is_linear_leaf_tag(e.tag); });
         if (!e) return nullptr;
         const unsigned w = linear_leaf_width(e->tag);
         u8* keys = e->ptr<u8>() + (map ? 8 * capacity_for(e->pop(w)) : 0);  // a map's values come first
         auto swap = [keys, w] { std::swap_ranges(keys, keys + w, keys + w); };
         swap();
         return swap;
       }},
      {"bitmap leaf bit", "pop field", [](CoreRecord& r, bool) -> std::function<void()> {
         auto* bits = edge_on_path(r, K | 0x100, 1)->ptr<Bitmap256>();
         bits->set(1);  // K | 0x101 is not a key: 0x100 | 3i only
         return [bits] { bits->reset(1); };
       }},
      {"invalid tag", "invalid", [](CoreRecord& r, bool) -> std::function<void()> {
         Edge* e = const_cast<Edge*>(edge_on_path(r, K | 0x100, 1));
         const u8 was = e->tag;
         e->tag = 13;
         return [e, was] { e->tag = was; };
       }},
      {"pending without a cached path", "pending", [](CoreRecord& r, bool) -> std::function<void()> {
         r.path.flush_and_reset();
         r.path.pending = 3;
         return [&r] { r.path.pending = 0; };
       }},
  };
  return table;
}

template <bool IS_MAP>
void detects_every_fault() {
  CORVALE_SEED_TRACE(test_seed(0x7E51));
  Container<IS_MAP> c;
  fill<IS_MAP>(c);
  ASSERT_EQ(errors_of<IS_MAP>(c), "");
  for (const Fault& f : faults()) {
    SCOPED_TRACE(f.name);
    const std::function<void()> undo = f.apply(c.record(), IS_MAP);
    ASSERT_TRUE(undo) << "no place for the fault";
    const std::string report = errors_of<IS_MAP>(c);
    EXPECT_NE(report.find(f.report), std::string::npos) << "wanted \"" << f.report << "\" in:\n" << report;
    undo();
    ASSERT_EQ(errors_of<IS_MAP>(c), "");
  }
}

TEST(Verify, SetReportsEveryFault) { detects_every_fault<false>(); }
TEST(Verify, MapReportsEveryFault) { detects_every_fault<true>(); }

// An edge of an unknown tag (13; 0x28: width 2 with 9 keys, beyond an
// Immediate's 15 bytes; 0x18: nine width-1 keys, a set form but beyond a map
// Immediate's 7 bytes; 128) stops every walk with "valid edge tag": point
// and batch lookups, navigation, iteration, range seeks, removal and the
// release of the tree. A leaf width outside 1..7 stops the leaf searches.
TEST(VerifyDeathTest, UnknownTagsStopEveryWalk) {
  choose_death_test_style();
  CORVALE_SEED_TRACE(test_seed(0x7E51));
  const u64 key = K | 0x100;
  const std::vector<u64> keys = {K | 0x100, K | 0x103, K | 0x1B1};
  auto corrupt = [&](auto& c, u8 tag) {
    const_cast<Edge*>(edge_on_path(c.record(), key, 1))->tag = tag;
  };
  for (u8 tag : {u8{13}, u8{0x28}, u8{0x18}, u8{128}}) {
    SCOPED_TRACE(int(tag));
    const bool set_form = is_set_immed_tag(tag);
    std::vector<std::function<void(set::CorvaleSet&)>> set_walks = {
        [&](set::CorvaleSet& s) { (void)s.contains(key); },
        [&](set::CorvaleSet& s) {
          std::vector<u8> found(keys.size());
          s.contains_batch(keys, found.data());
        },
        [&](set::CorvaleSet& s) { (void)s.next(key); },
        [&](set::CorvaleSet& s) { (void)s.to_vec(); },
        [&](set::CorvaleSet& s) { (void)s.remove(key); },
        [&](set::CorvaleSet& s) { s.clear(); },
    };
    if (!set_form) {
      for (auto& walk : set_walks) {
        EXPECT_DEATH(
            {
              set::CorvaleSet s;
              fill<false>(s);
              corrupt(s, tag);
              walk(s);
            },
            "valid edge tag");
      }
    }
    std::vector<std::function<void(map::CorvaleMap&)>> map_walks = {
        [&](map::CorvaleMap& m) { (void)m.get(key); },
        [&](map::CorvaleMap& m) {
          std::vector<FoundValue> values(keys.size());
          m.get_batch(keys, values.data());
        },
        [&](map::CorvaleMap& m) { (void)m.to_vec(); },
        [&](map::CorvaleMap& m) { (void)m.range(key - 1, key + 10).next(); },
        [&](map::CorvaleMap& m) { m.clear(); },
    };
    for (auto& walk : map_walks) {
      EXPECT_DEATH(
          {
            map::CorvaleMap m;
            fill<true>(m);
            corrupt(m, tag);
            walk(m);
          },
          set_form ? "valid edge tag|out of range" : "valid edge tag");
    }
  }
  const u8 packed[16] = {1, 2, 3};
  for (u8 width : {u8{0}, u8{8}}) {
    EXPECT_DEATH((void)leaf::locate(packed, 2, width, 1), "valid leaf width");
    EXPECT_DEATH((void)leaf::search(packed, 2, width, 1), "valid leaf width");
  }
}

// A tree whose key count disagrees with the container's count stops when it
// is condensed (it would otherwise write past the new flat array or leave
// slots unset); a map walk meeting a FullEdge stops (a map has no value for
// it).
TEST(VerifyDeathTest, BrokenInvariantsStopTheProcess) {
  choose_death_test_style();
  // Keys 0..30 in a tree: a BitmapLeaf under the root's first child.
  auto tree_of_31 = [](set::CorvaleSet& s) {
    for (u64 k = 0; k <= 32; ++k) s.insert(k);
    s.remove(31);
    s.remove(32);
    return edge_on_path(s.record(), 0, 1)->ptr<Bitmap256>();
  };
  EXPECT_DEATH(
      {
        set::CorvaleSet s;
        tree_of_31(s)->set(200);
        s.remove(0);
      },
      "condensed tree holds no more keys than its count");
  EXPECT_DEATH(
      {
        set::CorvaleSet s;
        tree_of_31(s)->reset(5);
        s.remove(0);
      },
      "condensed tree holds as many keys as its count");
  EXPECT_DEATH(
      {
        map::CorvaleMap m;
        fill<true>(m);
        Edge* e = const_cast<Edge*>(edge_on_path(m.record(), K | 0x100, 1));
        *e = Edge{};
        e->tag = TAG_FULL;
        e->decode[0] = 0xFF;
        (void)m.get(K | 0x100);
      },
      "full-corvale edges are set-flavor only");
}

void name_this_thread(const char* name) {
#if defined(__APPLE__)
  pthread_setname_np(name);
#else
  pthread_setname_np(pthread_self(), name);
#endif
}

// The report of a stopped process names the thread ("main" for the first,
// else its name, or "<unnamed>") and gives its id and the place of the check.
TEST(PanicReportDeathTest, NamesTheThreadAndThePlace) {
  choose_death_test_style();
  const std::string place = " panicked at [^\n]*test_verify\\.cpp:[0-9]+:1:\n";
  EXPECT_DEATH(CORVALE_PANIC("a broken rule"), "\nthread 'main' \\([1-9][0-9]*\\)" + place + "a broken rule\n");
  EXPECT_DEATH(std::thread([] {
                 name_this_thread("corvale-worker");
                 CORVALE_PANIC("a rule broken elsewhere");
               }).join(),
               "\nthread 'corvale-worker' \\([1-9][0-9]*\\)" + place + "a rule broken elsewhere\n");
  EXPECT_DEATH(std::thread([] {
                 name_this_thread("");
                 CORVALE_PANIC("a rule broken in the dark");
               }).join(),
               "\nthread '<unnamed>' \\([1-9][0-9]*\\)" + place + "a rule broken in the dark\n");
}

}  // namespace
}  // namespace corvale_trie
