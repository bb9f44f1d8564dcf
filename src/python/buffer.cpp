// corvale_trie Python binding: packed u64 buffers and key bytes.
#include "python/buffer.hpp"

#include <cstring>

namespace corvale_py::buffer {
namespace {

std::string copy_of(const char* data, Py_ssize_t size) {
  return std::string(data, static_cast<std::size_t>(size));
}

// Elements read in place, copied into owned storage.
std::vector<u64> u64_copy(const unsigned char* data, std::size_t count) {
  std::vector<u64> copy(count);
  if (count != 0) std::memcpy(copy.data(), data, count * sizeof(u64));
  return copy;
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

U64Buffer::U64Buffer(std::vector<u64> owned) noexcept
    : data_(reinterpret_cast<const unsigned char*>(owned.data())), count_(owned.size()), owned_(std::move(owned)) {}

// A moved std::vector keeps its storage, so data_ stays valid for owned
// elements; a held buffer changes hands with its view.
U64Buffer::U64Buffer(U64Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      count_(std::exchange(other.count_, 0)),
      owned_(std::move(other.owned_)),
      owner_(std::move(other.owner_)),
      view_(other.view_),
      held_(std::exchange(other.held_, false)) {}

U64Buffer::~U64Buffer() {
  if (held_) PyBuffer_Release(&view_);
}

void U64Buffer::detach() {
  if (!held_) return;
  owned_ = u64_copy(data_, count_);
  data_ = reinterpret_cast<const unsigned char*>(owned_.data());
  PyBuffer_Release(&view_);
  held_ = false;
}

bool is_packed_source(PyObject* obj) noexcept {
  return PyBytes_Check(obj) || PyByteArray_Check(obj) || PyMemoryView_Check(obj);
}

std::optional<U64Buffer> packed_u64(PyObject* obj, const char* label) {
  if (!is_packed_source(obj)) return std::nullopt;
  U64Buffer out;
  std::size_t size = 0;
  bool copy = false;  // read from storage that is not held: copied below
  if (PyBytes_Check(obj)) {
    const std::string_view bytes = bytes_view(obj);
    out.owner_ = Ref::borrow(obj);
    out.data_ = reinterpret_cast<const unsigned char*>(bytes.data());
    size = bytes.size();
  } else if (PyByteArray_Check(obj) && !PyByteArray_CheckExact(obj)) {
    out.data_ = reinterpret_cast<const unsigned char*>(PyByteArray_AsString(obj));
    size = static_cast<std::size_t>(PyByteArray_Size(obj));
    copy = true;
  } else {
    if (PyObject_GetBuffer(obj, &out.view_, PyBUF_FULL_RO) < 0) rethrow_pending();
    out.held_ = true;
    out.data_ = static_cast<const unsigned char*>(out.view_.buf);
    size = static_cast<std::size_t>(out.view_.len);
  }
  if (size % sizeof(u64) != 0)
    raise_format(PyExc_ValueError,
                 "insert_many: %s byte buffer length (%zu) is not a multiple of 8; a packed u64 "
                 "buffer must contain whole 8-byte elements",
                 label, size);
  out.count_ = size / sizeof(u64);
  if (copy) return U64Buffer(u64_copy(out.data_, out.count_));
  if (out.held_ && !PyBuffer_IsContiguous(&out.view_, 'C')) {
    // Strided or indirect: gathered in C order into owned storage.
    std::vector<u64> gathered(out.count_);
    if (PyBuffer_ToContiguous(gathered.data(), &out.view_, out.view_.len, 'C') < 0) rethrow_pending();
    return U64Buffer(std::move(gathered));
  }
  return out;
}

U64Buffer collect_u64(PyObject* obj, const char* label) {
  if (std::optional<U64Buffer> packed = packed_u64(obj, label)) return std::move(*packed);
  std::vector<u64> out;
  for_each_item(obj, [&](PyObject* item) { out.push_back(to_u64(item)); });
  return U64Buffer(std::move(out));
}

KeyValueBuffers collect_u64_pair(PyObject* keys, PyObject* values) {
  U64Buffer ks = collect_u64(keys, "keys");
  if (!is_packed_source(values)) ks.detach();
  U64Buffer vs = collect_u64(values, "values");
  return {std::move(ks), std::move(vs), is_packed_source(keys)};
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
