// corvale_trie Python binding: the six snapshot iterator classes.
#include "python/iterators.hpp"

#include "python/classes.hpp"

namespace corvale_py {
namespace {

template <class T>
struct Snapshot {
  std::vector<T> items;
  u64 position = 0;

  Snapshot() = default;
  explicit Snapshot(std::vector<T> v) noexcept : items(std::move(v)) {}

  [[nodiscard]] u64 remaining() const noexcept {
    return position <= items.size() ? items.size() - position : 0;
  }
};

struct SetIterObject : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "CorvaleSetIter";
  static constexpr const char* kTypePath = "_corvale::set::CorvaleSetIter";
  static constexpr const char* kDoc = "Key iterator for [`CorvaleSet`].";
};

struct SetRangeIterObject : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "CorvaleSetRangeIter";
  static constexpr const char* kTypePath = "_corvale::set::CorvaleSetRangeIter";
  static constexpr const char* kDoc = "Range iterator for [`CorvaleSet`].";
};

struct MapKeyIterObject : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "CorvaleMapKeyIter";
  static constexpr const char* kTypePath = "_corvale::map::CorvaleMapKeyIter";
  static constexpr const char* kDoc = "Iterator yielding keys of [`CorvaleMap`].";
};

struct MapValueIterObject : Frame<Snapshot<u64>> {
  static constexpr const char* kName = "CorvaleMapValueIter";
  static constexpr const char* kTypePath = "_corvale::map::CorvaleMapValueIter";
  static constexpr const char* kDoc = "Iterator yielding values of [`CorvaleMap`].";
};

struct MapItemIterObject : Frame<Snapshot<KeyValue>> {
  static constexpr const char* kName = "CorvaleMapItemIter";
  static constexpr const char* kTypePath = "_corvale::map::CorvaleMapItemIter";
  static constexpr const char* kDoc = "Iterator yielding `(key, value)` pairs of [`CorvaleMap`].";
};

struct MapRangeIterObject : Frame<Snapshot<KeyValue>> {
  static constexpr const char* kName = "CorvaleMapRangeIter";
  static constexpr const char* kTypePath = "_corvale::map::CorvaleMapRangeIter";
  static constexpr const char* kDoc =
      "Range iterator yielding `(key, value)` pairs of [`CorvaleMap`].";
};

// ---------------------------------------------------------------------------
// Operations

template <class Obj>
Ref iter_self(Obj& self) {
  return self_ref(self);
}

template <class Obj>
Ref iter_next(Obj& self) {
  auto& snap = self.core;
  if (snap.position >= snap.items.size()) return Ref();  // end, no exception
  Ref item = to_py(snap.items[snap.position]);  // a failure leaves the position
  ++snap.position;
  return item;
}

template <class Obj>
u64 iter_len(Obj& self) {
  return self.core.remaining();
}

// ---------------------------------------------------------------------------
// Type objects

template <class Obj>
PyTypeObject* snapshot_type() {
  static PyType_Slot slots[] = {
      type_slot(Py_tp_base, &PyBaseObject_Type),
      type_slot(Py_tp_doc, Obj::kDoc),
      type_slot(Py_tp_dealloc, &dealloc<Obj>),
      type_slot(Py_tp_new, &no_constructor),
      type_slot(Py_tp_iter, &unary_slot<&iter_self<Obj>, Claim::Shared>),
      type_slot(Py_tp_iternext, &unary_slot<&iter_next<Obj>, Claim::Exclusive>),
      type_slot(Py_mp_length, &len_slot<&iter_len<Obj>, Claim::Shared>),
      end_of_slots(),
  };
  return fetch_type<Obj>(slots);
}

}  // namespace

PyTypeObject* corvale_map_key_iter_type() { return snapshot_type<MapKeyIterObject>(); }
PyTypeObject* corvale_map_value_iter_type() { return snapshot_type<MapValueIterObject>(); }
PyTypeObject* corvale_map_item_iter_type() { return snapshot_type<MapItemIterObject>(); }
PyTypeObject* corvale_map_range_iter_type() { return snapshot_type<MapRangeIterObject>(); }
PyTypeObject* corvale_set_iter_type() { return snapshot_type<SetIterObject>(); }
PyTypeObject* corvale_set_range_iter_type() { return snapshot_type<SetRangeIterObject>(); }

Ref new_set_iter(std::vector<u64> keys) {
  return make_object<SetIterObject>(corvale_set_iter_type(), std::move(keys));
}

Ref new_map_key_iter(std::vector<u64> keys) {
  return make_object<MapKeyIterObject>(corvale_map_key_iter_type(), std::move(keys));
}

}  // namespace corvale_py
