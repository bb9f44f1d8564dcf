// Engine benchmarks, map flavour: the core CorvaleMap against std::map and
// Abseil's btree_map, both counting their heap bytes (counting_alloc.hpp).
// Every key k is stored with the value k ^ VALUE_SALT; lookups read it back.
#include <absl/container/btree_map.h>

#include <functional>
#include <map>

#include "counting_alloc.hpp"
#include "engine/iter.hpp"
#include "engine/map.hpp"
#include "harness.hpp"

namespace corvale_bench {
namespace {

struct CorvaleMapAdapter {
  static constexpr const char* NAME = "corvale";
  corvale_trie::map::CorvaleMap m;
  void insert(u64 k) { m.insert(k, k ^ VALUE_SALT); }
  void remove(u64 k) { m.remove(k); }
  [[nodiscard]] bool find(u64 k) const {
    auto v = m.get(k);
    return v && *v == (k ^ VALUE_SALT);
  }
  [[nodiscard]] std::optional<u64> successor(u64 k) const {
    auto kv = m.next(k);
    if (!kv) return std::nullopt;
    return kv->key + kv->value;
  }
  [[nodiscard]] u64 iterate() const {
    u64 count = 0;
    const u64 len = m.len();
    auto it = m.iter();
    while (auto kv = it.next()) {
      benchmark::DoNotOptimize(kv->value);
      if (++count > len) break;
    }
    return count;
  }
  [[nodiscard]] u64 bytes() const { return m.mem_used(); }
};

template <class Map, const char* Name>
struct OrderedMapAdapter {
  static constexpr const char* NAME = Name;
  Map m;
  void insert(u64 k) { m.insert_or_assign(k, k ^ VALUE_SALT); }
  void remove(u64 k) { m.erase(k); }
  [[nodiscard]] bool find(u64 k) const {
    auto it = m.find(k);
    return it != m.end() && it->second == (k ^ VALUE_SALT);
  }
  [[nodiscard]] std::optional<u64> successor(u64 k) const {
    auto it = m.lower_bound(k);
    if (it == m.end()) return std::nullopt;
    return it->first + it->second;
  }
  [[nodiscard]] u64 iterate() const {
    u64 count = 0;
    for (const auto& kv : m) {
      benchmark::DoNotOptimize(kv.second);
      ++count;
    }
    return count;
  }
  [[nodiscard]] u64 bytes() const { return static_cast<u64>(g_counted_bytes); }
};

using Pair = std::pair<const u64, u64>;
constexpr char STD_NAME[] = "std";
constexpr char ABSL_NAME[] = "absl";
using StdMapAdapter = OrderedMapAdapter<std::map<u64, u64, std::less<u64>, CountingAlloc<Pair>>, STD_NAME>;
using AbslMapAdapter =
    OrderedMapAdapter<absl::btree_map<u64, u64, std::less<u64>, CountingAlloc<Pair>>, ABSL_NAME>;

}  // namespace

void register_map_benchmarks() {
  register_family<CorvaleMapAdapter, StdMapAdapter, AbslMapAdapter>("map");
}

}  // namespace corvale_bench
