// corvale_trie Python binding: the class CorvaleSet.
//
// A CorvaleSet object is a Frame (binding.hpp) around one core
// `corvale_trie::set::CorvaleSet`: the object head, the core (root state,
// key count, flat array or root edge, node allocator, path cache), the
// borrow flag and the owner thread. Every method is a thin body: the entry
// wrapper has matched the arguments, checked the thread, taken the claim
// (shared for reads, exclusive for changes) and converted the parameters in
// signature order before the body runs, and releases the claim on every
// path after it.
//
// Bulk paths keep Python out of the inner loop: insert_many reads a packed
// buffer in place (buffer.hpp) and inserts from it, in ascending order
// through a sorted copy when the keys are many and unordered
// (engine/sort.hpp); contains_batch converts
// its keys once, runs the engine's interleaved batch walk into one result
// buffer and makes the Python booleans only at the end; update from another
// CorvaleSet walks that set's cursor under its shared claim.
//
// The file reads top-down: the object type, the constructor, the point
// operations, the bulk operations, then the method table and the type.
#include <cstring>
#include <string>
#include <vector>

#include "engine/set.hpp"
#include "python/buffer.hpp"
#include "python/classes.hpp"
#include "python/intclass.hpp"
#include "python/iterators.hpp"

namespace corvale_py {
namespace {

using corvale_trie::set::CorvaleSet;

struct SetObject : Frame<CorvaleSet> {
  static constexpr const char* kName = "CorvaleSet";
  static constexpr const char* kTypePath = "_corvale::set::CorvaleSet";
  static PyTypeObject* type() { return corvale_set_type(); }
};

// ---------------------------------------------------------------------------
// Constructor

// CorvaleSet(iterable=None): the set is filled before it is handed out; a
// failing item releases the partial set with the object and raises.
Ref set_new(PyTypeObject* type, PyObject* iterable) {
  return make_object_with<SetObject>(type, [&](CorvaleSet& core) {
    if (!iterable || iterable == Py_None) return;
    (void)intclass::insert_each_item(iterable, [&](PyObject* item) {
      const u64 key = to_u64(item);
      change([&] { core.insert(key); });
    });
  });
}

// ---------------------------------------------------------------------------
// Point operations

bool set_insert(SetObject& self, u64 key) {
  return change([&] { return self.core.insert(key); });
}

bool set_remove(SetObject& self, u64 key) {
  return change([&] { return self.core.remove(key); });
}

bool set_contains(SetObject& self, u64 key) { return self.core.contains(key); }

// Removes and returns the smallest key.
// The result object is made before the key is removed, so that running out
// of memory for it leaves the set as it was.
Ref set_pop(SetObject& self) {
  const std::optional<u64> smallest = self.core.first();
  if (!smallest) raise(PyExc_KeyError, "pop from an empty CorvaleSet");
  Ref key = to_py(*smallest);
  change([&] { self.core.remove(*smallest); });
  return key;
}

u64 set_count_range(SetObject& self, u64 start, u64 end) {
  if (start > end) return 0;
  return self.core.count_range(start, end);
}

// A snapshot iterator over every key, ascending.
Ref set_iter(SetObject& self) { return new_set_iter(self.core.to_vec()); }

// ---------------------------------------------------------------------------
// Bulk operations

// One membership answer per key, in input order.
Ref set_contains_batch(SetObject& self, std::vector<u64> keys) {
  std::vector<u8> found(keys.size(), 0);
  self.core.contains_batch(keys, found.data());
  std::vector<u64>().swap(keys);  // the keys are done with before any object is made
  return new_list(found.size(), [&](std::size_t i) { return to_py(found[i] != 0); });
}

// insert_many(keys): a packed buffer is checked whole (a bad length inserts
// nothing) and inserted from where it lies, or from a sorted copy when
// that pays (intclass::insert_packed_keys); any other object is iterated,
// each key inserted right after its conversion. The count includes
// duplicates and keys already present; it is made before the first insert
// whenever the number of keys is known then (intclass.hpp).
Ref set_insert_many(SetObject& self, PyObject* keys) {
  if (const std::optional<buffer::U64Buffer> packed = buffer::packed_u64(keys, "keys")) {
    Ref count = to_py(static_cast<u64>(packed->size()));
    intclass::insert_packed_keys(*packed, [&](u64 k) { self.core.insert(k); });
    return count;
  }
  return intclass::insert_each_item_counted(keys, [&](PyObject* item) {
    const u64 key = to_u64(item);
    change([&] { self.core.insert(key); });
  });
}

// update(other): another CorvaleSet through its cursor, else any iterable of
// integers (a bytes object gives its byte values; packed buffers are
// insert_many's).
void set_update(SetObject& self, PyObject* other) {
  const auto insert = [&](u64 k) { change([&] { self.core.insert(k); }); };
  if (intclass::insert_from_same_class<SetObject>(other, insert)) return;
  (void)intclass::insert_each_item(other, [&](PyObject* item) { insert(to_u64(item)); });
}

// ---------------------------------------------------------------------------
// Method table and type

constexpr Signature kNew{"__new__", {"iterable"}, 0};
constexpr Signature kContains{"contains", {"key"}};
constexpr Signature kContainsBatch{"contains_batch", {"keys"}};
constexpr Signature kInsert{"insert", {"key"}};
constexpr Signature kAdd{"add", {"key"}};
constexpr Signature kRemove{"remove", {"key"}};
constexpr Signature kDiscard{"discard", {"key"}};
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
constexpr Signature kInsertMany{"insert_many", {"keys"}};

using Obj = SetObject;
namespace ic = intclass;

PyMethodDef set_methods[] = {
    noargs_method<&ic::is_empty<Obj>, Claim::Shared>(
        "is_empty", "is_empty($self)\n--\n\nTrue when no elements are in the set.\nTrue when empty."),
    method<&set_contains, Claim::Shared, kContains>(
        "contains($self, key)\n--\n\nReturns True if key is present in the set."),
    method<&set_contains_batch, Claim::Shared, kContainsBatch>(
        "contains_batch($self, keys)\n--\n\n"
        "Checks membership for a batch of keys, returning a list of bools."),
    method<&set_insert, Claim::Exclusive, kInsert>(
        "insert($self, key)\n--\n\nInserts `key` into the set; returns `True` if it was not present."),
    method<&set_insert, Claim::Exclusive, kAdd>(
        "add($self, key)\n--\n\n"
        "Adds `key` to the set (standard Python set method). Returns `True` if newly inserted."),
    method<&set_remove, Claim::Exclusive, kRemove>(
        "remove($self, key)\n--\n\n"
        "Removes `key` from the set; returns `True` if it was present, `False` otherwise."),
    method<&set_remove, Claim::Exclusive, kDiscard>(
        "discard($self, key)\n--\n\n"
        "Removes `key` if present; returns `True` if it was present, `False` otherwise."),
    noargs_method<&set_pop, Claim::Exclusive>(
        "pop", "pop($self)\n--\n\n"
               "Removes and returns the smallest element in the set; raises `KeyError` if empty."),
    noargs_method<&ic::clear<Obj>, Claim::Exclusive>(
        "clear", "clear($self)\n--\n\nRemoves all elements from the set."),
    noargs_method<&ic::mem_used<Obj>, Claim::Shared>(
        "mem_used", "mem_used($self)\n--\n\nHeap bytes used by the set allocations."),
    noargs_method<&ic::total_node_allocs<Obj>, Claim::Shared>(
        "total_node_allocs",
        "total_node_allocs($self)\n--\n\nTotal node allocations performed by the trie engine."),
    noargs_method<&ic::first<Obj>, Claim::Shared>(
        "first", "first($self)\n--\n\nSmallest element in the set."),
    noargs_method<&ic::last<Obj>, Claim::Shared>(
        "last", "last($self)\n--\n\nLargest element in the set."),
    method<&ic::next<Obj>, Claim::Shared, kNext>(
        "next($self, key, inclusive=False)\n--\n\n"
        "Smallest element with key `> key` (or `>= key` if `inclusive=True`)."),
    method<&ic::next_at_or_after<Obj>, Claim::Shared, kNextAtOrAfter>(
        "next_at_or_after($self, key)\n--\n\nSmallest element with key `>= key`."),
    method<&ic::next_after<Obj>, Claim::Shared, kNextAfter>(
        "next_after($self, key)\n--\n\nSmallest element with key `> key`."),
    method<&ic::prev<Obj>, Claim::Shared, kPrev>(
        "prev($self, key, inclusive=False)\n--\n\n"
        "Largest element with key `< key` (or `<= key` if `inclusive=True`)."),
    method<&ic::prev_at_or_before<Obj>, Claim::Shared, kPrevAtOrBefore>(
        "prev_at_or_before($self, key)\n--\n\nLargest element with key `<= key`."),
    method<&ic::prev_before<Obj>, Claim::Shared, kPrevBefore>(
        "prev_before($self, key)\n--\n\nLargest element with key `< key`."),
    method<&ic::count_below<Obj>, Claim::Shared, kCountBelow>(
        "count_below($self, key)\n--\n\nNumber of keys strictly below `key` (rank)."),
    method<&ic::by_count<Obj>, Claim::Shared, kByCount>(
        "by_count($self, index)\n--\n\nThe element with `index` keys below it (0-based select)."),
    method<&set_count_range, Claim::Shared, kCountRange>(
        "count_range($self, start, end)\n--\n\nNumber of keys in the range `[start, end]`."),
    method<&ic::range<Obj>, Claim::Shared, kRange>(
        "range($self, start=None, end=None, inclusive=True)\n--\n\n"
        "Returns a list of elements in the range `[start, end]` (inclusive)."),
    noargs_method<&ic::to_list<Obj>, Claim::Shared>(
        "to_list", "to_list($self)\n--\n\nReturns all keys as a Python list in ascending order."),
    method<&set_update, Claim::Exclusive, kUpdate>(
        "update($self, other)\n--\n\nUpdates the set from another set or iterable."),
    method<&set_insert_many, Claim::Exclusive, kInsertMany>(
        "insert_many($self, keys)\n--\n\n"
        "Bulk insertion from a buffer or iterable of integers. Zero-copy if C-contiguous."),
    end_of_methods(),
};

PyGetSetDef set_getset[] = {
    {"empty", &getter<&ic::is_empty<Obj>, Claim::Shared>, nullptr, "Property returning True if empty.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

std::optional<std::vector<u64>> corvale_set_keys(PyObject* obj) {
  return intclass::entries_of_same_class<SetObject>(obj);
}

PyTypeObject* corvale_set_type() {
  static PyType_Slot slots[] = {
      type_slot(Py_tp_base, &PyBaseObject_Type),
      type_slot(Py_tp_doc,
                "CorvaleSet(iterable=None)\n--\n\n"
                "A sparse, dynamic 64-bit unsigned integer set "
                "(ordered; keys are integers in 0..2**64-1)."),
      type_slot(Py_tp_dealloc, &dealloc<SetObject>),
      type_slot(Py_tp_new, &new_slot<SetObject, &set_new, kNew>),
      type_slot(Py_mp_length, &len_slot<&ic::key_count<Obj>, Claim::Shared>),
      type_slot(Py_nb_bool, &bool_slot<&ic::truth<Obj>, Claim::Shared>),
      type_slot(Py_sq_contains, &contains_slot<&set_contains, Claim::Shared>),
      type_slot(Py_tp_iter, &unary_slot<&set_iter, Claim::Shared>),
      type_slot(Py_tp_repr, &unary_slot<&ic::repr<Obj>, Claim::Shared>),
      type_slot(Py_tp_methods, set_methods),
      type_slot(Py_tp_getset, set_getset),
      end_of_slots(),
  };
  return fetch_type<SetObject>(slots);
}

}  // namespace corvale_py
