// A std allocator that counts the heap bytes its containers hold.
//
// The peers of the engine benchmarks (std::set/std::map, Abseil's B-trees)
// take it as their allocator, so that their bytes per key are measured the
// same way for every kind of node: each allocation adds what malloc really
// reserves for it (its usable size plus the 8-byte chunk header of glibc),
// each deallocation subtracts it. The count lives in one global, reset by the
// benchmark before it builds a container; the benchmarks run one at a time.
#pragma once

#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace corvale_bench {

inline std::int64_t g_counted_bytes = 0;

template <class T>
struct CountingAlloc {
  using value_type = T;
  CountingAlloc() noexcept = default;
  template <class U>
  CountingAlloc(const CountingAlloc<U>&) noexcept {}

  T* allocate(std::size_t n) {
    void* p = std::malloc(n * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    g_counted_bytes += static_cast<std::int64_t>(malloc_usable_size(p) + sizeof(void*));
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept {
    g_counted_bytes -= static_cast<std::int64_t>(malloc_usable_size(p) + sizeof(void*));
    std::free(p);
  }
  template <class U>
  friend bool operator==(const CountingAlloc&, const CountingAlloc<U>&) noexcept {
    return true;
  }
};

}  // namespace corvale_bench
