// corvale_trie Python binding: packed u64 buffers and key bytes.
#include "python/buffer.hpp"

#include <cstring>

namespace corvale_py::buffer {
namespace {

std::string copy_of(const char* data, Py_ssize_t size) {
  return std::string(data, static_cast<std::size_t>(size));
}

std::string bytes_copy(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) rethrow_pending();
  return copy_of(data, size);
}

std::string_view bytes_view(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) rethrow_pending();
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::string bytearray_copy(PyObject* array) {
  return copy_of(PyByteArray_AsString(array), PyByteArray_Size(array));
}

// Strict UTF-8 of a str: a string the codec refuses (a lone surrogate)
// raises the interpreter's UnicodeEncodeError. The bytes are the str's own
// UTF-8 form (its data for an ASCII string, else a form the str caches), so
// they live as long as the str, which the caller holds for the call.
std::string_view utf8_view(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) rethrow_pending();
  return std::string_view(data, static_cast<std::size_t>(size));
}

// The three key forms shared by both key helpers; nothing for other objects.
std::optional<KeyBytes> key_bytes(PyObject* obj) {
  if (PyUnicode_Check(obj)) return KeyBytes::borrowed(utf8_view(obj));
  if (PyBytes_Check(obj)) return KeyBytes::borrowed(bytes_view(obj));
  if (PyByteArray_Check(obj)) return KeyBytes::owned(bytearray_copy(obj));
  return std::nullopt;
}

}  // namespace

std::optional<std::string> packed_byte_source(PyObject* obj) {
  if (PyBytes_Check(obj)) return bytes_copy(obj);
  if (PyByteArray_Check(obj)) return bytearray_copy(obj);
  if (PyMemoryView_Check(obj)) {
    Ref name = Ref::result(PyUnicode_FromString("tobytes"));
    Ref result = Ref::check(PyObject_CallMethodObjArgs(obj, name.get(), nullptr));
    if (!PyBytes_Check(result.get())) raise_not_instance(result.get(), "bytes");
    return bytes_copy(result.get());
  }
  return std::nullopt;
}

std::vector<u64> bytes_as_u64_vec(std::string_view bytes, const char* label) {
  if (bytes.size() % sizeof(u64) != 0)
    raise_format(PyExc_ValueError,
                 "insert_many: %s byte buffer length (%zu) is not a multiple of 8; a packed u64 "
                 "buffer must contain whole 8-byte elements",
                 label, bytes.size());
  std::vector<u64> out(bytes.size() / sizeof(u64));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), bytes.size());
  return out;
}

std::vector<u64> collect_u64(PyObject* obj, const char* label) {
  if (std::optional<std::string> packed = packed_byte_source(obj))
    return bytes_as_u64_vec(*packed, label);
  std::vector<u64> out;
  for_each_item(obj, [&](PyObject* item) { out.push_back(to_u64(item)); });
  return out;
}

KeyBytes extract_str_key(PyObject* obj) {
  std::optional<KeyBytes> key = key_bytes(obj);
  if (!key) raise(PyExc_TypeError, "Expected str, bytes, or bytearray for key");
  std::string_view b = key->bytes();
  if (!b.empty() && std::memchr(b.data(), 0, b.size()) != nullptr)
    raise(PyExc_ValueError, "NUL bytes are not allowed in CorvaleStrMap keys");
  return std::move(*key);
}

KeyBytes extract_bytes_key(PyObject* obj) {
  std::optional<KeyBytes> key = key_bytes(obj);
  if (!key) raise(PyExc_TypeError, "Expected bytes, bytearray, or str for key");
  return std::move(*key);
}

}  // namespace corvale_py::buffer
