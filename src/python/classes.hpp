// corvale_trie Python binding: the type objects the module registers.
//
// Each class family's file defines the fetch-or-create function of its
// classes: it returns the class's type object, creating it on first need
// (once per process; every later call returns the same object) and throws
// corvale_py::PyErrSet with the RuntimeError
// "An error occurred while initializing class {}" when it cannot be made.
// The module's exec step (module.cpp) registers them in its fixed order.
#pragma once

#include <optional>
#include <vector>

#include "python/binding.hpp"

namespace corvale_py {

// Integer containers (map.cpp, set.cpp).
PyTypeObject* corvale_map_type();
PyTypeObject* corvale_set_type();

// The entries of a CorvaleMap / the keys of a CorvaleSet object, copied
// under its shared claim (the update of the concurrent classes); empty when
// `obj` is no such object or is in use. An object of another thread raises
// RuntimeError "{} is unsendable, but sent to another thread".
std::optional<std::vector<KeyValue>> corvale_map_entries(PyObject* obj);
std::optional<std::vector<u64>> corvale_set_keys(PyObject* obj);

// Concurrent containers (sync.cpp).
PyTypeObject* sync_corvale_map_type();
PyTypeObject* sync_corvale_set_type();

// The sorted string map and its iterators (strmap.cpp).
PyTypeObject* corvale_str_map_type();
PyTypeObject* corvale_str_map_key_iter_type();
PyTypeObject* corvale_str_map_value_iter_type();
PyTypeObject* corvale_str_map_item_iter_type();

// Blob map (blobmap.cpp).
PyTypeObject* corvale_blob_map_type();

// Snapshot iterators of the integer containers (iterators.cpp).
PyTypeObject* corvale_map_key_iter_type();
PyTypeObject* corvale_map_value_iter_type();
PyTypeObject* corvale_map_item_iter_type();
PyTypeObject* corvale_map_range_iter_type();
PyTypeObject* corvale_set_iter_type();
PyTypeObject* corvale_set_range_iter_type();

// Snapshot iterators of the concurrent containers (sync.cpp).
PyTypeObject* sync_corvale_map_key_iter_type();
PyTypeObject* sync_corvale_map_value_iter_type();
PyTypeObject* sync_corvale_map_item_iter_type();
PyTypeObject* sync_corvale_map_range_iter_type();
PyTypeObject* sync_corvale_set_iter_type();
PyTypeObject* sync_corvale_set_range_iter_type();

// The bytes map and its snapshot iterators (bytesmap.cpp).
PyTypeObject* corvale_bytes_map_type();
PyTypeObject* corvale_bytes_map_key_iter_type();
PyTypeObject* corvale_bytes_map_value_iter_type();
PyTypeObject* corvale_bytes_map_item_iter_type();
#ifdef CORVALE_TEST_HOOKS
// The module function _bytes_map_hash_mask, a testing hook (bytesmap.cpp).
PyMethodDef bytes_map_testing_hook() noexcept;
// The module function _interrupt_after, a testing hook (blobmap.cpp).
PyMethodDef blob_map_testing_hook() noexcept;
#endif

}  // namespace corvale_py
