// corvale_trie Python binding: what CorvaleSet and CorvaleMap share.
//
// Both classes are a Frame (binding.hpp) around a core container of the
// engine, `corvale_trie::set::CorvaleSet` or `corvale_trie::map::CorvaleMap`.
// The two cores answer the same questions with the same names; they differ
// in what a navigation step yields (a key, or a (key, value) pair) and in
// how they are filled. Everything here is written once over the object type
// `Obj` and used by both class files as bodies of their method tables:
//
//   uniform members   __len__, __bool__, __repr__, `empty`, is_empty,
//                     clear, mem_used, total_node_allocs
//   navigation        the strict and inclusive neighbour forms on top of the
//                     cores' inclusive next/prev, first, last, rank, select
//   lists             range (a cursor positioned at the start, with an
//                     optional end bound) and the in-order dumps
//   bulk sources      a packed buffer's keys (or a map's pairs) inserted in
//                     ascending order when that pays, an iterable whose
//                     items are converted and inserted one at a time, and a
//                     same-class source read through its cursor under a
//                     shared claim
//   answers of        insert, remove and pop of every map class: the answer
//   changes           is made where a MemoryError for it leaves the map as
//                     it was (see "Changes that answer" below)
//
// Key count: every member that reports one reads the core's len(), which is
// 0 whenever the root state is Empty (a clear does not rewrite the stored
// count, so the root state decides), or the class's own count_of.
//
// Nothing here takes a claim or checks the thread: the entry wrappers of
// binding.hpp do that before a body runs and undo it on every path.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/iter.hpp"
#include "python/binding.hpp"
#include "python/buffer.hpp"

namespace corvale_py::intclass {

inline constexpr u64 kMaxKey = ~u64{0};

// ---------------------------------------------------------------------------
// Uniform members

// A class whose count is not its core's len() (the concurrent classes read
// it with the interpreter lock released) says so with Obj::count_of.
template <class Obj>
u64 key_count(Obj& self) {
  if constexpr (requires { Obj::count_of(self); })
    return Obj::count_of(self);
  else
    return self.core.len();
}

template <class Obj>
bool truth(Obj& self) {
  return key_count(self) != 0;
}

template <class Obj>
bool is_empty(Obj& self) {
  return key_count(self) == 0;
}

// "CorvaleSet(len=3)" / "CorvaleMap(len=3)".
template <class Obj>
Ref repr(Obj& self) {
  std::string text = Obj::kName;
  text += "(len=";
  text += std::to_string(key_count(self));
  text += ')';
  return str_from(text);
}

// The getset table of every container class: the read-only property
// `empty`.
template <class Obj>
PyGetSetDef* empty_property() {
  static PyGetSetDef table[] = {
      {"empty", &getter<&is_empty<Obj>, Claim::Shared>, nullptr, "Property returning True if empty.",
       nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  return table;
}

template <class Obj>
void clear(Obj& self) {
  change([&] { self.core.clear(); });
}

template <class Obj>
u64 mem_used(Obj& self) {
  return self.core.mem_used();
}

template <class Obj>
u64 total_node_allocs(Obj& self) {
  return self.core.total_node_allocs();
}

// ---------------------------------------------------------------------------
// Navigation. The cores' next/prev are inclusive probes (smallest key >= t,
// largest key <= t); the strict forms shift the target by one and answer
// nothing at once where the shift would leave the key range.

template <class Obj>
using Entry = typename decltype(std::declval<Obj&>().core.first())::value_type;

template <class Obj>
std::optional<Entry<Obj>> first(Obj& self) {
  return self.core.first();
}

template <class Obj>
std::optional<Entry<Obj>> last(Obj& self) {
  return self.core.last();
}

template <class Obj>
std::optional<Entry<Obj>> next_at_or_after(Obj& self, u64 key) {
  return self.core.next(key);
}

template <class Obj>
std::optional<Entry<Obj>> next_after(Obj& self, u64 key) {
  if (key == kMaxKey) return std::nullopt;
  return self.core.next(key + 1);
}

template <class Obj>
std::optional<Entry<Obj>> prev_at_or_before(Obj& self, u64 key) {
  return self.core.prev(key);
}

template <class Obj>
std::optional<Entry<Obj>> prev_before(Obj& self, u64 key) {
  if (key == 0) return std::nullopt;
  return self.core.prev(key - 1);
}

// next(key, inclusive=False) and prev(key, inclusive=False).
template <class Obj>
std::optional<Entry<Obj>> next(Obj& self, u64 key, Maybe<bool> inclusive) {
  return inclusive.value_or(false) ? next_at_or_after(self, key) : next_after(self, key);
}

template <class Obj>
std::optional<Entry<Obj>> prev(Obj& self, u64 key, Maybe<bool> inclusive) {
  return inclusive.value_or(false) ? prev_at_or_before(self, key) : prev_before(self, key);
}

// Rank and select bring the path cache's pending counts into the trie first
// (inside the core); that changes no answer of any method.
template <class Obj>
u64 count_below(Obj& self, u64 key) {
  return self.core.count_below(key);
}

template <class Obj>
std::optional<Entry<Obj>> by_count(Obj& self, u64 index) {
  return self.core.by_count(index);
}

// count_range(start, end) of a map = keys below end, plus end itself when
// present, minus keys below start; 0 when start > end. (The core set has
// its own count_range.)
template <class Obj>
u64 map_count_range(Obj& self, u64 start, u64 end) {
  if (start > end) return 0;
  const u64 below_end = self.core.count_below(end);
  const u64 with_end = below_end + (self.core.contains_key(end) ? 1 : 0);
  return with_end - self.core.count_below(start);
}

// ---------------------------------------------------------------------------
// Lists

// range(start=None, end=None, inclusive=True): keys (or pairs) with
// start <= key and key <= end (key < end when not inclusive), ascending. The
// scan runs a cursor positioned at the first key at or above start.
template <class Obj>
std::vector<Entry<Obj>> range(Obj& self, std::optional<u64> start, std::optional<u64> end,
                              Maybe<bool> inclusive) {
  const u64 lo = start.value_or(0);
  return corvale_trie::iter::bounded_scan(self.core.iter_from(lo), lo, end, inclusive.value_or(true));
}

template <class Obj>
std::vector<Entry<Obj>> to_list(Obj& self) {
  return corvale_trie::iter::collect(self.core.iter());
}

// ---------------------------------------------------------------------------
// Changes that answer
//
// A call that fails leaves the container as it was, MemoryError included,
// so the Python object a change answers with is made where its failure
// changes nothing:
//   - a removal looks the key up, makes the value's int, and only then
//     takes the key out;
//   - an insertion answers None for a new key (nothing to make), and for a
//     present key makes the previous value's int after the change; when
//     that fails, the previous value is written back (the cores overwrite a
//     present key's value in place, allocating nothing), and the
//     MemoryError goes on;
//   - a count is made before the change whenever it is known in advance.

// insert(key, val) -> previous value or None, on a core whose insert(key,
// val) returns the previous value.
template <class Core, class Key>
Ref insert_answering_previous(Core& core, const Key& key, u64 val) {
  const std::optional<u64> old = change([&] { return core.insert(key, val); });
  if (!old) return none();
  try {
    return to_py(*old);
  } catch (const PyErrSet&) {
    change([&] { (void)core.insert(key, *old); });
    throw;
  }
}

// Takes `key` out of a core with get(key) and remove(key), answering with
// its value as an int; when the key is absent nothing changes and the
// answer is absent().
template <class Core, class Key, class Absent>
Ref remove_answering_value(Core& core, const Key& key, Absent&& absent) {
  const std::optional<u64> v = core.get(key);
  if (!v) return absent();
  Ref value = to_py(*v);
  change([&] { (void)core.remove(key); });
  return value;
}

// The answer of pop(key, default) for an absent key: the default, or the
// class's KeyError when there is none.
template <class Missing>
Ref pop_default(std::optional<u64> dflt, Missing&& missing) {
  if (!dflt) missing();
  return to_py(*dflt);
}

// ---------------------------------------------------------------------------
// Bulk sources

// The two arguments of a map's insert_many, each a packed buffer (read in
// place where it can be) or an iterable of integers, converted in full;
// different lengths raise ValueError "insert_many: keys ({}) and values ({})
// must have the same number of elements" before anything is inserted.
buffer::KeyValueBuffers insert_many_pairs(PyObject* keys, PyObject* values);

// The keys of a packed buffer, inserted in ascending order when that pays
// (engine/sort.hpp: enough of them, not ascending already), else as they
// lie; insert(u64) is the flavour's own step, run inside one change. The
// sorted copy is made before the first insertion: when it cannot be had,
// MemoryError is raised and nothing is inserted. A buffer that another
// process or thread rewrites meanwhile gives some n keys (sort.hpp).
template <class Insert>
void insert_packed_keys(const buffer::U64Buffer& keys, Insert&& insert) {
  corvale_trie::sort::InsertionOrder<u64> order(keys.packed());
  change([&] { order.for_each(insert); });
}

// The same for a map's pairs (insert(u64 key, u64 value)), ordered by key
// with the pairs of a repeated key in input order, so that the value given
// last stays. Only keys from a packed buffer are ever sorted: keys that an
// iterable gave go in as they came.
template <class Insert>
void insert_pairs(const buffer::KeyValueBuffers& pairs, Insert&& insert) {
  if (!pairs.packed_keys) {
    change([&] {
      for (std::size_t i = 0; i < pairs.keys.size(); ++i) insert(pairs.keys[i], pairs.values[i]);
    });
    return;
  }
  corvale_trie::sort::InsertionOrder<KeyValue> order(pairs.keys.packed(), pairs.values.packed());
  change([&] { order.for_each([&](const KeyValue& kv) { insert(kv.key, kv.value); }); });
}

// Converts and inserts the items of any iterable one at a time, each right
// after its conversion (insert(u64) is the flavour's own step). Items before
// a failing one stay inserted; the conversion's error carries no note.
// Returns the number of items inserted.
template <class Insert>
u64 insert_each_item(PyObject* iterable, Insert&& insert) {
  u64 count = 0;
  for_each_item(iterable, [&](PyObject* item) {
    insert(item);
    ++count;
  });
  return count;
}

// The number of items of a built-in container whose length runs no Python
// code (list, tuple, dict, set, frozenset, range; subclasses excluded), or
// -1.
inline Py_ssize_t builtin_length(PyObject* obj) noexcept {
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj) && !PyDict_CheckExact(obj) &&
      !PyAnySet_CheckExact(obj) && !Py_IS_TYPE(obj, &PyRange_Type))
    return -1;
  const Py_ssize_t n = PyObject_Size(obj);
  if (n < 0) PyErr_Clear();
  return n;
}

// The same, answering with the count as an int. The count is the number
// of items, made before the first insertion when the iterable is a
// built-in container (builtin_length); only when the items turn out to be
// another number, or the iterable is of another kind (a generator), is it
// made after the insertions, which then stand if it cannot be made.
template <class Insert>
Ref insert_each_item_counted(PyObject* iterable, Insert&& insert) {
  const Py_ssize_t reported = builtin_length(iterable);
  Ref answer = reported >= 0 ? to_py(static_cast<u64>(reported)) : Ref();
  const u64 count = insert_each_item(iterable, std::forward<Insert>(insert));
  if (reported >= 0 && count == static_cast<u64>(reported)) return answer;
  return to_py(count);
}

// A same-class source: when `other` is an object of Obj's class (subclasses
// included) whose shared claim can be taken, every entry of its core is
// handed to `insert` in ascending order through the core's cursor, with no
// Python object made, and true is returned. False when `other` is no such
// object or its claim is refused (an object cannot read itself while it is
// being changed); the caller then treats it as an iterable. A same-class
// object owned by another thread raises the thread check's error.
template <class Obj, class Insert>
bool insert_from_same_class(PyObject* other, Insert&& insert) {
  SameClassResult<Obj> source = extract_same_class<Obj>(other);
  if (source.outcome != SameClass::Held) return false;
  auto cursor = source.held.get().core.iter();
  while (auto entry = cursor.next()) insert(*entry);
  return true;
}

// Every entry of a same-class source (as insert_from_same_class finds it),
// ascending, copied out under its shared claim; empty when `other` is no
// such object or its claim is refused. For the update of another class.
template <class Obj>
std::optional<std::vector<Entry<Obj>>> entries_of_same_class(PyObject* other) {
  SameClassResult<Obj> source = extract_same_class<Obj>(other);
  if (source.outcome != SameClass::Held) return std::nullopt;
  return corvale_trie::iter::collect(source.held.get().core.iter());
}

}  // namespace corvale_py::intclass
