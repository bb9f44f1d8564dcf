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
#pragma once

#include <vector>

#include "python/binding.hpp"

namespace corvale_py {

// A new CorvaleSetIter over `keys` (ascending), position 0, owned by the
// calling thread. Allocation failure releases the vector and throws.
[[nodiscard]] Ref new_set_iter(std::vector<u64> keys);
// A new CorvaleMapKeyIter over `keys`, likewise.
[[nodiscard]] Ref new_map_key_iter(std::vector<u64> keys);

}  // namespace corvale_py
