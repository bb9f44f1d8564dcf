// corvale_trie Python binding: the class CorvaleStrMap and its iterators.
//
// A CorvaleStrMap object is a Frame (binding.hpp) around one core
// `corvale_trie::strmap::CorvaleStrMap`, a sorted map from NUL-free byte
// strings to u64 values. The entry wrappers match the arguments, check the
// owner thread, take the claim and convert the integer and boolean
// parameters (with their "while processing" notes) before a body runs; the
// bodies convert their key arguments themselves, through
// buffer::extract_str_key, so that key errors carry no note and come after
// the other conversions (insert: `val`, then `key`; get and pop: `default`,
// then `key`; next and prev: `inclusive`, then `key`; range: `inclusive`,
// `start`, `end`).
//
// Claims: the point reads, the counters and the representation take the
// shared claim; every ordered read (iteration, first, last, the neighbour
// methods, range and the listings) takes the exclusive claim, like the
// changes.
//
// Keys going out: `str` when the bytes are valid UTF-8, else `bytes`, key
// by key; collect_entries always gives `bytes`.
//
// Sources of update:
//   - a dict or dict subclass, read from its own storage in its order: per
//     entry the key, then the value, then the insertion; the key and the
//     value are owned while they are converted (a `bytes` key is read in
//     place), and the dict's size is compared before every entry: a change
//     stops the walk with RuntimeError "dictionary changed size during
//     iteration";
//   - any other iterable of 2-tuples: per item the tuple's value, then its
//     key, then the insertion.
// The entries before a failing one stay inserted.
//
// Iterator classes: CorvaleStrMapKeyIter (made by iteration of the map: a
// snapshot of the key bytes, each turned into its Python form when it is
// yielded), CorvaleStrMapValueIter and CorvaleStrMapItemIter (registered,
// made by no method).
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/strmap.hpp"
#include "python/buffer.hpp"
#include "python/classes.hpp"
#include "python/intclass.hpp"
#include "python/iterators.hpp"

namespace corvale_py {
namespace {

using corvale_trie::strmap::CorvaleStrMap;
using corvale_trie::strmap::InOrder;

struct StrMapObject : Frame<CorvaleStrMap> {
  static constexpr const char* kName = "CorvaleStrMap";
  static constexpr const char* kTypePath = "_corvale::strmap::CorvaleStrMap";
  static PyTypeObject* type() { return corvale_str_map_type(); }
};

// ---------------------------------------------------------------------------
// Keys going out

// A key in its Python form: `str` for valid UTF-8, else `bytes`.
Ref key_to_py(std::string_view key) {
  const auto size = static_cast<Py_ssize_t>(key.size());
  if (PyObject* s = PyUnicode_DecodeUTF8(key.data(), size, "strict")) return Ref::result(s);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) rethrow_pending();  // MemoryError
  PyErr_Clear();
  return Ref::result(PyBytes_FromStringAndSize(key.data(), size));
}

// (key in its Python form, value).
Ref entry_to_py(std::string_view key, u64 value) { return pair_of(key_to_py(key), to_py(value)); }

Ref found_to_py(const std::optional<u64>& value, const std::string& key) {
  return value ? entry_to_py(key, *value) : none();
}

// The snapshot of CorvaleStrMapKeyIter: every key's bytes in one buffer.
using KeySnapshot = PackedKeySnapshot<&key_to_py>;

// An item of CorvaleStrMapItemIter.
struct TextItem {
  std::string text;  // valid UTF-8
  u64 value;
};
Ref to_py(const TextItem& item) { return pair_of(str_from(item.text), corvale_py::to_py(item.value)); }
// The item conversion above hides the module's own to_py overloads in this
// namespace; bring them back beside it.
using corvale_py::to_py;

struct KeyIterObject : Frame<KeySnapshot> {
  static constexpr const char* kName = "CorvaleStrMapKeyIter";
  static constexpr const char* kTypePath = "_corvale::strmap::CorvaleStrMapKeyIter";
  static constexpr const char* kDoc =
      "Key iterator for [`CorvaleStrMap`].\n\n"
      "Keys are stored as raw bytes and yielded as `str` (valid UTF-8) or `bytes` (otherwise).";
};

struct ValueIterObject : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "CorvaleStrMapValueIter";
  static constexpr const char* kTypePath = "_corvale::strmap::CorvaleStrMapValueIter";
  static constexpr const char* kDoc = "Value iterator for [`CorvaleStrMap`].";
};

struct ItemIterObject : Frame<Snapshot<TextItem>> {
  static constexpr const char* kName = "CorvaleStrMapItemIter";
  static constexpr const char* kTypePath = "_corvale::strmap::CorvaleStrMapItemIter";
  static constexpr const char* kDoc = "Item iterator for [`CorvaleStrMap`].";
};

// ---------------------------------------------------------------------------
// Constructor and point operations

Ref strmap_new(PyTypeObject* type) { return make_object<StrMapObject>(type); }

[[noreturn]] void raise_key_not_found() {
  raise(PyExc_KeyError, "Key not found in CorvaleStrMap");
}

std::optional<u64> lookup(StrMapObject& self, PyObject* key) {
  const buffer::KeyBytes k = buffer::extract_str_key(key);
  return self.core.get(k.bytes());
}

bool strmap_contains(StrMapObject& self, PyObject* key) { return lookup(self, key).has_value(); }

u64 strmap_getitem(StrMapObject& self, PyObject* key) {
  const std::optional<u64> v = lookup(self, key);
  if (!v) raise_key_not_found();
  return *v;
}

// get(key, default=None): the default is converted before the key, so a bad
// default raises even for a present key.
std::optional<u64> strmap_get(StrMapObject& self, PyObject* key, std::optional<u64> dflt) {
  const std::optional<u64> v = lookup(self, key);
  return v ? v : dflt;
}

// insert, remove and pop answer as intclass.hpp's "Changes that answer"
// describes: a MemoryError for the answer leaves the map as it was.
Ref strmap_insert(StrMapObject& self, PyObject* key, u64 val) {
  const buffer::KeyBytes k = buffer::extract_str_key(key);
  return intclass::insert_answering_previous(self.core, k.bytes(), val);
}

void strmap_setitem(StrMapObject& self, PyObject* key, u64 val) {
  const buffer::KeyBytes k = buffer::extract_str_key(key);
  change([&] { (void)self.core.insert(k.bytes(), val); });
}

Ref strmap_remove(StrMapObject& self, PyObject* key) {
  const buffer::KeyBytes k = buffer::extract_str_key(key);
  return intclass::remove_answering_value(self.core, k.bytes(), none);
}

void strmap_delitem(StrMapObject& self, PyObject* key) {
  const buffer::KeyBytes k = buffer::extract_str_key(key);
  if (!change([&] { return self.core.remove(k.bytes()); })) raise_key_not_found();
}

// pop(key, default=None): an explicit None counts as no default.
Ref strmap_pop(StrMapObject& self, PyObject* key, std::optional<u64> dflt) {
  const buffer::KeyBytes k = buffer::extract_str_key(key);
  return intclass::remove_answering_value(self.core, k.bytes(), [&] {
    return intclass::pop_default(dflt, [] { raise_key_not_found(); });
  });
}

// ---------------------------------------------------------------------------
// Navigation

// The smallest entry >= q (inclusive) or > q: keys hold no zero byte, so the
// keys after q are exactly the keys at or after q followed by 0x01.
std::optional<u64> successor(const CorvaleStrMap& core, std::string_view q, bool inclusive,
                             std::string& out) {
  if (inclusive) return core.next_at_or_after(q, out);
  char small[128];
  std::string large;
  char* query = small;
  if (q.size() >= sizeof small) {
    large.resize(q.size() + 1);
    query = large.data();
  }
  if (!q.empty()) std::memcpy(query, q.data(), q.size());
  query[q.size()] = '\x01';
  return core.next_at_or_after(std::string_view(query, q.size() + 1), out);
}

Ref next_entry(StrMapObject& self, PyObject* key, bool inclusive) {
  const buffer::KeyBytes q = buffer::extract_str_key(key);
  std::string out;
  const std::optional<u64> v = successor(self.core, q.bytes(), inclusive, out);
  return found_to_py(v, out);
}

Ref prev_entry(StrMapObject& self, PyObject* key, bool inclusive) {
  const buffer::KeyBytes q = buffer::extract_str_key(key);
  std::string out;
  const std::optional<u64> v = self.core.prev_at_or_before(q.bytes(), !inclusive, out);
  return found_to_py(v, out);
}

Ref strmap_first(StrMapObject& self) {
  std::string out;
  const std::optional<u64> v = self.core.first(out);
  return found_to_py(v, out);
}

Ref strmap_last(StrMapObject& self) {
  std::string out;
  const std::optional<u64> v = self.core.last(out);
  return found_to_py(v, out);
}

Ref strmap_next(StrMapObject& self, PyObject* key, Maybe<bool> inclusive) {
  return next_entry(self, key, inclusive.value_or(false));
}
Ref strmap_next_at_or_after(StrMapObject& self, PyObject* key) { return next_entry(self, key, true); }
Ref strmap_next_after(StrMapObject& self, PyObject* key) { return next_entry(self, key, false); }

Ref strmap_prev(StrMapObject& self, PyObject* key, Maybe<bool> inclusive) {
  return prev_entry(self, key, inclusive.value_or(false));
}
Ref strmap_prev_at_or_before(StrMapObject& self, PyObject* key) { return prev_entry(self, key, true); }
Ref strmap_prev_before(StrMapObject& self, PyObject* key) { return prev_entry(self, key, false); }

// ---------------------------------------------------------------------------
// Listings (one in-order walk each)

// A list of len() items, item i made from the i-th entry in key order.
template <class Make>
Ref entry_list(StrMapObject& self, Make&& make) {
  InOrder cursor(self.core);
  return new_list(self.core.len(), [&](std::size_t) {
    const bool more = cursor.next();
    CORVALE_EXPECT(more, "entry for every key");
    return make(cursor.key(), cursor.value());
  });
}

Ref strmap_collect_entries(StrMapObject& self) {
  return entry_list(self, [](std::string_view k, u64 v) { return pair_of(bytes_from(k), to_py(v)); });
}

Ref strmap_keys(StrMapObject& self) {
  return entry_list(self, [](std::string_view k, u64) { return key_to_py(k); });
}

Ref strmap_values(StrMapObject& self) {
  return entry_list(self, [](std::string_view, u64 v) { return to_py(v); });
}

Ref strmap_items(StrMapObject& self) {
  return entry_list(self, [](std::string_view k, u64 v) { return entry_to_py(k, v); });
}

// A snapshot iterator over every key, ascending.
Ref strmap_iter(StrMapObject& self) {
  Ref it = make_object<KeyIterObject>(corvale_str_map_key_iter_type());
  PackedKeys& snap = object_of<KeyIterObject>(it.get()).core.keys;
  snap.ends.reserve(self.core.len());
  InOrder cursor(self.core);
  while (cursor.next()) {
    snap.push(cursor.key());
  }
  return it;
}

// range(start=None, end=None, inclusive=True): the start bound is always
// inclusive; `inclusive` decides whether a key equal to `end` is in. One
// cursor, positioned at the start, walks the keys up to the end.
Ref strmap_range(StrMapObject& self, PyObject* start, PyObject* end, Maybe<bool> inclusive) {
  const bool incl = inclusive.value_or(true);
  std::optional<buffer::KeyBytes> lo;
  std::optional<buffer::KeyBytes> hi;
  if (start && start != Py_None) lo.emplace(buffer::extract_str_key(start));
  if (end && end != Py_None) hi.emplace(buffer::extract_str_key(end));
  Ref list = Ref::result(PyList_New(0));
  InOrder cursor(self.core, lo ? lo->bytes() : std::string_view());
  while (cursor.next()) {
    if (hi) {
      const int c = cursor.key().compare(hi->bytes());
      if (incl ? c > 0 : c >= 0) break;
    }
    Ref entry = entry_to_py(cursor.key(), cursor.value());
    if (PyList_Append(list.get(), entry.get()) < 0) rethrow_pending();
  }
  return list;
}

// ---------------------------------------------------------------------------
// update

void strmap_update(StrMapObject& self, PyObject* other) {
  if (PyDict_Check(other)) {
    for_each_dict_item(other, [&](PyObject* key, PyObject* value) {
      const buffer::KeyBytes k = buffer::extract_str_key(key);
      const u64 v = to_u64(value);
      change([&] { (void)self.core.insert(k.bytes(), v); });
    });
    return;
  }
  for_each_item(other, [&](PyObject* item) {
    if (!PyTuple_Check(item)) raise_not_instance(item, "tuple");
    const Py_ssize_t n = PyTuple_Size(item);
    if (n != 2)
      raise_format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
    const u64 v = to_u64(PyTuple_GetItem(item, 1));
    const buffer::KeyBytes k = buffer::extract_str_key(PyTuple_GetItem(item, 0));
    change([&] { (void)self.core.insert(k.bytes(), v); });
  });
}

// ---------------------------------------------------------------------------
// Method table and type

constexpr Signature kNew{"__new__", {}};
constexpr Signature kContainsKey{"contains_key", {"key"}};
constexpr Signature kGet{"get", {"key", "default"}, 1};
constexpr Signature kInsert{"insert", {"key", "val"}};
constexpr Signature kRemove{"remove", {"key"}};
constexpr Signature kPop{"pop", {"key", "default"}, 1};
constexpr Signature kNext{"next", {"key", "inclusive"}, 1};
constexpr Signature kNextAtOrAfter{"next_at_or_after", {"key"}};
constexpr Signature kNextAfter{"next_after", {"key"}};
constexpr Signature kPrev{"prev", {"key", "inclusive"}, 1};
constexpr Signature kPrevAtOrBefore{"prev_at_or_before", {"key"}};
constexpr Signature kPrevBefore{"prev_before", {"key"}};
constexpr Signature kRange{"range", {"start", "end", "inclusive"}, 0};
constexpr Signature kUpdate{"update", {"other"}};

using Obj = StrMapObject;
namespace ic = intclass;

#define CORVALE_UTF8_NOTE "\n\nThe key is a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys."

PyMethodDef strmap_methods[] = {
    noargs_method<&ic::is_empty<Obj>, Claim::Shared>(
        "is_empty", "is_empty($self)\n--\n\nTrue when no strings are stored.\nTrue when empty."),
    method<&strmap_contains, Claim::Shared, kContainsKey>(
        "contains_key($self, key)\n--\n\nReturns True if key is present in the map."),
    method<&strmap_get, Claim::Shared, kGet>(
        "get($self, key, default=None)\n--\n\nLook up `key`, returning `default` (or None) if absent."),
    method<&strmap_insert, Claim::Exclusive, kInsert>(
        "insert($self, key, val)\n--\n\nInserts `key -> val`; returns previous value, if any."),
    method<&strmap_remove, Claim::Exclusive, kRemove>(
        "remove($self, key)\n--\n\nRemoves `key`; returns its value or None if missing."),
    method<&strmap_pop, Claim::Exclusive, kPop>(
        "pop($self, key, default=None)\n--\n\n"
        "Removes `key` and returns its value. If `key` is absent, returns `default`\n"
        "if given, otherwise raises `KeyError`."),
    noargs_method<&ic::clear<Obj>, Claim::Exclusive>(
        "clear", "clear($self)\n--\n\nRemoves all strings and frees allocated trie nodes."),
    noargs_method<&ic::mem_used<Obj>, Claim::Shared>(
        "mem_used", "mem_used($self)\n--\n\nHeap bytes used by the prefix trie."),
    noargs_method<&strmap_first, Claim::Exclusive>(
        "first", "first($self)\n--\n\nSmallest entry `(key, value)` in byte-lexicographical order."
                 CORVALE_UTF8_NOTE),
    noargs_method<&strmap_last, Claim::Exclusive>(
        "last", "last($self)\n--\n\nLargest entry `(key, value)` in byte-lexicographical order."
                CORVALE_UTF8_NOTE),
    method<&strmap_next, Claim::Exclusive, kNext>(
        "next($self, key, inclusive=False)\n--\n\n"
        "Smallest entry with key `> key` (or `>= key` if `inclusive=True`)." CORVALE_UTF8_NOTE),
    method<&strmap_next_at_or_after, Claim::Exclusive, kNextAtOrAfter>(
        "next_at_or_after($self, key)\n--\n\nSmallest entry with key `>= key`."),
    method<&strmap_next_after, Claim::Exclusive, kNextAfter>(
        "next_after($self, key)\n--\n\nSmallest entry with key `> key`."),
    method<&strmap_prev, Claim::Exclusive, kPrev>(
        "prev($self, key, inclusive=False)\n--\n\n"
        "Largest entry with key `< key` (or `<= key` if `inclusive=True`)." CORVALE_UTF8_NOTE),
    method<&strmap_prev_at_or_before, Claim::Exclusive, kPrevAtOrBefore>(
        "prev_at_or_before($self, key)\n--\n\nLargest entry with key `<= key`."),
    method<&strmap_prev_before, Claim::Exclusive, kPrevBefore>(
        "prev_before($self, key)\n--\n\nLargest entry with key `< key`."),
    noargs_method<&strmap_collect_entries, Claim::Exclusive>(
        "collect_entries", "collect_entries($self)\n--\n\n"
                           "Collects every entry as `(raw_key_bytes, value)` in lexicographical order."),
    noargs_method<&strmap_keys, Claim::Exclusive>(
        "keys", "keys($self)\n--\n\n"
                "Returns all keys in lexicographical order (`str` for UTF-8, `bytes` otherwise)."),
    noargs_method<&strmap_values, Claim::Exclusive>(
        "values", "values($self)\n--\n\nReturns an iterator of all values in key order."),
    noargs_method<&strmap_items, Claim::Exclusive>(
        "items", "items($self)\n--\n\n"
                 "Returns all `(key, value)` pairs in lexicographical order (key `str` for UTF-8, "
                 "`bytes` otherwise)."),
    method<&strmap_range, Claim::Exclusive, kRange>(
        "range($self, start=None, end=None, inclusive=True)\n--\n\n"
        "Range scan over string keys returning a list of `(key, value)` pairs.\n\n"
        "Each key is a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys."),
    method<&strmap_update, Claim::Exclusive, kUpdate>(
        "update($self, other)\n--\n\n"
        "Updates the map from another mapping or iterable of `(key, value)` pairs."),
    end_of_methods(),
};

#undef CORVALE_UTF8_NOTE

}  // namespace

PyTypeObject* corvale_str_map_type() {
  static PyType_Slot slots[] = {
      type_slot(Py_tp_base, &PyBaseObject_Type),
      type_slot(Py_tp_doc,
                "CorvaleStrMap()\n--\n\n"
                "A sorted map from NUL-free byte strings / UTF-8 strings to 64-bit unsigned "
                "integers.\n\n"
                "Iteration order is byte-lexicographical; keys are prefix-compressed across "
                "8-byte word boundaries."),
      type_slot(Py_tp_dealloc, &dealloc<StrMapObject>),
      type_slot(Py_tp_new, &new_slot<StrMapObject, &strmap_new, kNew>),
      type_slot(Py_mp_length, &len_slot<&ic::key_count<Obj>, Claim::Shared>),
      type_slot(Py_nb_bool, &bool_slot<&ic::truth<Obj>, Claim::Shared>),
      type_slot(Py_sq_contains, &contains_slot<&strmap_contains, Claim::Shared>),
      type_slot(Py_mp_subscript, &getitem_slot<&strmap_getitem, Claim::Shared>),
      type_slot(Py_tp_iter, &unary_slot<&strmap_iter, Claim::Exclusive>),
      type_slot(Py_tp_repr, &unary_slot<&ic::repr<Obj>, Claim::Shared>),
      type_slot(Py_mp_ass_subscript, &setitem_slot<&strmap_setitem, &strmap_delitem>),
      type_slot(Py_tp_methods, strmap_methods),
      type_slot(Py_tp_getset, ic::empty_property<Obj>()),
      end_of_slots(),
  };
  return fetch_type<StrMapObject>(slots);
}

PyTypeObject* corvale_str_map_key_iter_type() { return iterator_type<KeyIterObject>(); }
PyTypeObject* corvale_str_map_value_iter_type() { return iterator_type<ValueIterObject>(); }
PyTypeObject* corvale_str_map_item_iter_type() { return iterator_type<ItemIterObject>(); }

}  // namespace corvale_py
