// corvale_trie Python binding: the class CorvaleBytesMap and its iterators.
//
// A CorvaleBytesMap object is a Frame (binding.hpp) around one core
// `corvale_trie::bytesmap::CorvaleBytesMap`: an unordered map from arbitrary
// byte strings (NUL bytes and the empty string included) to u64 values.
//
// Keys are parameters taken as given and converted inside the bodies by
// `buffer::extract_bytes_key` (bytes read in place, bytearray copied, str
// encoded as UTF-8; anything else is TypeError "Expected bytes, bytearray,
// or str for key", without a parameter note). Integer parameters (`val`,
// `default`) are converted by the wrappers first, with their note; so a bad
// value is reported before a bad key.
//
// update(other): a dict or dict subclass is read from its own storage in
// its order (each key and value owned while converted; a size change
// between entries stops the walk with RuntimeError "dictionary changed size
// during iteration"); anything else is iterated and each item must be a
// 2-tuple whose second element is an integer, its first then converted as
// the key. Each pair is inserted as soon as it is converted: a failure keeps
// the pairs before it. Another CorvaleBytesMap is iterated like any
// iterable (it yields keys, which are not tuples).
//
// Iterators are snapshots taken under the map's shared claim: the keys
// copied back to back into one buffer (the total is known from the map's
// accounting, so the buffer and the vectors are sized once), the values
// into a vector. They hold nothing of the map.
#include <string>
#include <string_view>
#include <vector>

#include "engine/bytesmap.hpp"
#include "python/buffer.hpp"
#include "python/classes.hpp"
#include "python/intclass.hpp"
#include "python/iterators.hpp"

namespace corvale_py {
namespace {

using corvale_trie::bytesmap::CorvaleBytesMap;

struct BytesMapObject : Frame<CorvaleBytesMap> {
  static constexpr const char* kName = "CorvaleBytesMap";
  static constexpr const char* kTypePath = "_corvale::bytesmap::CorvaleBytesMap";
  static PyTypeObject* type() { return corvale_bytes_map_type(); }
};

// ---------------------------------------------------------------------------
// Snapshots

using KeySnapshot = PackedKeySnapshot<&bytes_from>;

struct ItemSnapshot : KeySnapshot {
  std::vector<u64> values;

  ItemSnapshot(PackedKeys k, std::vector<u64> v) noexcept : KeySnapshot{std::move(k)}, values(std::move(v)) {}
  [[nodiscard]] Ref next_item() {
    if (position >= keys.size()) return Ref();
    Ref item = pair_of(bytes_from(keys.at(position)), to_py(values[position]));
    ++position;
    return item;
  }
};

struct KeyIterObject : Frame<KeySnapshot> {
  static constexpr const char* kName = "CorvaleBytesMapKeyIter";
  static constexpr const char* kTypePath = "_corvale::bytesmap::CorvaleBytesMapKeyIter";
  static constexpr const char* kDoc = "Key iterator for [`CorvaleBytesMap`].";
};

struct ValueIterObject : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "CorvaleBytesMapValueIter";
  static constexpr const char* kTypePath = "_corvale::bytesmap::CorvaleBytesMapValueIter";
  static constexpr const char* kDoc = "Value iterator for [`CorvaleBytesMap`].";
};

struct ItemIterObject : Frame<ItemSnapshot> {
  static constexpr const char* kName = "CorvaleBytesMapItemIter";
  static constexpr const char* kTypePath = "_corvale::bytesmap::CorvaleBytesMapItemIter";
  static constexpr const char* kDoc = "Item iterator for [`CorvaleBytesMap`].";
};

PackedKeys empty_packed_keys(const CorvaleBytesMap& core) {
  PackedKeys keys;
  keys.reserve(core.len(), core.key_bytes());
  return keys;
}

// ---------------------------------------------------------------------------
// Key conversion and lookups

[[noreturn]] void raise_key_not_found() { raise(PyExc_KeyError, "Key not found in CorvaleBytesMap"); }

std::optional<u64> lookup(BytesMapObject& self, PyObject* key) {
  return self.core.get(buffer::extract_bytes_key(key).bytes());
}

void insert(CorvaleBytesMap& core, PyObject* key, u64 val) {
  const buffer::KeyBytes k = buffer::extract_bytes_key(key);
  change([&] { (void)core.insert(k.bytes(), val); });
}

// ---------------------------------------------------------------------------
// Constructor, slots and methods

Ref bm_new(PyTypeObject* type) { return make_object<BytesMapObject>(type); }

bool bm_contains(BytesMapObject& self, PyObject* key) { return lookup(self, key).has_value(); }

u64 bm_getitem(BytesMapObject& self, PyObject* key) {
  const std::optional<u64> v = lookup(self, key);
  if (!v) raise_key_not_found();
  return *v;
}

void bm_setitem(BytesMapObject& self, PyObject* key, u64 val) { insert(self.core, key, val); }

void bm_delitem(BytesMapObject& self, PyObject* key) {
  const buffer::KeyBytes k = buffer::extract_bytes_key(key);
  if (!change([&] { return self.core.remove(k.bytes()); })) raise_key_not_found();
}

// get(key, default=None): the default is converted before the key.
std::optional<u64> bm_get(BytesMapObject& self, PyObject* key, std::optional<u64> dflt) {
  const std::optional<u64> v = lookup(self, key);
  return v ? v : dflt;
}

// insert, remove and pop answer as intclass.hpp's "Changes that answer"
// describes: a MemoryError for the answer leaves the map as it was. (A
// removal looks the key up first: putting a removed entry back would move
// it within its bucket.)
Ref bm_insert(BytesMapObject& self, PyObject* key, u64 val) {
  const buffer::KeyBytes k = buffer::extract_bytes_key(key);
  return intclass::insert_answering_previous(self.core, k.bytes(), val);
}

Ref bm_remove(BytesMapObject& self, PyObject* key) {
  const buffer::KeyBytes k = buffer::extract_bytes_key(key);
  return intclass::remove_answering_value(self.core, k.bytes(), none);
}

// pop(key, default=None): an explicit None counts as no default.
Ref bm_pop(BytesMapObject& self, PyObject* key, std::optional<u64> dflt) {
  const buffer::KeyBytes k = buffer::extract_bytes_key(key);
  return intclass::remove_answering_value(self.core, k.bytes(), [&] {
    return intclass::pop_default(dflt, [] { raise_key_not_found(); });
  });
}

Ref bm_keys(BytesMapObject& self) {
  PackedKeys keys = empty_packed_keys(self.core);
  self.core.for_each([&](std::string_view k, u64) { keys.push(k); });
  return make_object<KeyIterObject>(corvale_bytes_map_key_iter_type(), KeySnapshot{std::move(keys)});
}

Ref bm_values(BytesMapObject& self) {
  std::vector<u64> values;
  values.reserve(self.core.len());
  self.core.for_each([&](std::string_view, u64 v) { values.push_back(v); });
  return make_object<ValueIterObject>(corvale_bytes_map_value_iter_type(), std::move(values));
}

Ref bm_items(BytesMapObject& self) {
  PackedKeys keys = empty_packed_keys(self.core);
  std::vector<u64> values;
  values.reserve(self.core.len());
  self.core.for_each([&](std::string_view k, u64 v) {
    keys.push(k);
    values.push_back(v);
  });
  return make_object<ItemIterObject>(corvale_bytes_map_item_iter_type(), std::move(keys), std::move(values));
}

void bm_update(BytesMapObject& self, PyObject* other) {
  if (PyDict_Check(other)) {
    for_each_dict_item(other, [&](PyObject* key, PyObject* value) {
      buffer::KeyBytes k = buffer::extract_bytes_key(key);
      const u64 v = to_u64(value);
      change([&] { (void)self.core.insert(k.bytes(), v); });
    });
    return;
  }
  for_each_item(other, [&](PyObject* item) {
    const ObjectValue pair = to_object_u64_pair(item);
    insert(self.core, pair.object, pair.value);
  });
}

// ---------------------------------------------------------------------------
// Method table and types

constexpr Signature kNew{"__new__", {}};
constexpr Signature kContainsKey{"contains_key", {"key"}};
constexpr Signature kGet{"get", {"key", "default"}, 1};
constexpr Signature kInsert{"insert", {"key", "val"}};
constexpr Signature kRemove{"remove", {"key"}};
constexpr Signature kPop{"pop", {"key", "default"}, 1};
constexpr Signature kUpdate{"update", {"other"}};

using Obj = BytesMapObject;
namespace ic = intclass;

PyMethodDef bytes_map_methods[] = {
    noargs_method<&ic::is_empty<Obj>, Claim::Shared>(
        "is_empty", "is_empty($self)\n--\n\nTrue when no entries are in the map.\nTrue when empty."),
    method<&bm_contains, Claim::Shared, kContainsKey>(
        "contains_key($self, key)\n--\n\nReturns True if key exists in the map."),
    method<&bm_get, Claim::Shared, kGet>(
        "get($self, key, default=None)\n--\n\nLook up `key`, returning `default` (or None) if absent."),
    method<&bm_insert, Claim::Exclusive, kInsert>(
        "insert($self, key, val)\n--\n\nInserts `key -> val`; returns previous value, if any."),
    method<&bm_remove, Claim::Exclusive, kRemove>(
        "remove($self, key)\n--\n\nRemoves `key`; returns its value or None if missing."),
    method<&bm_pop, Claim::Exclusive, kPop>(
        "pop($self, key, default=None)\n--\n\n"
        "Removes `key` and returns its value. If `key` is absent, returns `default`\n"
        "if given, otherwise raises `KeyError`."),
    noargs_method<&ic::clear<Obj>, Claim::Exclusive>(
        "clear", "clear($self)\n--\n\nRemoves all entries and releases memory."),
    noargs_method<&ic::mem_used<Obj>, Claim::Shared>(
        "mem_used", "mem_used($self)\n--\n\nHeap bytes used by the hash trie and buckets."),
    noargs_method<&bm_keys, Claim::Shared>("keys", "keys($self)\n--\n\nReturns an iterator of all byte keys."),
    noargs_method<&bm_values, Claim::Shared>("values", "values($self)\n--\n\nReturns an iterator of all values."),
    noargs_method<&bm_items, Claim::Shared>(
        "items", "items($self)\n--\n\nReturns an iterator of `(key, value)` pairs."),
    method<&bm_update, Claim::Exclusive, kUpdate>(
        "update($self, other)\n--\n\n"
        "Updates the map from another mapping or iterable of `(key, value)` pairs."),
    end_of_methods(),
};

PyGetSetDef bytes_map_getset[] = {
    {"empty", &getter<&ic::is_empty<Obj>, Claim::Shared>, nullptr, "Property returning True if empty.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace


#ifdef CORVALE_TEST_HOOKS
namespace {

// _bytes_map_hash_mask(map, mask), a testing hook of test builds: every
// hash of the empty `map` is ANDed with `mask` from now on, so that keys
// collide at will (mask 0: all in one bucket).
PyObject* bytes_map_hash_mask(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return detail::object_boundary([&]() -> Ref {
    if (nargs != 2 || !PyType_IsSubtype(Py_TYPE(args[0]), corvale_bytes_map_type()))
      raise(PyExc_TypeError, "_bytes_map_hash_mask(map, mask) takes a CorvaleBytesMap and an int");
    Obj& self = object_of<Obj>(args[0]);
    check_thread(self);
    ExclusiveClaim claim(self.borrow);
    const u64 mask = to_u64(args[1]);
    if (self.core.len() != 0) raise(PyExc_ValueError, "the hash mask of a non-empty map cannot change");
    self.core.set_hash_mask(mask);
    return none();
  });
}

}  // namespace

PyMethodDef bytes_map_testing_hook() noexcept {
  using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
  Fast f = &bytes_map_hash_mask;
  return PyMethodDef{"_bytes_map_hash_mask", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)),
                     METH_FASTCALL, nullptr};
}
#endif

PyTypeObject* corvale_bytes_map_type() {
  static PyType_Slot slots[] = {
      type_slot(Py_tp_base, &PyBaseObject_Type),
      type_slot(Py_tp_doc,
                "CorvaleBytesMap()\n--\n\n"
                "A sparse, dynamic, unordered map from arbitrary byte keys (including NUL bytes) "
                "to 64-bit unsigned integers"),
      type_slot(Py_tp_dealloc, &dealloc<BytesMapObject>),
      type_slot(Py_tp_new, &new_slot<BytesMapObject, &bm_new, kNew>),
      type_slot(Py_mp_length, &len_slot<&ic::key_count<Obj>, Claim::Shared>),
      type_slot(Py_nb_bool, &bool_slot<&ic::truth<Obj>, Claim::Shared>),
      type_slot(Py_sq_contains, &contains_slot<&bm_contains, Claim::Shared>),
      type_slot(Py_mp_subscript, &getitem_slot<&bm_getitem, Claim::Shared>),
      type_slot(Py_tp_iter, &unary_slot<&bm_keys, Claim::Shared>),
      type_slot(Py_tp_repr, &unary_slot<&ic::repr<Obj>, Claim::Shared>),
      type_slot(Py_mp_ass_subscript, &setitem_slot<&bm_setitem, &bm_delitem>),
      type_slot(Py_tp_methods, bytes_map_methods),
      type_slot(Py_tp_getset, bytes_map_getset),
      end_of_slots(),
  };
  return fetch_type<BytesMapObject>(slots);
}

PyTypeObject* corvale_bytes_map_key_iter_type() { return iterator_type<KeyIterObject>(); }
PyTypeObject* corvale_bytes_map_value_iter_type() { return iterator_type<ValueIterObject>(); }
PyTypeObject* corvale_bytes_map_item_iter_type() { return iterator_type<ItemIterObject>(); }

}  // namespace corvale_py
