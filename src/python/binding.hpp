// corvale_trie Python binding: the layer under every class of `_corvale`.
//
// The extension is written on the CPython limited API (abi3, Python 3.11+).
// This header gives the class files a small vocabulary so that each of them
// reads as its object layout, its operations, and at the bottom a table of
// methods and slots. No method body counts references by hand and no body
// releases a claim by hand: ownership lives in `Ref`, claims in guards, and
// every error travels as a C++ exception to the one place per entry point
// that turns it into the interpreter's error indicator.
//
// Error protocol
//   `PyErrSet` is thrown when the interpreter's error indicator is set and
//   the call must fail. `raise(...)`, `raise_format(...)` and
//   `raise_not_instance(...)` set an exception and throw; `Ref::check`
//   throws when a C API call returned null (its error is already set). The
//   entry wrappers (methods, slots, the module's exec step) catch it and
//   return NULL / -1. Running out of memory is an ordinary error: a failed
//   C++ allocation in the binding or in a read of the engine (std::bad_alloc:
//   result and snapshot vectors, buffer copies) becomes MemoryError at the
//   entry wrapper, and the interpreter failing to create a result object
//   (int, tuple, list, str) makes `Ref::result` throw with its MemoryError
//   pending. Every such allocation comes before the container is changed,
//   or after a change that is then undone in a way that cannot fail (a
//   previous value written back), so the container is as it was; the
//   only exception is the count of a bulk insertion from an iterable whose
//   length was not known in advance (the change stands). (`update` is not
//   atomic for any error: the entries inserted before a failure stay.)
//   The engine's own
//   allocations in the middle of a change stay fatal, as do broken
//   invariants (CORVALE_PANIC).
//
// Owned references
//   `Ref` owns one strong reference (or none): Ref::steal(p) adopts a new
//   reference, Ref::borrow(p) takes an extra one, Ref::check(p) adopts a new
//   reference and throws PyErrSet when p is null, Ref::result(p) adopts a
//   result object and throws PyErrSet when p is null (or, in a test build,
//   when the allocation-failure countdown ends there). get() lends, release() hands
//   the reference to the caller (what an entry wrapper returns).
//
// Object frame
//   Every object of a thread-bound class is a `Frame<Core>`: the object
//   head, the embedded core, a borrow flag and the owner thread's id. The
//   class's object type derives from it and adds only static members:
//
//     struct SetObject : Frame<corvale_trie::set::CorvaleSet> {
//       static constexpr const char* kName = "CorvaleSet";
//       static constexpr const char* kTypePath = "_corvale::set::CorvaleSet";
//       static PyTypeObject* type();   // fetch_type<SetObject>(slots)
//     };
//
//   make_object<Obj>(type, args...) allocates through the type's tp_alloc,
//   constructs the core from args, a free borrow flag and the calling
//   thread as owner. make_object_with<Obj>(type, fill) builds an empty core
//   in the new object and runs fill(core); if fill throws, the object is
//   dropped (its dealloc releases the core) and the error goes on.
//   dealloc<Obj> is the tp_dealloc of every such class: on another thread
//   it first reports RuntimeError
//   "{} is unsendable, but is being dropped on another thread" through the
//   unraisable hook; on every thread it then destroys the core (teardown
//   runs with the interpreter lock held and nothing in a core depends on
//   the thread, so its memory is freed wherever the last reference goes),
//   frees the object and drops its type reference.
//
// Objects shared between threads
//   The concurrent classes are an `AnyThreadFrame<Core>` instead: the object
//   head, the core (a handle to the shared container) and an
//   AtomicBorrowFlag (claims by compare-and-swap), with no owner thread: the
//   thread check is skipped (their object types have no kTypePath, which
//   only its error names); make_any_thread_object and dealloc_any_thread
//   make them and destroy their core on any thread.
//   Their bodies do container work inside without_gil(work), which releases
//   the interpreter lock (PyEval_SaveThread / PyEval_RestoreThread) around a
//   piece of code that touches no Python object.
//
// Call protocol (what the wrappers below do, in this order)
//   1. argument matching (`parse_*`, signature errors are TypeError);
//   2. owner-thread check: RuntimeError
//      "{kTypePath} is unsendable, but sent to another thread";
//   3. the claim: Claim::Shared (refused: RuntimeError
//      "Already mutably borrowed"), Claim::Exclusive (refused: RuntimeError
//      "Already borrowed"), or Claim::None;
//   4. conversion of the arguments in signature order, each failure carrying
//      the note "while processing '{name}'";
//   5. the body; 6. the result through to_py; 7. the claim is released on
//   every path (guards).
//
// Bodies are plain functions whose first parameter is the object type, the
// others the converted parameters:
//
//     Ref  set_insert(SetObject& self, u64 key);          // any to_py-able R
//     bool set_contains(SetObject& self, u64 key);
//     std::optional<u64> set_next(SetObject& self, u64 key, Maybe<bool> inclusive);
//
//   Parameter types: u64, bool, std::vector<u64> (a sequence of integers,
//   not str), PyObject* (the argument as given, borrowed; nullptr when an
//   optional parameter is omitted), std::optional<T> (omitted or None: empty)
//   and Maybe<T> (omitted: empty; None is converted like any object).
//
// Tables
//     constexpr Signature kInsert{"insert", {"key"}};            // all required
//     constexpr Signature kRange{"range", {"start", "end", "inclusive"}, 0};
//     PyMethodDef methods[] = {
//       noargs_method<&set_is_empty, Claim::Shared>("is_empty", doc),
//       method<&set_insert, Claim::Exclusive, kInsert>(doc),
//       end_of_methods(),
//     };
//     PyType_Slot slots[] = {
//       type_slot(Py_tp_new, &new_slot<&set_new, kNew>),
//       type_slot(Py_mp_length, &len_slot<&set_len, Claim::Shared>), ...
//       type_slot(Py_tp_dealloc, &dealloc<SetObject>), ...
//       end_of_slots(),
//     };
//   Function names in parser errors are "{kName}.{signature name}()", e.g.
//   "CorvaleSet.insert()"; a constructor's signature is named "__new__".
//   Docstrings carry their text signature ("insert($self, key)\n--\n\n...").
//
// Type objects
//   fetch_type<Obj>(slots) creates the class's type once per process with
//   PyType_FromSpec (name "corvale_trie._corvale." + kName, basic size sizeof(Obj), default flags
//   only: no subclassing, no cyclic GC) and hands out the same object on
//   every later request. A failure is RuntimeError
//   "An error occurred while initializing class {kName}" whose cause is the
//   error PyType_FromSpec raised. Classes without a constructor install
//   `no_constructor` as tp_new ("cannot create '{module}.{name}' instances").
//
// Conversions
//   to_u64: an int, int subclass or __index__ object in 0..2**64-1, with
//   the interpreter's OverflowError / TypeError texts. to_bool: exactly True
//   or False, numpy's bool scalars by truth value, else TypeError
//   "'{}' object is not an instance of 'bool'". raise_not_instance gives
//   "'{type qualname}' object is not an instance of '{}'" or, for None,
//   "'None' is not an instance of '{}'". to_u64_pair: a tuple of exactly two
//   integers (ValueError "expected tuple of length 2, but got tuple of
//   length {}"). for_each_item / for_each_dict_item walk iterables and dicts
//   with every item owned for the duration of the callback.
//
// Size hints reported by Python objects only size a first reservation,
// capped at kMaxTrustedReserve elements; vectors grow as items arrive.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/core.hpp"
#include "engine/types.hpp"

namespace corvale_py {

using corvale_trie::KeyValue;
using corvale_trie::u64;
using corvale_trie::u8;

// Module path of every class: the `__module__` of each type object.
inline constexpr const char* kModulePath = "corvale_trie._corvale";

// Largest number of elements reserved up front from a size that a Python
// object reports; beyond it vectors grow as items arrive.
inline constexpr std::size_t kMaxTrustedReserve = std::size_t{1} << 16;

// ---------------------------------------------------------------------------
// Errors

// Thrown when the interpreter's error indicator is set and the current call
// must fail. Carries nothing: the exception object lives in the interpreter.
struct PyErrSet {};

// The error indicator is already set (by a C API call): fail the call.
[[noreturn]] void rethrow_pending();
// Sets `type` with `message` and fails the call.
[[noreturn]] void raise(PyObject* type, const char* message);
// Sets `type` with a PyUnicode_FromFormat message and fails the call.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// TypeError "'{qualname}' object is not an instance of '{expected}'", or
// "'None' is not an instance of '{expected}'" when obj is None.
[[noreturn]] void raise_not_instance(PyObject* obj, const char* expected);
// Adds `note` to the pending exception (BaseException.add_note). The
// pending exception stays pending; a failure to add the note is dropped.
void add_note(const char* note) noexcept;
// The interpreter could not make a result object: report the pending error
// as unraisable and end the process with "PyObject pointer is null" (for
// callers that cannot fail; results go through Ref::result instead).
[[noreturn]] void fatal_null_object() noexcept;
// A C++ allocation failed where no error can be reported: end the process.
[[noreturn]] void fatal_alloc_failure() noexcept;
// A C++ allocation failed (std::bad_alloc) in a call that can fail: sets
// MemoryError.
void set_memory_error() noexcept;
// A result object could not be made: fails the call with the pending
// MemoryError (set here when a test's countdown, not the interpreter,
// refused the object).
[[noreturn]] void result_failed();

// Testing hooks, compiled only into a module built with CORVALE_TEST_HOOKS
// (the project's own test builds; see module.cpp).
//
// The allocation-failure countdown: fail_injected() is true for the
// countdown's n-th allocation (result objects, and every C++ allocation of
// the module) and always false unless a test armed the countdown. A change
// of a container cannot stop halfway, so allocations inside one are not
// counted: the code that changes a container holds a ChangeInProgress
// guard for exactly that stretch. Without the hooks both are empty.
#ifdef CORVALE_TEST_HOOKS
namespace detail {
extern corvale_trie::Countdown fail_countdown;
extern thread_local u64 changes_in_progress;
}  // namespace detail
[[nodiscard]] inline bool fail_injected() noexcept {
  if (!detail::fail_countdown.armed()) [[likely]] return false;
  return detail::changes_in_progress == 0 && detail::fail_countdown.tick();
}
class ChangeInProgress {
 public:
  ChangeInProgress() noexcept { ++detail::changes_in_progress; }
  ChangeInProgress(const ChangeInProgress&) = delete;
  ChangeInProgress& operator=(const ChangeInProgress&) = delete;
  ~ChangeInProgress() { --detail::changes_in_progress; }
};
#else
[[nodiscard]] constexpr bool fail_injected() noexcept { return false; }
class ChangeInProgress {
 public:
  ChangeInProgress() noexcept {}  // user-provided: a guard variable is not "unused"
  ChangeInProgress(const ChangeInProgress&) = delete;
  ChangeInProgress& operator=(const ChangeInProgress&) = delete;
};
#endif

// Runs change() -> R, a change of a container, under a ChangeInProgress
// guard.
template <class F>
auto change(F&& fn) {
  const ChangeInProgress guard;
  return fn();
}

// ---------------------------------------------------------------------------
// Owned references

// Reference counts are changed with the interpreter's inline macros (under
// the 3.11 limited API they touch the count directly, with no call).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Adopts a new reference (may be null).
  [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes an extra reference to a borrowed object (may be null).
  [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Adopts the result of a C API call that sets an error when it returns null.
  [[nodiscard]] static Ref check(PyObject* p) {
    if (!p) rethrow_pending();
    return Ref(p);
  }
  // Adopts a result object: a null one (the interpreter could not make it,
  // MemoryError is pending) fails the call.
  [[nodiscard]] static Ref result(PyObject* p) {
    Ref r(p);
    if (!p || fail_injected()) [[unlikely]] result_failed();
    return r;
  }

  [[nodiscard]] PyObject* get() const noexcept { return p_; }
  // Hands the reference over; the Ref is empty afterwards.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Ref().swap(*this); }
  void swap(Ref& other) noexcept { std::swap(p_, other.p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

[[nodiscard]] inline Ref none() noexcept { return Ref::borrow(Py_None); }

// ---------------------------------------------------------------------------
// Threads and claims

// Identifier of the calling thread: a process-wide counter value given to
// each thread on first use, never reused while the process lives.
//
// Every method call compares it with the object's owner, so reading it must
// cost no more than a load: the id lives in a zero-initialised thread-local
// (no guard, no wrapper) of the initial-exec model, which the module's 8
// bytes can use from the static TLS reserve that the C library keeps for
// dlopen'ed libraries; the general model would call __tls_get_addr on each
// read. 0 means the thread has no id yet.
namespace detail {
extern constinit thread_local u64 thread_id_slot __attribute__((tls_model("initial-exec")));
// Draws the next id for the calling thread and stores it in its slot.
[[nodiscard]] u64 assign_thread_id() noexcept;
}  // namespace detail

[[nodiscard]] inline u64 current_thread_id() noexcept {
  const u64 id = detail::thread_id_slot;
  return id != 0 ? id : detail::assign_thread_id();
}

// The per-object re-entrancy guard: 0 = free, n = n shared claims, all ones
// = one exclusive claim.
//
// Single writer: a claim is only ever taken or released after the owner
// thread check has passed (the entry wrappers and extract_same_class check
// the thread first), so only the owner thread writes the word. A plain
// load followed by a store therefore loses no update, and no locked
// read-modify-write instruction is needed on the path of every call. The
// word stays atomic so that a foreign thread that merely looks at it reads a
// well-defined value.
class BorrowFlag {
 public:
  static constexpr u64 kExclusive = ~u64{0};

  [[nodiscard]] bool try_shared() noexcept {
    const u64 n = word_.load(std::memory_order_relaxed);
    if (n == kExclusive) return false;
    word_.store(n + 1, std::memory_order_relaxed);
    return true;
  }
  void release_shared() noexcept {
    word_.store(word_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  }
  [[nodiscard]] bool try_exclusive() noexcept {
    if (word_.load(std::memory_order_relaxed) != 0) return false;
    word_.store(kExclusive, std::memory_order_relaxed);
    return true;
  }
  void release_exclusive() noexcept { word_.store(0, std::memory_order_relaxed); }
  [[nodiscard]] u64 raw() const noexcept { return word_.load(std::memory_order_relaxed); }

 private:
  std::atomic<u64> word_{0};
};
static_assert(sizeof(BorrowFlag) == 8 && std::atomic<u64>::is_always_lock_free);

// The borrow flag of an object that any thread may use at once (the
// concurrent classes): the same states, changed by compare-and-swap, with
// the release of a shared claim an atomic decrement with release ordering.
class AtomicBorrowFlag {
 public:
  static constexpr u64 kExclusive = ~u64{0};

  [[nodiscard]] bool try_shared() noexcept {
    u64 n = word_.load(std::memory_order_relaxed);
    do {
      if (n == kExclusive) return false;
    } while (!word_.compare_exchange_weak(n, n + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
    return true;
  }
  void release_shared() noexcept { word_.fetch_sub(1, std::memory_order_release); }
  [[nodiscard]] bool try_exclusive() noexcept {
    u64 expected = 0;
    return word_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                         std::memory_order_relaxed);
  }
  void release_exclusive() noexcept { word_.store(0, std::memory_order_release); }
  [[nodiscard]] u64 raw() const noexcept { return word_.load(std::memory_order_relaxed); }

 private:
  std::atomic<u64> word_{0};
};
static_assert(sizeof(AtomicBorrowFlag) == 8);

enum class Claim { None, Shared, Exclusive };

// The RuntimeError of a refused claim: "Already mutably borrowed" for a
// shared claim, "Already borrowed" for an exclusive one.
[[noreturn]] void raise_claim_refused(Claim wanted);

// RAII claims; the constructors raise the RuntimeError of a refused claim.
template <class Flag = BorrowFlag>
class SharedClaim {
 public:
  explicit SharedClaim(Flag& flag) : flag_(&flag) {
    if (!flag.try_shared()) [[unlikely]] raise_claim_refused(Claim::Shared);
  }
  SharedClaim(const SharedClaim&) = delete;
  SharedClaim& operator=(const SharedClaim&) = delete;
  ~SharedClaim() { flag_->release_shared(); }

 private:
  Flag* flag_;
};

template <class Flag = BorrowFlag>
class ExclusiveClaim {
 public:
  explicit ExclusiveClaim(Flag& flag) : flag_(&flag) {
    if (!flag.try_exclusive()) [[unlikely]] raise_claim_refused(Claim::Exclusive);
  }
  ExclusiveClaim(const ExclusiveClaim&) = delete;
  ExclusiveClaim& operator=(const ExclusiveClaim&) = delete;
  ~ExclusiveClaim() { flag_->release_exclusive(); }

 private:
  Flag* flag_;
};

struct NoClaim {
  template <class Flag>
  explicit NoClaim(Flag&) noexcept {}
};

template <Claim C, class Flag = BorrowFlag>
using ClaimGuard = std::conditional_t<
    C == Claim::Shared, SharedClaim<Flag>,
    std::conditional_t<C == Claim::Exclusive, ExclusiveClaim<Flag>, NoClaim>>;

// RuntimeError "{type_path} is unsendable, but sent to another thread".
[[noreturn]] void raise_unsendable(const char* type_path);

// Takes the interpreter lock back for a thread that released it. When the
// interpreter has begun to shut down, the lock is never given back to a
// thread other than the one finalizing: Python 3.11 to 3.13 end such a
// thread with pthread_exit, whose forced unwinding cannot pass the
// destructor that calls this (the process would abort at exit while a daemon
// thread is inside a call). The thread is parked for good there instead, as
// Python 3.14 itself does; the process is about to exit.
void restore_thread(PyThreadState* state) noexcept;

// Releases the interpreter lock for the life of the guard (the calling
// thread's state is saved and restored). Code run meanwhile must not touch
// any Python object.
class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;
  ~GilReleased() { restore_thread(state_); }

 private:
  PyThreadState* state_;
};

// Runs work() -> R with the interpreter lock released; R must be a plain
// C++ value (no Python object is made or touched inside).
template <class F>
auto without_gil(F&& work) {
  GilReleased released;
  return work();
}

// ---------------------------------------------------------------------------
// Object frame

template <class Core>
struct Frame {
  PyObject_HEAD
  Core core;
  BorrowFlag borrow;
  u64 owner;

  using core_type = Core;
};

// The frame of an object that any thread may use and release (the
// concurrent classes): no owner thread, an atomic borrow flag. The core is
// a handle to the shared container.
template <class Core>
struct AnyThreadFrame {
  PyObject_HEAD
  Core core;
  AtomicBorrowFlag borrow;

  using core_type = Core;
};

// Whether objects of Obj are bound to the thread that made them.
template <class Obj>
inline constexpr bool kThreadBound = requires(const Obj& o) { o.owner; };

template <class Obj>
[[nodiscard]] inline Obj& object_of(PyObject* p) noexcept {
  return *reinterpret_cast<Obj*>(p);
}
template <class Obj>
[[nodiscard]] inline PyObject* as_pyobject(Obj& obj) noexcept {
  return reinterpret_cast<PyObject*>(&obj);
}
// A new reference to the object itself (an iterator's __iter__).
template <class Obj>
[[nodiscard]] inline Ref self_ref(Obj& obj) noexcept {
  return Ref::borrow(as_pyobject(obj));
}

template <class Obj>
inline void check_thread(const Obj& obj) {
  if constexpr (kThreadBound<Obj>) {
    if (obj.owner != current_thread_id()) [[unlikely]] raise_unsendable(Obj::kTypePath);
  }
}

// Frees object memory whose core was never constructed.
void free_unconstructed(PyObject* obj) noexcept;

// Testing hook (CORVALE_TEST_HOOKS only, see module.cpp): the number of
// frames whose core is alive.
namespace detail {
#ifdef CORVALE_TEST_HOOKS
extern std::atomic<u64> live_frames;
inline void count_frame_made() noexcept { live_frames.fetch_add(1, std::memory_order_relaxed); }
inline void count_frame_destroyed() noexcept { live_frames.fetch_sub(1, std::memory_order_relaxed); }
#else
inline void count_frame_made() noexcept {}
inline void count_frame_destroyed() noexcept {}
#endif
}  // namespace detail

template <class Obj, class... A>
[[nodiscard]] Ref make_object(PyTypeObject* type, A&&... args) {
  static_assert(alignof(Obj) <= 16, "object memory comes from the interpreter, 16-byte aligned");
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* raw = alloc(type, 0);
  if (!raw) rethrow_pending();
  Obj& obj = object_of<Obj>(raw);
  try {
    new (&obj.core) typename Obj::core_type(std::forward<A>(args)...);
  } catch (...) {
    free_unconstructed(raw);
    throw;
  }
  new (&obj.borrow) BorrowFlag();
  obj.owner = current_thread_id();
  detail::count_frame_made();
  return Ref::steal(raw);
}

template <class Obj, class Fill>
[[nodiscard]] Ref make_object_with(PyTypeObject* type, Fill&& fill) {
  Ref obj = make_object<Obj>(type);
  fill(object_of<Obj>(obj.get()).core);  // on a throw `obj` is dropped here
  return obj;
}

// Teardown on a foreign thread: the unraisable RuntimeError report.
void report_dropped_on_other_thread(const char* type_path, PyTypeObject* type) noexcept;

template <class Obj>
void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  Obj& obj = object_of<Obj>(self);
  if (obj.owner != current_thread_id()) [[unlikely]]
    report_dropped_on_other_thread(Obj::kTypePath, type);
  using Core = typename Obj::core_type;
  change([&] { obj.core.~Core(); });  // teardown cannot stop halfway either
  detail::count_frame_destroyed();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// make_object and dealloc of an AnyThreadFrame class: no owner thread; the
// core is destroyed on whatever thread releases the object.
template <class Obj, class... A>
[[nodiscard]] Ref make_any_thread_object(PyTypeObject* type, A&&... args) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* raw = alloc(type, 0);
  if (!raw) rethrow_pending();  // `args` (the core's handle) are released by the caller
  Obj& obj = object_of<Obj>(raw);
  new (&obj.core) typename Obj::core_type(std::forward<A>(args)...);
  new (&obj.borrow) AtomicBorrowFlag();
  return Ref::steal(raw);
}

template <class Obj>
void dealloc_any_thread(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  using Core = typename Obj::core_type;
  change([&] { object_of<Obj>(self).core.~Core(); });
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// An owned reference to an object of class Obj with a shared claim held on
// it; both are released together.
template <class Obj>
class SharedRef {
 public:
  SharedRef() noexcept = default;
  SharedRef(SharedRef&& other) noexcept = default;
  SharedRef& operator=(SharedRef&& other) noexcept {
    SharedRef(std::move(other)).swap(*this);
    return *this;
  }
  ~SharedRef() {
    if (ref_) object_of<Obj>(ref_.get()).borrow.release_shared();
  }
  // Takes over a shared claim already acquired on `obj`.
  [[nodiscard]] static SharedRef adopt_claim(PyObject* obj) noexcept {
    SharedRef r;
    r.ref_ = Ref::borrow(obj);
    return r;
  }
  [[nodiscard]] Obj& get() const noexcept { return object_of<Obj>(ref_.get()); }
  explicit operator bool() const noexcept { return static_cast<bool>(ref_); }
  void swap(SharedRef& other) noexcept { ref_.swap(other.ref_); }

 private:
  Ref ref_;
};

enum class SameClass { Held, NotInstance, ClaimRefused };

template <class Obj>
struct SameClassResult {
  SameClass outcome = SameClass::NotInstance;
  SharedRef<Obj> held;  // set when outcome is Held
};

// Recognises an argument of the class Obj (or a subclass): not-an-instance
// when its type is neither; otherwise the owner-thread check (which raises),
// then a shared claim: Held with the claim, or ClaimRefused (no error set).
template <class Obj>
[[nodiscard]] SameClassResult<Obj> extract_same_class(PyObject* obj) {
  SameClassResult<Obj> r;
  PyTypeObject* cls = Obj::type();
  if (!PyType_IsSubtype(Py_TYPE(obj), cls)) return r;
  Obj& other = object_of<Obj>(obj);
  check_thread(other);
  if (!other.borrow.try_shared()) {
    r.outcome = SameClass::ClaimRefused;
    return r;
  }
  r.outcome = SameClass::Held;
  r.held = SharedRef<Obj>::adopt_claim(obj);
  return r;
}

// ---------------------------------------------------------------------------
// Type objects

// A per-class cell holding the type object once it is made.
class TypeCell {
 public:
  constexpr TypeCell() noexcept = default;
  // Fetch-or-create. Failure: RuntimeError
  // "An error occurred while initializing class {name}" caused by the error
  // of PyType_FromSpec, thrown as PyErrSet.
  PyTypeObject* get(PyType_Spec& spec, const char* name);

 private:
  std::atomic<PyTypeObject*> type_{nullptr};
};

template <class F>
[[nodiscard]] inline PyType_Slot type_slot(int id, F* fn) noexcept {
  if constexpr (std::is_function_v<F>)
    return PyType_Slot{id, reinterpret_cast<void*>(fn)};
  else
    return PyType_Slot{id, const_cast<void*>(static_cast<const void*>(fn))};
}
[[nodiscard]] inline PyType_Slot end_of_slots() noexcept { return PyType_Slot{0, nullptr}; }

// The type object of Obj, made from `slots` on first need. The slot list
// must hold tp_dealloc, tp_new (or no_constructor), the docstring and the
// class's own slots; the base `object` is added here.
// "corvale_trie._corvale.{name}", allocated once and kept for the life of
// the process: the type object keeps pointing at its spec's name.
[[nodiscard]] const char* qualified_type_name(const char* name);

template <class Obj>
PyTypeObject* fetch_type(PyType_Slot* slots) {
  static TypeCell cell;
  static PyType_Spec spec{qualified_type_name(Obj::kName), static_cast<int>(sizeof(Obj)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return cell.get(spec, Obj::kName);
}

// tp_new of a class that cannot be created from Python: TypeError
// "cannot create '{module}.{name}' instances".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// ---------------------------------------------------------------------------
// Conversions from Python

// u64 from an int, int subclass or __index__ object (interpreter texts).
[[nodiscard]] u64 to_u64_general(PyObject* obj);
[[nodiscard]] inline u64 to_u64(PyObject* obj) {
  // Fast path: an exact int in 0..2**63-1 is read in one call. Everything
  // else (subclasses, __index__ objects, negatives, 2**63 and above, where
  // the signed read reports -1 with overflow) takes the general path, so
  // every error and its text remain the interpreter's own.
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v >= 0) return static_cast<u64>(v);
  }
  return to_u64_general(obj);
}
// Exactly True or False; numpy bool scalars by truth value.
[[nodiscard]] bool to_bool(PyObject* obj);
// A tuple (or subclass) of exactly two integers: (key, value).
[[nodiscard]] KeyValue to_u64_pair(PyObject* item);
// A tuple (or subclass) of exactly two elements whose second is an integer:
// the first element as it is (borrowed from the tuple, for the caller to
// convert) and the second converted. The tuple errors are to_u64_pair's.
struct ObjectValue {
  PyObject* object;
  u64 value;
};
[[nodiscard]] ObjectValue to_object_u64_pair(PyObject* item);
// A sequence of integers (not str): "Can't extract `str` to `Vec`", else a
// non-sequence is "'{}' object is not an instance of 'Sequence'".
[[nodiscard]] std::vector<u64> sequence_to_u64_vec(PyObject* obj);
// Reservation size for a reported size (negative: unknown).
[[nodiscard]] inline std::size_t trusted_reserve(Py_ssize_t reported) noexcept {
  if (reported <= 0) return 0;
  return static_cast<std::size_t>(reported) < kMaxTrustedReserve
             ? static_cast<std::size_t>(reported)
             : kMaxTrustedReserve;
}

// Calls fn(item) for each item of `iterable` (each owned during the call).
// A non-iterable is the interpreter's TypeError; an error left by the
// iteration itself is raised after the last item.
template <class F>
void for_each_item(PyObject* iterable, F&& fn) {
  Ref it = Ref::check(PyObject_GetIter(iterable));
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) fn(item.get());
  if (PyErr_Occurred()) rethrow_pending();
}

// RuntimeError raised when a dict changes while a method walks it.
[[noreturn]] void raise_dict_changed(bool size_changed);

// Calls fn(key, value) for each entry of a dict or dict subclass, read from
// the dict's own storage in its order (no method of a subclass is called).
// Key and value are owned during the call. A dict whose size changes while
// it is walked stops the walk before the next entry with RuntimeError
// "dictionary changed size during iteration" (or "dictionary keys changed
// during iteration" when more entries turn up than it held at the start).
template <class F>
void for_each_dict_item(PyObject* dict, F&& fn) {
  const Py_ssize_t size = PyDict_Size(dict);
  Py_ssize_t pos = 0;
  Py_ssize_t seen = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (;;) {
    if (PyDict_Size(dict) != size) raise_dict_changed(true);
    if (!PyDict_Next(dict, &pos, &key, &value)) break;
    if (++seen > size) raise_dict_changed(false);
    Ref k = Ref::borrow(key);
    Ref v = Ref::borrow(value);
    fn(k.get(), v.get());
  }
}

template <class T>
struct FromPy;
template <>
struct FromPy<u64> {
  static u64 convert(PyObject* obj) { return to_u64(obj); }
};
template <>
struct FromPy<bool> {
  static bool convert(PyObject* obj) { return to_bool(obj); }
};
template <>
struct FromPy<std::vector<u64>> {
  static std::vector<u64> convert(PyObject* obj) { return sequence_to_u64_vec(obj); }
};

// An optional parameter that is empty only when the argument is omitted.
template <class T>
struct Maybe : std::optional<T> {
  using std::optional<T>::optional;
};

// Converts a parsed argument slot (nullptr = omitted) to a parameter type,
// adding the note "while processing '{name}'" to a failure.
template <class T>
struct Param {
  static T convert(PyObject* obj, const char* name) {
    try {
      return FromPy<T>::convert(obj);
    } catch (const PyErrSet&) {
      note_argument(name);
      throw;
    }
  }
  static void note_argument(const char* name) noexcept;
};
template <class T>
void Param<T>::note_argument(const char* name) noexcept {
  std::string note = "while processing '";
  note += name;
  note += '\'';
  add_note(note.c_str());
}
template <>
struct Param<PyObject*> {
  static PyObject* convert(PyObject* obj, const char*) noexcept { return obj; }
};
template <class T>
struct Param<std::optional<T>> {
  static std::optional<T> convert(PyObject* obj, const char* name) {
    if (!obj || obj == Py_None) return std::nullopt;
    return Param<T>::convert(obj, name);
  }
};
template <class T>
struct Param<Maybe<T>> {
  static Maybe<T> convert(PyObject* obj, const char* name) {
    if (!obj) return Maybe<T>();
    return Maybe<T>(Param<T>::convert(obj, name));
  }
};

// ---------------------------------------------------------------------------
// Conversions to Python (results; failure to create one throws PyErrSet
// with MemoryError pending)

[[nodiscard]] inline Ref to_py(bool v) noexcept { return Ref::borrow(v ? Py_True : Py_False); }
[[nodiscard]] Ref to_py(u64 v);
[[nodiscard]] Ref to_py(const KeyValue& kv);
[[nodiscard]] Ref to_py(const std::vector<u64>& v);
[[nodiscard]] Ref to_py(const std::vector<KeyValue>& v);
[[nodiscard]] inline Ref to_py(Ref r) noexcept { return r; }
template <class T>
[[nodiscard]] Ref to_py(const std::optional<T>& v) {
  return v ? to_py(*v) : none();
}
// A str from UTF-8 text.
[[nodiscard]] Ref str_from(std::string_view text);
// A bytes object holding a copy of `bytes`.
[[nodiscard]] Ref bytes_from(std::string_view bytes);
// A new 2-tuple (first, second).
[[nodiscard]] Ref pair_of(Ref first, Ref second);
// A new list of n items, item i = item_at(i) (a Ref). A failing item drops
// the list made so far.
template <class F>
[[nodiscard]] Ref new_list(std::size_t n, F&& item_at) {
  Ref list = Ref::result(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; i < n; ++i)
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item_at(i).release());
  return list;
}

// ---------------------------------------------------------------------------
// Argument matching

inline constexpr std::size_t kMaxParams = 6;

// The parameters of a method or constructor: names in order, the first
// `required` of them required, the first `positional_only` of them
// positional-only; all others positional-or-keyword.
struct Signature {
  static constexpr std::size_t kAll = ~std::size_t{0};

  const char* name;
  std::array<const char*, kMaxParams> params{};
  std::size_t count = 0;
  std::size_t required = 0;
  std::size_t positional_only = 0;

  constexpr Signature(const char* function_name, std::initializer_list<const char*> names,
                      std::size_t required_count = kAll, std::size_t positional_only_count = 0)
      : name(function_name),
        count(names.size()),
        required(required_count == kAll ? names.size() : required_count),
        positional_only(positional_only_count) {
    std::size_t i = 0;
    for (const char* n : names) params[i++] = n;
  }
};

// Matches a METH_FASTCALL|METH_KEYWORDS argument vector to the parameters:
// out[i] is the argument given for parameter i (borrowed) or nullptr.
// `owner` is the class name for "{owner}.{name}()" (nullptr: "{name}()").
void parse_fastcall(const Signature& sig, const char* owner, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// parse_fastcall for the signature S, with the common call handled inline:
// no keywords and an admissible number of positional arguments is exactly
// the case in which parse_fastcall only copies the arguments over and fills
// the rest with nullptr, so the copy is done here; every other call (keywords,
// too few or too many arguments) goes through parse_fastcall and its texts.
template <const Signature& S>
inline void match_fastcall(const char* owner, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** out) {
  const auto given = static_cast<std::size_t>(nargs);
  if (!kwnames && nargs >= 0 && given >= S.required && given <= S.count) [[likely]] {
    for (std::size_t i = 0; i < S.count; ++i) out[i] = i < given ? args[i] : nullptr;
    return;
  }
  parse_fastcall(S, owner, args, nargs, kwnames, out);
}
// The same for an argument tuple and keyword dict (tp_new).
void parse_tuple_dict(const Signature& sig, const char* owner, PyObject* args, PyObject* kwargs,
                      PyObject** out);

// ---------------------------------------------------------------------------
// Entry wrappers

namespace detail {

template <class F>
struct BodyTraits;
template <class R, class S, class... A>
struct BodyTraits<R (*)(S&, A...)> {
  using Self = S;
  using Result = R;
  using Args = std::tuple<A...>;
  static constexpr std::size_t arity = sizeof...(A);
};
template <class R, class S, class... A>
struct BodyTraits<R (*)(S&, A...) noexcept> : BodyTraits<R (*)(S&, A...)> {};

template <class F>
struct CtorTraits;
template <class R, class... A>
struct CtorTraits<R (*)(PyTypeObject*, A...)> {
  using Args = std::tuple<A...>;
  static constexpr std::size_t arity = sizeof...(A);
};

// Converts the arguments in order (braced initialisation evaluates left to
// right) and calls the body; the result goes through to_py.
template <class Args, std::size_t... I, class Call>
Ref convert_and_call(PyObject* const* argv, const Signature& sig, std::index_sequence<I...>,
                     Call&& call) {
  Args args{Param<std::tuple_element_t<I, Args>>::convert(argv[I], sig.params[I])...};
  using R = decltype(std::apply(call, std::move(args)));
  if constexpr (std::is_void_v<R>) {
    std::apply(call, std::move(args));
    return none();
  } else {
    return to_py(std::apply(call, std::move(args)));
  }
}

template <class F>
PyObject* object_boundary(F&& f) noexcept {
  try {
    return f().release();
  } catch (const PyErrSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    set_memory_error();
    return nullptr;
  }
}

template <class T, class F>
T value_boundary(F&& f, T error_value) noexcept {
  try {
    return f();
  } catch (const PyErrSet&) {
    return error_value;
  } catch (const std::bad_alloc&) {
    set_memory_error();
    return error_value;
  }
}

// Thread check and claim around a body call on `self`.
template <auto Fn, Claim C, class G>
auto with_frame(PyObject* self, G&& body) {
  using Self = typename BodyTraits<decltype(Fn)>::Self;
  Self& obj = object_of<Self>(self);
  check_thread(obj);
  ClaimGuard<C, std::remove_cvref_t<decltype(obj.borrow)>> claim(obj.borrow);
  return body(obj);
}

template <auto Fn>
auto call_body(typename BodyTraits<decltype(Fn)>::Self& obj) {
  return [&obj](auto&&... a) { return Fn(obj, std::forward<decltype(a)>(a)...); };
}

}  // namespace detail

// METH_FASTCALL|METH_KEYWORDS method with the parameters of S.
template <auto Fn, Claim C, const Signature& S>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  using T = detail::BodyTraits<decltype(Fn)>;
  static_assert(T::arity == S.count || S.count == 0, "signature and body disagree");
  return detail::object_boundary([&]() -> Ref {
    std::array<PyObject*, (S.count > 0 ? S.count : 1)> argv{};
    match_fastcall<S>(T::Self::kName, args, nargs, kwnames, argv.data());
    return detail::with_frame<Fn, C>(self, [&](typename T::Self& obj) {
      return detail::convert_and_call<typename T::Args>(argv.data(), S,
                                                        std::make_index_sequence<T::arity>{},
                                                        detail::call_body<Fn>(obj));
    });
  });
}

// METH_NOARGS method (the interpreter rejects any argument).
template <auto Fn, Claim C>
PyObject* noargs_method_impl(PyObject* self, PyObject*) noexcept {
  return detail::object_boundary([&]() -> Ref {
    return detail::with_frame<Fn, C>(self, [](auto& obj) {
      if constexpr (std::is_void_v<decltype(Fn(obj))>) {
        Fn(obj);
        return none();
      } else {
        return to_py(Fn(obj));
      }
    });
  });
}

template <auto Fn, Claim C, const Signature& S>
[[nodiscard]] PyMethodDef method(const char* doc) noexcept {
  using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
  Fast f = &fastcall_method<Fn, C, S>;
  return PyMethodDef{S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
}

template <auto Fn, Claim C>
[[nodiscard]] PyMethodDef noargs_method(const char* name, const char* doc) noexcept {
  return PyMethodDef{name, &noargs_method_impl<Fn, C>, METH_NOARGS, doc};
}

[[nodiscard]] inline PyMethodDef end_of_methods() noexcept {
  return PyMethodDef{nullptr, nullptr, 0, nullptr};
}

// Getter of a read-only property: Fn(Self&) -> to_py-able.
template <auto Fn, Claim C>
PyObject* getter(PyObject* self, void*) noexcept {
  return noargs_method_impl<Fn, C>(self, nullptr);
}

// tp_iter, tp_repr, tp_iternext: Fn(Self&) -> to_py-able. For tp_iternext
// an empty Ref ends the iteration without an exception.
template <auto Fn, Claim C>
PyObject* unary_slot(PyObject* self) noexcept {
  return noargs_method_impl<Fn, C>(self, nullptr);
}

// mp_length: Fn(Self&) -> u64; a count above 2**63-1 is OverflowError.
template <auto Fn, Claim C>
Py_ssize_t len_slot(PyObject* self) noexcept {
  return detail::value_boundary<Py_ssize_t>(
      [&]() -> Py_ssize_t {
        return detail::with_frame<Fn, C>(self, [](auto& obj) -> Py_ssize_t {
          u64 n = Fn(obj);
          if (n > static_cast<u64>(PY_SSIZE_T_MAX)) {
            PyErr_SetNone(PyExc_OverflowError);
            rethrow_pending();
          }
          return static_cast<Py_ssize_t>(n);
        });
      },
      -1);
}

// nb_bool: Fn(Self&) -> bool.
template <auto Fn, Claim C>
int bool_slot(PyObject* self) noexcept {
  return detail::value_boundary<int>(
      [&]() -> int {
        return detail::with_frame<Fn, C>(self, [](auto& obj) -> int { return Fn(obj) ? 1 : 0; });
      },
      -1);
}

// sq_contains: Fn(Self&, K) -> bool, the operand converted as `key`.
template <auto Fn, Claim C>
int contains_slot(PyObject* self, PyObject* key) noexcept {
  using K = std::tuple_element_t<0, typename detail::BodyTraits<decltype(Fn)>::Args>;
  return detail::value_boundary<int>(
      [&]() -> int {
        return detail::with_frame<Fn, C>(self, [&](auto& obj) -> int {
          return Fn(obj, Param<K>::convert(key, "key")) ? 1 : 0;
        });
      },
      -1);
}

// mp_subscript: Fn(Self&, K) -> to_py-able, the key converted as `key`.
template <auto Fn, Claim C>
PyObject* getitem_slot(PyObject* self, PyObject* key) noexcept {
  using K = std::tuple_element_t<0, typename detail::BodyTraits<decltype(Fn)>::Args>;
  return detail::object_boundary([&]() -> Ref {
    return detail::with_frame<Fn, C>(self, [&](auto& obj) -> Ref {
      return to_py(Fn(obj, Param<K>::convert(key, "key")));
    });
  });
}

// mp_ass_subscript under claim C (the exclusive claim unless a class says
// otherwise): SetFn(Self&, K, V) for m[key] = val (key, then val
// converted), DelFn(Self&, K) for del m[key].
template <auto SetFn, auto DelFn, Claim C = Claim::Exclusive>
int setitem_slot(PyObject* self, PyObject* key, PyObject* value) noexcept {
  using SetArgs = typename detail::BodyTraits<decltype(SetFn)>::Args;
  using DelArgs = typename detail::BodyTraits<decltype(DelFn)>::Args;
  return detail::value_boundary<int>(
      [&]() -> int {
        if (value) {
          return detail::with_frame<SetFn, C>(self, [&](auto& obj) -> int {
            auto k = Param<std::tuple_element_t<0, SetArgs>>::convert(key, "key");
            auto v = Param<std::tuple_element_t<1, SetArgs>>::convert(value, "val");
            SetFn(obj, std::move(k), std::move(v));
            return 0;
          });
        }
        return detail::with_frame<DelFn, C>(self, [&](auto& obj) -> int {
          DelFn(obj, Param<std::tuple_element_t<0, DelArgs>>::convert(key, "key"));
          return 0;
        });
      },
      -1);
}

// tp_new: Fn(PyTypeObject*, A...) -> Ref with the parameters of S (named
// "{Owner::kName}.__new__()" in parser errors). No thread check, no claim.
template <class Owner, auto Fn, const Signature& S>
PyObject* new_slot(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  using T = detail::CtorTraits<decltype(Fn)>;
  static_assert(T::arity == S.count, "signature and constructor disagree");
  return detail::object_boundary([&]() -> Ref {
    std::array<PyObject*, (S.count > 0 ? S.count : 1)> argv{};
    parse_tuple_dict(S, Owner::kName, args, kwargs, argv.data());
    return detail::convert_and_call<typename T::Args>(
        argv.data(), S, std::make_index_sequence<T::arity>{},
        [type](auto&&... a) { return Fn(type, std::forward<decltype(a)>(a)...); });
  });
}

// ---------------------------------------------------------------------------
// Module registration

// Appends `name` to the module's __all__ (created as an empty list when the
// module has none), then sets the attribute. Appending failing is fatal.
void add_attribute(PyObject* module, const char* name, PyObject* value);
// Fetches the type object (creating it on first need) and adds it.
void register_class(PyObject* module, const char* name, PyTypeObject* (*fetch)());

}  // namespace corvale_py
