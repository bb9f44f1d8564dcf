// corvale_trie Python binding: errors, conversions, argument matching, type
// objects and module registration (see binding.hpp for the protocol).
#include "python/binding.hpp"

#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <new>
#include <cstring>
#include <exception>
#include <string>

namespace corvale_py {

// ---------------------------------------------------------------------------
// Errors

void rethrow_pending() {
  CORVALE_ASSERT(PyErr_Occurred() != nullptr);
  throw PyErrSet{};
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PyErrSet{};
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list vargs;
  va_start(vargs, format);
  PyErr_FormatV(type, format, vargs);
  va_end(vargs);
  throw PyErrSet{};
}

void raise_not_instance(PyObject* obj, const char* expected) {
  if (obj == Py_None) raise_format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  Ref qualname = Ref::check(PyType_GetQualName(Py_TYPE(obj)));
  raise_format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
               expected);
}

void add_note(const char* note) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value) {
    if (traceback) PyException_SetTraceback(value, traceback);
    // BaseException.add_note exists from Python 3.11 on; without it the
    // exception simply goes on without the note.
    Ref method = Ref::steal(PyUnicode_FromString("add_note"));
    Ref text = Ref::steal(PyUnicode_FromString(note));
    Ref result = method && text ? Ref::steal(PyObject_CallMethodObjArgs(value, method.get(),
                                                                      text.get(), nullptr))
                                : Ref();
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

void fatal_null_object() noexcept {
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  CORVALE_PANIC("PyObject pointer is null");
}

void fatal_alloc_failure() noexcept { CORVALE_PANIC("memory allocation failed"); }

void set_memory_error() noexcept { PyErr_NoMemory(); }

void result_failed() {
  if (!PyErr_Occurred()) PyErr_NoMemory();
  throw PyErrSet{};
}

#ifdef CORVALE_TEST_HOOKS
namespace detail {
corvale_trie::Countdown fail_countdown;
thread_local u64 changes_in_progress = 0;
std::atomic<u64> live_frames{0};
}  // namespace detail
#endif

// ---------------------------------------------------------------------------
// Threads and claims

namespace detail {

constinit thread_local u64 thread_id_slot __attribute__((tls_model("initial-exec"))) = 0;

u64 assign_thread_id() noexcept {
  // The C++ runtime's per-thread exception state lives in thread-local
  // storage that a library loaded at run time only gets on first use, from
  // the heap; taking it here, before the thread's first call runs, means
  // that a first failure of the thread (a MemoryError) needs no memory for
  // it. (The result is kept: the function is pure and would be dropped.)
  [[maybe_unused]] volatile int in_flight = std::uncaught_exceptions();
  static std::atomic<u64> next_id{1};
  thread_id_slot = next_id.fetch_add(1, std::memory_order_relaxed);
  return thread_id_slot;
}

}  // namespace detail

void raise_claim_refused(Claim wanted) {
  raise(PyExc_RuntimeError,
        wanted == Claim::Exclusive ? "Already borrowed" : "Already mutably borrowed");
}

void raise_unsendable(const char* type_path) {
  raise_format(PyExc_RuntimeError, "%s is unsendable, but sent to another thread", type_path);
}

void restore_thread(PyThreadState* state) noexcept {
  // glibc's pthread_exit unwinds the thread's stack with a forced unwind (the
  // interpreter ends a daemon thread that asks for the lock while it
  // finalizes). It stops here, and the thread never returns to code that
  // would run without the lock. The handler binds nothing: a forced unwind
  // has no exception object to bind a reference to. Nothing else is thrown
  // from the C call, and the handler never ends, so the unwind is never
  // dropped. (On macOS pthread_exit runs no C++ destructors, and nothing
  // unwinds through here.)
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    for (;;) pause();
  }
}

// ---------------------------------------------------------------------------
// Object frame

void free_unconstructed(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

void report_dropped_on_other_thread(const char* type_path, PyTypeObject* type) noexcept {
  // Teardown may run while another exception is pending (an object dropped
  // during unwinding): keep that one intact around the report. The report
  // names the class rather than the dying object, which must not be handed
  // to a hook that could keep it alive.
  PyObject* saved_type = nullptr;
  PyObject* saved_value = nullptr;
  PyObject* saved_tb = nullptr;
  PyErr_Fetch(&saved_type, &saved_value, &saved_tb);
  PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread",
               type_path);
  PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
  PyErr_Restore(saved_type, saved_value, saved_tb);
}

// ---------------------------------------------------------------------------
// Type objects

const char* qualified_type_name(const char* name) {
  return (new std::string(std::string("corvale_trie._corvale.") + name))->c_str();
}

PyTypeObject* TypeCell::get(PyType_Spec& spec, const char* name) {
  if (PyTypeObject* t = type_.load(std::memory_order_acquire)) return t;
  PyObject* made = PyType_FromSpec(&spec);
  if (!made) {
    PyObject* type = nullptr;
    PyObject* cause = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &cause, &traceback);
    PyErr_NormalizeException(&type, &cause, &traceback);
    if (cause && traceback) PyException_SetTraceback(cause, traceback);
    Ref::steal(type).reset();
    Ref::steal(traceback).reset();
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
    PyObject* etype = nullptr;
    PyObject* evalue = nullptr;
    PyObject* etb = nullptr;
    PyErr_Fetch(&etype, &evalue, &etb);
    PyErr_NormalizeException(&etype, &evalue, &etb);
    Ref owned_cause = Ref::steal(cause);
    if (evalue && owned_cause) PyException_SetCause(evalue, owned_cause.release());  // steals
    PyErr_Restore(etype, evalue, etb);
    throw PyErrSet{};
  }
  PyTypeObject* expected = nullptr;
  auto* made_type = reinterpret_cast<PyTypeObject*>(made);
  if (!type_.compare_exchange_strong(expected, made_type, std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
    // Another caller published first; its object is the class from now on.
    Py_DecRef(made);
    return expected;
  }
  return made_type;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "cannot create '%s.%U' instances", kModulePath, name.get());
  return nullptr;
}

// ---------------------------------------------------------------------------
// Conversions from Python

u64 to_u64_general(PyObject* obj) {
  // PyNumber_Index hands back an exact int itself: skip the round trip.
  Ref index = PyLong_CheckExact(obj) ? Ref::borrow(obj) : Ref::check(PyNumber_Index(obj));
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow_pending();
  return static_cast<u64>(v);
}

namespace {

// numpy's boolean scalar type (numpy.bool, formerly numpy.bool_).
bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0 &&
      PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0)
    return false;
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) rethrow_pending();
    return truth != 0;
  }
  raise_not_instance(obj, "bool");
}

namespace {

// The tuple of a pair: a tuple (or subclass) of exactly two elements.
void check_pair(PyObject* item) {
  if (!PyTuple_Check(item)) raise_not_instance(item, "tuple");
  Py_ssize_t n = PyTuple_Size(item);
  if (n != 2)
    raise_format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
}

}  // namespace

KeyValue to_u64_pair(PyObject* item) {
  check_pair(item);
  u64 key = to_u64(PyTuple_GetItem(item, 0));
  u64 value = to_u64(PyTuple_GetItem(item, 1));
  return KeyValue{key, value};
}

ObjectValue to_object_u64_pair(PyObject* item) {
  check_pair(item);
  return ObjectValue{PyTuple_GetItem(item, 0), to_u64(PyTuple_GetItem(item, 1))};
}

std::vector<u64> sequence_to_u64_vec(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_not_instance(obj, "Sequence");
  std::vector<u64> out;
  Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) PyErr_Clear();  // the size only sizes the first reservation
  out.reserve(trusted_reserve(size));
  for_each_item(obj, [&](PyObject* item) { out.push_back(to_u64(item)); });
  return out;
}

void raise_dict_changed(bool size_changed) {
  raise(PyExc_RuntimeError, size_changed ? "dictionary changed size during iteration"
                                         : "dictionary keys changed during iteration");
}

// ---------------------------------------------------------------------------
// Conversions to Python

Ref to_py(u64 v) { return Ref::result(PyLong_FromUnsignedLongLong(v)); }

Ref pair_of(Ref first, Ref second) {
  Ref tuple = Ref::result(PyTuple_New(2));
  PyTuple_SetItem(tuple.get(), 0, first.release());
  PyTuple_SetItem(tuple.get(), 1, second.release());
  return tuple;
}

Ref to_py(const KeyValue& kv) { return pair_of(to_py(kv.key), to_py(kv.value)); }

Ref to_py(const std::vector<u64>& v) {
  return new_list(v.size(), [&](std::size_t i) { return to_py(v[i]); });
}

Ref to_py(const std::vector<KeyValue>& v) {
  return new_list(v.size(), [&](std::size_t i) { return to_py(v[i]); });
}

Ref str_from(std::string_view text) {
  return Ref::result(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref bytes_from(std::string_view bytes) {
  return Ref::result(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// ---------------------------------------------------------------------------
// Argument matching

namespace {

std::string full_name(const Signature& sig, const char* owner) {
  std::string s;
  if (owner) {
    s += owner;
    s += '.';
  }
  s += sig.name;
  s += "()";
  return s;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
void append_name_list(std::string& msg, const std::vector<const char*>& names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) msg += ',';
      msg += (i == names.size() - 1) ? " and " : " ";
    }
    msg += '\'';
    msg += names[i];
    msg += '\'';
  }
}

[[noreturn]] void too_many_positional(const Signature& sig, const char* owner, Py_ssize_t given) {
  std::string fn = full_name(sig, owner);
  const char* was = given == 1 ? "was" : "were";
  if (sig.required < sig.count)
    raise_format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 fn.c_str(), sig.required, sig.count, given, was);
  raise_format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", fn.c_str(),
               sig.count, given, was);
}

// Places one keyword argument; records positional-only names passed by
// keyword in `posonly`.
void place_keyword(const Signature& sig, const char* owner, PyObject* name, PyObject* value,
                   PyObject** out, std::vector<const char*>& posonly) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.params[i]) != 0) continue;
    if (i < sig.positional_only) {
      posonly.push_back(sig.params[i]);
      return;
    }
    if (out[i]) {
      std::string fn = full_name(sig, owner);
      raise_format(PyExc_TypeError, "%s got multiple values for argument '%s'", fn.c_str(),
                   sig.params[i]);
    }
    out[i] = value;
    return;
  }
  if (PyErr_Occurred()) rethrow_pending();  // a name that is not a str
  std::string fn = full_name(sig, owner);
  raise_format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", fn.c_str(), name);
}

void finish_matching(const Signature& sig, const char* owner, Py_ssize_t nargs, PyObject** out,
                     const std::vector<const char*>& posonly) {
  if (!posonly.empty()) {
    std::string msg = full_name(sig, owner);
    msg += " got some positional-only arguments passed as keyword arguments: ";
    append_name_list(msg, posonly);
    raise(PyExc_TypeError, msg.c_str());
  }
  if (static_cast<std::size_t>(nargs) >= sig.required) return;
  std::vector<const char*> missing;
  for (std::size_t i = static_cast<std::size_t>(nargs); i < sig.required; ++i)
    if (!out[i]) missing.push_back(sig.params[i]);
  if (missing.empty()) return;
  std::string msg = full_name(sig, owner);
  msg += " missing ";
  msg += std::to_string(missing.size());
  msg += missing.size() == 1 ? " required positional argument: "
                             : " required positional arguments: ";
  append_name_list(msg, missing);
  raise(PyExc_TypeError, msg.c_str());
}

}  // namespace

void parse_fastcall(const Signature& sig, const char* owner, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  if (static_cast<std::size_t>(nargs) > sig.count) too_many_positional(sig, owner, nargs);
  for (std::size_t i = 0; i < sig.count; ++i)
    out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
  std::vector<const char*> posonly;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j)
      place_keyword(sig, owner, PyTuple_GetItem(kwnames, j), args[nargs + j], out, posonly);
  }
  finish_matching(sig, owner, nargs, out, posonly);
}

void parse_tuple_dict(const Signature& sig, const char* owner, PyObject* args, PyObject* kwargs,
                      PyObject** out) {
  Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  if (static_cast<std::size_t>(nargs) > sig.count) too_many_positional(sig, owner, nargs);
  for (std::size_t i = 0; i < sig.count; ++i)
    out[i] = i < static_cast<std::size_t>(nargs)
                 ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i))
                 : nullptr;
  std::vector<const char*> posonly;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value))
      place_keyword(sig, owner, name, value, out, posonly);
  }
  finish_matching(sig, owner, nargs, out, posonly);
}

// ---------------------------------------------------------------------------
// Module registration

void add_attribute(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rethrow_pending();
    PyErr_Clear();
    all = Ref::result(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) rethrow_pending();
  } else if (!PyList_Check(all.get())) {
    raise_not_instance(all.get(), "list");
  }
  Ref name_str = Ref::result(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), name_str.get()) < 0)
    CORVALE_PANIC("could not append __name__ to __all__");
  if (PyObject_SetAttr(module, name_str.get(), value) < 0) rethrow_pending();
}

void register_class(PyObject* module, const char* name, PyTypeObject* (*fetch)()) {
  PyTypeObject* type = fetch();
  add_attribute(module, name, reinterpret_cast<PyObject*>(type));
}

}  // namespace corvale_py

// ---------------------------------------------------------------------------
// C++ allocations of the module (test builds only)
//
// A module built with CORVALE_TEST_HOOKS has its own operator new: the
// standard one plus the testing countdown, through which a test makes a
// chosen allocation fail. The module is then linked so that it serves this
// module's code and the engine linked into it whatever else the process has
// loaded (-Bsymbolic-functions on Linux; src/python/CMakeLists.txt); the
// interpreter loads the module privately, so no other library sees it. A
// default build leaves operator new to the C++ runtime.

#ifdef CORVALE_TEST_HOOKS
void* operator new(std::size_t size) {
  if (corvale_py::fail_injected()) [[unlikely]] throw std::bad_alloc();
  if (void* p = std::malloc(size != 0 ? size : 1)) [[likely]] return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif
