// corvale_trie Python binding: argument helpers for packed u64 buffers and
// for string and byte keys, shared by every class of the module.
//
// Packed u64 buffers are `bytes` and `bytearray` objects (subclasses
// included) and `memoryview` objects; any other object, even one that
// exports a buffer (an array.array), is iterated as integers instead. The
// bytes are read as native-endian u64 elements, whatever the item format of
// a memoryview; a byte length that is not a multiple of 8 is a ValueError
// naming the argument (`label`: "keys" or "values").
//
// A packed buffer is read where it lies whenever it can be, without a copy:
//   - bytes (and subclasses): the object's own storage, which never changes,
//     kept alive by a reference for as long as it is read;
//   - bytearray and memoryview: a C-contiguous buffer is read in place
//     through the buffer protocol (PyObject_GetBuffer), and the buffer is
//     held (a bytearray cannot be resized, a memoryview not released) until
//     PyBuffer_Release when the reader is dropped;
//   - copied once into owned storage: a memoryview that is not C-contiguous
//     (strided or indirect; copied in C order, as memoryview.tobytes gives
//     its bytes), and a bytearray subclass, whose contents are taken from
//     its own storage rather than from whatever buffer the subclass exports.
// Elements are loaded with memcpy, so a buffer need not be 8-byte aligned
// (a slice of a memoryview, a bytearray after `del b[:1]`). Python code must
// not run while a bytearray or memoryview is held: it could not resize the
// object (BufferError), but it could change its bytes under the reader. So a
// held buffer is read with no Python code in between; where Python code must
// run first (the values of a map's insert_many iterated after its keys were
// taken), the held keys are copied and their buffer let go (`detach`).
// Another process (shared memory) or a thread that does not hold the
// interpreter lock can still change a held buffer's bytes: its length,
// fixed while it is held, sizes everything, never its contents, and each
// element inserted is the value of one read (engine/sort.hpp states the
// sort's side of it).
//
// Key bytes are handed out as a borrowed view of a `bytes` object's storage
// or of a `str`'s UTF-8 form (no copy: valid while the caller holds that
// object, which it does for the whole call) or as an owned copy (contents of
// a `bytearray`, which Python code could resize). A `memoryview` is not a
// key.
//
// The helpers hold no state, take no claims and touch no container; they
// run on the calling thread with the interpreter lock held (a U64Buffer is
// also dropped with it held) and throw PyErrSet (binding.hpp) with the
// Python exception set when they fail.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/sort.hpp"
#include "python/binding.hpp"

namespace corvale_py::buffer {

// Bytes of a key: borrowed from a `bytes` object or owned.
class KeyBytes {
 public:
  [[nodiscard]] static KeyBytes borrowed(std::string_view view) noexcept {
    KeyBytes k;
    k.view_ = view;
    return k;
  }
  [[nodiscard]] static KeyBytes owned(std::string bytes) noexcept {
    KeyBytes k;
    k.owned_ = std::move(bytes);
    k.is_owned_ = true;
    return k;
  }
  [[nodiscard]] std::string_view bytes() const noexcept {
    return is_owned_ ? std::string_view(owned_) : view_;
  }
  [[nodiscard]] bool is_borrowed() const noexcept { return !is_owned_; }

 private:
  KeyBytes() noexcept = default;
  std::string_view view_;
  std::string owned_;
  bool is_owned_ = false;
};

// The u64 elements of a packed buffer or of an iterable of integers: read
// in place from the Python object (which it keeps alive and, for a bytearray
// or memoryview, holds through the buffer protocol until it is dropped), or
// owned. Move-only; dropped with the interpreter lock held.
class U64Buffer {
 public:
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = u64;
    using difference_type = std::ptrdiff_t;
    Iterator(const U64Buffer& buffer, std::size_t i) noexcept : buffer_(&buffer), i_(i) {}
    [[nodiscard]] u64 operator*() const noexcept { return (*buffer_)[i_]; }
    Iterator& operator++() noexcept {
      ++i_;
      return *this;
    }
    [[nodiscard]] bool operator==(const Iterator& other) const noexcept { return i_ == other.i_; }

   private:
    const U64Buffer* buffer_;
    std::size_t i_;
  };

  explicit U64Buffer(std::vector<u64> owned) noexcept;
  U64Buffer(U64Buffer&& other) noexcept;
  U64Buffer(const U64Buffer&) = delete;
  U64Buffer& operator=(const U64Buffer&) = delete;
  U64Buffer& operator=(U64Buffer&&) = delete;
  ~U64Buffer();

  [[nodiscard]] std::size_t size() const noexcept { return count_; }
  // Element i (i < size()), native-endian, from any alignment.
  [[nodiscard]] u64 operator[](std::size_t i) const noexcept { return packed()[i]; }
  // The elements as the engine reads them (valid while this reader lives
  // and is not detached).
  [[nodiscard]] corvale_trie::sort::PackedU64 packed() const noexcept { return {data_, count_}; }
  [[nodiscard]] Iterator begin() const noexcept { return Iterator(*this, 0); }
  [[nodiscard]] Iterator end() const noexcept { return Iterator(*this, count_); }
  // Copies elements read from a held buffer into owned storage and releases
  // the buffer, so that Python code may run while this reader lives.
  // Nothing to do for owned elements or a bytes object (which no code can
  // change).
  void detach();

 private:
  friend std::optional<U64Buffer> packed_u64(PyObject* obj, const char* label);
  U64Buffer() noexcept = default;

  const unsigned char* data_ = nullptr;
  std::size_t count_ = 0;
  std::vector<u64> owned_;  // the elements, when they are not read in place
  Ref owner_;               // a bytes object read in place
  Py_buffer view_{};        // a bytearray or memoryview buffer, when held_
  bool held_ = false;
};

// True when `obj` is a packed u64 source (bytes, bytearray, memoryview),
// which packed_u64 reads without running Python code.
[[nodiscard]] bool is_packed_source(PyObject* obj) noexcept;

// The elements of a packed buffer, or nothing when `obj` is none of bytes,
// bytearray or memoryview (it is not read then). A memoryview whose buffer
// cannot be had (a released one) raises the interpreter's error; a byte
// length that is not a multiple of 8 raises ValueError "insert_many: {label}
// byte buffer length ({n}) is not a multiple of 8; a packed u64 buffer must
// contain whole 8-byte elements".
[[nodiscard]] std::optional<U64Buffer> packed_u64(PyObject* obj, const char* label);

// packed_u64, else the integers of an iterable in order (each converted like
// a key, no argument note); the first failure (or the iteration's own error)
// is raised.
[[nodiscard]] U64Buffer collect_u64(PyObject* obj, const char* label);

// A map's keys and values, one buffer each; `packed_keys` when the keys
// came from a packed buffer rather than an iterable.
struct KeyValueBuffers {
  U64Buffer keys;
  U64Buffer values;
  bool packed_keys = false;
};

// The two arguments of a map's insert_many through collect_u64, keys first
// (a failure there leaves `values` unread). When `values` is iterated, keys
// held through the buffer protocol are detached first, since the iteration
// runs Python code.
[[nodiscard]] KeyValueBuffers collect_u64_pair(PyObject* keys, PyObject* values);

// Key of the string map: a str (strict UTF-8, borrowed), bytes (borrowed)
// or bytearray (owned copy) free of NUL bytes. Other objects raise
// TypeError "Expected str, bytes, or bytearray for key"; a NUL byte raises
// ValueError "NUL bytes are not allowed in CorvaleStrMap keys".
[[nodiscard]] KeyBytes extract_str_key(PyObject* obj);

// Key of the bytes map (and payload of the blob map): a str (strict UTF-8,
// borrowed), bytes (borrowed) or bytearray (owned copy), any byte values.
// Other objects raise TypeError "Expected bytes, bytearray, or str for key".
[[nodiscard]] KeyBytes extract_bytes_key(PyObject* obj);

}  // namespace corvale_py::buffer
