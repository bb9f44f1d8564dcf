// Engine benchmarks, set flavour: the core CorvaleSet against std::set and
// Abseil's btree_set, both counting their heap bytes (counting_alloc.hpp).
#include <absl/container/btree_set.h>

#include <functional>
#include <set>

#include "counting_alloc.hpp"
#include "engine/iter.hpp"
#include "engine/set.hpp"
#include "harness.hpp"

namespace corvale_bench {
namespace {

struct CorvaleSetAdapter {
  static constexpr const char* NAME = "corvale";
  corvale_trie::set::CorvaleSet s;
  void insert(u64 k) { s.insert(k); }
  void remove(u64 k) { s.remove(k); }
  [[nodiscard]] bool find(u64 k) const { return s.contains(k); }
  [[nodiscard]] std::optional<u64> successor(u64 k) const { return s.next(k); }
  [[nodiscard]] u64 iterate() const {
    u64 count = 0;
    const u64 len = s.len();
    auto it = s.iter();
    while (auto k = it.next()) {
      benchmark::DoNotOptimize(*k);
      if (++count > len) break;
    }
    return count;
  }
  [[nodiscard]] u64 bytes() const { return s.mem_used(); }
};

template <class Set, const char* Name>
struct OrderedSetAdapter {
  static constexpr const char* NAME = Name;
  Set s;
  void insert(u64 k) { s.insert(k); }
  void remove(u64 k) { s.erase(k); }
  [[nodiscard]] bool find(u64 k) const { return s.find(k) != s.end(); }
  [[nodiscard]] std::optional<u64> successor(u64 k) const {
    auto it = s.lower_bound(k);
    if (it == s.end()) return std::nullopt;
    return *it;
  }
  [[nodiscard]] u64 iterate() const {
    u64 count = 0;
    for (u64 k : s) {
      benchmark::DoNotOptimize(k);
      ++count;
    }
    return count;
  }
  [[nodiscard]] u64 bytes() const { return static_cast<u64>(g_counted_bytes); }
};

constexpr char STD_NAME[] = "std";
constexpr char ABSL_NAME[] = "absl";
using StdSetAdapter = OrderedSetAdapter<std::set<u64, std::less<u64>, CountingAlloc<u64>>, STD_NAME>;
using AbslSetAdapter =
    OrderedSetAdapter<absl::btree_set<u64, std::less<u64>, CountingAlloc<u64>>, ABSL_NAME>;

}  // namespace

void register_set_benchmarks() {
  register_family<CorvaleSetAdapter, StdSetAdapter, AbslSetAdapter>("set");
}

}  // namespace corvale_bench
