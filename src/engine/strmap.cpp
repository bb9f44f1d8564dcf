// The sorted string map: point operations, teardown, ordered navigation,
// heap accounting and the in-order cursor (design in strmap.hpp).
#include "engine/strmap.hpp"

#include "engine/get.hpp"
#include "engine/leaf.hpp"

#include <new>
#include <utility>

namespace corvale_trie::strmap {

namespace {

// A node on the way down from the root: the node, the full word taken out
// of it, and the length of the output key before that word was appended.
struct PathRec {
  const StrNode* node;
  u64 word;
  u64 key_len;
};

// The path of a removal or a neighbour search: the first levels in place,
// deeper ones in a vector (keys of any length, no recursion, no allocation
// for the usual depths).
template <class T>
class PathStack {
 public:
  void push(const T& r) {
    if (n_ < kInline)
      inline_[n_] = r;
    else
      more_.push_back(r);
    ++n_;
  }
  [[nodiscard]] T pop() {
    --n_;
    if (n_ < kInline) return inline_[n_];
    const T r = more_.back();
    more_.pop_back();
    return r;
  }
  [[nodiscard]] bool empty() const noexcept { return n_ == 0; }

 private:
  static constexpr std::size_t kInline = 16;
  T inline_[kInline];
  std::vector<T> more_;
  std::size_t n_ = 0;
};

// The full word at `p` (8 key bytes there): one load, no padding.
[[nodiscard]] inline u64 full_word(const char* p) noexcept {
  u64 w;
  std::memcpy(&w, p, WORD_BYTES);
  return __builtin_bswap64(w);
}

// The value word of key word `w` in a node, or null. Most nodes below the
// top levels hold a few words in a flat array: up to DIRECT_COMPARE of them
// are compared one by one (they are sorted, so the scan stops at the first
// larger word), a larger array is searched by halves, a tree walked from
// its root edge.
constexpr u64 DIRECT_COMPARE = 4;

[[gnu::always_inline]] inline u64* word_slot(const StrNode& node, u64 w) noexcept {
  const CoreRecord& rec = node.map.record();
  if (rec.state == RootState::Flat) {
    u64* words = rec.flat_keys();
    const u64 n = rec.len;
    u64* values = words + capacity_for(n);
    if (n <= DIRECT_COMPARE) {
      for (u64 i = 0; i < n && words[i] <= w; ++i)
        if (words[i] == w) return values + i;
      return nullptr;
    }
    const u64 i = leaf::sorted_upper_bound(words, n, w);
    return i != 0 && words[i - 1] == w ? values + i - 1 : nullptr;
  }
  if (rec.state == RootState::Tree) return get::locate_slot(&rec.root, w, ROOT_LEVEL);
  return nullptr;
}

// Asks for the record a full word's entry leads to (a tail, or a child
// node's head, whose first line holds its integer map's root state and
// array or root edge), ahead of the cursor's step into it.
inline void prefetch_entry(u64 word, u64 value) noexcept {
  if (is_full_word(word)) __builtin_prefetch(reinterpret_cast<const void*>(value & ~TAIL_BIT));
}

// Node-level neighbour lookups beyond the integer map's inclusive next/prev.
std::optional<KeyValue> successor(const map::CorvaleMap& m, u64 w) {
  if (w == ~u64{0}) return std::nullopt;
  return m.next(w + 1);
}

std::optional<KeyValue> predecessor(const map::CorvaleMap& m, u64 w) {
  if (w == 0) return std::nullopt;
  return m.prev(w - 1);
}

// Three-way byte comparison (unsigned bytes; a proper prefix first).
int compare_bytes(std::string_view a, std::string_view b) noexcept {
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// One step of a descent to the smallest or largest key under an entry:
// appends the entry's bytes to `out`; a terminal word or a tail ends the
// descent with its value, a child is handed back in `child`.
std::optional<u64> enter(const KeyValue& e, std::string& out, const StrNode*& child) {
  if (!is_full_word(e.key)) {
    append_word(out, e.key, terminal_length(e.key));
    return e.value;
  }
  append_word(out, e.key, WORD_BYTES);
  if (is_tail_ref(e.value)) {
    const StrTail* t = tail_of(e.value);
    out.append(t->rest());
    return t->value;
  }
  child = child_of(e.value);
  return std::nullopt;
}

// The smallest or largest key under one entry of a node, appended to `out`;
// nothing when there is no entry.
std::optional<u64> take_from(const std::optional<KeyValue>& e, std::string& out, bool smallest) {
  if (!e) return std::nullopt;
  const StrNode* child = nullptr;
  if (std::optional<u64> v = enter(*e, out, child)) return v;
  return extreme_entry(*child, out, smallest);
}

// Backtracking of a neighbour search: from the deepest node on the path up,
// the smallest key after (forward) or the largest key before the word
// descended through; the key bytes of deeper levels are cut off first.
std::optional<u64> backtrack(PathStack<PathRec>& path, std::string& out, bool forward) {
  while (!path.empty()) {
    const PathRec r = path.pop();
    out.resize(r.key_len);
    const std::optional<KeyValue> e =
        forward ? successor(r.node->map, r.word) : predecessor(r.node->map, r.word);
    if (std::optional<u64> v = take_from(e, out, forward)) return v;
  }
  out.clear();
  return std::nullopt;
}

// Moves the children of `node` onto `stack` and releases (or, when the
// arena is about to be released whole, abandons) its tails. The node's
// integer map keeps the stale references: the node must be released next.
void take_children(const StrNode& node, std::vector<StrNode*>& stack, TailArena& tails,
                   bool arena_goes) {
  iter::MapIter it = node.map.iter();
  while (std::optional<KeyValue> e = it.next()) {
    if (!is_full_word(e->key)) continue;
    if (is_tail_ref(e->value)) {
      if (arena_goes)
        tails.abandon(tail_of(e->value));
      else
        tails.release(tail_of(e->value));
    } else {
      stack.push_back(child_of(e->value));
    }
  }
}

// Releases `top` and everything below it, depth first, without recursion.
void release_tree(StrNode* top, TailArena& tails, bool arena_goes) {
  std::vector<StrNode*> stack{top};
  while (!stack.empty()) {
    StrNode* m = stack.back();
    stack.pop_back();
    take_children(*m, stack, tails, arena_goes);
    delete m;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Tail arena

StrTail* TailArena::make(std::string_view suffix, u64 value) {
  const u64 size = block_size(suffix.size());
  void* block;
  if (size > MAX_POOLED) {
    block = ::operator new(size);
  } else if (void* head = free_[size / 8]) {
    std::memcpy(&free_[size / 8], head, sizeof(void*));
    block = head;
  } else {
    block = carve(size);
  }
  auto* t = static_cast<StrTail*>(block);
  u8* bytes = reinterpret_cast<u8*>(t + 1);
  if (!suffix.empty()) std::memcpy(bytes, suffix.data(), suffix.size());
  t->suffix = bytes;
  t->suffix_len = suffix.size();
  t->value = value;
  return t;
}

void TailArena::release(StrTail* t) noexcept {
  const u64 size = block_size(t->suffix_len);
  if (size > MAX_POOLED) {
    ::operator delete(t);
    return;
  }
  std::memcpy(static_cast<void*>(t), &free_[size / 8], sizeof(void*));
  free_[size / 8] = t;
}

void TailArena::abandon(StrTail* t) noexcept {
  if (block_size(t->suffix_len) > MAX_POOLED) ::operator delete(t);
}

void* TailArena::carve(u64 size) {
  if (static_cast<u64>(bump_end_ - bump_) < size) {
    // The rest of the current chunk becomes a free block of its own size.
    const u64 rest = static_cast<u64>(bump_end_ - bump_);
    if (rest >= TAIL_RECORD_BYTES) {
      std::memcpy(bump_, &free_[rest / 8], sizeof(void*));
      free_[rest / 8] = bump_;
    }
    const u64 chunk = next_chunk_;
    next_chunk_ = chunk * 2 < MAX_CHUNK ? chunk * 2 : MAX_CHUNK;
    auto* block = static_cast<u8*>(::operator new(chunk));
    std::memcpy(block, &chunks_, sizeof(void*));
    chunks_ = block;
    bump_ = block + CHUNK_HEADER;
    bump_end_ = block + chunk;
  }
  void* out = bump_;
  bump_ += size;
  return out;
}

void TailArena::release_all() noexcept {
  while (chunks_) {
    void* next;
    std::memcpy(&next, chunks_, sizeof(void*));
    ::operator delete(chunks_);
    chunks_ = next;
  }
  for (void*& head : free_) head = nullptr;
  bump_ = bump_end_ = nullptr;
  next_chunk_ = MIN_CHUNK;
}

// ---------------------------------------------------------------------------
// Point operations

std::optional<u64> CorvaleStrMap::insert(std::string_view key, u64 value) noexcept {
  if (!root_) root_ = new StrNode();
  StrNode* node = root_;
  const u64 n = key.size();
  u64 p = 0;
  while (n - p >= WORD_BYTES) {
    const u64 w = word_at(key, p);
    const std::string_view rest = key.substr(p + WORD_BYTES);
    // One descent finds the word or adds it (with a reference written at
    // once below; nothing else changes this node's map in between).
    const InsertOutcome slot = node->map.insert_keep(w, 0);
    if (!slot.found) {
      *slot.slot = tail_ref(tails_.make(rest, value));
      ++len_;
      return std::nullopt;
    }
    if (!is_tail_ref(slot.old)) {
      node = child_of(slot.old);
      p += WORD_BYTES;
      continue;
    }
    StrTail* t = tail_of(slot.old);
    if (t->rest() == rest) {
      const u64 old = t->value;
      t->value = value;
      return old;
    }
    // A second key through this word: split the tail one level down.
    auto* q = new StrNode();
    const std::string_view s = t->rest();
    const u64 w2 = word_at(s, 0);
    if (s.size() >= WORD_BYTES)
      (void)q->map.insert(w2, tail_ref(tails_.make(s.substr(WORD_BYTES), t->value)));
    else
      (void)q->map.insert(w2, t->value);
    *slot.slot = child_ref(q);
    tails_.release(t);
    node = q;
    p += WORD_BYTES;
  }
  const std::optional<u64> prev = node->map.insert(word_at(key, p), value);
  if (!prev) ++len_;
  return prev;
}

std::optional<u64> CorvaleStrMap::get(std::string_view key) const noexcept {
  const StrNode* node = root_;
  if (!node) return std::nullopt;
  const char* k = key.data();
  const u64 n = key.size();
  u64 p = 0;
  while (n - p >= WORD_BYTES) {
    const u64* slot = word_slot(*node, full_word(k + p));
    if (!slot) return std::nullopt;
    if (is_tail_ref(*slot)) {
      const StrTail* t = tail_of(*slot);
      const u64 rest = n - p - WORD_BYTES;
      if (t->suffix_len != rest || (rest != 0 && std::memcmp(t->suffix, k + p + WORD_BYTES, rest) != 0))
        return std::nullopt;
      return t->value;
    }
    node = child_of(*slot);
    p += WORD_BYTES;
  }
  if (const u64* slot = word_slot(*node, word_at(key, p))) return *slot;
  return std::nullopt;
}

std::optional<u64> CorvaleStrMap::remove(std::string_view key) noexcept {
  if (!root_) return std::nullopt;
  struct Link {
    StrNode* parent;
    u64 word;
  };
  PathStack<Link> path;
  StrNode* node = root_;
  const u64 n = key.size();
  u64 p = 0;
  std::optional<u64> result;
  while (n - p >= WORD_BYTES) {
    const u64 w = full_word(key.data() + p);
    const u64* slot = word_slot(*node, w);
    if (!slot) return std::nullopt;
    if (is_tail_ref(*slot)) {
      StrTail* t = tail_of(*slot);
      if (t->rest() != key.substr(p + WORD_BYTES)) return std::nullopt;
      result = t->value;
      (void)node->map.remove(w);
      tails_.release(t);
      break;
    }
    path.push({node, w});
    node = child_of(*slot);
    p += WORD_BYTES;
  }
  if (!result) {
    result = node->map.remove(word_at(key, p));
    if (!result) return std::nullopt;
  }
  // Prune the nodes left empty, deepest first.
  while (!path.empty()) {
    const Link link = path.pop();
    const u64* slot = link.parent->map.locate_slot(link.word);
    CORVALE_EXPECT(slot != nullptr, "path entry still linked");
    StrNode* child = child_of(*slot);
    if (!child->empty()) break;
    (void)link.parent->map.remove(link.word);
    release_tree(child, tails_, false);
  }
  --len_;
  if (root_->empty()) clear();
  return result;
}

void CorvaleStrMap::clear() noexcept {
  if (StrNode* r = std::exchange(root_, nullptr)) release_tree(r, tails_, true);
  tails_.release_all();
  len_ = 0;
}

// ---------------------------------------------------------------------------
// Ordered navigation

u64 extreme_entry(const StrNode& node, std::string& out, bool smallest) {
  const StrNode* n = &node;
  for (;;) {
    const std::optional<KeyValue> e = smallest ? n->map.first() : n->map.last();
    CORVALE_EXPECT(e.has_value(), "non-empty node");
    if (std::optional<u64> v = enter(*e, out, n)) return *v;
  }
}

std::optional<u64> CorvaleStrMap::next_at_or_after(std::string_view q, std::string& out) const {
  out.clear();
  if (!root_) return std::nullopt;
  out.reserve(q.size() + WORD_BYTES);
  PathStack<PathRec> path;
  const StrNode* node = root_;
  const u64 n = q.size();
  u64 c = 0;
  std::optional<KeyValue> e;
  for (;;) {
    if (n - c < WORD_BYTES) {
      // A terminal word: its own entry, when present, is the query itself.
      e = node->map.next(word_at(q, c));
      break;
    }
    // A full word: only its own entry needs a look inside; without one, the
    // first entry above it.
    const u64 w = full_word(q.data() + c);
    const u64* slot = word_slot(*node, w);
    if (!slot) {
      e = node->map.next(w);
      break;
    }
    if (!is_tail_ref(*slot)) {
      path.push({node, w, out.size()});
      append_word(out, w, WORD_BYTES);
      node = child_of(*slot);
      c += WORD_BYTES;
      continue;
    }
    const StrTail* t = tail_of(*slot);
    if (q.substr(c + WORD_BYTES) <= t->rest()) {
      append_word(out, w, WORD_BYTES);
      out.append(t->rest());
      return t->value;
    }
    e = successor(node->map, w);
    break;
  }
  if (std::optional<u64> v = take_from(e, out, true)) return v;
  return backtrack(path, out, true);
}

std::optional<u64> CorvaleStrMap::prev_at_or_before(std::string_view q, bool strict,
                                                    std::string& out) const {
  out.clear();
  if (!root_) return std::nullopt;
  out.reserve(q.size() + WORD_BYTES);
  PathStack<PathRec> path;
  const StrNode* node = root_;
  const u64 n = q.size();
  u64 c = 0;
  std::optional<KeyValue> e;
  for (;;) {
    if (n - c < WORD_BYTES) {
      const u64 w = word_at(q, c);
      e = strict ? predecessor(node->map, w) : node->map.prev(w);
      break;
    }
    const u64 w = full_word(q.data() + c);
    const u64* slot = word_slot(*node, w);
    if (!slot) {
      e = predecessor(node->map, w);
      break;
    }
    if (is_tail_ref(*slot)) {
      const StrTail* t = tail_of(*slot);
      const int ord = compare_bytes(q.substr(c + WORD_BYTES), t->rest());
      if (ord < 0 || (strict && ord == 0)) {
        e = predecessor(node->map, w);
        break;
      }
      append_word(out, w, WORD_BYTES);
      out.append(t->rest());
      return t->value;
    }
    path.push({node, w, out.size()});
    append_word(out, w, WORD_BYTES);
    node = child_of(*slot);
    c += WORD_BYTES;
  }
  if (std::optional<u64> v = take_from(e, out, false)) return v;
  return backtrack(path, out, false);
}

std::optional<u64> CorvaleStrMap::last(std::string& out) const {
  out.clear();
  if (!root_) return std::nullopt;
  return extreme_entry(*root_, out, false);
}

// ---------------------------------------------------------------------------
// Heap accounting

u64 subtree_bytes(const StrNode& node) {
  u64 total = 0;
  std::vector<const StrNode*> stack{&node};
  while (!stack.empty()) {
    const StrNode* m = stack.back();
    stack.pop_back();
    total += NODE_RECORD_BYTES + m->map.mem_used();
    iter::MapIter it = m->map.iter();
    while (std::optional<KeyValue> e = it.next()) {
      if (!is_full_word(e->key)) continue;
      if (is_tail_ref(e->value))
        total += TAIL_RECORD_BYTES + tail_of(e->value)->suffix_len;
      else
        stack.push_back(child_of(e->value));
    }
  }
  return total;
}

u64 CorvaleStrMap::mem_used() const { return root_ ? subtree_bytes(*root_) : 0; }

// ---------------------------------------------------------------------------
// In-order cursor

InOrder::InOrder(const CorvaleStrMap& m) {
  if (m.root()) push_frame(*m.root(), 0, 0);
}

InOrder::InOrder(const CorvaleStrMap& m, std::string_view start) {
  const StrNode* node = m.root();
  if (!node) return;
  const u64 n = start.size();
  u64 c = 0;
  while (n - c >= WORD_BYTES) {
    const u64 w = full_word(start.data() + c);
    // This node's frame yields its entries from w on (entries below w hold
    // keys below start, entries above it keys above start). A tree is read
    // at once through a cursor seeked to w, whose first step is w's own
    // entry when present; a flat array is looked up here and read only when
    // the walk comes back to it.
    Frame& f = push_frame(*node, c, w);
    const bool tree = node->map.record().state == RootState::Tree;
    std::optional<KeyValue> e;
    if (tree) {
      start_tree(f);
      e = f.it.next();
      if (e && e->key != w) {
        f.batch[f.count++] = *e;  // w is absent: the entry above it comes first
        return;
      }
    } else if (const u64* slot = word_slot(*node, w)) {
      e = KeyValue{w, *slot};
    }
    if (!e) return;
    const bool tail = is_tail_ref(e->value);
    if (tail && start.substr(c + WORD_BYTES) <= tail_of(e->value)->rest()) {
      if (tree) f.batch[f.count++] = *e;  // the tail's key is at or above start
      return;
    }
    // Past w: its tail's key lies below start, or the walk goes down through
    // it (the tree's cursor already stands after w).
    if (!tree) {
      if (w == ~u64{0})
        f.source = Source::Done;
      else
        f.from = w + 1;
    }
    if (tail) return;
    append_word(key_, w, WORD_BYTES);
    node = child_of(e->value);
    c += WORD_BYTES;
  }
  // A terminal word w: every entry from w on holds keys >= start.
  push_frame(*node, c, word_at(start, c));
}

InOrder::Frame& InOrder::push_frame(const StrNode& node, u64 key_len, u64 from) {
  if (frames_.empty()) frames_.reserve(8);
  Frame& f = frames_.emplace_back();
  f.node = &node;
  f.key_len = key_len;
  f.from = from;
  f.source = Source::Unread;
  return f;
}

void InOrder::start_tree(Frame& f) {
  f.source = Source::Tree;
  f.it = f.node->map.iter_from(f.from);
  f.pos = f.count = 0;
}

std::optional<KeyValue> InOrder::step(Frame& f) {
  if (f.source == Source::Unread) {
    const CoreRecord& rec = f.node->map.record();
    if (rec.state == RootState::Flat) {
      f.source = Source::Flat;
      f.words = rec.flat_keys();
      f.values = f.words + capacity_for(rec.len);
      f.count = static_cast<u32>(rec.len);
      f.pos = static_cast<u32>(leaf::sorted_lower_bound(f.words, rec.len, f.from));
      for (u32 i = f.pos; i < f.count && i < f.pos + PREFETCH_AHEAD; ++i)
        prefetch_entry(f.words[i], f.values[i]);
    } else {
      start_tree(f);
    }
  }
  switch (f.source) {
    case Source::Flat: {
      if (f.pos == f.count) return std::nullopt;
      const u32 i = f.pos++;
      const u32 ahead = i + PREFETCH_AHEAD;
      if (ahead < f.count) prefetch_entry(f.words[ahead], f.values[ahead]);
      return KeyValue{f.words[i], f.values[i]};
    }
    case Source::Tree:
      if (f.pos == f.count) {
        f.pos = f.count = 0;
        while (f.count < BATCH) {
          const std::optional<KeyValue> e = f.it.next();
          if (!e) break;
          f.batch[f.count++] = *e;
          prefetch_entry(e->key, e->value);
        }
        if (f.count == 0) {
          f.source = Source::Done;
          return std::nullopt;
        }
      }
      return f.batch[f.pos++];
    case Source::Unread:
    case Source::Done:
      break;
  }
  return std::nullopt;
}

bool InOrder::next() {
  while (!frames_.empty()) {
    Frame& f = frames_.back();
    const std::optional<KeyValue> e = step(f);
    if (!e) {
      frames_.pop_back();
      continue;
    }
    key_.resize(f.key_len);
    const StrNode* child = nullptr;
    if (std::optional<u64> v = enter(*e, key_, child)) {
      value_ = *v;
      return true;
    }
    push_frame(*child, key_.size(), 0);
  }
  return false;
}

}  // namespace corvale_trie::strmap
