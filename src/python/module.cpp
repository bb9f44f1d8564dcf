// corvale_trie Python binding: the extension module `_corvale`.
//
// Multi-phase initialisation: PyInit__corvale hands the interpreter a static
// module definition (no per-module state, no functions) whose single exec
// step gives each new module object its `__version__` and its classes, in a
// fixed order, stopping at the first failure. The class type objects are
// made once per process and shared by every later import of the module in
// the same interpreter.
//
// Those type objects belong to the first interpreter that runs the exec
// step. Objects of one interpreter must never reach another, so the exec
// step refuses to run in any other interpreter of the process (a
// subinterpreter) with ImportError.
//
// A module built with the CMake option CORVALE_TEST_HOOKS (the project's
// tests) also has private testing functions, named with a leading
// underscore and left out of __all__; a default build has none.
#include <atomic>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <utility>

#include "engine/alloc.hpp"
#include "engine/image_file.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace corvale_py {
namespace {

constexpr const char* kVersion = "0.4.1";

struct ClassEntry {
  const char* name;
  PyTypeObject* (*fetch)();
};

// Registration order: the containers, then the iterator classes.
const ClassEntry kClasses[] = {
    {"CorvaleMap", &corvale_map_type},
    {"CorvaleSet", &corvale_set_type},
    {"SyncCorvaleMap", &sync_corvale_map_type},
    {"SyncCorvaleSet", &sync_corvale_set_type},
    {"CorvaleStrMap", &corvale_str_map_type},
    {"CorvaleBytesMap", &corvale_bytes_map_type},
    {"CorvaleBlobMap", &corvale_blob_map_type},
    {"CorvaleMapKeyIter", &corvale_map_key_iter_type},
    {"CorvaleMapValueIter", &corvale_map_value_iter_type},
    {"CorvaleMapItemIter", &corvale_map_item_iter_type},
    {"CorvaleMapRangeIter", &corvale_map_range_iter_type},
    {"CorvaleSetIter", &corvale_set_iter_type},
    {"CorvaleSetRangeIter", &corvale_set_range_iter_type},
    {"SyncCorvaleMapKeyIter", &sync_corvale_map_key_iter_type},
    {"SyncCorvaleMapValueIter", &sync_corvale_map_value_iter_type},
    {"SyncCorvaleMapItemIter", &sync_corvale_map_item_iter_type},
    {"SyncCorvaleMapRangeIter", &sync_corvale_map_range_iter_type},
    {"SyncCorvaleSetIter", &sync_corvale_set_iter_type},
    {"SyncCorvaleSetRangeIter", &sync_corvale_set_range_iter_type},
    {"CorvaleStrMapKeyIter", &corvale_str_map_key_iter_type},
    {"CorvaleStrMapValueIter", &corvale_str_map_value_iter_type},
    {"CorvaleStrMapItemIter", &corvale_str_map_item_iter_type},
    {"CorvaleBytesMapKeyIter", &corvale_bytes_map_key_iter_type},
    {"CorvaleBytesMapValueIter", &corvale_bytes_map_value_iter_type},
    {"CorvaleBytesMapItemIter", &corvale_bytes_map_item_iter_type},
};

// ID of the interpreter that owns the type objects; -1 until the first exec.
std::atomic<std::int64_t> g_owner_interpreter{-1};

void claim_interpreter() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interp);
  if (id < 0) rethrow_pending();
  std::int64_t expected = -1;
  if (g_owner_interpreter.compare_exchange_strong(expected, id) || expected == id) return;
  raise(PyExc_ImportError,
        "corvale_trie._corvale is already loaded by another interpreter of this process and "
        "cannot be loaded into a second one");
}

int module_exec(PyObject* module) noexcept {
  try {
    claim_interpreter();
    Ref version = Ref::result(PyUnicode_FromString(kVersion));
    add_attribute(module, "__version__", version.get());
    for (const ClassEntry& entry : kClasses) register_class(module, entry.name, entry.fetch);
    return 0;
  } catch (const PyErrSet&) {
    return -1;
  } catch (const std::bad_alloc&) {
    fatal_alloc_failure();
  }
}

#ifdef CORVALE_TEST_HOOKS
// Testing hooks: _live_frames() is the number of objects of the module
// whose core is alive; _alloc_stats() is the node allocator's process-wide
// count of (blocks taken from the system, blocks given back);
// _fail_allocations_after(n) makes the n-th allocation from now on (a
// result object, or any C++ allocation of the module outside a change of a
// container) fail as if memory had run out, and 0 disarms it;
// _fail_file_step_after(n) makes the n-th step from now on of a blob map's
// image save or load fail (engine/file_step.hpp), and 0 disarms it;
// _fail_chown_with(e) makes the next change of owner of a blob map save's
// new file fail with errno e, once, and 0 disarms it;
// _pause_at(point, f) has every blob map save and load from now on call f()
// at the pause point named `point`, one of "path_stat", "link_stat" and
// "locked" (engine/file_step.hpp, PausePoint); None removes it; an
// exception that f raises is reported as unraisable;
// _bytes_map_hash_mask(map, mask) is bytesmap.cpp's, _interrupt_after(n)
// blobmap.cpp's.
PyObject* live_frames(PyObject*, PyObject*) noexcept {
  return detail::object_boundary([]() -> Ref { return to_py(detail::live_frames.load()); });
}

PyObject* fail_allocations_after(PyObject*, PyObject* arg) noexcept {
  return detail::object_boundary([arg]() -> Ref {
    detail::fail_countdown.arm(to_u64(arg));
    return none();
  });
}

PyObject* fail_file_step_after(PyObject*, PyObject* arg) noexcept {
  return detail::object_boundary([arg]() -> Ref {
    corvale_trie::blobmap::file::fail_file_step_after(to_u64(arg));
    return none();
  });
}

PyObject* fail_chown_with(PyObject*, PyObject* arg) noexcept {
  return detail::object_boundary([arg]() -> Ref {
    const auto e = to_u64(arg);
    if (e > 4095) raise(PyExc_ValueError, "not an errno value");
    corvale_trie::blobmap::file::fail_chown_with(static_cast<int>(e));
    return none();
  });
}

using corvale_trie::blobmap::file::PausePoint;

// The callable that a save or a load calls at each pause point.
PyObject* g_pause_hooks[corvale_trie::blobmap::file::kPausePoints] = {};

template <PausePoint point>
void call_pause_hook() noexcept {
  if (PyErr_Occurred()) return;  // a signal handler raised: the call is stopping
  PyObject* const hook = g_pause_hooks[static_cast<int>(point)];
  if (PyObject* r = PyObject_CallNoArgs(hook))
    Py_DECREF(r);
  else
    PyErr_WriteUnraisable(hook);
}

struct PauseName {
  const char* name;
  PausePoint point;
  void (*call)() noexcept;
};
constexpr PauseName kPauseNames[] = {
    {"path_stat", PausePoint::path_stat, &call_pause_hook<PausePoint::path_stat>},
    {"link_stat", PausePoint::link_stat, &call_pause_hook<PausePoint::link_stat>},
    {"locked", PausePoint::locked, &call_pause_hook<PausePoint::locked>},
};
// One name for each pause point, in the order of PausePoint.
static_assert(std::size(kPauseNames) == corvale_trie::blobmap::file::kPausePoints);
static_assert([] {
  for (std::size_t i = 0; i < std::size(kPauseNames); ++i)
    if (static_cast<std::size_t>(kPauseNames[i].point) != i) return false;
  return true;
}());

PyObject* pause_at(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return detail::object_boundary([&]() -> Ref {
    if (nargs != 2) raise(PyExc_TypeError, "_pause_at(point, f) takes 2 arguments");
    const char* name = PyUnicode_Check(args[0]) ? PyUnicode_AsUTF8AndSize(args[0], nullptr) : nullptr;
    if (name == nullptr) raise(PyExc_TypeError, "the pause point is a str");
    PyObject* const hook = args[1];
    if (hook != Py_None && !PyCallable_Check(hook)) raise(PyExc_TypeError, "expected a callable or None");
    for (const PauseName& p : kPauseNames) {
      if (std::string_view(name) != p.name) continue;
      corvale_trie::blobmap::file::pause_at(p.point, hook == Py_None ? nullptr : p.call);
      PyObject*& slot = g_pause_hooks[static_cast<int>(p.point)];
      const Ref old = Ref::steal(std::exchange(slot, hook == Py_None ? nullptr : Ref::borrow(hook).release()));
      return none();
    }
    raise(PyExc_ValueError, "no such pause point");
  });
}

PyObject* alloc_stats(PyObject*, PyObject*) noexcept {
  return detail::object_boundary([]() -> Ref {
    const corvale_trie::AllocStats st = corvale_trie::alloc_stats();
    return to_py(KeyValue{st.system_allocs, st.system_frees});
  });
}

PyMethodDef g_functions[] = {
    bytes_map_testing_hook(),
    blob_map_testing_hook(),
    {"_live_frames", &live_frames, METH_NOARGS, nullptr},
    {"_alloc_stats", &alloc_stats, METH_NOARGS, nullptr},
    {"_fail_allocations_after", &fail_allocations_after, METH_O, nullptr},
    {"_fail_file_step_after", &fail_file_step_after, METH_O, nullptr},
    {"_fail_chown_with", &fail_chown_with, METH_O, nullptr},
    {"_pause_at", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&pause_at)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
constexpr PyMethodDef* kFunctions = g_functions;
#else
constexpr PyMethodDef* kFunctions = nullptr;
#endif

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_corvale",
    "The `_corvale` PyO3 module.",
    0,
    kFunctions,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvale_py

PyMODINIT_FUNC PyInit__corvale(void) { return PyModuleDef_Init(&corvale_py::g_module); }
