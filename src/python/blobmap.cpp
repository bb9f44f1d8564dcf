// corvale_trie Python binding: the class CorvaleBlobMap.
//
// A CorvaleBlobMap object is a Frame (binding.hpp) around one core
// `corvale_trie::blobmap::CorvaleBlobMap`: u64 keys to byte payloads, each
// with a hot_meta number (kept only for payloads of 8 bytes or more). The
// class has no iteration protocol: entries are read by key, by
// scan_filtered over a key range, or through an image file.
//
// Every read hands out a new `bytes` copy of the payload, so nothing that a
// caller holds points into the arena. The payload argument `data` is
// converted inside the bodies (after `key` and `hot_meta`), so a bad
// hot_meta is reported before a bad payload, and without a parameter note.
//
// scan_filtered holds the shared claim for the whole scan: the predicate and
// the callback may read the map, and every mutation they try is refused
// with "Already borrowed". The first exception either of them raises (or
// the truth test of what they return) is kept, ends the scan and is raised
// as it was.
//
// Files: save_to_file writes the image straight from the index and chunks
// into a new file that then replaces the path (engine/image_file.hpp);
// any failure, of a step on the file system, of a write, of a flush or of
// a close, is OSError "Failed to save file: {}". Both calls hold the
// interpreter lock while they read the map or write the image, and let it
// go only while they wait (for a lock, a lease, a FIFO's reader or another
// thread's call of the same file); they run the signal handlers between pieces
// of the file (and when a system call was interrupted): a handler that
// raises stops the call, and its exception is what the call raises (a
// save then keeps the old image, or what it wrote of a file written in
// place). A save runs them once more once its new image is in place
// (after its rename and after the directory's flush, or after the flush of
// a file written in place); an exception raised then, or a failed flush,
// carries the note "the new image is in place". Waiting for the lock of a
// file written in place is interrupted the same way. Everything it
// allocates (its answer, the engine's paths and write buffer) is taken
// before a file is made, so a MemoryError leaves an existing image as it
// was. load_from_file (a static method: no thread check, no claim)
// validates a regular file as it reads it, header first, each chunk
// straight into the arena; no memory for its read window is MemoryError
// (the engine's std::bad_alloc), every other failure OSError "Failed to
// load file: {}", with the system's error in a note when the file could
// not be opened, locked or read, and no object is made. A signal handler's
// save or load of a file that a call below it holds is refused, and one of
// another thread waits for it (engine/file_lock.hpp). A save or a load that
// the child of a fork goes on with (a handler forked inside it) fails
// there with "Operation canceled (os error 125)", leaving the file to the
// parent (engine/file_step.hpp).
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "engine/blobmap.hpp"
#include "python/buffer.hpp"
#include "python/classes.hpp"
#include "python/intclass.hpp"

namespace corvale_py {
namespace {

using corvale_trie::u32;
using corvale_trie::blobmap::ArenaError;
using corvale_trie::blobmap::BlobView;
using corvale_trie::blobmap::CompactStats;
using corvale_trie::blobmap::CorvaleBlobMap;
using corvale_trie::blobmap::error_text;
using corvale_trie::blobmap::MaybeError;
using corvale_trie::blobmap::Outcome;

struct BlobMapObject : Frame<CorvaleBlobMap> {
  static constexpr const char* kName = "CorvaleBlobMap";
  static constexpr const char* kTypePath = "_corvale::blobmap::CorvaleBlobMap";
  static PyTypeObject* type() { return corvale_blob_map_type(); }
};
using Obj = BlobMapObject;

// hot_meta: an integer in 0..2**32-1. Out of range: OverflowError, the
// interpreter's text beyond the signed 64-bit range, else "out of range
// integral type conversion attempted".
struct HotMeta {
  u32 value = 0;
};

// A file path: a str, encoded as open() encodes it, with the file-system
// encoding and its error handler (os.fsencode: on POSIX, UTF-8 with
// surrogateescape, so that a name os.fsdecode made of bytes that are not
// UTF-8 reaches the same file). A NUL byte is left in, for the engine to
// refuse.
struct FilePath {
  Ref bytes;
  std::string_view text;
};

}  // namespace

template <>
struct FromPy<HotMeta> {
  static HotMeta convert(PyObject* obj) {
    const long v = PyLong_AsLong(obj);  // __index__ for non-int objects
    if (v == -1 && PyErr_Occurred()) rethrow_pending();
    if (v < 0 || static_cast<unsigned long>(v) > 0xFFFFFFFFul)
      raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return HotMeta{static_cast<u32>(v)};
  }
};

template <>
struct FromPy<FilePath> {
  static FilePath convert(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_not_instance(obj, "str");
    Ref bytes = Ref::check(PyUnicode_EncodeFSDefault(obj));
    char* s = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &s, &n) != 0) rethrow_pending();
    return FilePath{std::move(bytes), std::string_view(s, static_cast<std::size_t>(n))};
  }
};

namespace {

[[noreturn]] void raise_key_not_found(u64 key) {
  raise_format(PyExc_KeyError, "Key %llu not found in CorvaleBlobMap", static_cast<unsigned long long>(key));
}

[[nodiscard]] Ref bytes_of(std::span<const u8> payload) {
  return Ref::result(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data()),
                                               static_cast<Py_ssize_t>(payload.size())));
}

[[nodiscard]] Ref new_tuple(std::initializer_list<Ref> items) {
  Ref t = Ref::result(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (Ref item : items) PyTuple_SetItem(t.get(), i++, item.release());
  return t;
}

// ---------------------------------------------------------------------------
// Constructor and point operations

Ref blob_new(PyTypeObject* type, std::optional<u64> chunk_size) {
  return make_object<Obj>(type, chunk_size);
}

void insert_payload(Obj& self, u64 key, PyObject* data, u32 hot_meta) {
  const buffer::KeyBytes payload = buffer::extract_bytes_key(data);
  const std::string_view b = payload.bytes();
  const MaybeError e = change(
      [&] { return self.core.insert(key, {reinterpret_cast<const u8*>(b.data()), b.size()}, hot_meta); });
  if (e) raise_format(PyExc_RuntimeError, "Blob allocation error: %s", error_text(*e));
}

void blob_insert(Obj& self, u64 key, PyObject* data, Maybe<HotMeta> hot_meta) {
  insert_payload(self, key, data, hot_meta ? hot_meta->value : 0);
}

void blob_setitem(Obj& self, u64 key, PyObject* data) { insert_payload(self, key, data, 0); }

Ref blob_getitem(Obj& self, u64 key) {
  const std::optional<BlobView> v = self.core.get(key);
  if (!v) raise_key_not_found(key);
  return bytes_of(v->payload);
}

Ref blob_get(Obj& self, u64 key) {
  const std::optional<BlobView> v = self.core.get(key);
  if (!v) return none();
  return new_tuple({bytes_of(v->payload), to_py(u64{v->hot_meta})});
}

Ref blob_get_bytes(Obj& self, u64 key) {
  const std::optional<BlobView> v = self.core.get(key);
  return v ? bytes_of(v->payload) : none();
}

bool blob_contains_key(Obj& self, u64 key) { return self.core.contains_key(key); }

bool blob_remove(Obj& self, u64 key) {
  return change([&] { return self.core.remove(key); });
}

void blob_delitem(Obj& self, u64 key) {
  if (!change([&] { return self.core.remove(key); })) raise_key_not_found(key);
}

// The answer is made between the two steps of the compaction: a failure to
// make it drops the prepared compaction and leaves the map as it was.
Ref blob_compact(Obj& self) {
  using Compaction = CorvaleBlobMap::Compaction;
  // (The fresh arena's chunks are allocations of a change: the arena
  // cannot stop halfway through placing a record.)
  Outcome<Compaction> prepared = change([&] { return self.core.prepare_compaction(); });
  if (!prepared.ok()) raise_format(PyExc_RuntimeError, "Compaction error: %s", error_text(prepared.error()));
  const CompactStats& s = prepared.value().stats();
  Ref answer =
      new_tuple({to_py(s.live_before), to_py(s.live_after), to_py(s.total_before), to_py(s.total_after)});
  change([&] { self.core.commit_compaction(std::move(prepared.value())); });
  return answer;
}

Ref blob_repr(Obj& self) {
  std::string text = "CorvaleBlobMap(len=";
  text += std::to_string(self.core.len());
  text += ", mem_used=";
  text += std::to_string(self.core.mem_used());
  text += ')';
  return str_from(text);
}

// ---------------------------------------------------------------------------
// Filtered range scan

// The first exception raised by the predicate or the callback, fetched from
// the interpreter and owned until it is raised again.
class PendingError {
 public:
  PendingError() = default;
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;
  ~PendingError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }
  void fetch() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  explicit operator bool() const noexcept { return type_ != nullptr; }
  [[noreturn]] void raise_it() noexcept(false) {
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                  std::exchange(traceback_, nullptr));
    rethrow_pending();
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// The truth value of fn(args...), or nothing when the call or the truth
// test raised (the exception is then in `pending`).
template <class... A>
std::optional<bool> call_truth(PyObject* fn, PendingError& pending, const A&... args) noexcept {
  Ref r = Ref::steal(PyObject_CallFunctionObjArgs(fn, args.get()..., nullptr));
  const int t = r ? PyObject_IsTrue(r.get()) : -1;
  if (t < 0) {
    pending.fetch();
    return std::nullopt;
  }
  return t != 0;
}

Ref blob_scan_filtered(Obj& self, u64 start, u64 end, PyObject* predicate, PyObject* callback) {
  if (predicate == Py_None) predicate = nullptr;
  if (callback == Py_None) callback = nullptr;
  PendingError pending;
  std::vector<std::tuple<Ref, u64, u32>> found;
  self.core.scan_filtered(
      start, end,
      [&](u64 key, u32 meta) -> bool {
        if (pending) return false;
        if (!predicate) return true;
        // A raising predicate lets the entry through to the visitor, which
        // then ends the scan.
        return call_truth(predicate, pending, to_py(key), to_py(u64{meta})).value_or(true);
      },
      [&](u64 key, std::span<const u8> payload, u32 meta) -> bool {
        if (pending) return false;
        Ref b = bytes_of(payload);
        if (!callback) {
          found.emplace_back(std::move(b), key, meta);
          return true;
        }
        return call_truth(callback, pending, to_py(key), b, to_py(u64{meta})).value_or(false);
      });
  if (pending) {
    found.clear();
    pending.raise_it();
  }
  return new_list(found.size(), [&](std::size_t i) {
    auto& [b, key, meta] = found[i];
    return new_tuple({to_py(key), std::move(b), to_py(u64{meta})});
  });
}

// ---------------------------------------------------------------------------
// Image files

#ifdef CORVALE_TEST_HOOKS
corvale_trie::Countdown g_interrupt_countdown;
#endif

// The engine's check between the pieces of a save or a load: runs the
// signal handlers; one that raised stops the call, its exception pending.
bool signal_handler_raised() noexcept {
#ifdef CORVALE_TEST_HOOKS
  if (g_interrupt_countdown.tick()) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return true;
  }
#endif
  return PyErr_CheckSignals() != 0;
}

// Every wait of a save or a load (for another process's lock, for a lease,
// for a FIFO's reader, for another thread's call of the same file) lets
// the interpreter lock go, as open() and fcntl.lockf do, and takes it again
// before anything else (restore_thread: a daemon thread that waits while
// the interpreter shuts down is parked there); reading the map and writing
// the image keep it.
void* let_other_threads_run() noexcept { return PyEval_SaveThread(); }

void take_the_interpreter_back(void* state) noexcept { restore_thread(static_cast<PyThreadState*>(state)); }

constexpr corvale_trie::blobmap::file::Caller kPythonCaller{&signal_handler_raised, &let_other_threads_run,
                                                             &take_the_interpreter_back};

// The answer, the image's size, is made before a file is made or opened:
// nothing that could run out of memory comes after that. A signal handler
// that raised during the save stopped it (before the rename), or ran just
// after the rename or the directory's flush: its exception is raised, not
// the OSError. Whatever a save raises once its new image is in place
// carries the note kInPlaceNote, and nothing raised before does.
constexpr const char* kInPlaceNote = "the new image is in place";

Ref blob_save_to_file(Obj& self, FilePath path) {
  Ref total = to_py(self.core.image_size());
  CorvaleBlobMap::SaveError error;
  if (!self.core.save_to_file(path.text, error, kPythonCaller)) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_OSError, "Failed to save file: %s", error.text.c_str());
    if (error.image_in_place) add_note(kInPlaceNote);
    rethrow_pending();
  }
  return total;
}

// A file that could not be opened, locked or read says why in a note: the
// system's error, in the text of a save's ("Permission denied (os error
// 13)"). An image refused for what it holds has no note.
[[noreturn]] void raise_load_error(ArenaError e, int os_error) {
  const std::string why = os_error != 0 ? corvale_trie::blobmap::io_error_text(os_error) : std::string();
  PyErr_Format(PyExc_OSError, "Failed to load file: %s", error_text(e));
  if (!why.empty()) add_note(why.c_str());
  rethrow_pending();
}

constexpr Signature kLoadFromFile{"load_from_file", {"path"}};

// Static method: no thread check and no claim; the new object belongs to
// the calling thread.
PyObject* blob_load_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return detail::object_boundary([&]() -> Ref {
    PyObject* argv[1] = {nullptr};
    match_fastcall<kLoadFromFile>(Obj::kName, args, nargs, kwnames, argv);
    const FilePath path = Param<FilePath>::convert(argv[0], "path");
    return make_object_with<Obj>(Obj::type(), [&](CorvaleBlobMap& core) {
      CorvaleBlobMap::FileRead read;
      if (const MaybeError e =
              change([&] { return CorvaleBlobMap::from_file(path.text, core, &read, kPythonCaller); })) {
        if (PyErr_Occurred()) rethrow_pending();  // a signal handler raised: the load stopped
        raise_load_error(*e, read.os_error);
      }
    });
  });
}

// ---------------------------------------------------------------------------
// Method table and type

constexpr Signature kNew{"__new__", {"chunk_size"}, 0};
constexpr Signature kContainsKey{"contains_key", {"key"}};
constexpr Signature kInsert{"insert", {"key", "data", "hot_meta"}, 2};
constexpr Signature kGet{"get", {"key"}};
constexpr Signature kGetBytes{"get_bytes", {"key"}};
constexpr Signature kRemove{"remove", {"key"}};
constexpr Signature kScanFiltered{"scan_filtered", {"start_key", "end_key", "predicate", "callback"}, 2};
constexpr Signature kSaveToFile{"save_to_file", {"path"}};

namespace ic = intclass;

PyMethodDef blob_methods[] = {
    noargs_method<&ic::key_count<Obj>, Claim::Shared>(
        "len", "len($self)\n--\n\nNumber of entries stored in the map."),
    noargs_method<&ic::is_empty<Obj>, Claim::Shared>(
        "is_empty", "is_empty($self)\n--\n\nTrue when no entries are in the map."),
    method<&blob_contains_key, Claim::Shared, kContainsKey>(
        "contains_key($self, key)\n--\n\nReturns True if key exists in the map."),
    method<&blob_insert, Claim::Exclusive, kInsert>(
        "insert($self, key, data, hot_meta=0)\n--\n\nInserts a key-blob pair with optional 32-bit hot metadata."),
    method<&blob_get, Claim::Shared, kGet>(
        "get($self, key)\n--\n\nRetrieves `(bytes_payload, hot_meta)` for a key, or None if absent."),
    method<&blob_get_bytes, Claim::Shared, kGetBytes>(
        "get_bytes($self, key)\n--\n\nRetrieves only the byte payload for a key, or None if absent."),
    method<&blob_remove, Claim::Exclusive, kRemove>(
        "remove($self, key)\n--\n\nRemoves a key from the map; returns True if key was present."),
    noargs_method<&ic::clear<Obj>, Claim::Exclusive>(
        "clear", "clear($self)\n--\n\nClears all entries and resets the slab arena."),
    noargs_method<&ic::mem_used<Obj>, Claim::Shared>(
        "mem_used", "mem_used($self)\n--\n\nReturns total heap memory used by index and slab arena."),
    noargs_method<&blob_compact, Claim::Exclusive>(
        "compact",
        "compact($self)\n--\n\nRuns in-place garbage collection and compaction, returning\n"
        "`(live_bytes_before, live_bytes_after, total_allocated_before, total_allocated_after)`."),
    method<&blob_scan_filtered, Claim::Shared, kScanFiltered>(
        "scan_filtered($self, start_key, end_key, predicate=None, callback=None)\n--\n\n"
        "Executes a range scan over keys in `[start_key, end_key]` with optional predicate filtering\n"
        "on 32-bit hot metadata."),
    method<&blob_save_to_file, Claim::Shared, kSaveToFile>(
        "save_to_file($self, path)\n--\n\nSaves the map to a relocatable binary image file."),
    PyMethodDef{"load_from_file",
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&blob_load_from_file)),
                METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
                "load_from_file(path)\n--\n\nLoads a map from a relocatable binary image file."},
    end_of_methods(),
};

PyGetSetDef blob_getset[] = {
    {"empty", &getter<&ic::is_empty<Obj>, Claim::Shared>, nullptr, "Property returning True if empty.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

#ifdef CORVALE_TEST_HOOKS
namespace {

// _interrupt_after(n), a testing hook of test builds: the n-th check for
// signals from now on of a blob map's save or load acts as if a signal
// handler had raised KeyboardInterrupt; 0 disarms.
PyObject* interrupt_after(PyObject*, PyObject* arg) noexcept {
  return detail::object_boundary([arg]() -> Ref {
    g_interrupt_countdown.arm(to_u64(arg));
    return none();
  });
}

}  // namespace

PyMethodDef blob_map_testing_hook() noexcept {
  return PyMethodDef{"_interrupt_after", &interrupt_after, METH_O, nullptr};
}
#endif

PyTypeObject* corvale_blob_map_type() {
  static PyType_Slot slots[] = {
      type_slot(Py_tp_base, &PyBaseObject_Type),
      type_slot(Py_tp_doc,
                "CorvaleBlobMap(chunk_size=None)\n--\n\n"
                "A high-performance map from 64-bit integer keys to arbitrary-length byte payloads\n"
                "backed by inline polymorphic 64-bit value slots and chunked slab arenas."),
      type_slot(Py_tp_dealloc, &dealloc<Obj>),
      type_slot(Py_tp_new, &new_slot<Obj, &blob_new, kNew>),
      type_slot(Py_mp_length, &len_slot<&ic::key_count<Obj>, Claim::Shared>),
      type_slot(Py_nb_bool, &bool_slot<&ic::truth<Obj>, Claim::Shared>),
      type_slot(Py_sq_contains, &contains_slot<&blob_contains_key, Claim::Shared>),
      type_slot(Py_mp_subscript, &getitem_slot<&blob_getitem, Claim::Shared>),
      type_slot(Py_tp_repr, &unary_slot<&blob_repr, Claim::Shared>),
      type_slot(Py_mp_ass_subscript, &setitem_slot<&blob_setitem, &blob_delitem>),
      type_slot(Py_tp_methods, blob_methods),
      type_slot(Py_tp_getset, blob_getset),
      end_of_slots(),
  };
  return fetch_type<Obj>(slots);
}

}  // namespace corvale_py
