// corvale_trie Python binding: argument helpers for packed u64 buffers and
// for string and byte keys, shared by every class of the module.
//
// Packed u64 buffers are `bytes`, `bytearray` (subclasses included) or
// `memoryview` objects. Their bytes are copied out of the Python object once
// (the buffer protocol is not used, so an object that exports a buffer but
// is none of these, such as an array.array, is iterated as integers
// instead) and then read as native-endian u64 elements into a vector; a
// length that is not a multiple of 8 is a ValueError naming the argument
// (`label`: "keys" or "values").
//
// Key bytes are handed out as a borrowed view of a `bytes` object's storage
// or of a `str`'s UTF-8 form (no copy: valid while the caller holds that
// object, which it does for the whole call) or as an owned copy (contents of
// a `bytearray`, which Python code could resize). A `memoryview` is not a
// key.
//
// The helpers hold no state, take no claims and touch no container; they
// run on the calling thread with the interpreter lock held and throw
// PyErrSet (binding.hpp) with the Python exception set when they fail.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A copy of the bytes of a packed byte source (bytes, bytearray, or a
// memoryview through its tobytes method), or nothing when `obj` is none of
// them (it is not read then). A memoryview whose tobytes fails raises that
// error; one whose tobytes returns something other than bytes raises
// TypeError "'{}' object is not an instance of 'bytes'".
[[nodiscard]] std::optional<std::string> packed_byte_source(PyObject* obj);

// The bytes as native-endian u64 elements. A length that is not a multiple
// of 8 raises ValueError "insert_many: {label} byte buffer length ({n}) is
// not a multiple of 8; a packed u64 buffer must contain whole 8-byte
// elements".
[[nodiscard]] std::vector<u64> bytes_as_u64_vec(std::string_view bytes, const char* label);

// A packed byte source through bytes_as_u64_vec, else the integers of an
// iterable in order (each converted like a key, no argument note); the
// first failure (or the iteration's own error) is raised.
[[nodiscard]] std::vector<u64> collect_u64(PyObject* obj, const char* label);

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
