// corvale_trie Python binding: snapshot iterators of the integer containers.
//
// An iterator object owns a vector of raw 64-bit items (keys, values, or
// (key, value) pairs) copied out of its container when it is made, and the
// position of the next item; it holds no reference to the container, so
// later changes of the container are not seen and the container may go
// away first. Items become Python objects one at a time, in __next__.
//
// Six classes share one implementation, differing only in the element type
// and in their names:
//
//   CorvaleSetIter        keys  -> int            made by CorvaleSet.__iter__
//   CorvaleSetRangeIter   keys  -> int
//   CorvaleMapKeyIter     keys  -> int            made by CorvaleMap.__iter__
//   CorvaleMapValueIter   values -> int
//   CorvaleMapItemIter    pairs -> (int, int)
//   CorvaleMapRangeIter   pairs -> (int, int)
//
// Every object is a Frame (binding.hpp): bound to its creating thread, with
// a borrow flag. __iter__ (shared claim) returns the object itself,
// __next__ (exclusive claim) yields the item at the position and advances
// it, ending without an exception object once the position reaches the
// end; __len__ (shared claim) is the number of items not yet yielded.
// None of the classes can be created from Python.
//
// Invariant: 0 <= position <= items.size(); items never change after
// creation.
//
// The slots are written once over the object type (`iterator_type<Obj>`):
// any Frame whose core answers `remaining()` and `next_item()` (a new
// object, or an empty Ref at the end) is a snapshot iterator class; the
// bytes map's iterators (bytesmap.cpp) use them with snapshots of their own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "python/binding.hpp"

namespace corvale_py {

// A snapshot of raw items, each made a Python object by to_py.
template <class T>
struct Snapshot {
  std::vector<T> items;
  u64 position = 0;

  Snapshot() = default;
  explicit Snapshot(std::vector<T> v) noexcept : items(std::move(v)) {}

  [[nodiscard]] u64 remaining() const noexcept {
    return position <= items.size() ? items.size() - position : 0;
  }
  // The item at the position, then the position moves on; a failure to
  // make the item (MemoryError) leaves the position where it was.
  [[nodiscard]] Ref next_item() {
    if (position >= items.size()) return Ref();  // end, no exception
    Ref item = to_py(items[position]);
    ++position;
    return item;
  }
};

// Keys of any length copied back to back into one buffer; key i ends at
// ends[i]. One allocation for all the bytes instead of one per key.
struct PackedKeys {
  std::string bytes;
  std::vector<u64> ends;

  void reserve(u64 count, u64 total_bytes) {
    ends.reserve(count);
    bytes.reserve(total_bytes);
  }
  void push(std::string_view key) {
    bytes.append(key);
    ends.push_back(bytes.size());
  }
  [[nodiscard]] u64 size() const noexcept { return ends.size(); }
  [[nodiscard]] std::string_view at(u64 i) const noexcept {
    const u64 begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(begin, ends[i] - begin);
  }
};

// A snapshot of packed keys, each made a Python object by KeyToPy; the
// position rule is Snapshot's.
template <Ref (*KeyToPy)(std::string_view)>
struct PackedKeySnapshot {
  PackedKeys keys;
  u64 position = 0;

  [[nodiscard]] u64 remaining() const noexcept {
    return position <= keys.size() ? keys.size() - position : 0;
  }
  [[nodiscard]] Ref next_item() {
    if (position >= keys.size()) return Ref();  // end, no exception
    Ref item = KeyToPy(keys.at(position));
    ++position;
    return item;
  }
};

namespace snapshot {

template <class Obj>
Ref iter_self(Obj& self) {
  return self_ref(self);
}

template <class Obj>
Ref iter_next(Obj& self) {
  return self.core.next_item();
}

template <class Obj>
u64 iter_len(Obj& self) {
  return self.core.remaining();
}

}  // namespace snapshot

// The type object of the snapshot iterator class Obj (kName, kTypePath, kDoc).
template <class Obj>
PyTypeObject* iterator_type() {
  static PyType_Slot slots[] = {
      type_slot(Py_tp_base, &PyBaseObject_Type),
      type_slot(Py_tp_doc, Obj::kDoc),
      type_slot(Py_tp_dealloc, &dealloc<Obj>),
      type_slot(Py_tp_new, &no_constructor),
      type_slot(Py_tp_iter, &unary_slot<&snapshot::iter_self<Obj>, Claim::Shared>),
      type_slot(Py_tp_iternext, &unary_slot<&snapshot::iter_next<Obj>, Claim::Exclusive>),
      type_slot(Py_mp_length, &len_slot<&snapshot::iter_len<Obj>, Claim::Shared>),
      end_of_slots(),
  };
  return fetch_type<Obj>(slots);
}

// A new CorvaleSetIter over `keys` (ascending), position 0, owned by the
// calling thread. Allocation failure releases the vector and throws.
[[nodiscard]] Ref new_set_iter(std::vector<u64> keys);
// A new CorvaleMapKeyIter over `keys`, likewise.
[[nodiscard]] Ref new_map_key_iter(std::vector<u64> keys);

}  // namespace corvale_py
