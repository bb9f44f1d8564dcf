// corvale_trie Python binding: the class CorvaleMap.
//
// A CorvaleMap object is a Frame (binding.hpp) around one core
// `corvale_trie::map::CorvaleMap`, an ordered map from u64 keys to u64
// values. As for CorvaleSet, every body runs after its wrapper has matched
// the arguments, checked the owner thread, taken the claim and converted
// the parameters in signature order; the claim goes on every path.
//
// Sources of pairs (constructor and update):
//   - a dict or dict subclass: its entries are read in the dict's own order
//     from its storage (no method of a subclass is called), each key and
//     value owned while it is converted; converting may run Python code
//     (__index__) that changes the dict, so its size is compared with the
//     size at the start before every entry, and a change stops the walk with
//     RuntimeError "dictionary changed size during iteration";
//   - update only: another CorvaleMap, read through its cursor under its
//     shared claim;
//   - any other iterable of 2-tuples (key, value).
// Each pair is inserted right after its conversion. A failing constructor
// releases its partial map with the object it was filling; a failing update
// keeps the pairs inserted before the failure.
//
// insert_many converts both arguments completely (packed buffers or
// iterables of integers) and compares their lengths before its first
// insert, and inserts many unordered packed keys in ascending order;
// get_batch converts its keys once, runs the engine's interleaved batch
// walk and makes the Python results only at the end.
#include <string>
#include <vector>

#include "engine/map.hpp"
#include "python/buffer.hpp"
#include "python/classes.hpp"
#include "python/intclass.hpp"
#include "python/iterators.hpp"

namespace corvale_py {
namespace {

using corvale_trie::FoundValue;
using corvale_trie::map::CorvaleMap;

struct MapObject : Frame<CorvaleMap> {
  static constexpr const char* kName = "CorvaleMap";
  static constexpr const char* kTypePath = "_corvale::map::CorvaleMap";
  static PyTypeObject* type() { return corvale_map_type(); }
};

[[noreturn]] void raise_key_not_found(u64 key) {
  raise_format(PyExc_KeyError, "Key %llu not found in CorvaleMap",
               static_cast<unsigned long long>(key));
}

// Inserts the pairs of a dict (key converted, then value, then inserted) or
// of any other iterable of 2-tuples into `core`.
void insert_dict_or_pairs(CorvaleMap& core, PyObject* source) {
  if (PyDict_Check(source)) {
    for_each_dict_item(source, [&](PyObject* key, PyObject* value) {
      const u64 k = to_u64(key);
      const u64 v = to_u64(value);
      change([&] { (void)core.insert(k, v); });
    });
    return;
  }
  for_each_item(source, [&](PyObject* item) {
    const KeyValue kv = to_u64_pair(item);
    change([&] { (void)core.insert(kv.key, kv.value); });
  });
}

// ---------------------------------------------------------------------------
// Constructor

Ref map_new(PyTypeObject* type, PyObject* items) {
  return make_object_with<MapObject>(type, [&](CorvaleMap& core) {
    if (!items || items == Py_None) return;
    insert_dict_or_pairs(core, items);
  });
}

// ---------------------------------------------------------------------------
// Item protocol and point operations

u64 map_getitem(MapObject& self, u64 key) {
  const std::optional<u64> v = self.core.get(key);
  if (!v) raise_key_not_found(key);
  return *v;
}

void map_setitem(MapObject& self, u64 key, u64 val) {
  change([&] { (void)self.core.insert(key, val); });
}

void map_delitem(MapObject& self, u64 key) {
  if (!change([&] { return self.core.remove(key); })) raise_key_not_found(key);
}

bool map_contains_key(MapObject& self, u64 key) { return self.core.contains_key(key); }

// get(key, default=None): the default is converted before the lookup, so a
// bad default raises even for a present key.
std::optional<u64> map_get(MapObject& self, u64 key, std::optional<u64> dflt) {
  const std::optional<u64> v = self.core.get(key);
  return v ? v : dflt;
}

// insert, remove and pop answer as intclass.hpp's "Changes that answer"
// describes: a MemoryError for the answer leaves the map as it was.
Ref map_insert(MapObject& self, u64 key, u64 val) {
  return intclass::insert_answering_previous(self.core, key, val);
}

Ref map_remove(MapObject& self, u64 key) {
  return intclass::remove_answering_value(self.core, key, none);
}

// pop(key, default=None): an explicit None counts as no default.
Ref map_pop(MapObject& self, u64 key, std::optional<u64> dflt) {
  return intclass::remove_answering_value(self.core, key, [&] {
    return intclass::pop_default(dflt, [&] { raise_key_not_found(key); });
  });
}

std::vector<u64> map_keys(MapObject& self) {
  return corvale_trie::iter::collect(corvale_trie::iter::MapKeys(self.core.iter()));
}

std::vector<u64> map_values(MapObject& self) {
  return corvale_trie::iter::collect(corvale_trie::iter::MapValues(self.core.iter()));
}

// A snapshot iterator over the keys, ascending.
Ref map_iter(MapObject& self) { return new_map_key_iter(map_keys(self)); }

// ---------------------------------------------------------------------------
// Bulk operations

// One answer per key, in input order: the value, or None when absent.
Ref map_get_batch(MapObject& self, std::vector<u64> keys) {
  std::vector<FoundValue> found(keys.size(), FoundValue{0, 0});
  self.core.get_batch(keys, found.data());
  std::vector<u64>().swap(keys);  // the keys are done with before any object is made
  return new_list(found.size(), [&](std::size_t i) {
    return found[i].found ? to_py(found[i].value) : none();
  });
}

// insert_many(keys, values): both converted in full and their lengths
// compared before anything is inserted; later pairs overwrite earlier ones,
// also when packed keys go in sorted (intclass::insert_pairs). The count
// is made before the first insert.
Ref map_insert_many(MapObject& self, PyObject* keys, PyObject* values) {
  const buffer::KeyValueBuffers pairs = intclass::insert_many_pairs(keys, values);
  Ref count = to_py(static_cast<u64>(pairs.keys.size()));
  intclass::insert_pairs(pairs, [&](u64 k, u64 v) { (void)self.core.insert(k, v); });
  return count;
}

// update(other): another CorvaleMap through its cursor, a dict, or an
// iterable of (key, value) tuples.
void map_update(MapObject& self, PyObject* other) {
  if (intclass::insert_from_same_class<MapObject>(
          other, [&](const KeyValue& kv) { change([&] { (void)self.core.insert(kv.key, kv.value); }); }))
    return;
  insert_dict_or_pairs(self.core, other);
}

// ---------------------------------------------------------------------------
// Method table and type

constexpr Signature kNew{"__new__", {"items"}, 0};
constexpr Signature kContainsKey{"contains_key", {"key"}};
constexpr Signature kGetBatch{"get_batch", {"keys"}};
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
constexpr Signature kCountBelow{"count_below", {"key"}};
constexpr Signature kByCount{"by_count", {"index"}};
constexpr Signature kCountRange{"count_range", {"start", "end"}};
constexpr Signature kRange{"range", {"start", "end", "inclusive"}, 0};
constexpr Signature kUpdate{"update", {"other"}};
constexpr Signature kInsertMany{"insert_many", {"keys", "values"}};

using Obj = MapObject;
namespace ic = intclass;

PyMethodDef map_methods[] = {
    noargs_method<&ic::is_empty<Obj>, Claim::Shared>(
        "is_empty", "is_empty($self)\n--\n\nTrue when no entries are in the map.\nTrue when empty."),
    method<&map_contains_key, Claim::Shared, kContainsKey>(
        "contains_key($self, key)\n--\n\nReturns True if key is present in the map."),
    method<&map_get_batch, Claim::Shared, kGetBatch>(
        "get_batch($self, keys)\n--\n\n"
        "Looks up a batch of keys, returning a list of values (or None for absent keys)."),
    method<&map_get, Claim::Shared, kGet>(
        "get($self, key, default=None)\n--\n\nLook up `key`, returning `default` (or None) if absent."),
    method<&map_insert, Claim::Exclusive, kInsert>(
        "insert($self, key, val)\n--\n\nInserts `key -> val`; returns the previous value, if any."),
    method<&map_remove, Claim::Exclusive, kRemove>(
        "remove($self, key)\n--\n\nRemoves `key`; returns its value or None if missing."),
    method<&map_pop, Claim::Exclusive, kPop>(
        "pop($self, key, default=None)\n--\n\n"
        "Removes `key` and returns its value. If `key` is absent, returns `default`\n"
        "if given, otherwise raises `KeyError`."),
    noargs_method<&ic::clear<Obj>, Claim::Exclusive>(
        "clear", "clear($self)\n--\n\nRemoves all entries from the map."),
    noargs_method<&ic::mem_used<Obj>, Claim::Shared>(
        "mem_used", "mem_used($self)\n--\n\nHeap bytes used by the map allocations."),
    noargs_method<&ic::total_node_allocs<Obj>, Claim::Shared>(
        "total_node_allocs",
        "total_node_allocs($self)\n--\n\nTotal node allocations performed by the trie engine."),
    noargs_method<&ic::first<Obj>, Claim::Shared>(
        "first", "first($self)\n--\n\nSmallest entry `(key, value)` in the map."),
    noargs_method<&ic::last<Obj>, Claim::Shared>(
        "last", "last($self)\n--\n\nLargest entry `(key, value)` in the map."),
    method<&ic::next<Obj>, Claim::Shared, kNext>(
        "next($self, key, inclusive=False)\n--\n\n"
        "Smallest entry with key `> key` (or `>= key` if `inclusive=True`)."),
    method<&ic::next_at_or_after<Obj>, Claim::Shared, kNextAtOrAfter>(
        "next_at_or_after($self, key)\n--\n\nSmallest entry with key `>= key`."),
    method<&ic::next_after<Obj>, Claim::Shared, kNextAfter>(
        "next_after($self, key)\n--\n\nSmallest entry with key `> key`."),
    method<&ic::prev<Obj>, Claim::Shared, kPrev>(
        "prev($self, key, inclusive=False)\n--\n\n"
        "Largest entry with key `< key` (or `<= key` if `inclusive=True`)."),
    method<&ic::prev_at_or_before<Obj>, Claim::Shared, kPrevAtOrBefore>(
        "prev_at_or_before($self, key)\n--\n\nLargest entry with key `<= key`."),
    method<&ic::prev_before<Obj>, Claim::Shared, kPrevBefore>(
        "prev_before($self, key)\n--\n\nLargest entry with key `< key`."),
    method<&ic::count_below<Obj>, Claim::Shared, kCountBelow>(
        "count_below($self, key)\n--\n\nNumber of keys strictly below `key` (rank)."),
    method<&ic::by_count<Obj>, Claim::Shared, kByCount>(
        "by_count($self, index)\n--\n\n"
        "The entry `(key, value)` with `index` keys below it (0-based select)."),
    method<&ic::map_count_range<Obj>, Claim::Shared, kCountRange>(
        "count_range($self, start, end)\n--\n\nNumber of keys in the range `[start, end]`."),
    method<&ic::range<Obj>, Claim::Shared, kRange>(
        "range($self, start=None, end=None, inclusive=True)\n--\n\n"
        "Returns a list of `(key, value)` pairs in the range `[start, end]` (inclusive)."),
    noargs_method<&ic::to_list<Obj>, Claim::Shared>(
        "to_list", "to_list($self)\n--\n\nReturns a list of all `(key, value)` pairs in ascending order."),
    noargs_method<&ic::to_list<Obj>, Claim::Shared>(
        "items", "items($self)\n--\n\nReturns a list of `(key, value)` pairs in ascending order."),
    noargs_method<&map_keys, Claim::Shared>(
        "keys", "keys($self)\n--\n\nReturns a list of all keys in ascending order."),
    noargs_method<&map_values, Claim::Shared>(
        "values", "values($self)\n--\n\nReturns a list of all values in key-ascending order."),
    method<&map_update, Claim::Exclusive, kUpdate>(
        "update($self, other)\n--\n\n"
        "Updates the map from another mapping or iterable of `(key, value)` pairs."),
    method<&map_insert_many, Claim::Exclusive, kInsertMany>(
        "insert_many($self, keys, values)\n--\n\n"
        "Bulk insertion from two buffers (keys and values). Zero-copy if C-contiguous buffers."),
    end_of_methods(),
};

PyGetSetDef map_getset[] = {
    {"empty", &getter<&ic::is_empty<Obj>, Claim::Shared>, nullptr, "Property returning True if empty.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

buffer::KeyValueBuffers intclass::insert_many_pairs(PyObject* keys, PyObject* values) {
  buffer::KeyValueBuffers pairs = buffer::collect_u64_pair(keys, values);
  if (pairs.keys.size() != pairs.values.size())
    raise_format(PyExc_ValueError,
                 "insert_many: keys (%zu) and values (%zu) must have the same number of elements",
                 pairs.keys.size(), pairs.values.size());
  return pairs;
}

std::optional<std::vector<KeyValue>> corvale_map_entries(PyObject* obj) {
  return intclass::entries_of_same_class<MapObject>(obj);
}

PyTypeObject* corvale_map_type() {
  static PyType_Slot slots[] = {
      type_slot(Py_tp_base, &PyBaseObject_Type),
      type_slot(Py_tp_doc,
                "CorvaleMap(items=None)\n--\n\n"
                "A sparse, dynamic 64-bit unsigned integer map "
                "(ordered; keys and values are integers in 0..2**64-1)."),
      type_slot(Py_tp_dealloc, &dealloc<MapObject>),
      type_slot(Py_tp_new, &new_slot<MapObject, &map_new, kNew>),
      type_slot(Py_mp_length, &len_slot<&ic::key_count<Obj>, Claim::Shared>),
      type_slot(Py_nb_bool, &bool_slot<&ic::truth<Obj>, Claim::Shared>),
      type_slot(Py_sq_contains, &contains_slot<&map_contains_key, Claim::Shared>),
      type_slot(Py_mp_subscript, &getitem_slot<&map_getitem, Claim::Shared>),
      type_slot(Py_tp_iter, &unary_slot<&map_iter, Claim::Shared>),
      type_slot(Py_tp_repr, &unary_slot<&ic::repr<Obj>, Claim::Shared>),
      type_slot(Py_mp_ass_subscript, &setitem_slot<&map_setitem, &map_delitem>),
      type_slot(Py_tp_methods, map_methods),
      type_slot(Py_tp_getset, map_getset),
      end_of_slots(),
  };
  return fetch_type<MapObject>(slots);
}

}  // namespace corvale_py
