// Key distributions of the engine benchmarks.
//
// Every benchmark draws its keys from one of four distributions, the same
// four the Python benchmark (bench/run.py) uses, generated from the same
// splitmix64 stream so that both sides see the same kind of key sets:
//
//   dense      the consecutive keys 0 .. n-1, inserted in ascending order;
//   clustered  short runs of consecutive keys (16..48 keys, 32 on average)
//              that start at uniformly random 64-bit places; runs are
//              inserted one after the other, each in ascending order;
//   uniform    uniformly random 64-bit keys, in the order drawn;
//   u32        uniformly random keys below 2**32, in the order drawn.
//
// A key set holds n distinct keys (repeats drawn by chance are dropped and
// the stream continues). Alongside it `probe_keys` draws lookups of present
// keys in random order and `probe_points` draws neighbour-search targets
// uniformly between the smallest and the largest key.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace corvale_bench {

using u64 = std::uint64_t;

enum class Dist { Dense, Clustered, Uniform, U32 };

inline constexpr Dist ALL_DISTS[] = {Dist::Dense, Dist::Clustered, Dist::Uniform, Dist::U32};

[[nodiscard]] inline std::string_view dist_name(Dist d) noexcept {
  switch (d) {
    case Dist::Dense: return "dense";
    case Dist::Clustered: return "clustered";
    case Dist::Uniform: return "uniform";
    case Dist::U32: return "u32";
  }
  return "?";
}

// splitmix64: a counter-based stream; value i of seed s is mix(s + (i+1)*gamma).
struct SplitMix64 {
  u64 state;
  explicit SplitMix64(u64 seed) noexcept : state(seed) {}
  u64 operator()() noexcept {
    u64 z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

// n distinct keys of distribution d, in insertion order.
[[nodiscard]] inline std::vector<u64> make_keys(Dist d, std::size_t n, u64 seed = 42) {
  std::vector<u64> out;
  out.reserve(n);
  SplitMix64 rng(seed);
  if (d == Dist::Dense) {
    for (std::size_t i = 0; i < n; ++i) out.push_back(i);
    return out;
  }
  std::unordered_set<u64> seen;
  seen.reserve(n * 2);
  auto take = [&](u64 k) {
    if (out.size() < n && seen.insert(k).second) out.push_back(k);
  };
  while (out.size() < n) {
    switch (d) {
      case Dist::Clustered: {
        const u64 start = rng() % (~u64{0} - 64);
        const u64 len = 16 + rng() % 33;
        for (u64 j = 0; j < len; ++j) take(start + j);
        break;
      }
      case Dist::Uniform: take(rng()); break;
      case Dist::U32: take(rng() >> 32); break;
      case Dist::Dense: break;
    }
  }
  return out;
}

// q present keys of `keys`, drawn at random (with repeats).
[[nodiscard]] inline std::vector<u64> probe_keys(const std::vector<u64>& keys, std::size_t q,
                                                 u64 seed = 7) {
  SplitMix64 rng(seed);
  std::vector<u64> out(q);
  for (auto& k : out) k = keys[rng() % keys.size()];
  return out;
}

// q points drawn uniformly between the smallest and the largest key.
[[nodiscard]] inline std::vector<u64> probe_points(const std::vector<u64>& keys, std::size_t q,
                                                   u64 seed = 11) {
  const auto [lo, hi] = std::minmax_element(keys.begin(), keys.end());
  const u64 span = *hi - *lo;
  SplitMix64 rng(seed);
  std::vector<u64> out(q);
  for (auto& k : out) k = span == ~u64{0} ? rng() : *lo + rng() % (span + 1);
  return out;
}

}  // namespace corvale_bench
