// Conversions between branch node kinds; see convert.hpp for the protocol.
#include "engine/convert.hpp"

#include <cstring>

namespace corvale_trie::mutate {
namespace {

// The node a conversion replaces; a null one is a broken invariant, reported
// here with no message text of its own.
template <class T>
T* node_under(const Edge& edge) {
  T* node = edge.ptr<T>();
  CORVALE_EXPECT(node != nullptr, "");
  return node;
}

void point_edge_at(Edge& edge, const void* node, u8 tag) noexcept {
  edge.set_ptr(node);
  edge.tag = tag;
}

// Allocates the subarrays of every non-empty group of `b` (group_counts set).
void allocate_subarrays(NodeAlloc& alloc, BranchB& b) {
  for (unsigned g = 0; g < 8; ++g)
    if (b.group_counts[g] != 0) b.subarrays[g] = alloc.make_array<Edge>(capacity_for(b.group_counts[g]));
}

void release_subarrays(NodeAlloc& alloc, const BranchB& b) {
  for (unsigned g = 0; g < 8; ++g) {
    if (b.group_counts[g] == 0) continue;
    CORVALE_EXPECT(b.subarrays[g] != nullptr, "");
    alloc.destroy_array(b.subarrays[g], capacity_for(b.group_counts[g]), "");
  }
}

// Calls f(digit, child) for every child of a BranchB in ascending digit order.
template <class F>
void for_each_b_child(const BranchB& b, F&& f) {
  for (unsigned g = 0; g < 8; ++g) {
    u32 word = b.bitmap.group(g);
    if (word == 0) continue;
    const Edge* sub = b.subarrays[g];
    CORVALE_EXPECT(sub != nullptr, "");
    for (unsigned i = 0; word != 0; ++i, word &= word - 1)
      f(static_cast<u8>(32 * g + std::countr_zero(word)), sub[i]);
  }
}

// A new BranchB of `level` holding the children that `each` visits in
// ascending digit order (each(f) calls f(digit, child) for every child):
// the group counts first, then one subarray of capacity_for(count) edges per
// non-empty group, then the children in order.
template <class Each>
BranchB* build_branch_b(NodeAlloc& alloc, u8 level, Each&& each) {
  auto* b = alloc.make<BranchB>();
  b->level = level;
  each([&](u8 d, const Edge&) {
    b->bitmap.set(d);
    ++b->group_counts[d >> 5];
  });
  allocate_subarrays(alloc, *b);
  u16 fill[8] = {};
  each([&](u8 d, const Edge& child) { b->subarrays[d >> 5][fill[d >> 5]++] = child; });
  return b;
}

// Copies the header and the first n children of one linear branch into
// another (of either kind).
template <class To, class From>
void copy_linear(To& to, const From& from, unsigned n) {
  static_cast<BranchLinearHeader&>(to) = from;
  for (unsigned i = 0; i < n; ++i) to.children[i] = from.children[i];
}

}  // namespace

void upgrade_l3_to_l7(NodeAlloc& alloc, Edge& edge) {
  BranchL3* old = node_under<BranchL3>(edge);
  auto* grown = alloc.make<BranchL7>();
  copy_linear(*grown, *old, 3);  // children 3..6 stay empty
  mark_leaving(alloc, *old);
  point_edge_at(edge, grown, TAG_L7);
  alloc.destroy(old, "");
}

void upgrade_l7_to_b(NodeAlloc& alloc, Edge& edge) {
  BranchL7* old = node_under<BranchL7>(edge);
  CORVALE_EXPECT(old->count <= L7_MAX_CHILDREN, "");
  BranchB* b = build_branch_b(alloc, old->level, [&](auto&& f) {
    for (unsigned i = 0; i < old->count; ++i) f(old->digits[i], old->children[i]);
  });
  mark_leaving(alloc, *old);
  point_edge_at(edge, b, TAG_B);
  alloc.destroy(old, "");
}

void upgrade_b_to_u(NodeAlloc& alloc, Edge& edge) {
  BranchB* old = node_under<BranchB>(edge);
  BranchU* u = alloc.make<BranchU>();
  for_each_b_child(*old, [&](u8 d, const Edge& child) { u->children[d] = child; });
  mark_leaving(alloc, *old);
  point_edge_at(edge, u, TAG_U);
  release_subarrays(alloc, *old);
  alloc.destroy(old, "");
}

void downgrade_u_to_b(NodeAlloc& alloc, Edge& edge, u8 level) {
  BranchU* old = node_under<BranchU>(edge);
  BranchB* b = build_branch_b(alloc, level, [&](auto&& f) {
    for (unsigned d = 0; d < 256; ++d)
      if (!old->children[d].is_empty()) f(static_cast<u8>(d), old->children[d]);
  });
  mark_leaving(alloc, *old);
  point_edge_at(edge, b, TAG_B);
  alloc.destroy(old, "");
}

void downgrade_b_to_l7(NodeAlloc& alloc, Edge& edge) {
  BranchB* old = node_under<BranchB>(edge);
  auto* l7 = alloc.make<BranchL7>();
  l7->level = old->level;
  for_each_b_child(*old, [&](u8 d, const Edge& child) {
    if (l7->count >= L7_MAX_CHILDREN) [[unlikely]]
      panic_fmt(CORVALE_HERE, "index out of bounds: the len is 7 but the index is %u", l7->count);
    l7->digits[l7->count] = d;
    l7->children[l7->count] = child;
    ++l7->count;
    l7->nibble_filter |= static_cast<u16>(1u << (d & 15));
  });
  mark_leaving(alloc, *old);
  point_edge_at(edge, l7, TAG_L7);
  release_subarrays(alloc, *old);
  alloc.destroy(old, "");
}

void downgrade_l7_to_l3(NodeAlloc& alloc, Edge& edge) {
  BranchL7* old = node_under<BranchL7>(edge);
  auto* l3 = alloc.make<BranchL3>();
  copy_linear(*l3, *old, 3);  // header, digit row, children 0..2
  mark_leaving(alloc, *old);
  point_edge_at(edge, l3, TAG_L3);
  alloc.destroy(old, "");
}

void wrap_skip_level(NodeAlloc& alloc, Edge& edge, u8 new_level, u8 edge_level, u64 population) {
  const unsigned L = new_level;
  const unsigned E = edge_level;
  CORVALE_ASSERT(L >= 1 && L <= E);
  if (L - 1 > 6) [[unlikely]]
    panic_fmt(CORVALE_HERE, "index out of bounds: the len is 7 but the index is %u", L - 1);
  const u8 d = edge.decode[L - 1];

  // The old subtree keeps its pop field and the part of its skip prefix below
  // level L; key bytes L-1 and up are now resolved by the new node and above.
  Edge child = edge;
  const unsigned top = E < 7 ? E : 7;
  for (unsigned i = L - 1; i < top; ++i) child.decode[i] = 0;

  auto* node = alloc.make<BranchL3>();
  node->count = 1;
  node->level = static_cast<u8>(L);
  node->nibble_filter = static_cast<u16>(1u << (d & 15));
  node->digits[0] = d;
  node->children[0] = child;

  const Edge old = edge;
  edge.clear();
  point_edge_at(edge, node, TAG_L3);
  for (unsigned i = L; i < top; ++i) edge.decode[i] = old.decode[i];
  edge.set_pop(L, population);
}

void free_branch_node(NodeAlloc& alloc, void* node, bool is_l3) {
  if (is_l3)
    release_branch(alloc, static_cast<BranchL3*>(node));
  else
    release_branch(alloc, static_cast<BranchL7*>(node));
}

unsigned linear_insert_slot(u8* digits, Edge* children, unsigned capacity, unsigned count, u8 digit) {
  if (count > 8) [[unlikely]]
    panic_fmt(CORVALE_HERE, "range end index %u out of range for slice of length 8", count);
  unsigned pos = 0;
  while (pos < count && digits[pos] <= digit) ++pos;
  for (unsigned j = count; j > pos; --j) {
    if (j >= 8 || j >= capacity) [[unlikely]]
      panic_fmt(CORVALE_HERE, "index out of bounds: the len is %u but the index is %u", capacity, j);
    occ::store(digits[j], digits[j - 1]);
    occ::store_edge(children[j], children[j - 1]);
  }
  if (pos >= capacity) [[unlikely]]
    panic_fmt(CORVALE_HERE, "index out of bounds: the len is %u but the index is %u", capacity, pos);
  occ::store(digits[pos], digit);
  occ::store_edge(children[pos], Edge{});
  return pos;
}

unsigned linear_remove_slot(u8* digits, Edge* children, unsigned capacity, unsigned count,
                            unsigned index) {
  CORVALE_EXPECT(count >= 1, "");
  const unsigned last = count - 1;
  if (last >= capacity || last >= 8) [[unlikely]]
    panic_fmt(CORVALE_HERE, "index out of bounds: the len is %u but the index is %u", capacity, last);
  for (unsigned i = index; i < last; ++i) {
    occ::store(digits[i], digits[i + 1]);
    occ::store_edge(children[i], children[i + 1]);
  }
  occ::store(digits[last], u8{0});
  occ::store_edge(children[last], Edge{});
  return last;
}

}  // namespace corvale_trie::mutate
