// Entry point of the engine benchmarks (Google Benchmark).
//
// Extra options, taken out of the command line before Google Benchmark sees
// it:
//   --sizes=N[,N...]   container sizes (default 1000000,10000000)
//   --quick            one small size (100000) for a fast check
//   --family=set|map|sync|sort  only one family (default set, map and sync;
//                      sync: the concurrent containers' lookups on several
//                      threads; sort: bulk insertion order, bench_sort.cpp)
// Every other option is Google Benchmark's own (--benchmark_filter,
// --benchmark_format=json, ...).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.hpp"

namespace corvale_bench {

void register_set_benchmarks();
void register_map_benchmarks();
void register_sync_benchmarks();
void register_sort_benchmarks();

std::vector<std::size_t>& bench_sizes() {
  static std::vector<std::size_t> sizes{1'000'000, 10'000'000};
  return sizes;
}

}  // namespace corvale_bench

int main(int argc, char** argv) {
  using namespace corvale_bench;
  std::vector<char*> rest;
  std::string family;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strncmp(a, "--sizes=", 8) == 0) {
      bench_sizes().clear();
      const char* p = a + 8;
      while (*p != '\0') {
        char* end = nullptr;
        const auto n = std::strtoull(p, &end, 10);
        if (end == p || n == 0) {
          std::fprintf(stderr, "bad --sizes: %s\n", a);
          return 2;
        }
        bench_sizes().push_back(n);
        p = (*end == ',') ? end + 1 : end;
      }
    } else if (std::strcmp(a, "--quick") == 0) {
      bench_sizes() = {100'000};
    } else if (std::strncmp(a, "--family=", 9) == 0) {
      family = a + 9;
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (family.empty() || family == "set") register_set_benchmarks();
  if (family.empty() || family == "map") register_map_benchmarks();
  if (family.empty() || family == "sync") register_sync_benchmarks();
  if (family == "sort") register_sort_benchmarks();
  int rest_argc = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_argc, rest.data());
  if (benchmark::ReportUnrecognizedArguments(rest_argc, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
