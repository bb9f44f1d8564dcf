// corvale_trie Python binding: the concurrent classes SyncCorvaleMap and
// SyncCorvaleSet and their six snapshot iterator classes.
//
// A SyncCorvaleMap / SyncCorvaleSet object is an AnyThreadFrame
// (binding.hpp): the object head, a shared handle to one core concurrent
// container (`corvale_trie::sync`), and an atomic borrow flag. No owner
// thread: any thread may call any method and release the object. Every
// method takes only the shared claim, so no call is ever refused as in use;
// writers serialise on the container's writer mutex instead.
//
// Every body has one shape: its arguments were converted (with the
// interpreter lock held) by the entry wrapper; the container work runs
// inside without_gil; the Python result is built after the lock is back,
// except that a change answering with a value (insert, remove, pop) makes
// its answer before the change, which it then makes only if the key still
// holds what the answer says (see map_insert below).
// The container work takes one of three roads:
//   - the lock-free lookups (`in`, item access, get) and the lock-free count
//     (len, bool, is_empty, empty, repr);
//   - the writer protocol (insert, remove, pop, clear, item assignment and
//     deletion);
//   - a locked read (order and rank queries, range, the snapshots, the copy
//     made by update from a concurrent source): the ordinary core read of
//     the integer classes (intclass.hpp) run on the inner container under
//     the writer mutex.
// Object creation and insert_many keep the interpreter lock throughout;
// insert_many takes the writer mutex once per key while holding it. No code
// that holds a writer mutex ever waits for the interpreter lock, so the two
// cannot deadlock.
//
// update gathers the whole source first (a concurrent source under its own
// writer mutex, released before this container's first insert, so
// s.update(s) is safe), then inserts pair by pair with the interpreter lock
// released. A failure while gathering inserts nothing.
//
// The iterator classes are the module's snapshot iterators (iterators.hpp),
// bound to their creating thread like every iterator.
#include <memory>
#include <string>
#include <vector>

#include "engine/sync.hpp"
#include "python/buffer.hpp"
#include "python/classes.hpp"
#include "python/intclass.hpp"
#include "python/iterators.hpp"

namespace corvale_py {
namespace {

namespace cs = corvale_trie::sync;

// The optimistic count, with the interpreter lock released (the count of
// intclass.hpp's len, bool, is_empty, empty and repr).
template <class Shared>
u64 count_without_gil(const std::shared_ptr<Shared>& core) {
  const Shared& shared = *core;
  return without_gil([&] { return shared.len(); });
}

struct SyncMapObject : AnyThreadFrame<std::shared_ptr<cs::SyncCorvaleMap>> {
  static constexpr const char* kName = "SyncCorvaleMap";
  static PyTypeObject* type() { return sync_corvale_map_type(); }
  static u64 count_of(SyncMapObject& self) { return count_without_gil(self.core); }
};

struct SyncSetObject : AnyThreadFrame<std::shared_ptr<cs::SyncCorvaleSet>> {
  static constexpr const char* kName = "SyncCorvaleSet";
  static PyTypeObject* type() { return sync_corvale_set_type(); }
  static u64 count_of(SyncSetObject& self) { return count_without_gil(self.core); }
};

// The iterator classes (snapshot iterators, iterators.hpp).
struct MapKeyIter : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "SyncCorvaleMapKeyIter";
  static constexpr const char* kTypePath = "_corvale::sync::SyncCorvaleMapKeyIter";
  static constexpr const char* kDoc = "Key iterator for [`SyncCorvaleMap`].";
};

struct MapValueIter : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "SyncCorvaleMapValueIter";
  static constexpr const char* kTypePath = "_corvale::sync::SyncCorvaleMapValueIter";
  static constexpr const char* kDoc = "Value iterator for [`SyncCorvaleMap`].";
};

struct MapItemIter : Frame<Snapshot<KeyValue>> {
  static constexpr const char* kName = "SyncCorvaleMapItemIter";
  static constexpr const char* kTypePath = "_corvale::sync::SyncCorvaleMapItemIter";
  static constexpr const char* kDoc = "Item iterator for [`SyncCorvaleMap`].";
};

struct MapRangeIter : Frame<Snapshot<KeyValue>> {
  static constexpr const char* kName = "SyncCorvaleMapRangeIter";
  static constexpr const char* kTypePath = "_corvale::sync::SyncCorvaleMapRangeIter";
  static constexpr const char* kDoc = "Range iterator for [`SyncCorvaleMap`].";
};

struct SetIter : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "SyncCorvaleSetIter";
  static constexpr const char* kTypePath = "_corvale::sync::SyncCorvaleSetIter";
  static constexpr const char* kDoc = "Key iterator for [`SyncCorvaleSet`].";
};

struct SetRangeIter : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "SyncCorvaleSetRangeIter";
  static constexpr const char* kTypePath = "_corvale::sync::SyncCorvaleSetRangeIter";
  static constexpr const char* kDoc = "Range iterator for [`SyncCorvaleSet`].";
};

// A new iterator object of class It over `items`.
template <class It, class T>
Ref new_iter(std::vector<T> items) {
  return make_object<It>(iterator_type<It>(), std::move(items));
}

// ---------------------------------------------------------------------------
// What both classes share

// The inner core container, seen as an integer-class object (`.core`), so
// that the bodies of intclass.hpp run on it under the writer mutex.
template <class Inner>
struct InnerView {
  Inner& core;
};

// Runs read(InnerView&) under the writer mutex with the interpreter lock
// released; the result is a plain C++ value.
template <class Obj, class F>
auto locked_read(Obj& self, F&& read) {
  auto& shared = *self.core;
  return without_gil([&] {
    return shared.locked([&](auto& inner) {
      InnerView<std::remove_reference_t<decltype(inner)>> view{inner};
      return read(view);
    });
  });
}

template <class Obj>
void clear(Obj& self) {
  auto& shared = *self.core;
  without_gil([&] {
    change([&] { shared.clear(); });
    return true;
  });
}

// Locked reads: the integer classes' bodies on the inner container.
template <class Obj>
auto first(Obj& self) {
  return locked_read(self, [](auto& v) { return intclass::first(v); });
}

template <class Obj>
auto last(Obj& self) {
  return locked_read(self, [](auto& v) { return intclass::last(v); });
}

template <class Obj>
auto next(Obj& self, u64 key, Maybe<bool> inclusive) {
  return locked_read(self, [&](auto& v) { return intclass::next(v, key, inclusive); });
}

template <class Obj>
auto prev(Obj& self, u64 key, Maybe<bool> inclusive) {
  return locked_read(self, [&](auto& v) { return intclass::prev(v, key, inclusive); });
}

template <class Obj>
u64 count_below(Obj& self, u64 key) {
  return locked_read(self, [&](auto& v) { return intclass::count_below(v, key); });
}

template <class Obj>
auto by_count(Obj& self, u64 index) {
  return locked_read(self, [&](auto& v) { return intclass::by_count(v, index); });
}

template <class Obj>
auto range_items(Obj& self, std::optional<u64> start, std::optional<u64> end, Maybe<bool> inclusive) {
  return locked_read(self, [&](auto& v) { return intclass::range(v, start, end, inclusive); });
}

template <class Obj>
auto all_items(Obj& self) {
  return locked_read(self, [](auto& v) { return intclass::to_list(v); });
}

// The items of another object of the same concurrent class, one consistent
// snapshot taken under its writer mutex (its shared claim and a second
// handle on its container held meanwhile); empty when `other` is not one.
template <class Obj>
auto entries_of_concurrent(PyObject* other)
    -> std::optional<decltype(all_items(std::declval<Obj&>()))> {
  if (!PyType_IsSubtype(Py_TYPE(other), Obj::type())) return std::nullopt;
  Obj& source = object_of<Obj>(other);
  SharedClaim<AtomicBorrowFlag> claim(source.borrow);
  Ref keep = Ref::borrow(other);
  const auto container = source.core;  // the second handle
  return all_items(source);
}

// Inserts every gathered item with the interpreter lock released, each
// insert a writer protocol round of its own.
template <class Obj, class T>
void insert_gathered(Obj& self, const std::vector<T>& items) {
  auto& shared = *self.core;
  without_gil([&] {
    const ChangeInProgress changing;
    for (const T& item : items) {
      if constexpr (std::is_same_v<T, KeyValue>)
        (void)shared.insert(item.key, item.value);
      else
        (void)shared.insert(item);
    }
    return true;
  });
}

// ---------------------------------------------------------------------------
// SyncCorvaleMap

[[noreturn]] void raise_key_not_found(u64 key) {
  raise_format(PyExc_KeyError, "Key %llu not found in SyncCorvaleMap",
               static_cast<unsigned long long>(key));
}

Ref map_new(PyTypeObject* type) {
  return make_any_thread_object<SyncMapObject>(type, std::make_shared<cs::SyncCorvaleMap>());
}

std::optional<u64> map_lookup(SyncMapObject& self, u64 key) {
  const cs::SyncCorvaleMap& shared = *self.core;
  return without_gil([&] { return shared.get(key); });
}

bool map_contains(SyncMapObject& self, u64 key) { return map_lookup(self, key).has_value(); }

u64 map_getitem(SyncMapObject& self, u64 key) {
  const std::optional<u64> v = map_lookup(self, key);
  if (!v) raise_key_not_found(key);
  return *v;
}

// get(key, default=None): the default is converted before the lookup, so a
// bad default raises even for a present key.
std::optional<u64> map_get(SyncMapObject& self, u64 key, std::optional<u64> dflt) {
  const std::optional<u64> v = map_lookup(self, key);
  return v ? v : dflt;
}

// insert, remove and pop make their answer before the change, so that a
// MemoryError for it leaves the map as it was, and change the map only if
// another thread has not changed the key meanwhile (compare-and-change
// rounds of the engine); otherwise they answer again for what they found
// and retry. insert first bets on a new key, whose answer None costs
// nothing to make.
Ref map_insert(SyncMapObject& self, u64 key, u64 val) {
  cs::SyncCorvaleMap& shared = *self.core;
  std::optional<u64> expected;
  Ref answer = none();
  for (;;) {
    const std::optional<u64> found =
        without_gil([&] { return change([&] { return shared.insert_if(key, val, expected); }); });
    if (found == expected) return answer;
    answer = to_py(found);
    expected = found;
  }
}

// The value to expect is read under the writer mutex: one uncontended
// lock costs less than an optimistic lookup's reader registration.
template <class Absent>
Ref take_value(SyncMapObject& self, u64 key, Absent&& absent) {
  cs::SyncCorvaleMap& shared = *self.core;
  std::optional<u64> expected = locked_read(self, [&](auto& v) { return v.core.get(key); });
  while (expected) {
    Ref answer = to_py(*expected);
    const std::optional<u64> found =
        without_gil([&] { return change([&] { return shared.remove_if(key, *expected); }); });
    if (found == expected) return answer;
    expected = found;
  }
  return absent();
}

Ref map_remove(SyncMapObject& self, u64 key) { return take_value(self, key, none); }

void map_setitem(SyncMapObject& self, u64 key, u64 val) {
  cs::SyncCorvaleMap& shared = *self.core;
  without_gil([&] { return change([&] { return shared.insert(key, val); }); });
}

void map_delitem(SyncMapObject& self, u64 key) {
  cs::SyncCorvaleMap& shared = *self.core;
  if (!without_gil([&] { return change([&] { return shared.remove(key); }); })) raise_key_not_found(key);
}

// pop(key, default=None): an explicit None counts as no default.
Ref map_pop(SyncMapObject& self, u64 key, std::optional<u64> dflt) {
  return take_value(self, key, [&] { return intclass::pop_default(dflt, [&] { raise_key_not_found(key); }); });
}

u64 map_count_range(SyncMapObject& self, u64 start, u64 end) {
  return locked_read(self, [&](auto& v) { return intclass::map_count_range(v, start, end); });
}

Ref map_range(SyncMapObject& self, std::optional<u64> start, std::optional<u64> end,
              Maybe<bool> inclusive) {
  return new_iter<MapRangeIter>(range_items(self, start, end, inclusive));
}

Ref map_keys(SyncMapObject& self) {
  return new_iter<MapKeyIter>(locked_read(self, [](auto& v) {
    return corvale_trie::iter::collect(corvale_trie::iter::MapKeys(v.core.iter()));
  }));
}

Ref map_values(SyncMapObject& self) {
  return new_iter<MapValueIter>(locked_read(self, [](auto& v) {
    return corvale_trie::iter::collect(corvale_trie::iter::MapValues(v.core.iter()));
  }));
}

Ref map_items(SyncMapObject& self) { return new_iter<MapItemIter>(all_items(self)); }

// The pairs of an update source: a SyncCorvaleMap, a CorvaleMap, a dict (or
// subclass, its own entries), or an iterable of 2-tuples.
std::vector<KeyValue> gather_pairs(PyObject* other) {
  if (auto pairs = entries_of_concurrent<SyncMapObject>(other)) return std::move(*pairs);
  if (auto pairs = corvale_map_entries(other)) return std::move(*pairs);
  std::vector<KeyValue> out;
  if (PyDict_Check(other)) {
    out.reserve(trusted_reserve(PyDict_Size(other)));
    for_each_dict_item(other, [&](PyObject* key, PyObject* value) {
      const u64 k = to_u64(key);
      const u64 v = to_u64(value);
      out.push_back(KeyValue{k, v});
    });
    return out;
  }
  for_each_item(other, [&](PyObject* item) { out.push_back(to_u64_pair(item)); });
  return out;
}

void map_update(SyncMapObject& self, PyObject* other) { insert_gathered(self, gather_pairs(other)); }

// insert_many(keys, values): both converted in full and their lengths
// compared before anything is inserted; the inserts run with the
// interpreter lock held, after the count is made, packed keys in ascending
// order when that pays (intclass::insert_pairs).
Ref map_insert_many(SyncMapObject& self, PyObject* keys, PyObject* values) {
  const buffer::KeyValueBuffers pairs = intclass::insert_many_pairs(keys, values);
  cs::SyncCorvaleMap& shared = *self.core;
  Ref count = to_py(static_cast<u64>(pairs.keys.size()));
  intclass::insert_pairs(pairs, [&](u64 k, u64 v) { (void)shared.insert(k, v); });
  return count;
}

// ---------------------------------------------------------------------------
// SyncCorvaleSet

Ref set_new(PyTypeObject* type) {
  return make_any_thread_object<SyncSetObject>(type, std::make_shared<cs::SyncCorvaleSet>());
}

bool set_contains(SyncSetObject& self, u64 key) {
  const cs::SyncCorvaleSet& shared = *self.core;
  return without_gil([&] { return shared.contains(key); });
}

bool set_insert(SyncSetObject& self, u64 key) {
  cs::SyncCorvaleSet& shared = *self.core;
  return without_gil([&] { return change([&] { return shared.insert(key); }); });
}

bool set_remove(SyncSetObject& self, u64 key) {
  cs::SyncCorvaleSet& shared = *self.core;
  return without_gil([&] { return change([&] { return shared.remove(key); }); });
}

u64 set_count_range(SyncSetObject& self, u64 start, u64 end) {
  if (start > end) return 0;
  return locked_read(self, [&](auto& v) { return v.core.count_range(start, end); });
}

Ref set_range(SyncSetObject& self, std::optional<u64> start, std::optional<u64> end,
              Maybe<bool> inclusive) {
  return new_iter<SetRangeIter>(range_items(self, start, end, inclusive));
}

Ref set_iter(SyncSetObject& self) { return new_iter<SetIter>(all_items(self)); }

// update(other): a SyncCorvaleSet, a CorvaleSet, else any iterable of
// integers, gathered in full before the first insert.
void set_update(SyncSetObject& self, PyObject* other) {
  std::vector<u64> keys;
  if (auto own = entries_of_concurrent<SyncSetObject>(other)) {
    keys = std::move(*own);
  } else if (auto plain = corvale_set_keys(other)) {
    keys = std::move(*plain);
  } else {
    for_each_item(other, [&](PyObject* item) { keys.push_back(to_u64(item)); });
  }
  insert_gathered(self, keys);
}

// insert_many(keys), with the interpreter lock held: a packed buffer is
// checked whole (a bad length inserts nothing) and inserted from where it
// lies, or from a sorted copy when that pays; any other object is
// iterated, each key inserted right after its conversion. The count includes
// duplicates and keys already present; it is made before the first insert
// whenever the number of keys is known then (intclass.hpp).
Ref set_insert_many(SyncSetObject& self, PyObject* keys) {
  cs::SyncCorvaleSet& shared = *self.core;
  if (const std::optional<buffer::U64Buffer> packed = buffer::packed_u64(keys, "keys")) {
    Ref count = to_py(static_cast<u64>(packed->size()));
    intclass::insert_packed_keys(*packed, [&](u64 k) { (void)shared.insert(k); });
    return count;
  }
  return intclass::insert_each_item_counted(keys, [&](PyObject* item) {
    const u64 key = to_u64(item);
    change([&] { (void)shared.insert(key); });
  });
}

// ---------------------------------------------------------------------------
// Method tables and types

constexpr Signature kNew{"__new__", {}};
constexpr Signature kGet{"get", {"key", "default"}, 1};
constexpr Signature kContains{"contains", {"key"}};
constexpr Signature kMapInsert{"insert", {"key", "val"}};
constexpr Signature kSetInsert{"insert", {"key"}};
constexpr Signature kAdd{"add", {"key"}};
constexpr Signature kRemove{"remove", {"key"}};
constexpr Signature kDiscard{"discard", {"key"}};
constexpr Signature kPop{"pop", {"key", "default"}, 1};
constexpr Signature kNext{"next", {"key", "inclusive"}, 1};
constexpr Signature kPrev{"prev", {"key", "inclusive"}, 1};
constexpr Signature kCountBelow{"count_below", {"key"}};
constexpr Signature kByCount{"by_count", {"index"}};
constexpr Signature kCountRange{"count_range", {"start", "end"}};
constexpr Signature kRange{"range", {"start", "end", "inclusive"}, 0};
constexpr Signature kUpdate{"update", {"other"}};
constexpr Signature kMapInsertMany{"insert_many", {"keys", "values"}};
constexpr Signature kSetInsertMany{"insert_many", {"keys"}};

constexpr Claim S = Claim::Shared;
using M = SyncMapObject;
using T = SyncSetObject;

PyMethodDef map_methods[] = {
    noargs_method<&intclass::is_empty<M>, S>(
        "is_empty", "is_empty($self)\n--\n\n"
                    "True when no entries are present (GIL-free read).\nTrue when empty releasing the GIL."),
    method<&map_get, S, kGet>(
        "get($self, key, default=None)\n--\n\n"
        "Look up `key` releasing the GIL, returning `default` (or None) if absent."),
    method<&map_insert, S, kMapInsert>(
        "insert($self, key, val)\n--\n\n"
        "Inserts `key -> val` releasing the GIL; returns the previous value, if any."),
    method<&map_remove, S, kRemove>(
        "remove($self, key)\n--\n\n"
        "Removes `key` releasing the GIL; returns its previous value, or `None` if absent.\n\n"
        "This mirrors `CorvaleMap.remove` (which returns an `Optional[int]`); use\n"
        "`del map[key]` or `pop(key)` for the KeyError-on-missing semantics."),
    method<&map_pop, S, kPop>(
        "pop($self, key, default=None)\n--\n\n"
        "Removes `key` and returns its value. If `key` is absent, returns `default`\n"
        "if given, otherwise raises `KeyError`."),
    noargs_method<&clear<M>, S>("clear",
                                "clear($self)\n--\n\nRemoves all entries from the concurrent map."),
    noargs_method<&first<M>, S>(
        "first", "first($self)\n--\n\nSmallest entry `(key, value)` releasing the GIL."),
    noargs_method<&last<M>, S>(
        "last", "last($self)\n--\n\nLargest entry `(key, value)` releasing the GIL."),
    method<&next<M>, S, kNext>(
        "next($self, key, inclusive=False)\n--\n\n"
        "Smallest entry with key `> key` (or `>= key` if `inclusive=True`) releasing the GIL."),
    method<&prev<M>, S, kPrev>(
        "prev($self, key, inclusive=False)\n--\n\n"
        "Largest entry with key `< key` (or `<= key` if `inclusive=True`) releasing the GIL."),
    method<&count_below<M>, S, kCountBelow>(
        "count_below($self, key)\n--\n\nNumber of keys strictly below `key` releasing the GIL."),
    method<&by_count<M>, S, kByCount>(
        "by_count($self, index)\n--\n\n"
        "The entry `(key, value)` with `index` keys below it releasing the GIL."),
    method<&map_count_range, S, kCountRange>(
        "count_range($self, start, end)\n--\n\n"
        "Number of keys in the range `[start, end]` releasing the GIL."),
    method<&map_range, S, kRange>(
        "range($self, start=None, end=None, inclusive=True)\n--\n\n"
        "Range scan releasing the GIL during traversal.\n\n"
        "`inclusive=True` (the default) includes `end`, matching `CorvaleMap.range`/\n"
        "`CorvaleSet.range`; pass `inclusive=False` for a half-open `[start, end)` range."),
    noargs_method<&map_keys, S>("keys", "keys($self)\n--\n\nReturns all keys in ascending order."),
    noargs_method<&map_values, S>(
        "values", "values($self)\n--\n\nReturns all values in key-ascending order."),
    noargs_method<&map_items, S>(
        "items", "items($self)\n--\n\nReturns all `(key, value)` pairs in ascending order."),
    method<&map_update, S, kUpdate>(
        "update($self, other)\n--\n\nUpdates the concurrent map from another mapping or iterable."),
    method<&map_insert_many, S, kMapInsertMany>(
        "insert_many($self, keys, values)\n--\n\nBulk insertion from buffers (keys and values)."),
    end_of_methods(),
};

PyMethodDef set_methods[] = {
    noargs_method<&intclass::is_empty<T>, S>(
        "is_empty", "is_empty($self)\n--\n\n"
                    "True when no elements are in the set releasing the GIL.\n"
                    "True when empty releasing the GIL."),
    method<&set_contains, S, kContains>(
        "contains($self, key)\n--\n\nCheck membership releasing the GIL."),
    method<&set_insert, S, kSetInsert>("insert($self, key)\n--\n\nInserts key releasing the GIL."),
    method<&set_insert, S, kAdd>(
        "add($self, key)\n--\n\n"
        "Adds `key` to the set (standard Python set method). Returns `True` if newly inserted."),
    method<&set_remove, S, kRemove>(
        "remove($self, key)\n--\n\n"
        "Removes `key` releasing the GIL; returns `True` if it was present.\n\n"
        "This mirrors `CorvaleSet.remove` (which returns a `bool`); `discard(key)`\n"
        "does the same under the standard Python set name."),
    method<&set_remove, S, kDiscard>(
        "discard($self, key)\n--\n\n"
        "Removes `key` if present releasing the GIL; returns `True` if present."),
    noargs_method<&clear<T>, S>("clear",
                                "clear($self)\n--\n\nRemoves all elements from the concurrent set."),
    noargs_method<&first<T>, S>(
        "first", "first($self)\n--\n\nSmallest element in the set releasing the GIL."),
    noargs_method<&last<T>, S>(
        "last", "last($self)\n--\n\nLargest element in the set releasing the GIL."),
    method<&next<T>, S, kNext>(
        "next($self, key, inclusive=False)\n--\n\n"
        "Smallest element with key `> key` (or `>= key` if `inclusive=True`) releasing the GIL."),
    method<&prev<T>, S, kPrev>(
        "prev($self, key, inclusive=False)\n--\n\n"
        "Largest element with key `< key` (or `<= key` if `inclusive=True`) releasing the GIL."),
    method<&count_below<T>, S, kCountBelow>(
        "count_below($self, key)\n--\n\nNumber of keys strictly below `key` releasing the GIL."),
    method<&by_count<T>, S, kByCount>(
        "by_count($self, index)\n--\n\nThe element with `index` keys below it releasing the GIL."),
    method<&set_count_range, S, kCountRange>(
        "count_range($self, start, end)\n--\n\n"
        "Number of keys in the range `[start, end]` releasing the GIL."),
    method<&set_range, S, kRange>(
        "range($self, start=None, end=None, inclusive=True)\n--\n\n"
        "Range scan releasing the GIL during traversal.\n\n"
        "`inclusive=True` (the default) includes `end`, matching `CorvaleSet.range`;\n"
        "pass `inclusive=False` for a half-open `[start, end)` range."),
    method<&set_update, S, kUpdate>(
        "update($self, other)\n--\n\nUpdates the set from another set or iterable."),
    method<&set_insert_many, S, kSetInsertMany>(
        "insert_many($self, keys)\n--\n\nBulk insertion from a buffer or iterable of integers."),
    end_of_methods(),
};

PyGetSetDef map_getset[] = {
    {"empty", &getter<&intclass::is_empty<M>, S>, nullptr, "Property returning True if empty.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef set_getset[] = {
    {"empty", &getter<&intclass::is_empty<T>, S>, nullptr, "Property returning True if empty.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* sync_corvale_map_type() {
  static PyType_Slot slots[] = {
      type_slot(Py_tp_base, &PyBaseObject_Type),
      type_slot(Py_tp_doc,
                "SyncCorvaleMap()\n--\n\n"
                "A thread-safe, concurrent 64-bit integer map with optimistic concurrency control (OCC).\n\n"
                "Lookups, scans, and range queries execute lock-free and release the Python GIL\n"
                "via `py.detach(...)`, unlocking multithreaded read throughput across CPU cores."),
      type_slot(Py_tp_dealloc, &dealloc_any_thread<M>),
      type_slot(Py_tp_new, &new_slot<M, &map_new, kNew>),
      type_slot(Py_mp_length, &len_slot<&intclass::key_count<M>, S>),
      type_slot(Py_nb_bool, &bool_slot<&intclass::truth<M>, S>),
      type_slot(Py_sq_contains, &contains_slot<&map_contains, S>),
      type_slot(Py_mp_subscript, &getitem_slot<&map_getitem, S>),
      type_slot(Py_tp_iter, &unary_slot<&map_keys, S>),
      type_slot(Py_tp_repr, &unary_slot<&intclass::repr<M>, S>),
      type_slot(Py_mp_ass_subscript, &setitem_slot<&map_setitem, &map_delitem, S>),
      type_slot(Py_tp_methods, map_methods),
      type_slot(Py_tp_getset, map_getset),
      end_of_slots(),
  };
  return fetch_type<M>(slots);
}

PyTypeObject* sync_corvale_set_type() {
  static PyType_Slot slots[] = {
      type_slot(Py_tp_base, &PyBaseObject_Type),
      type_slot(Py_tp_doc,
                "SyncCorvaleSet()\n--\n\n"
                "A thread-safe, concurrent 64-bit integer set with optimistic concurrency control (OCC).\n\n"
                "Lookups, scans, and range queries execute lock-free and release the Python GIL\n"
                "via `py.detach(...)`, unlocking multithreaded read throughput across CPU cores."),
      type_slot(Py_tp_dealloc, &dealloc_any_thread<T>),
      type_slot(Py_tp_new, &new_slot<T, &set_new, kNew>),
      type_slot(Py_mp_length, &len_slot<&intclass::key_count<T>, S>),
      type_slot(Py_nb_bool, &bool_slot<&intclass::truth<T>, S>),
      type_slot(Py_sq_contains, &contains_slot<&set_contains, S>),
      type_slot(Py_tp_iter, &unary_slot<&set_iter, S>),
      type_slot(Py_tp_repr, &unary_slot<&intclass::repr<T>, S>),
      type_slot(Py_tp_methods, set_methods),
      type_slot(Py_tp_getset, set_getset),
      end_of_slots(),
  };
  return fetch_type<T>(slots);
}

PyTypeObject* sync_corvale_map_key_iter_type() { return iterator_type<MapKeyIter>(); }
PyTypeObject* sync_corvale_map_value_iter_type() { return iterator_type<MapValueIter>(); }
PyTypeObject* sync_corvale_map_item_iter_type() { return iterator_type<MapItemIter>(); }
PyTypeObject* sync_corvale_map_range_iter_type() { return iterator_type<MapRangeIter>(); }
PyTypeObject* sync_corvale_set_iter_type() { return iterator_type<SetIter>(); }
PyTypeObject* sync_corvale_set_range_iter_type() { return iterator_type<SetRangeIter>(); }

}  // namespace corvale_py
