// Deterministic interleavings of one lock-free lookup and the writer, one per
// way a writer replaces or releases a block that a reader may be inside.
//
// The reader thread runs the production lookup (SyncCorvaleSet::contains,
// SyncCorvaleMap::get) and stops at the walk's test-only pause point right
// after it has copied and validated the edge of the leaf that holds the
// probe key: it is then inside the branch node holding that edge, which is
// its guard. The writer (the test thread) replaces that node, or the leaf,
// or releases them, and changes something beneath. The reader resumes and
// must start again from the root (the hook sees it descend once more) and
// give the answer that the locked read gives after the writer's changes.
//
// The scenarios put a leaf of nine keys (1<<56) | 100*i, room for a tenth,
// under the node, probe its last key, and let the writer insert
// X = (1<<56) | 50 below them after the replacement, which shifts every key
// of the leaf in place: a reader that kept the replaced node's version as a
// valid guard would search the shifted leaf with its stale count and answer
// "absent" for a present key.
#include <gtest/gtest.h>

#include <thread>

#include "engine/sync.hpp"
#include "engine/verify.hpp"
#include "pause_point.hpp"

namespace corvale_trie {
namespace {

using sync::SyncCorvaleMap;
using sync::SyncCorvaleSet;
using testsupport::PausePoint;

constexpr u64 value_of(u64 key) noexcept { return key * 0x9E37'79B9'7F4A'7C15ull ^ 0x5555; }
constexpr u64 top(u64 digit, u64 low) noexcept { return (digit << 56) | low; }

bool is_leaf_edge(const Edge& e) { return is_linear_leaf_tag(e.tag) || e.tag == TAG_BITMAP_LEAF; }

// One writer step.
struct Op {
  enum Kind { Insert, Remove, Clear } kind;
  u64 key = 0;
};

template <class C>
constexpr bool kMap = std::is_same_v<C, SyncCorvaleMap>;

template <class C>
void apply(C& c, const Op& op) {
  switch (op.kind) {
    case Op::Insert:
      if constexpr (kMap<C>)
        c.insert(op.key, value_of(op.key));
      else
        c.insert(op.key);
      break;
    case Op::Remove:
      c.remove(op.key);
      break;
    case Op::Clear:
      c.clear();
      break;
  }
}

template <class C>
auto lookup(const C& c, u64 key) {
  if constexpr (kMap<C>)
    return c.get(key);
  else
    return c.contains(key);
}

// The answer of the locked read (the ordinary core lookup).
template <class C>
auto locked_lookup(C& c, u64 key) {
  return c.locked([key](const auto& inner) {
    if constexpr (kMap<C>)
      return inner.get(key);
    else
      return inner.contains(key);
  });
}

struct Scenario {
  std::vector<u64> keys;    // inserted before the reader starts
  std::vector<Op> writer;   // done while the reader is paused
  u64 probe;                // the key the reader looks up
  u8 node_tag;              // the kind of the guard node the reader is in
  std::function<bool(const Edge&)> pause_at = is_leaf_edge;
};

template <class C>
void run(const Scenario& s) {
  C c;
  for (u64 k : s.keys) apply(c, Op{Op::Insert, k});
  const CoreRecord& rec = c.inner_quiescent().record();
  ASSERT_EQ(rec.state, RootState::Tree);

  std::atomic<bool> done{false};
  decltype(lookup(c, 0)) answer{};
  {
    PausePoint pause(s.pause_at);
    std::thread reader([&] {
      answer = lookup(c, s.probe);
      done = true;
    });
    const bool paused = pause.wait_paused(done);
    if (paused) {
      for (const Op& op : s.writer) apply(c, op);
      pause.resume();
    }
    reader.join();
    ASSERT_TRUE(paused) << "the reader never reached the pause point";
    EXPECT_GE(PausePoint::descends_after(), 1u) << "the reader did not start again from the root";
  }
  EXPECT_EQ(answer, locked_lookup(c, s.probe));
  if constexpr (kMap<C>)
    EXPECT_EQ(verify::map_errors(c.inner_quiescent()), "");
  else
    EXPECT_EQ(verify::set_errors(c.inner_quiescent()), "");
}

// The guard node is the root; its children are the top digits. Digit 1
// holds the leaf of nine keys, digit 2 forty keys (the container stays a
// tree), digits 3.. one key each.
std::vector<u64> root_keys(u64 top_digits) {
  std::vector<u64> keys;
  for (u64 i = 1; i <= 9; ++i) keys.push_back(top(1, 100 * i));
  for (u64 i = 0; i < 40; ++i) keys.push_back(top(2, 7 * i));
  for (u64 d = 3; d <= top_digits; ++d) keys.push_back(top(d, 5));
  return keys;
}

constexpr u64 kProbe = top(1, 900);
constexpr u64 kX = top(1, 50);

// The root node's kind after inserting `keys`.
u8 root_tag_of(const std::vector<u64>& keys) {
  SyncCorvaleSet s;
  for (u64 k : keys) s.insert(k);
  return s.inner_quiescent().record().root.tag;
}

template <class C>
void each_scenario_of(const std::vector<std::pair<const char*, Scenario>>& scenarios) {
  for (const auto& [name, s] : scenarios) {
    SCOPED_TRACE(name);
    ASSERT_EQ(root_tag_of(s.keys), s.node_tag) << "the scenario's guard node is not of its kind";
    run<C>(s);
  }
}

// Conversions of the node the reader is in: the upgrades replace it without
// a bracket of their own (the node is only marked obsolete), the downgrades
// after the removal's bracket has moved its version.
std::vector<std::pair<const char*, Scenario>> conversions() {
  std::vector<std::pair<const char*, Scenario>> out;
  // BranchL3 -> BranchL7: a 4th top digit.
  out.push_back({"BranchL3 to BranchL7",
                 {root_keys(3), {{Op::Insert, top(4, 5)}, {Op::Insert, kX}}, kProbe, TAG_L3}});
  // BranchL7 -> BranchB: an 8th.
  out.push_back({"BranchL7 to BranchB",
                 {root_keys(7), {{Op::Insert, top(8, 5)}, {Op::Insert, kX}}, kProbe, TAG_L7}});
  // BranchB -> BranchU: a 193rd.
  out.push_back({"BranchB to BranchU",
                 {root_keys(192), {{Op::Insert, top(200, 5)}, {Op::Insert, kX}}, kProbe, TAG_B}});
  // BranchU -> BranchB: 194 top digits made it a BranchU; it stays one down
  // to 192 children and becomes a BranchB at 191.
  out.push_back({"BranchU to BranchB",
                 {root_keys(194),
                  {{Op::Remove, top(194, 5)}, {Op::Remove, top(193, 5)}, {Op::Remove, top(192, 5)}, {Op::Insert, kX}},
                  kProbe,
                  TAG_U}});
  // BranchB -> BranchL7: from 7 children down to 6.
  {
    Scenario s{root_keys(8), {{Op::Remove, top(7, 5)}, {Op::Insert, kX}}, kProbe, TAG_B};
    s.writer.insert(s.writer.begin(), Op{Op::Remove, top(8, 5)});
    out.push_back({"BranchB to BranchL7", s});
  }
  // BranchL7 -> BranchL3: from 3 children down to 2.
  {
    Scenario s{root_keys(4), {{Op::Remove, top(4, 5)}, {Op::Remove, top(3, 5)}, {Op::Insert, kX}}, kProbe,
               TAG_L7};
    out.push_back({"BranchL7 to BranchL3", s});
  }
  return out;
}

// Everything else that replaces or releases a block a reader may be in.
std::vector<std::pair<const char*, Scenario>> replacements(bool map) {
  std::vector<std::pair<const char*, Scenario>> out;
  // A BranchB's group subarray grows into a new block (8 -> 9 entries).
  out.push_back({"BranchB subarray replaced",
                 {root_keys(8), {{Op::Insert, top(9, 5)}, {Op::Insert, kX}}, kProbe, TAG_B}});
  // Leaf growth: twelve keys fill their block; the 13th moves them to a
  // new one.
  {
    Scenario s{root_keys(3), {{Op::Insert, kX}}, kProbe, TAG_L3};
    for (u64 i = 10; i <= 12; ++i) s.keys.push_back(top(1, 100 * i));
    s.probe = top(1, 1200);
    out.push_back({"leaf grown into a new block", s});
  }
  // Leaf split: 32 keys of width 2, the 33rd splits the leaf under a new
  // BranchL3.
  {
    Scenario s{root_keys(3), {{Op::Insert, kX}}, top(1, 3200), TAG_L3};
    for (u64 i = 10; i <= 32; ++i) s.keys.push_back(top(1, 100 * i));
    out.push_back({"leaf split", s});
  }
  // Leaf replacement: three keys shrink into a block of two, then into an
  // Immediate.
  {
    Scenario s{{}, {{Op::Remove, top(1, 200)}, {Op::Remove, top(1, 300)}}, top(1, 100), TAG_L3};
    s.keys = root_keys(3);
    std::erase_if(s.keys, [](u64 k) { return k >> 56 == 1 && (k & 0xFFFF) > 300; });
    out.push_back({"leaf shrunk and turned into an immediate", s});
  }
  // Skip-prefix split: a key that leaves the leaf edge's skip prefix puts a
  // one-child BranchL3 between the root and the leaf; X then shifts the leaf.
  out.push_back({"skip prefix split",
                 {root_keys(3), {{Op::Insert, top(1, u64{5} << 32)}, {Op::Insert, kX}}, kProbe, TAG_L3}});
  // A branch below the root emptied and released: the leaf sits under a
  // BranchL3 C of level 6 that loses every key; the BranchL3 of level 7
  // above C keeps another child, so the reader's new attempt passes it.
  {
    const u64 c_prefix = (u64{1} << 48) | (u64{1} << 40);
    Scenario s{root_keys(3), {}, top(1, c_prefix | 900), TAG_L3};
    for (u64& k : s.keys)
      if (k >> 56 == 1) k |= c_prefix;
    s.keys.push_back(top(1, (u64{1} << 48) | (u64{2} << 40) | 5));
    for (u64 k : s.keys)
      if (k >> 56 == 1) s.writer.push_back({Op::Remove, k});
    s.keys.push_back(top(1, (u64{2} << 48) | 5));
    out.push_back({"branch emptied and released", s});
  }
  // Clear: the whole tree is released; the writer fills the container
  // again, without the probe, up to a tree.
  {
    Scenario s{root_keys(3), {{Op::Clear}}, kProbe, TAG_L3};
    for (u64 k : s.keys)
      if (k != kProbe) s.writer.push_back({Op::Insert, k});
    out.push_back({"clear", s});
  }
  // Condense to the flat array and back to a tree, without the probe.
  {
    Scenario s{root_keys(3), {}, kProbe, TAG_L3};
    std::vector<u64> gone;
    for (u64 i = 0; i < 22; ++i) gone.push_back(top(2, 7 * i));
    for (u64 k : gone) s.writer.push_back({Op::Remove, k});
    s.writer.push_back({Op::Remove, kProbe});
    for (u64 k : gone) s.writer.push_back({Op::Insert, k});
    out.push_back({"condense and back to a tree", s});
  }
  if (!map) {
    // A BitmapLeaf at level 1 takes its 256th key and becomes a FullEdge.
    Scenario s{root_keys(3), {{Op::Insert, top(1, 0x1FF)}}, top(1, 0x1FF), TAG_L3};
    std::erase_if(s.keys, [](u64 k) { return k >> 56 == 1; });
    for (u64 b = 0; b < 255; ++b) s.keys.push_back(top(1, 0x100 | b));
    s.keys.push_back(top(1, 0x200));
    s.pause_at = [](const Edge& e) { return e.tag == TAG_BITMAP_LEAF; };
    out.push_back({"bitmap leaf filled into a full edge", s});
  }
  return out;
}

// A clear gives the container's blocks back to the system, but not while a
// reader is inside them: the paused reader holds the epoch, the blocks wait
// in the collector, and the reader resumes over live memory (AddressSanitizer
// builds report any read of a freed block). The first write after it left
// gives them back.
template <class C>
void clear_with_a_reader_inside() {
  C c;
  for (u64 k : root_keys(3)) apply(c, Op{Op::Insert, k});
  std::atomic<bool> done{false};
  decltype(lookup(c, 0)) answer{};
  {
    PausePoint pause(is_leaf_edge);
    std::thread reader([&] {
      answer = lookup(c, kProbe);
      done = true;
    });
    const bool paused = pause.wait_paused(done);
    if (paused) {
      c.clear();
      EXPECT_GT(c.collector()->pending_bytes(), 0u) << "blocks the reader may be in were given back";
      pause.resume();
    }
    reader.join();
    ASSERT_TRUE(paused) << "the reader never reached the pause point";
  }
  EXPECT_EQ(answer, decltype(answer){});  // absent after the clear
  apply(c, Op{Op::Remove, kProbe});         // a write that finds the container empty
  EXPECT_EQ(c.collector()->pending_bytes() + c.collector()->pooled_bytes(), 0u);
}

TEST(SyncPaused, ClearWithAReaderInsideGivesBlocksBackOnlyAfterItLeft) {
  clear_with_a_reader_inside<SyncCorvaleSet>();
  clear_with_a_reader_inside<SyncCorvaleMap>();
}

TEST(SyncPaused, SetReaderInsideAConvertedNodeStartsAgain) { each_scenario_of<SyncCorvaleSet>(conversions()); }

TEST(SyncPaused, MapReaderInsideAConvertedNodeStartsAgain) { each_scenario_of<SyncCorvaleMap>(conversions()); }

TEST(SyncPaused, SetReaderInsideAReplacedOrReleasedBlockStartsAgain) {
  each_scenario_of<SyncCorvaleSet>(replacements(false));
}

TEST(SyncPaused, MapReaderInsideAReplacedOrReleasedBlockStartsAgain) {
  each_scenario_of<SyncCorvaleMap>(replacements(true));
}

}  // namespace
}  // namespace corvale_trie
