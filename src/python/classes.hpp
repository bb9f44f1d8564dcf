// corvale_trie Python binding: the type objects the module registers.
//
// Each class family's file defines the fetch-or-create function of its
// classes: it returns the class's type object, creating it on first need
// (once per process; every later call returns the same object) and throws
// corvale_py::PyErrSet with the RuntimeError
// "An error occurred while initializing class {}" when it cannot be made.
// The module's exec step (module.cpp) registers them in its fixed order.
#pragma once

#include "python/binding.hpp"

namespace corvale_py {

// Integer containers (map.cpp, set.cpp).
PyTypeObject* corvale_map_type();
PyTypeObject* corvale_set_type();

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

}  // namespace corvale_py
